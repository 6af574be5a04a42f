<?php
// What one request of a php-cgi worker pays to open a shared store and
// serve one get and one search, with and without "persistent" => true,
// and to open a disk store of the same records and serve one get (the
// first request of each php-cgi process is a fresh process).
// Run by bench/run.sh:
//   php -n -d memory_limit=-1 -d extension=<build>/qarbin.so bench/php_requests.php [records] [rounds]
// Fills a shared store of `records` (default 100 000) random 64-dimension
// vectors and builds its graph (not timed), then runs `rounds` (default 5)
// php-cgi processes of 4 requests each (php-cgi -T 4) per kind of handle.
// Each request times its own open + get + search. Prints Markdown table
// rows (medians over rounds per request number), and a goal row to the
// file named by QARBIN_BENCH_GOALS when it is set.
const DIM = 64;
const REQUESTS = 4;

$records = (int)($argv[1] ?? 100000);
$rounds = (int)($argv[2] ?? 5);
$name = "bench_requests_" . getmypid();
preg_match('~\S*qarbin\.so~', file_get_contents('/proc/self/maps'), $m);
$module = $m[0];
$cgi = PHP_BINDIR . '/php-cgi' . PHP_MAJOR_VERSION . '.' . PHP_MINOR_VERSION;
if (!is_executable($cgi)) $cgi = PHP_BINDIR . '/php-cgi';

function median(array $xs): float {
    sort($xs);
    return $xs[intdiv(count($xs), 2)];
}

QarbinStore::destroy($name);
$store = new QarbinStore($name, ['storage' => 'shm', 'dimensions' => DIM, 'distance' => 'euclidean']);
$dir = sys_get_temp_dir() . "/$name";
$disk = new QarbinStore($dir, ['dimensions' => DIM, 'distance' => 'euclidean']);
mt_srand(42);
$batch = [];
for ($i = 0; $i < $records; $i++) {
    $v = [];
    for ($j = 0; $j < DIM; $j++) $v[] = mt_rand() / mt_getrandmax() - 0.5;
    $batch[] = ['key' => "k$i", 'vector' => $v];
    if (count($batch) === 10000 || $i === $records - 1) {
        $store->batchSet($batch);
        $disk->batchSet($batch);
        $batch = [];
    }
}
$store->buildIndex();
$store->close();
$disk->buildIndex();
$disk->close();

$script = tempnam(sys_get_temp_dir(), 'qbreq');
$shm = "'$name', ['storage' => 'shm', 'dimensions' => " . DIM . ", 'distance' => 'euclidean', 'writable' => false";
$kinds = [
    'persistent' => [$shm . ", 'persistent' => true]", true],
    'per request' => [$shm . ", 'persistent' => false]", true],
    'disk, per request, get only' => ["'$dir', ['dimensions' => " . DIM . ", 'distance' => 'euclidean']", false],
];
$rows = [];
foreach ($kinds as $label => [$args, $search]) {
    file_put_contents($script, "<?php\n" .
        "\$t = hrtime(true);\n" .
        "\$s = new QarbinStore($args);\n" .
        "\$v = \$s->get('k' . mt_rand(0, " . ($records - 1) . "))['vector'];\n" .
        ($search ? "\$r = \$s->search(\$v, 10);\n" : "") .
        "printf(\"%.4f\\n\", (hrtime(true) - \$t) / 1e6);\n");
    $times = array_fill(0, REQUESTS, []);
    for ($round = 0; $round < $rounds; $round++) {
        $out = shell_exec('env -i ' . escapeshellarg($cgi) . ' -n -q -d extension=' . escapeshellarg($module) .
                          ' -T ' . REQUESTS . ' ' . escapeshellarg($script) . ' < /dev/null 2>/dev/null');
        $lines = array_values(array_filter(explode("\n", (string)$out), 'is_numeric'));
        foreach ($lines as $i => $ms) $times[$i][] = (float)$ms;
    }
    $rows[$label] = array_map(fn($t) => $t ? median($t) : NAN, $times);
    printf("| %s | %s |\n", $label, implode(' | ', array_map(fn($ms) => sprintf('%.3f', $ms), $rows[$label])));
}
unlink($script);
QarbinStore::destroy($name);
array_map('unlink', glob("$dir/*"));
rmdir($dir);

if ($goals = getenv('QARBIN_BENCH_GOALS')) {
    $fourth = $rows['persistent'][REQUESTS - 1];
    file_put_contents($goals, sprintf("| php-cgi -T: open of a %d-record shared store + get + search in the fourth request, persistent handle, <= 1 ms | %.3f ms (per-request handle: %.3f ms) | %s |\n",
        $records, $fourth, $rows['per request'][REQUESTS - 1], $fourth <= 1.0 ? 'met' : 'missed'), FILE_APPEND);
    $perRequest = $rows['per request'][0];
    file_put_contents($goals, sprintf("| php-cgi -T: per-request handle on a %d-record shared store, open + get + search in a fresh process, <= 10 ms | %.3f ms | %s |\n",
        $records, $perRequest, $perRequest <= 10.0 ? 'met' : 'missed'), FILE_APPEND);
    $fresh = $rows['disk, per request, get only'][0];
    file_put_contents($goals, sprintf("| php-cgi -T: open of a %d-record disk store + first get in a fresh process, <= 10 ms | %.3f ms | %s |\n",
        $records, $fresh, $fresh <= 10.0 ? 'met' : 'missed'), FILE_APPEND);
}
