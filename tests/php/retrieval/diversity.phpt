--TEST--
search() with diversity on groups of near-duplicates: 0 gives exactly the plain rows, the best hit stays first, and the rows are those a plain PHP maximal-marginal-relevance pass chooses from the same candidates (scan and graph); more groups reach the top; out-of-range values refused
--FILE--
<?php
$dim = 8;
mt_srand(9);
$group = [];
$s = new QarbinStore(null, ["dimensions" => $dim, "distance" => "dot"]);
// Six groups of five near-copies, among 300 scattered records.
for ($g = 0; $g < 6; $g++) {
    $base = [];
    for ($d = 0; $d < $dim; $d++) $base[] = (($g * 3 + $d * 5) % 7) - 1 + ($d === $g ? 4 : 0);
    for ($c = 0; $c < 5; $c++) {
        $v = $base;
        $v[$c] += 1;
        $s->set("g$g-$c", $v);
        $group["g$g-$c"] = $g;
    }
}
for ($i = 0; $i < 300; $i++) {
    $v = [];
    for ($d = 0; $d < $dim; $d++) $v[] = mt_rand(-2, 2);
    $s->set("r$i", $v);
    $group["r$i"] = "r$i";
}
function dot(array $a, array $b): float { $s = 0.0; foreach ($a as $i => $x) $s += $x * $b[$i]; return $s; }
// The pass by hand over candidate rows (best first).
function mmr(QarbinStore $s, array $cands, int $k, float $d): array {
    $vec = array_map(fn($r) => $s->get($r["key"])["vector"], $cands);
    $n = count($cands);
    $like = array_fill(0, $n, -INF);
    $taken = [0 => true];
    $chosen = [$cands[0]];
    $last = 0;
    while (count($chosen) < min($k, $n)) {
        $best = -1;
        $bestValue = 0.0;
        for ($i = 0; $i < $n; $i++) {
            if (isset($taken[$i])) continue;
            $like[$i] = max($like[$i], dot($vec[$i], $vec[$last]));
            $value = (1.0 - $d) * $cands[$i]["score"] - $d * $like[$i];
            if ($best < 0 || $value > $bestValue) { $best = $i; $bestValue = $value; }
        }
        $taken[$best] = true;
        $chosen[] = $cands[$best];
        $last = $best;
    }
    return $chosen;
}
$groupsIn = fn(array $rows) => count(array_unique(array_map(fn($r) => $group[$r["key"]], $rows)));

$queries = [[1, 4, 2, 0, 3, 1, 0, 2], [5, 0, 1, 3, 0, 2, 1, 0], [0, 2, 6, 1, 0, 3, 2, 1]];
$s->search($queries[0]);  // builds the graph
foreach ($queries as $qi => $q) {
    foreach ([0.0, 50.0] as $precision) {
        $plain = $s->search($q, 10, $precision);
        $line = [];
        $line[] = $s->search($q, 10, $precision, diversity: 0.0) === $plain ? "0 plain" : "0 DIFFERENT";
        // The candidates: the beam of 50 (the breadth a scan uses too).
        $cands = $s->search($q, 50, $precision);
        foreach ([0.3, 0.7, 1.0] as $d) {
            $rows = $s->search($q, 10, $precision, diversity: $d);
            $ok = $rows === mmr($s, $cands, 10, $d) && $rows[0] === $plain[0];
            $line[] = sprintf("%.1f %s", $d, $ok ? "as by hand" : "DIFFERENT");
        }
        printf("q%d p%-2d %s; groups in the top 5: %d plain, %d at 0.7\n", $qi, $precision, implode(", ", $line),
            $groupsIn(array_slice($plain, 0, 5)), $groupsIn(array_slice($s->search($q, 5, $precision, diversity: 0.7), 0, 5)));
    }
}
// Diversity with a floor: chosen among the rows at or above it.
$rows = $s->search($queries[0], 10, 0, minScore: 20.5, diversity: 0.5);
var_dump(count($rows) > 0 && min(array_column($rows, "score")) >= 20.5);
foreach ([-0.01, 1.01, NAN, INF] as $d) {
    try {
        $s->search($queries[0], 5, diversity: $d);
    } catch (QarbinException $e) {
        echo $e->getMessage(), "\n";
    }
}
?>
--EXPECT--
q0 p0  0 plain, 0.3 as by hand, 0.7 as by hand, 1.0 as by hand; groups in the top 5: 1 plain, 5 at 0.7
q0 p50 0 plain, 0.3 as by hand, 0.7 as by hand, 1.0 as by hand; groups in the top 5: 1 plain, 5 at 0.7
q1 p0  0 plain, 0.3 as by hand, 0.7 as by hand, 1.0 as by hand; groups in the top 5: 2 plain, 5 at 0.7
q1 p50 0 plain, 0.3 as by hand, 0.7 as by hand, 1.0 as by hand; groups in the top 5: 2 plain, 5 at 0.7
q2 p0  0 plain, 0.3 as by hand, 0.7 as by hand, 1.0 as by hand; groups in the top 5: 1 plain, 5 at 0.7
q2 p50 0 plain, 0.3 as by hand, 0.7 as by hand, 1.0 as by hand; groups in the top 5: 1 plain, 5 at 0.7
bool(true)
diversity must be between 0 and 1
diversity must be between 0 and 1
diversity must be between 0 and 1
diversity must be between 0 and 1
