<?php
// Compaction, dimension 128. Run by bench/run.sh:
//   php -n -d memory_limit=-1 -d extension=<build>/qarbin.so bench/php_compact.php [records] [rounds]
// records: the store size of the timing table (default 1000000); rounds: timed rounds (median, default 3).
// 1. Per mode: loading `records` records with batchSet (batches of 10 000) against compact() of a store
//    holding them with one record in ten replaced; the ratio is compact / load.
// 2. Per mode: 20 000 rewrites of one key, then compact(): bytes used before and after (memory: resident
//    set growth of this process; disk: allocated blocks of the directory; shm: allocated blocks of the
//    store's objects in /dev/shm), and memory_mb (the mapped size).
// Prints two Markdown sections; goal rows go to the file named by QARBIN_BENCH_GOALS when it is set.
const DIM = 128;
const BATCH = 10000;

$n = (int)($argv[1] ?? 1000000);
$rounds = (int)($argv[2] ?? 3);
$goals = getenv('QARBIN_BENCH_GOALS') ?: null;

function median(array $xs): float {
    sort($xs);
    return $xs[intdiv(count($xs), 2)];
}

function removeTree(string $dir): void {
    foreach (glob("$dir/*") ?: [] as $f) is_dir($f) ? removeTree($f) : unlink($f);
    @rmdir($dir);
}

function allocated(array $files): int {
    $bytes = 0;
    foreach ($files as $f) {
        clearstatcache(true, $f);
        $st = @stat($f);
        if ($st) $bytes += $st['blocks'] * 512;
    }
    return $bytes;
}

function rss(): int {
    preg_match('/VmRSS:\s+(\d+) kB/', file_get_contents('/proc/self/status'), $m);
    return (int)$m[1] * 1024;
}

// Bytes the store's records use in its mode, as the system counts them.
function used(string $mode, $where, int $rssBase): int {
    if ($mode === 'memory') return max(0, rss() - $rssBase);
    if ($mode === 'disk') return allocated(glob("$where/*") ?: []);
    return allocated(glob("/dev/shm/qb_$where*") ?: []);
}

function openStore(string $mode, $where): QarbinStore {
    return new QarbinStore($where, ['storage' => $mode, 'dimensions' => DIM]);
}

function place(string $mode, string $tag) {
    if ($mode === 'memory') return null;
    if ($mode === 'disk') return sys_get_temp_dir() . "/qarbin_bench_compact_$tag" . getmypid();
    return "bench_compact_$tag" . getmypid();
}

function release(string $mode, $where): void {
    if ($mode === 'disk') removeTree($where);
    if ($mode === 'shm') QarbinStore::destroy($where);
}

mt_srand(42);
$vectors = [];
for ($i = 0; $i < BATCH; $i++) {
    $v = [];
    for ($j = 0; $j < DIM; $j++) $v[] = mt_rand() / mt_getrandmax() - 0.5;
    $vectors[] = $v;
}

function batch(int $from): array {
    global $vectors;
    $b = [];
    foreach ($vectors as $i => $v) $b[] = ['key' => 'k' . ($from + $i), 'vector' => $v];
    return $b;
}

$shmFree = disk_free_space('/dev/shm') ?: 0;
echo "### Compaction against loading, dimension 128, $n records\n\n";
echo "Load: batchSet of $n records into a new store. Compact: compact() of a store holding them after one record in\n";
echo "ten was replaced (so " . intdiv($n, 10) . " slots are reclaimed and $n records rewritten). Median of $rounds rounds.\n\n";
echo "| mode | load s | compact s | compact / load | slots reclaimed |\n|---|---:|---:|---:|---:|\n";
foreach (['memory', 'disk', 'shm'] as $mode) {
    // Both copies exist while compact() runs; a slot of dimension 128 is 640 bytes.
    if ($mode === 'shm' && $n * 640 * 2.2 > $shmFree) {
        printf("| %s | skipped: /dev/shm has %.0f MiB free | | | |\n", $mode, $shmFree / 1048576);
        continue;
    }
    $load = $compact = [];
    $reclaimed = 0;
    for ($r = 0; $r < $rounds; $r++) {
        $where = place($mode, "t$r");
        release($mode, $where);
        $s = openStore($mode, $where);
        $t = 0.0;
        for ($from = 0; $from < $n; $from += BATCH) {
            $b = array_slice(batch($from), 0, min(BATCH, $n - $from));
            $t0 = hrtime(true);
            $s->batchSet($b);
            $t += (hrtime(true) - $t0) / 1e9;
        }
        $load[] = $t;
        for ($i = 0; $i < $n; $i += 10) $s->set("k$i", $vectors[($i + 1) % BATCH]);
        $t0 = hrtime(true);
        $reclaimed = $s->compact();
        $compact[] = (hrtime(true) - $t0) / 1e9;
        $s->close();
        release($mode, $where);
    }
    $ratio = median($compact) / median($load);
    printf("| %s | %.2f | %.2f | %.2f | %d |\n", $mode, median($load), median($compact), $ratio, $reclaimed);
    if ($goals) {
        file_put_contents($goals, sprintf("| compact() of %d records no slower than loading them with batchSet (%s) | %.2f x the load time | %s |\n",
            $n, $mode, $ratio, $ratio <= 1.0 ? "met" : "not met"), FILE_APPEND);
    }
}

echo "\n### 20 000 rewrites of one key, then compact()\n\n";
echo "Bytes used: memory, growth of this process's resident set over the store's life; disk, allocated blocks of the\n";
echo "directory; shm, allocated blocks of the store's objects in /dev/shm. mapped MiB is stats()['memory_mb'].\n";
echo "Default segment sizes (memory 4096 slots; disk and shm 10 000 000 slots, sparse).\n\n";
echo "| mode | used before | used after | mapped MiB before | mapped MiB after | dead before | segments after |\n";
echo "|---|---:|---:|---:|---:|---:|---:|\n";
foreach (['memory', 'disk', 'shm'] as $mode) {
    $where = place($mode, "one");
    release($mode, $where);
    gc_collect_cycles();
    $base = rss();
    $s = openStore($mode, $where);
    $v = $vectors[0];
    for ($i = 0; $i < 20000; $i++) {
        $v[0] = $i;
        $s->set('only', $v);
    }
    $st = $s->stats();
    $usedBefore = used($mode, $where, $base);
    $s->compact();
    $after = $s->stats();
    $usedAfter = used($mode, $where, $base);
    printf("| %s | %.1f MiB | %.2f MiB | %.1f | %.1f | %d | %d |\n", $mode, $usedBefore / 1048576, $usedAfter / 1048576,
        $st['memory_mb'], $after['memory_mb'], $st['dead_count'], $after['segment_count']);
    if ($goals) {
        // One segment's minimum: what a new store of this mode maps or allocates before its first record.
        file_put_contents($goals, sprintf("| 20 000 rewrites of one key, then compact(): one record within one segment's minimum (%s) | %.2f MiB used, %d segment | %s |\n",
            $mode, $usedAfter / 1048576, $after['segment_count'], $after['segment_count'] === 1 && $after['dead_count'] === 0 ? "met" : "not met"), FILE_APPEND);
    }
    $s->close();
    release($mode, $where);
}
echo "\n";
