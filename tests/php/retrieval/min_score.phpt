--TEST--
search() with minScore against a plain PHP scan: an exact scan returns exactly the rows at or above the floor (up to topK), a graph search the plain search's rows cut at the floor; with and without a filter; positional calls unchanged; NaN refused
--FILE--
<?php
// Small integer components and the dot product: every score is an exact
// integer, so floors at half-integers never meet a rounding question.
$dim = 6;
$n = 600;
mt_srand(11);
$records = [];
for ($i = 0; $i < $n; $i++) {
    $c = $i % 12;
    $v = [];
    for ($d = 0; $d < $dim; $d++) $v[] = (($c * 5 + $d * 3) % 9) - 4 + mt_rand(-2, 2);
    $records["k$i"] = [$v, json_encode(["part" => $i % 4])];
}
function dot(array $a, array $b): float { $s = 0.0; foreach ($a as $i => $x) $s += $x * $b[$i]; return $s; }
function oracle(array $records, array $q, int $topK, float $floor, ?int $part): array {
    $rows = [];
    foreach ($records as $k => [$v, $m]) {
        if ($part !== null && json_decode($m, true)["part"] !== $part) continue;
        $s = dot($q, $v);
        if ($s >= $floor) $rows[$k] = $s;
    }
    arsort($rows);
    return array_slice($rows, 0, $topK, true);
}
// Equal scores may come in any order, and topK may cut through them: the
// same scores in the same order, each key with its own score, and the same
// keys for every score but the lowest.
function same(array $got, array $want, array $scores): bool {
    if (array_values($got) !== array_values($want)) return false;
    foreach ($got as $k => $sc) if (($scores[$k] ?? null) !== $sc) return false;
    $low = $want ? min($want) : 0;
    $above = fn($rows) => array_keys(array_filter($rows, fn($sc) => $sc > $low));
    $a = $above($got); $b = $above($want); sort($a); sort($b);
    return $a === $b;
}
function asMap(array $rows): array { return array_column($rows, "score", "key"); }

$s = new QarbinStore(null, ["dimensions" => $dim, "distance" => "dot"]);
foreach ($records as $k => [$v, $m]) $s->set($k, $v, $m);
$queries = [[3, -1, 2, 0, 1, -2], [-4, 4, 0, 2, -1, 3], [1, 1, 1, 1, 1, 1]];
$checks = 0;
$bad = [];
foreach ($queries as $qi => $q) {
    $scores = oracle($records, $q, $n, -INF, null);
    foreach ([null, 1] as $part) {
        $filter = $part === null ? null : ["part" => $part];
        foreach ([-1000.5, 0.5, 10.5, 20.5, 30.5, 1000.5] as $floor) {
            foreach ([5, 40, 1000] as $topK) {
                $want = oracle($records, $q, $topK, $floor, $part);
                $scan = asMap($s->search($q, $topK, 0, $filter, $floor));
                if (!same($scan, $want, $scores)) $bad[] = "scan q$qi part " . var_export($part, true) . " floor $floor topK $topK";
                $plain = $s->search($q, $topK, 50.0, $filter);
                $cut = array_filter(asMap($plain), fn($sc) => $sc >= $floor);
                $graph = asMap($s->search($q, $topK, 50.0, $filter, $floor));
                if (!same($graph, $cut, $scores)) $bad[] = "graph q$qi part " . var_export($part, true) . " floor $floor topK $topK";
                $checks += 2;
            }
        }
    }
}
echo "index: ", $s->stats()["index_status"], "\n";
echo "checks: $checks, differing: ", $bad ? implode("; ", $bad) : "none", "\n";

// Named arguments skip the ones before; positional calls are what they were.
$q = $queries[0];
var_dump(asMap($s->search($q, 5, minScore: 20.5)) == array_filter(asMap($s->search($q, 5)), fn($x) => $x >= 20.5));
var_dump($s->search($q) === $s->search($q, 10, 50.0, null, null, 0.0));
var_dump(count($s->search($q, 3, 0.0, null)), count($s->search(vector: $q, topK: 7, precision: 0)));
// A floor above every score gives nothing; -INF keeps every row.
var_dump($s->search($q, 10, 0, null, INF), count($s->search($q, 10, 0, null, -INF)));
try {
    $s->search($q, 5, minScore: NAN);
} catch (QarbinException $e) {
    echo get_class($e), ": ", $e->getMessage(), "\n";
}
?>
--EXPECT--
index: ready
checks: 216, differing: none
bool(true)
bool(true)
int(3)
int(7)
array(0) {
}
int(10)
QarbinException: minScore must not be NaN
