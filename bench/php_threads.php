<?php
// Graph builds and batch searches on two threads against one. Run by bench/run.sh:
//   php -n -d memory_limit=-1 -d extension=<build>/qarbin.so bench/php_threads.php [records] [fashion idx] [rounds]
// 1. buildIndex of `records` (default 100 000) clustered 384-dimension vectors (1 000 centres, cosine)
//    and of the 60 000 Fashion-MNIST training images (Euclidean), each on 1 and on 2 threads: the
//    records are written once into a disk store whose file is copied, so both builds see the same
//    bytes. recall@10 at precision 40 of 200 queries against the exhaustive scan.
// 2. searchBatch of 1 000 queries (top 10, precision 50) on the one-thread graph loaded into a
//    memory store, with a handle of 1 and of 2 threads, alternating, `rounds` (default 5) each; medians.
// Prints a Markdown section; goal rows go to the file named by QARBIN_BENCH_GOALS when it is set.
const QUERIES = 1000;
const RECALL_QUERIES = 200;
const BATCH = 5000;

$n = (int)($argv[1] ?? 100000);
$fashion = $argv[2] ?? __DIR__ . "/data/train-images.idx";
$rounds = (int)($argv[3] ?? 5);
$goals = getenv('QARBIN_BENCH_GOALS') ?: null;
$work = sys_get_temp_dir() . "/qb_threads_bench_" . getmypid();

function median(array $xs): float {
    sort($xs);
    return $xs[intdiv(count($xs), 2)];
}
function timed(callable $f): float {
    $t = hrtime(true);
    $f();
    return (hrtime(true) - $t) / 1e9;
}
function gauss(): float {
    return (mt_rand() + mt_rand() + mt_rand() - 1.5 * mt_getrandmax()) / mt_getrandmax();
}
function removeDir(string $dir): void {
    foreach (glob("$dir/*") ?: [] as $f) unlink($f);
    @rmdir($dir);
}
function open(string $dir, int $dim, string $distance, int $threads, int $n): QarbinStore {
    return new QarbinStore($dir, ["dimensions" => $dim, "distance" => $distance, "threads" => $threads,
                                  "segment_size" => $n]);
}
function keys(array $rows): array { return array_column($rows, "key"); }

// Writes the records once, copies the file, builds on 1 and on 2 threads, and measures.
function measure(string $name, string $work, int $dim, string $distance, int $n, callable $fill, array $queries,
                 int $rounds): array {
    $one = "$work/one";
    $two = "$work/two";
    @mkdir($work);
    @mkdir($one);
    $s = open($one, $dim, $distance, 1, $n);
    $fill($s);
    $s->close();
    @mkdir($two);
    // The file is sparse: a plain copy would write every hole.
    exec("cp --sparse=always " . escapeshellarg("$one/seg_0000.qbseg") . " " . escapeshellarg("$two/seg_0000.qbseg"));

    $row = ["name" => $name];
    $recallQueries = array_slice($queries, 0, RECALL_QUERIES);
    foreach ([1 => $one, 2 => $two] as $t => $dir) {
        $s = open($dir, $dim, $distance, $t, $n);
        $row["build$t"] = timed(fn() => $s->buildIndex());
        $found = 0;
        foreach ($recallQueries as $q) {
            $found += count(array_intersect(keys($s->search($q, 10, 40)), keys($s->search($q, 10, 0))));
        }
        $row["recall$t"] = $found / (10 * count($recallQueries));
        $s->close();
    }
    // The same graph for both sides of the batch, the one built on one thread, loaded into a
    // memory store: a disk store lets its record pages go after each call, and faulting them
    // in again would be what the threads wait for.
    $times = [1 => [], 2 => []];
    for ($r = 0; $r < $rounds; $r++) {
        foreach ($r % 2 ? [2, 1] : [1, 2] as $t) {
            $s = new QarbinStore($one, ["storage" => "memory", "dimensions" => $dim, "distance" => $distance,
                                        "threads" => $t]);
            $s->searchBatch(array_slice($queries, 0, 20), 10, 50.0);  // pages in, scratch made
            $times[$t][] = timed(fn() => $s->searchBatch($queries, 10, 50.0));
            $s->close();
        }
    }
    $row["batch1"] = median($times[1]);
    $row["batch2"] = median($times[2]);
    removeDir($one);
    removeDir($two);
    @rmdir($work);
    return $row;
}

$rows = [];
$load = [];

// Clustered 384-dimension vectors.
mt_srand(38);
$centres = [];
for ($c = 0; $c < 1000; $c++) {
    $v = [];
    for ($d = 0; $d < 384; $d++) $v[] = mt_rand() / mt_getrandmax() * 2 - 1;
    $centres[] = $v;
}
$point = function () use ($centres): array {
    $c = $centres[mt_rand(0, 999)];
    foreach ($c as &$x) $x += 0.15 * gauss();
    return $c;
};
$queries = [];
for ($q = 0; $q < QUERIES; $q++) $queries[] = $point();
$fillClustered = function (QarbinStore $s) use ($n, $point) {
    for ($off = 0; $off < $n; $off += BATCH) {
        $batch = [];
        for ($i = $off; $i < min($n, $off + BATCH); $i++) $batch[] = ["key" => "k$i", "vector" => $point()];
        $s->batchSet($batch);
    }
};
$load[] = sys_getloadavg()[0];
$rows[] = measure(sprintf("%d x 384 clustered, cosine", $n), $work, 384, "cosine", $n, $fillClustered, $queries,
                  $rounds);

// Fashion-MNIST: 60 000 training images of 784 pixels; the queries are the last 1 000 of them.
if (is_readable($fashion)) {
    $bytes = file_get_contents($fashion);
    $count = unpack("N", $bytes, 4)[1];
    $pixels = 784;
    $image = fn(int $i): array => array_values(unpack("C$pixels", $bytes, 16 + $i * $pixels));
    $fmQueries = [];
    for ($q = 0; $q < QUERIES; $q++) $fmQueries[] = $image($count - 1 - $q);
    $fillFashion = function (QarbinStore $s) use ($count, $image) {
        for ($off = 0; $off < $count; $off += BATCH) {
            $batch = [];
            for ($i = $off; $i < min($count, $off + BATCH); $i++) $batch[] = ["key" => "f$i", "vector" => $image($i)];
            $s->batchSet($batch);
        }
    };
    $load[] = sys_getloadavg()[0];
    $rows[] = measure("$count x 784 Fashion-MNIST, Euclidean", $work, 784, "euclidean", $count, $fillFashion,
                      $fmQueries, $rounds);
    unset($bytes);
}

echo "### Threads: buildIndex and searchBatch on two threads against one\n\n";
printf("One segment per store, disk mode, default M and ef_construction; the records are written once and the\n"
    . "segment file copied, so both builds see the same bytes. recall@10 at precision 40 of %d queries against\n"
    . "the exhaustive scan. searchBatch: %d queries, top 10, precision 50, on the one-thread graph loaded into a\n"
    . "memory store, the two handles alternating, median of %d rounds. 1-minute load average before each set: %s (2 cores, shared).\n\n",
    RECALL_QUERIES, QUERIES, $rounds, implode(", ", $load));
echo "| data | build 1 thread s | build 2 threads s | speed-up | recall 1 | recall 2 | searchBatch 1 thread s | 2 threads s | speed-up |\n";
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|\n";
foreach ($rows as $r) {
    printf("| %s | %.1f | %.1f | %.2fx | %.3f | %.3f | %.3f | %.3f | %.2fx |\n", $r["name"], $r["build1"], $r["build2"],
        $r["build1"] / $r["build2"], $r["recall1"], $r["recall2"], $r["batch1"], $r["batch2"], $r["batch1"] / $r["batch2"]);
    if ($goals) {
        $speed = $r["build1"] / $r["build2"];
        file_put_contents($goals, sprintf("| buildIndex on 2 threads >= 1.8x one thread, recall@10 at precision 40 within 0.01 (%s) | %.2fx, recall %.3f vs %.3f | %s |\n",
            $r["name"], $speed, $r["recall2"], $r["recall1"],
            $speed >= 1.8 && $r["recall2"] >= $r["recall1"] - 0.01 ? "met" : "not met (shared machine)"), FILE_APPEND);
        $speed = $r["batch1"] / $r["batch2"];
        file_put_contents($goals, sprintf("| searchBatch of 1 000 queries on 2 threads >= 1.8x one thread (%s) | %.2fx | %s |\n",
            $r["name"], $speed, $speed >= 1.8 ? "met" : "not met (shared machine)"), FILE_APPEND);
    }
}
echo "\n";
