<?php
// batchSet records per second at growing store sizes, per storage mode,
// dimension 128. Run by bench/run.sh:
//   php -n -d memory_limit=-1 -d extension=<build>/qarbin.so bench/php_writes.php [sizes] [rounds]
// sizes: comma-separated record counts (default 10000,100000,1000000).
// Records go in as batches of 10 000 (the same 10 000 random vectors under
// new keys); only the batchSet calls are timed. Prints Markdown table rows,
// and goal rows to the file named by QARBIN_BENCH_GOALS when it is set.
const DIM = 128;
const BATCH = 10000;

$sizes = array_map('intval', explode(',', $argv[1] ?? '10000,100000,1000000'));
$rounds = (int)($argv[2] ?? 3);

function median(array $xs): float {
    sort($xs);
    return $xs[intdiv(count($xs), 2)];
}

function removeTree(string $dir): void {
    foreach (glob("$dir/*") ?: [] as $f) unlink($f);
    @rmdir($dir);
}

mt_srand(42);
$vectors = [];
for ($i = 0; $i < BATCH; $i++) {
    $v = [];
    for ($j = 0; $j < DIM; $j++) $v[] = mt_rand() / mt_getrandmax() - 0.5;
    $vectors[] = $v;
}

$shmFree = disk_free_space('/dev/shm') ?: 0;
$perRecord = [];
foreach (['memory', 'disk', 'shm'] as $mode) {
    foreach ($sizes as $n) {
        // A slot of dimension 128 is 640 bytes; keep a margin for the graph areas.
        if ($mode === 'shm' && $n * 2000 > $shmFree) {
            printf("| %s | %d | skipped: /dev/shm has %.0f MiB free | | |\n", $mode, $n, $shmFree / 1048576);
            continue;
        }
        $rates = [];
        for ($r = 0; $r < $rounds; $r++) {
            $where = null;
            $opts = ["storage" => $mode, "dimensions" => DIM];
            if ($mode === 'disk') {
                $where = sys_get_temp_dir() . "/qarbin_bench_" . getmypid();
                removeTree($where);
                mkdir($where);
            } elseif ($mode === 'shm') {
                $where = "bench_w" . getmypid();
                QarbinStore::destroy($where);
            }
            $s = new QarbinStore($where, $opts);
            $elapsed = 0;
            for ($off = 0; $off < $n; $off += BATCH) {
                $records = [];
                $m = min(BATCH, $n - $off);
                for ($i = 0; $i < $m; $i++) $records[] = ["key" => "k" . ($off + $i), "vector" => $vectors[$i]];
                $t = hrtime(true);
                $stored = $s->batchSet($records);
                $elapsed += hrtime(true) - $t;
                if ($stored !== $m) {
                    fprintf(STDERR, "batchSet stored %d of %d (%s, %d)\n", $stored, $m, $mode, $off);
                    exit(1);
                }
            }
            if ($s->count() !== $n) {
                fprintf(STDERR, "count %d, expected %d\n", $s->count(), $n);
                exit(1);
            }
            $segments = $s->stats()["segment_count"] ?? 0;
            $s->close();
            if ($mode === 'disk') removeTree($where);
            if ($mode === 'shm') QarbinStore::destroy($where);
            $rates[] = $n / ($elapsed / 1e9);
        }
        $rate = median($rates);
        $perRecord[$mode][$n] = 1e6 / $rate;
        printf("| %s | %d | %.0f | %.2f | %s |\n", $mode, $n, $rate, 1e6 / $rate, $segments ?: "?");
    }
}

$goals = getenv('QARBIN_BENCH_GOALS');
if ($goals) {
    $lo = min($sizes);
    $hi = max($sizes);
    $parts = [];
    $met = true;
    foreach ($perRecord as $mode => $t) {
        if (!isset($t[$lo], $t[$hi])) continue;
        $ratio = $t[$hi] / $t[$lo];
        $met = $met && $ratio <= 1.3;
        $parts[] = sprintf("%s %.2f", $mode, $ratio);
    }
    file_put_contents($goals, sprintf("| writes linear: per-record time at %d within 1.3x of that at %d | %s | %s |\n",
        $hi, $lo, implode(", ", $parts), $met ? "met" : "missed"), FILE_APPEND);
}
