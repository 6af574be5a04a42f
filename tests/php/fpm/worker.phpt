--TEST--
Under a real PHP-FPM pool: two requests on one worker share a persistent handle; workers killed with SIGKILL while they write and extend the graph lose no acknowledged record, and every record is found by its own vector afterwards
--EXTENSIONS--
posix
--SKIPIF--
<?php
$sbin = dirname(PHP_BINDIR) . "/sbin";
$fpm = "$sbin/php-fpm" . PHP_MAJOR_VERSION . "." . PHP_MINOR_VERSION;
if (!is_executable($fpm) && !is_executable("$sbin/php-fpm")) die("skip php-fpm is not installed (scripts/setup.sh installs it)");
if (trim((string)shell_exec("command -v cgi-fcgi")) === "") die("skip cgi-fcgi is not installed (scripts/setup.sh installs it)");
?>
--FILE--
<?php
$sbin = dirname(PHP_BINDIR) . "/sbin";
$fpm = "$sbin/php-fpm" . PHP_MAJOR_VERSION . "." . PHP_MINOR_VERSION;
if (!is_executable($fpm)) $fpm = "$sbin/php-fpm";
preg_match('~\S*qarbin\.so~', file_get_contents("/proc/self/maps"), $m);
$module = $m[0];
$work = sys_get_temp_dir() . "/qb_fpm_" . getmypid();
@mkdir($work);
$name = "t_" . getmypid() . "_fpm";
$dim = 32;

function vec(int $k, int $dim): array {
    mt_srand(9100 + $k);
    $v = [];
    for ($i = 0; $i < $dim; $i++) $v[] = mt_rand(-1000, 1000) / 1000;
    return $v;
}

// One pool of one worker on a socket in $work, started by this test.
file_put_contents("$work/fpm.conf", "[global]\nerror_log = $work/fpm.log\npid = $work/fpm.pid\n" .
    "[pool]\nlisten = $work/fpm.sock\npm = static\npm.max_children = 1\n");
$cmd = [$fpm, "-n", "-F", "-y", "$work/fpm.conf", "-d", "extension=$module"];
if (posix_geteuid() === 0) $cmd[] = "-R";
// A clean environment but for what a sanitizer build of the module needs to load.
$fpmEnv = [];
foreach (["LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "USE_ZEND_ALLOC", "ZEND_DONT_UNLOAD_MODULES"] as $var)
    if (getenv($var) !== false) $fpmEnv[$var] = getenv($var);
$fpmProc = proc_open($cmd, [0 => ["file", "/dev/null", "r"], 1 => ["file", "/dev/null", "w"], 2 => ["file", "/dev/null", "w"]], $pipes, null, $fpmEnv);
for ($i = 0; $i < 200 && !file_exists("$work/fpm.sock"); $i++) usleep(25000);

// A request through the FastCGI client; the process is returned unread when $wait is false.
function request(string $work, string $query, bool $wait = true) {
    $env = ["SCRIPT_FILENAME" => "$work/worker.php", "REQUEST_METHOD" => "GET", "QUERY_STRING" => $query];
    $p = proc_open(["cgi-fcgi", "-bind", "-connect", "$work/fpm.sock"], [0 => ["file", "/dev/null", "r"], 1 => ["pipe", "w"], 2 => ["file", "/dev/null", "w"]], $pipes, null, $env);
    if (!$wait) return [$p, $pipes[1]];
    $out = stream_get_contents($pipes[1]);
    fclose($pipes[1]);
    proc_close($p);
    $body = explode("\r\n\r\n", $out, 2);
    return trim($body[1] ?? $out);
}

file_put_contents("$work/worker.php", <<<PHP
<?php
parse_str(\$_SERVER["QUERY_STRING"], \$q);
function vec(int \$k, int \$dim): array {
    mt_srand(9100 + \$k);
    \$v = [];
    for (\$i = 0; \$i < \$dim; \$i++) \$v[] = mt_rand(-1000, 1000) / 1000;
    return \$v;
}
\$opts = ["storage" => "shm", "dimensions" => $dim, "persistent" => true];
if (\$q["do"] === "reuse") {
    \$mapped = str_contains(file_get_contents("/proc/self/maps"), "/dev/shm/qb_{$name}_s") ? "mapped" : "not mapped";
    \$s = new QarbinStore("$name", \$opts + ["writable" => false]);
    \$m = new QarbinStore(null, ["dimensions" => 2, "persistent" => true]);
    \$m->set("r" . \$m->count(), [1, 2]);
    echo getmypid(), "|\$mapped|", \$s->count(), "|", \$m->count();
    exit;
}
// Writes keys from..to-1, noting each one set() acknowledged, and searches
// every 150 records, which builds or extends the graph.
file_put_contents("$work/pid", getmypid());
\$s = new QarbinStore("$name", \$opts);
\$log = fopen("$work/acked", "a");
for (\$k = (int)\$q["from"]; \$k < (int)\$q["to"]; \$k++) {
    \$s->set("w\$k", vec(\$k, $dim));
    fwrite(\$log, "w\$k\\n");
    if (\$k % 150 === 0) \$s->search(vec(\$k, $dim), 1);
}
\$s->search(vec(0, $dim), 1);
echo isset(\$q["build"]) ? "graph holds " . \$s->buildIndex() : "done";
PHP);

QarbinStore::destroy($name);
$s = new QarbinStore($name, ["storage" => "shm", "dimensions" => $dim]);
for ($k = 0; $k < 2000; $k++) $s->set("w$k", vec($k, $dim));
file_put_contents("$work/acked", implode("\n", array_map(fn($k) => "w$k", range(0, 1999))) . "\n");
$s->close();

$first = explode("|", request($work, "do=reuse"));
$second = explode("|", request($work, "do=reuse"));
echo "same worker: ", $first[0] === $second[0] ? "yes" : "no", "\n";
echo "first request: $first[1], count $first[2], memory store $first[3]\n";
echo "second request: $second[1], count $second[2], memory store $second[3]\n";

// A worker that had already answered is idle in accept() when it is killed;
// until it runs again to die it can still take the next connection off the
// listening socket and drop it unanswered. So no request goes out before the
// killed worker has exited (a zombie holds no socket any more).
function waitExited(int $pid): void {
    for ($i = 0; $i < 400; $i++) {
        $stat = @file_get_contents("/proc/$pid/stat");
        if ($stat === false || preg_match('~\) [ZX] ~', $stat)) return;
        usleep(5000);
    }
}

// Each round: a worker writes 600 records and is killed at some point of it.
$next = 2000;
$killed = 0;
mt_srand(42);
foreach ([40, 120, 250, 400, 700, 1000] as $round => $pauseMs) {
    @unlink("$work/pid");
    [$proc, $out] = request($work, "do=write&from=$next&to=" . ($next + 600), false);
    for ($i = 0; $i < 400 && !file_exists("$work/pid"); $i++) usleep(5000);
    usleep($pauseMs * 1000);
    $pid = (int)@file_get_contents("$work/pid");
    if ($pid > 0 && posix_kill($pid, SIGKILL)) {
        $killed++;
        waitExited($pid);
    }
    stream_get_contents($out);
    fclose($out);
    proc_close($proc);
    $next += 600;
}
echo "workers killed: ", $killed > 0 ? "yes" : "no", "\n";
echo "a later request: ", request($work, "do=write&build=1&from=$next&to=" . ($next + 300)), "\n";

$acked = array_unique(array_filter(explode("\n", file_get_contents("$work/acked"))));
$r = new QarbinStore($name, ["storage" => "shm", "dimensions" => $dim, "writable" => false]);
$missing = $unfound = 0;
foreach ($acked as $key) {
    $k = (int)substr($key, 1);
    if (!$r->has($key)) { $missing++; continue; }
    $keys = array_column($r->search(vec($k, $dim), 10), "key");
    if (!in_array($key, $keys, true)) $unfound++;
}
echo "acknowledged records missing: $missing, not found by their own vector: $unfound\n";
echo "unindexed after the later request's build: ", $r->stats()["unindexed_count"], "\n";

proc_terminate($fpmProc);
proc_close($fpmProc);
QarbinStore::destroy($name);
array_map("unlink", glob("$work/*"));
rmdir($work);
?>
--EXPECTF--
same worker: yes
first request: not mapped, count 2000, memory store 1
second request: mapped, count 2000, memory store 2
workers killed: yes
a later request: graph holds %d
acknowledged records missing: 0, not found by their own vector: 0
unindexed after the later request's build: 0
