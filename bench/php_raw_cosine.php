<?php
// Graph search on raw cosine vectors against the same vectors fed as unit
// vectors, at equal precision: the stored norm is what keeps them level.
//   php -n -d memory_limit=-1 -d extension=<build>/qarbin.so bench/php_raw_cosine.php [records] [dim]
// Clustered vectors with norms spread over 0.5 .. 4; 1 000 queries at
// precision 50, median of 5 passes per store. Prints one Markdown row and
// a goal row to QARBIN_BENCH_GOALS when it is set.
$n = (int)($argv[1] ?? 100000);
$dim = (int)($argv[2] ?? 384);
mt_srand(7);
$centres = [];
for ($c = 0; $c < 100; $c++) for ($j = 0; $j < $dim; $j++) $centres[$c][$j] = mt_rand() / mt_getrandmax() * 2 - 1;
$gauss = fn() => sqrt(-2 * log(max(1e-12, mt_rand() / mt_getrandmax()))) * cos(2 * M_PI * mt_rand() / mt_getrandmax());
$point = function () use ($centres, $dim, $gauss) {
    $c = $centres[mt_rand(0, 99)];
    $scale = 0.5 + 3.5 * mt_rand() / mt_getrandmax();
    $v = [];
    for ($j = 0; $j < $dim; $j++) $v[] = ($c[$j] + 0.3 * $gauss()) * $scale;
    return $v;
};
$unit = function (array $v) {
    $s = sqrt(array_sum(array_map(fn($x) => $x * $x, $v)));
    return array_map(fn($x) => $x / $s, $v);
};
$raw = new QarbinStore(null, ["dimensions" => $dim, "segment_size" => $n]);
$norm = new QarbinStore(null, ["dimensions" => $dim, "segment_size" => $n]);
$rows = [[], []];
for ($i = 0; $i < $n; $i++) {
    $v = $point();
    $rows[0][] = ["key" => "k$i", "vector" => $v];
    $rows[1][] = ["key" => "k$i", "vector" => $unit($v)];
    if (count($rows[0]) === 5000) {
        $raw->batchSet($rows[0]);
        $norm->batchSet($rows[1]);
        $rows = [[], []];
    }
}
if ($rows[0]) { $raw->batchSet($rows[0]); $norm->batchSet($rows[1]); }
$raw->buildIndex();
$norm->buildIndex();
$queries = [];
for ($q = 0; $q < 1000; $q++) $queries[] = $point();
$unitQueries = array_map($unit, $queries);
$qps = function (QarbinStore $s, array $qs) {
    $t = [];
    for ($round = 0; $round < 5; $round++) {
        $t0 = hrtime(true);
        foreach ($qs as $q) $s->search($q, 10, 50);
        $t[] = (hrtime(true) - $t0) / 1e9;
    }
    sort($t);
    return count($qs) / $t[2];
};
$r = $qps($raw, $queries);
$u = $qps($norm, $unitQueries);
printf("| %d x %d, precision 50 | %.0f | %.0f | %.2f |\n", $n, $dim, $r, $u, $r / $u);
if ($goals = getenv("QARBIN_BENCH_GOALS")) {
    file_put_contents($goals, sprintf("| graph QPS on raw cosine vectors / the same fed as unit vectors, %d x %d, precision 50, >= 0.95 | %.2f | %s |\n",
        $n, $dim, $r / $u, $r / $u >= 0.95 ? "met" : "missed"), FILE_APPEND);
}
