<?php
// The retrieval calls against what a script writes by hand. Run by bench/run.sh:
//   php -n -d memory_limit=-1 -d extension=<build>/qarbin.so bench/php_retrieval.php [records] [find records] [rounds]
// 1. searchBatch of 1 000 queries against 1 000 search() calls, and similar() against get() plus
//    search(), on `records` (default 100 000) clustered 128-dimension vectors (cosine, memory store,
//    graph built beforehand, precision 50, top 10); rounds alternate the two sides, medians.
// 2. find(): one page of 100 with a filter matching 1% of `find records` (default 1 000 000) records
//    of dimension 128, at the first page, a middle one and the last.
// Prints a Markdown section; goal rows go to the file named by QARBIN_BENCH_GOALS when it is set.
const DIM = 128;
const QUERIES = 1000;
const BATCH = 10000;

$n = (int)($argv[1] ?? 100000);
$findN = (int)($argv[2] ?? 1000000);
$rounds = (int)($argv[3] ?? 7);
$goals = getenv('QARBIN_BENCH_GOALS') ?: null;

function median(array $xs): float {
    sort($xs);
    return $xs[intdiv(count($xs), 2)];
}

function gauss(): float {
    return (mt_rand() + mt_rand() + mt_rand() - 1.5 * mt_getrandmax()) / mt_getrandmax();
}

function timed(callable $f): float {
    $t = hrtime(true);
    $f();
    return (hrtime(true) - $t) / 1e9;
}

mt_srand(26);
$centres = [];
for ($c = 0; $c < 1000; $c++) {
    $v = [];
    for ($d = 0; $d < DIM; $d++) $v[] = mt_rand() / mt_getrandmax() * 2 - 1;
    $centres[] = $v;
}
$point = function () use ($centres): array {
    $c = $centres[mt_rand(0, 999)];
    foreach ($c as &$x) $x += 0.15 * gauss();
    return $c;
};

$s = new QarbinStore(null, ["dimensions" => DIM, "segment_size" => $n]);
for ($off = 0; $off < $n; $off += BATCH) {
    $batch = [];
    for ($i = $off; $i < min($n, $off + BATCH); $i++) $batch[] = ["key" => "k$i", "vector" => $point()];
    $s->batchSet($batch);
}
$build = timed(fn() => $s->buildIndex());
$queries = [];
for ($q = 0; $q < QUERIES; $q++) $queries[] = $point();
$keys = [];
for ($q = 0; $q < QUERIES; $q++) $keys[] = "k" . mt_rand(0, $n - 1);

// The machine is shared: the two sides alternate round by round (searchBatch of all 1 000
// queries against 1 000 search() calls) and key by key for similar(), so a change of load meets
// both alike.
const CHUNK = QUERIES;
$single = $batch = $similar = $byHand = [];
for ($r = 0; $r < $rounds; $r++) {
    $tOne = $tAll = $tSim = $tHand = 0.0;
    foreach (array_chunk($queries, CHUNK) as $c => $chunk) {
        $one = fn() => array_map(fn($q) => $s->search($q, 10, 50.0), $chunk);
        $all = fn() => $s->searchBatch($chunk, 10, 50.0);
        if (($r + $c) % 2 === 0) {
            $tOne += timed($one);
            $tAll += timed($all);
        } else {
            $tAll += timed($all);
            $tOne += timed($one);
        }
    }
    foreach ($keys as $i => $k) {
        $sim = fn() => $s->similar($k, 10, 50.0);
        $hand = function () use ($s, $k) {
            $rows = $s->search($s->get($k)["vector"], 11, 50.0);
            return array_slice(array_values(array_filter($rows, fn($row) => $row["key"] !== $k)), 0, 10);
        };
        if (($r + $i) % 2 === 0) {
            $tSim += timed($sim);
            $tHand += timed($hand);
        } else {
            $tHand += timed($hand);
            $tSim += timed($sim);
        }
    }
    $single[] = $tOne;
    $batch[] = $tAll;
    $similar[] = $tSim;
    $byHand[] = $tHand;
}
$same = $s->searchBatch($queries, 10, 50.0) === array_map(fn($q) => $s->search($q, 10, 50.0), $queries);

// minScore through the graph: the floor is the median score of the fifth row, so about half the
// queries have five rows or more above it. Every row of the plain search at or above the floor
// must come back; the exact rows above it (scan, first EXACT queries) measure what the graph finds.
const EXACT = 200;
$plain = array_map(fn($q) => $s->search($q, 10, 50.0), $queries);
$fifth = array_map(fn($rows) => $rows[4]["score"] ?? -INF, $plain);
$floor = median($fifth);
$floored = $s->searchBatch($queries, 10, 50.0, null, $floor);
$plainAbove = $lost = $exactAbove = $graphFound = 0;
foreach ($plain as $i => $rows) {
    $got = array_column($floored[$i], "score", "key");
    foreach ($rows as $row) {
        if ($row["score"] < $floor) continue;
        $plainAbove++;
        if (!isset($got[$row["key"]])) $lost++;
    }
    if ($i < EXACT) {
        $exact = $s->search($queries[$i], 10, 0, null, $floor);
        $exactAbove += count($exact);
        $graphFound += count(array_intersect(array_column($exact, "key"), array_keys($got)));
    }
}
$s->close();
unset($s);

$tSingle = median($single);
$tBatch = median($batch);
$tSimilar = median($similar);
$tHand = median($byHand);
$batchRatio = $tSingle / $tBatch;
$similarRatio = $tSimilar / $tHand;

// find: tenant t of 100, so one filter value matches 1%.
$f = new QarbinStore(null, ["dimensions" => DIM, "segment_size" => $findN]);
$v = array_fill(0, DIM, 0.5);
for ($off = 0; $off < $findN; $off += BATCH) {
    $batch = [];
    for ($i = $off; $i < min($findN, $off + BATCH); $i++)
        $batch[] = ["key" => "d$i", "vector" => $v, "metadata" => '{"tenant":' . ($i % 100) . ',"doc":"doc' . intdiv($i, 7) . '"}'];
    $f->batchSet($batch);
}
$filter = ["tenant" => 42];
$matches = intdiv($findN, 100);
$pages = [];
foreach (["first" => 0, "middle" => intdiv($matches, 2), "last" => max(0, $matches - 100)] as $name => $offset) {
    $times = [];
    for ($r = 0; $r < $rounds; $r++) {
        $rows = null;
        $times[] = timed(function () use ($f, $filter, $offset, &$rows) { $rows = $f->find($filter, 100, $offset); });
    }
    $pages[$name] = [$offset, count($rows), median($times)];
}
$all = timed(fn() => $f->find($filter, PHP_INT_MAX));
$f->close();

echo "### 8. Retrieval calls from PHP: searchBatch, similar, find\n\n";
printf("%d clustered 128-dimension vectors (1 000 centres), cosine, memory store, graph built beforehand (%.1f s);\n", $n, $build);
printf("%d queries, top 10, precision 50, one thread; median of %d rounds, the two sides alternating round by round\n", QUERIES, $rounds);
printf("(searchBatch of all the queries against one search() call each) and key by key for similar(). searchBatch\n");
printf("returned the same rows as the single searches: %s.\n\n", $same ? "yes" : "NO");
echo "| call | ms for 1 000 | us per query | ratio |\n|---|---:|---:|---:|\n";
printf("| 1 000 search() calls | %.1f | %.1f | |\n", $tSingle * 1e3, $tSingle * 1e3);
printf("| searchBatch() of 1 000 | %.1f | %.1f | %.2fx the throughput |\n", $tBatch * 1e3, $tBatch * 1e3, $batchRatio);
printf("| get() + search() + dropping the key, 1 000 keys | %.1f | %.1f | |\n", $tHand * 1e3, $tHand * 1e3);
printf("| similar(), 1 000 keys | %.1f | %.1f | %.2fx the time |\n\n", $tSimilar * 1e3, $tSimilar * 1e3, $similarRatio);
printf("minScore %.4f (the median fifth score) through the graph: the plain searches returned %d rows at or above it,\n", $floor, $plainAbove);
printf("the floored searches all but %d of them; of the %d exact rows at or above it (exact scan, first %d queries)\n", $lost, $exactAbove, EXACT);
printf("the floored graph searches found %d (%.4f).\n\n", $graphFound, $exactAbove ? $graphFound / $exactAbove : 1.0);
printf("find(): %d records of dimension 128, filter [\"tenant\" => 42] matching %d (1%%), pages of 100, median of %d;\n", $findN, $matches, $rounds);
printf("every match in one call (limit PHP_INT_MAX): %.1f ms.\n\n", $all * 1e3);
echo "| page | offset | rows | ms |\n|---|---:|---:|---:|\n";
foreach ($pages as $name => [$offset, $rows, $t]) printf("| %s | %d | %d | %.2f |\n", $name, $offset, $rows, $t * 1e3);
echo "\n";

if ($goals) {
    file_put_contents($goals, sprintf("| searchBatch of 1000 queries (%dx128, precision 50) >= 1.3x the throughput of 1000 search() calls, one thread | %.2fx | %s |\n",
        $n, $batchRatio, $batchRatio >= 1.3 ? "met" : "missed"), FILE_APPEND);
    file_put_contents($goals, sprintf("| similar() costs no more than get() + search() | %.2fx the time | %s |\n",
        $similarRatio, $similarRatio <= 1.0 ? "met" : "missed"), FILE_APPEND);
    file_put_contents($goals, sprintf("| a graph search with minScore returns every row at or above it of the same search without it (%dx128 clustered, floor %.4f) | %d of %d rows lost; %.4f of the exact rows above the floor found | %s |\n",
        $n, $floor, $lost, $plainAbove, $exactAbove ? $graphFound / $exactAbove : 1.0, $lost === 0 ? "met" : "missed"), FILE_APPEND);
    file_put_contents($goals, sprintf("| find() of one page of 100, 1%% filter, %d records: report the time | first page %.2f ms, last %.2f ms | reported |\n",
        $findN, $pages["first"][2] * 1e3, $pages["last"][2] * 1e3), FILE_APPEND);
}
