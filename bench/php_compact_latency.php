<?php
// Search latency of a read-only reader while a shared store is compacted again and again:
//   php -n -d memory_limit=-1 -d extension=<build>/qarbin.so bench/php_compact_latency.php [records] [dim] [seconds]
// Fills a shm store of `records` (default 20000) uniform random vectors of `dim` (default 128)
// and builds its graph. One forked reader (read-only handle) searches top 10 at the default
// precision for `seconds` (default 20) seconds without compaction, then as long again while
// the parent deletes 5% of the records and compacts every `seconds` / 4 seconds. Prints one
// Markdown row per phase: searches, p50 and p99 in ms, how often stats() said "none".
$n = (int)($argv[1] ?? 20000);
$dim = (int)($argv[2] ?? 128);
$secs = (float)($argv[3] ?? 20);
$name = "bench_clat_" . getmypid();
$phaseFile = sys_get_temp_dir() . "/qarbin_bench_clat_" . getmypid();

function vec(int $seed, int $dim): array {
    mt_srand($seed);
    $v = [];
    for ($j = 0; $j < $dim; $j++) $v[] = mt_rand() / mt_getrandmax() - 0.5;
    return $v;
}
function pct(array $xs, float $p): float {
    sort($xs);
    return $xs[min(count($xs) - 1, (int)floor($p * count($xs)))];
}

QarbinStore::destroy($name);
$s = new QarbinStore($name, ['storage' => 'shm', 'dimensions' => $dim, 'segment_size' => $n]);
for ($i = 0; $i < $n; $i++) $s->set("k$i", vec($i, $dim));
$s->buildIndex();
file_put_contents($phaseFile, "quiet");
$pid = pcntl_fork();
if ($pid === 0) {
    $r = new QarbinStore($name, ['storage' => 'shm', 'dimensions' => $dim, 'writable' => false]);
    $lat = ['quiet' => [], 'compacting' => []];
    $none = ['quiet' => 0, 'compacting' => 0];
    $q = 0;
    while (($phase = @file_get_contents($phaseFile)) !== 'stop') {
        if (!isset($lat[$phase])) continue;
        $v = vec(1000000 + $q++, $dim);
        $t = hrtime(true);
        $r->search($v, 10);
        $lat[$phase][] = (hrtime(true) - $t) / 1e6;
        if ($r->stats()['index_status'] === 'none') $none[$phase]++;
    }
    foreach ($lat as $phase => $xs)
        printf("| %s | %d | %.3f | %.3f | %d |\n", $phase, count($xs), pct($xs, 0.5), pct($xs, 0.99), $none[$phase]);
    exit(0);
}
usleep((int)($secs * 1e6));
file_put_contents($phaseFile, 'compacting');
$end = microtime(true) + $secs;
$next = 0;
$rounds = 0;
$took = [];
while (microtime(true) < $end) {
    for ($k = 0; $k < intdiv($n, 20); $k++) $s->delete("k" . ($next++ % $n));
    $t = microtime(true);
    $s->compact();
    $took[] = microtime(true) - $t;
    $rounds++;
    usleep((int)max(0, ($secs / 4 - (microtime(true) - $t)) * 1e6));
}
file_put_contents($phaseFile, 'stop');
pcntl_waitpid($pid, $status);
printf("compactions: %d, median %.2f s each\n", $rounds, pct($took, 0.5));
$s->close();
QarbinStore::destroy($name);
@unlink($phaseFile);
