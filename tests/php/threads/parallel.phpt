--TEST--
Threads: a two-thread build recalls as one thread does against the exhaustive scan; an exception thrown by the progress callable stops a parallel build with usable graphs; searchBatch on threads gives the rows of search, row for row
--FILE--
<?php
$dim = 32;
function clustered(int $n, int $dim, int $seed): array {
    mt_srand($seed);
    $centres = [];
    for ($c = 0; $c < 40; $c++) for ($i = 0; $i < $dim; $i++) $centres[$c][$i] = mt_rand(-1000, 1000) / 1000;
    $out = [];
    for ($k = 0; $k < $n; $k++) {
        $v = $centres[$k % 40];
        for ($i = 0; $i < $dim; $i++) $v[$i] += mt_rand(-250, 250) / 1000;
        $out[] = $v;
    }
    return $out;
}
function filled(array $vectors, int $threads): QarbinStore {
    $s = new QarbinStore(null, ["dimensions" => 32, "threads" => $threads]);
    foreach ($vectors as $k => $v) $s->set("k$k", $v, json_encode(["n" => $k % 7]));
    return $s;
}
function keys(array $rows): array { return array_column($rows, "key"); }
// At a broad beam: on this hard set precision 40 recalls only 0.85, where the
// links a busy machine's thread timing gives a two-thread graph moved recall by
// more than 0.01 in one run; near 0.99 such differences stay small.
function recall(QarbinStore $s, array $queries): float {
    $found = 0;
    foreach ($queries as $q) $found += count(array_intersect(keys($s->search($q, 10, 300)), keys($s->search($q, 10, 0))));
    return $found / (10 * count($queries));
}

$data = clustered(8000, $dim, 11);
$queries = clustered(200, $dim, 12);
$recall = [];
foreach ([1, 2] as $t) {
    $s = filled($data, $t);
    echo "threads $t: ", $s->stats()["threads"], ", built ", $s->buildIndex(), "\n";
    $recall[$t] = recall($s, $queries);
}
echo "recall of one thread: ", round($recall[1], 3), "\n";
echo "two threads within 0.01 of one: ", var_export($recall[2] >= $recall[1] - 0.01, true), "\n";

// The callable throws while a parallel build is under way: a broad construction beam
// keeps the build from finishing within its first step of about a second.
$big = clustered(30000, $dim, 13);
ini_set("qarbin.hnsw_construction_ef", "600");
$s = filled($big, 2);
ini_restore("qarbin.hnsw_construction_ef");
$calls = 0;
try {
    $s->buildIndex(function (int $done, int $total) use (&$calls) {
        $calls++;
        throw new RuntimeException("stop at $done of $total");
    });
} catch (RuntimeException $e) {
    echo "thrown after ", $calls, " call: ", preg_replace('~\d+~', 'N', $e->getMessage()), "\n";
}
$st = $s->stats();
echo "graph ", $st["index_status"], ", some left: ", var_export($st["unindexed_count"] > 0, true), "\n";
$lost = 0;
for ($k = 0; $k < 30000; $k += 73) if ((keys($s->search($big[$k], 1, 64))[0] ?? null) !== "k$k") $lost++;
echo "records not found by their own vector: $lost\n";
echo "the next build finishes: ", $s->buildIndex(), ", left ", $s->stats()["unindexed_count"], "\n";

// searchBatch spreads the queries over the threads: the rows of search.
$batchQueries = array_merge($queries, array_slice($big, 0, 300));
foreach ([[10, 50.0, null], [5, 0.0, null], [20, 80.0, ["n" => 3]], [3, 40.0, ["n" => ['$in' => [1, 2]]]]] as [$k, $p, $f]) {
    $batch = $s->searchBatch($batchQueries, $k, $p, $f);
    $same = count($batch) === count($batchQueries);
    foreach ($batchQueries as $i => $q) $same = $same && $batch[$i] === $s->search($q, $k, $p, $f);
    echo "searchBatch k=$k precision=$p", $f ? " filtered" : "", ": ", $same ? "same rows" : "different", "\n";
}
?>
--EXPECT--
threads 1: 1, built 8000
threads 2: 2, built 8000
recall of one thread: 0.986
two threads within 0.01 of one: true
thrown after 1 call: stop at N of N
graph ready, some left: true
records not found by their own vector: 0
the next build finishes: 30000, left 0
searchBatch k=10 precision=50: same rows
searchBatch k=5 precision=0: same rows
searchBatch k=20 precision=80 filtered: same rows
searchBatch k=3 precision=40 filtered: same rows
