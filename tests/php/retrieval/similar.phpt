--TEST--
similar() against get() plus search() without the record itself, and against a plain PHP scan: exact and graph, with filter and minScore; null for a key with no record; a pq store's held-back records too
--INI--
qarbin.pq_subvectors=2
qarbin.pq_training_size=256
--FILE--
<?php
$dim = 6;
mt_srand(3);
$records = [];
for ($i = 0; $i < 500; $i++) {
    $v = [];
    for ($d = 0; $d < $dim; $d++) $v[] = (($i % 10) * 7 + $d * 2) % 9 - 4 + mt_rand(-3, 3);
    $records["k$i"] = [$v, json_encode(["lang" => $i % 3 ? "en" : "de"])];
}
function byHand(QarbinStore $s, string $key, int $topK, float $precision, ?array $filter, ?float $floor): ?array {
    $got = $s->get($key);
    if ($got === null) return null;
    $rows = $s->search($got["vector"], $topK + 1, $precision, $filter, $floor);
    $rows = array_values(array_filter($rows, fn($r) => $r["key"] !== $key));
    return array_slice($rows, 0, $topK);
}
function dot(array $a, array $b): float { $s = 0.0; foreach ($a as $i => $x) $s += $x * $b[$i]; return $s; }

$s = new QarbinStore(null, ["dimensions" => $dim, "distance" => "dot"]);
foreach ($records as $k => [$v, $m]) $s->set($k, $v, $m);
$s->search($records["k0"][0]);  // builds the graph
$cases = [[5, 0.0, null, null], [5, 50.0, null, null], [12, 80.0, ["lang" => "de"], null], [30, 0.0, null, 20.5],
          [8, 50.0, ["lang" => "en"], 10.5], [0, 50.0, null, null]];
$differ = 0;
$checks = 0;
foreach (["k0", "k17", "k123", "k499"] as $key) {
    foreach ($cases as [$topK, $precision, $filter, $floor]) {
        $got = $s->similar($key, $topK, $precision, $filter, $floor);
        if ($got !== byHand($s, $key, $topK, $precision, $filter, $floor)) $differ++;
        $checks++;
    }
    // The exact answer by hand: every other record scored in PHP; the
    // scores agree exactly, and every key carries its own score.
    [$qv] = $records[$key];
    $want = [];
    foreach ($records as $k => [$v]) if ($k !== $key) $want[$k] = dot($qv, $v);
    arsort($want);
    $rows = $s->similar($key, 15, 0);
    $ok = array_column($rows, "score") === array_slice(array_values($want), 0, 15);
    foreach ($rows as $r) $ok = $ok && $want[$r["key"]] === $r["score"] && $r["key"] !== $key;
    echo "$key exact: ", $ok ? "as scanned in PHP" : "DIFFERENT", "\n";
}
echo "against get + search: $checks checks, $differ differing\n";

// Named arguments.
var_dump($s->similar("k5", 4, minScore: 1000.5), count($s->similar(key: "k5", topK: 3, diversity: 0.5)));
foreach (["missing", "", str_repeat("x", 64)] as $key) var_dump($s->similar($key));
$s->delete("k5");
var_dump($s->similar("k5"));
foreach ([["minScore" => NAN], ["diversity" => 2.0]] as $named) {
    try {
        $s->similar("k1", ...$named);
    } catch (QarbinException $e) {
        echo $e->getMessage(), "\n";
    }
}

// Records a pq store still holds back are found by key too.
$pq = new QarbinStore(null, ["dimensions" => $dim, "distance" => "dot", "quantization" => "pq"]);
foreach (array_slice($records, 0, 40, true) as $k => [$v, $m]) $pq->set($k, $v, $m);
$rows = $pq->similar("k7", 5, 0);
var_dump(count($rows), in_array("k7", array_column($rows, "key"), true), $rows === byHand($pq, "k7", 5, 0.0, null, null));
?>
--EXPECT--
k0 exact: as scanned in PHP
k17 exact: as scanned in PHP
k123 exact: as scanned in PHP
k499 exact: as scanned in PHP
against get + search: 24 checks, 0 differing
array(0) {
}
int(3)
NULL
NULL
NULL
NULL
minScore must not be NaN
diversity must be between 0 and 1
int(5)
bool(false)
bool(true)
