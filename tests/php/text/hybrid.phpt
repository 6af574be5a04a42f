--TEST--
searchHybrid gives the rows of reciprocal-rank fusion done in PHP from search() and searchText() (first max(50, topK) rows of each, k 60, ties by key), for several weights, topK and a filter; its errors
--FILE--
<?php
$s = new QarbinStore(null, ["dimensions" => 3, "segment_size" => 64]);
$words = ["red", "green", "blue", "apple", "river", "stone", "light", "cloud"];
mt_srand(7);
for ($i = 0; $i < 150; $i++) {
    $text = implode(" ", array_map(fn() => $words[mt_rand(0, 7)], range(1, mt_rand(1, 6))));
    $s->set(sprintf("r%03d", $i), [mt_rand(-100, 100) / 10, mt_rand(-100, 100) / 10, mt_rand(-100, 100) / 10],
            json_encode(["even" => $i % 2 === 0]), $i % 10 === 3 ? null : $text);
}
$s->buildIndex();

function fused(QarbinStore $s, array $v, string $q, int $topK, ?array $filter, float $w): array {
    $n = max(50, $topK);
    $score = [];
    foreach ($s->search($v, $n, 50.0, $filter) as $rank => $row) $score[$row["key"]] = ($score[$row["key"]] ?? 0) + (1 - $w) / (60 + $rank + 1);
    foreach ($s->searchText($q, $n, $filter) as $rank => $row) $score[$row["key"]] = ($score[$row["key"]] ?? 0) + $w / (60 + $rank + 1);
    uksort($score, fn($a, $b) => $score[$b] <=> $score[$a] ?: strcmp($a, $b));
    return array_slice($score, 0, $topK, true);
}

$cases = [[[1, 2, 3], "red apple", 10, null, 0.5], [[-5, 0, 5], "river", 5, null, 0.8], [[3, 3, 3], "cloud stone", 60, null, 0.3],
          [[0, 1, 0], "green", 10, ["even" => true], 0.5], [[1, 0, 0], "", 10, null, 0.5], [[2, 2, -2], "blue light", 7, null, 0.0],
          [[2, 2, -2], "blue light", 7, null, 1.0]];
foreach ($cases as [$v, $q, $k, $f, $w]) {
    $rows = $s->searchHybrid($v, $q, $k, 50.0, $f, $w);
    $want = fused($s, $v, $q, $k, $f, $w);
    $same = array_column($rows, "key") === array_map("strval", array_keys($want));
    foreach ($rows as $r) $same = $same && abs($r["score"] - $want[$r["key"]]) < 1e-12 && array_keys($r) === ["key", "score", "metadata", "text"];
    $texts = true;
    foreach ($rows as $r) $texts = $texts && $r["text"] === ($s->get($r["key"])["text"]);
    echo json_encode($q), " k $k w $w", $f ? " filtered" : "", ": ", count($rows), " rows, ", $same ? "as fused in PHP" : "differ", $texts ? "" : ", texts differ", "\n";
}
foreach ([-0.1, 1.5, NAN] as $w) {
    try {
        $s->searchHybrid([1, 1, 1], "red", 5, 50.0, null, $w);
    } catch (QarbinException $e) {
        echo "textWeight $w: ", $e->getMessage(), "\n";
    }
}
try {
    $s->searchHybrid([1, 1], "red");
} catch (QarbinException $e) {
    echo $e->getMessage(), "\n";
}
echo "topK 0: ", json_encode($s->searchHybrid([1, 1, 1], "red", 0)), "\n";
?>
--EXPECT--
"red apple" k 10 w 0.5: 10 rows, as fused in PHP
"river" k 5 w 0.8: 5 rows, as fused in PHP
"cloud stone" k 60 w 0.3: 60 rows, as fused in PHP
"green" k 10 w 0.5 filtered: 10 rows, as fused in PHP
"" k 10 w 0.5: 10 rows, as fused in PHP
"blue light" k 7 w 0: 7 rows, as fused in PHP
"blue light" k 7 w 1: 7 rows, as fused in PHP
textWeight -0.1: textWeight must be between 0 and 1
textWeight 1.5: textWeight must be between 0 and 1
textWeight NAN: textWeight must be between 0 and 1
Vector dim mismatch: expected 3
topK 0: []
