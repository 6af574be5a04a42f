<?php
// Compaction of a shared store whose graphs are built, uniform random vectors:
//   php -n -d memory_limit=-1 -d extension=<build>/qarbin.so bench/php_compact_graphs.php [records] [dim]
// Fills a shm store of `records` (default 100000) vectors of `dim` (default 384)
// components uniform in [-0.5, 0.5) with batchSet, times buildIndex(), deletes one
// record in ten, then times compact(), which builds the new segments' graphs before
// the switch. Prints one Markdown table row: records, dim, build s, compact s,
// index_status and unindexed_count after, /dev/shm bytes allocated by the store
// before, at the peak (sampled by a forked watcher) and after.
$n = (int)($argv[1] ?? 100000);
$dim = (int)($argv[2] ?? 384);
$name = "bench_cgraphs_" . getmypid();
$stop = sys_get_temp_dir() . "/qarbin_bench_cgraphs_" . getmypid();

function shmBytes(string $name): int {
    $bytes = 0;
    foreach (glob("/dev/shm/qb_$name*") ?: [] as $f) {
        clearstatcache(true, $f);
        $st = @stat($f);
        if ($st) $bytes += $st['blocks'] * 512;
    }
    return $bytes;
}

QarbinStore::destroy($name);
$s = new QarbinStore($name, ['storage' => 'shm', 'dimensions' => $dim, 'segment_size' => $n]);
mt_srand(42);
$batch = [];
for ($i = 0; $i < $n; $i++) {
    $v = [];
    for ($j = 0; $j < $dim; $j++) $v[] = mt_rand() / mt_getrandmax() - 0.5;
    $batch[] = ['key' => "k$i", 'vector' => $v];
    if (count($batch) === 5000 || $i === $n - 1) {
        $s->batchSet($batch);
        $batch = [];
    }
}
$t = microtime(true);
$s->buildIndex();
$build = microtime(true) - $t;
for ($i = 0; $i < $n; $i += 10) $s->delete("k$i");
$before = shmBytes($name);
@unlink($stop);
$pid = pcntl_fork();
if ($pid === 0) {
    $peak = 0;
    while (!file_exists($stop)) {
        $peak = max($peak, shmBytes($name));
        usleep(200000);
    }
    file_put_contents("$stop.peak", $peak);
    exit(0);
}
$t = microtime(true);
$given = $s->compact();
$compact = microtime(true) - $t;
touch($stop);
pcntl_waitpid($pid, $status);
$peak = (int)file_get_contents("$stop.peak");
$st = $s->stats();
$after = shmBytes($name);
printf("| %d | %d | %.1f | %.1f | %d | %s | %d | %.0f MiB | %.0f MiB | %.0f MiB |\n", $n, $dim, $build, $compact, $given,
       $st['index_status'], $st['unindexed_count'], $before / 1048576, $peak / 1048576, $after / 1048576);
$s->close();
QarbinStore::destroy($name);
@unlink($stop);
@unlink("$stop.peak");
