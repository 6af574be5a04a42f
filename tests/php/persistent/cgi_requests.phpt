--TEST--
Persistent handles across the requests of one php-cgi process (-T): from the second request on the store is already mapped, a kept memory store keeps its records, and records another process adds meanwhile are found
--SKIPIF--
<?php
if (!is_executable(PHP_BINDIR . "/php-cgi" . PHP_MAJOR_VERSION . "." . PHP_MINOR_VERSION) && !is_executable(PHP_BINDIR . "/php-cgi"))
    die("skip php-cgi is not installed (scripts/setup.sh installs it)");
?>
--FILE--
<?php
$cgi = PHP_BINDIR . "/php-cgi" . PHP_MAJOR_VERSION . "." . PHP_MINOR_VERSION;
if (!is_executable($cgi)) $cgi = PHP_BINDIR . "/php-cgi";
preg_match('~\S*qarbin\.so~', file_get_contents("/proc/self/maps"), $m);
$module = $m[0];

$name = "t_" . getmypid() . "_cgi";
$work = sys_get_temp_dir() . "/qb_cgi_" . getmypid();
@mkdir($work);
QarbinStore::destroy($name);
$s = new QarbinStore($name, ["storage" => "shm", "dimensions" => 8, "distance" => "euclidean"]);
for ($i = 0; $i < 300; $i++) $s->set("k$i", array_fill(0, 8, $i));
$s->close();

// Each request: is the store mapped before it opens it, and what it sees.
// Request 3 first has another process add a record.
$php = PHP_BINARY;
file_put_contents("$work/request.php", <<<PHP
<?php
\$n = (int)@file_get_contents("$work/n") + 1;
file_put_contents("$work/n", \$n);
if (\$n === 3)
    shell_exec(escapeshellarg("$php") . " -n -d extension=" . escapeshellarg("$module") . " -r " . escapeshellarg(
        '\$w = new QarbinStore("$name", ["storage" => "shm", "dimensions" => 8, "distance" => "euclidean"]); \$w->set("late", array_fill(0, 8, 1000));'));
\$mapped = str_contains(file_get_contents("/proc/self/maps"), "/dev/shm/qb_{$name}_s") ? "mapped" : "not mapped";
\$s = new QarbinStore("$name", ["storage" => "shm", "dimensions" => 8, "distance" => "euclidean", "writable" => false, "persistent" => true]);
\$hit = \$s->search(\$s->get("k123")["vector"], 1)[0]["key"];
\$late = \$s->search(array_fill(0, 8, 999), 1)[0]["key"];
\$m = new QarbinStore(null, ["dimensions" => 2, "persistent" => true]);
\$m->set("r\$n", [\$n, 1]);
printf("request %d: %s, count %d, k123 -> %s, nearest to 999 %s, memory store %d\\n", \$n, \$mapped, \$s->count(), \$hit, \$late, \$m->count());
PHP);
// A clean environment: php-cgi would run the script a SCRIPT_FILENAME
// inherited from the test runner names. Only what a sanitizer build of the
// module needs to load is passed on. -T reports its time on stderr.
function requests(string $cgi, string $module, int $times, string $script): void {
    $keep = "";
    foreach (["LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "USE_ZEND_ALLOC", "ZEND_DONT_UNLOAD_MODULES"] as $var)
        if (getenv($var) !== false) $keep .= " " . escapeshellarg("$var=" . getenv($var));
    $out = shell_exec("env -i$keep " . escapeshellarg($cgi) . " -n -q -d extension=" . escapeshellarg($module) .
                      " -T $times " . escapeshellarg($script) . " < /dev/null 2>&1");
    foreach (explode("\n", $out) as $line)
        if ($line !== "" && !str_starts_with($line, "Elapsed time")) echo $line, "\n";
}
requests($cgi, $module, 4, "$work/request.php");

// Without "persistent" nothing is kept between requests.
file_put_contents("$work/plain.php", <<<PHP
<?php
echo str_contains(file_get_contents("/proc/self/maps"), "/dev/shm/qb_{$name}_s") ? "mapped\\n" : "not mapped\\n";
\$s = new QarbinStore("$name", ["storage" => "shm", "dimensions" => 8, "distance" => "euclidean", "writable" => false]);
PHP);
requests($cgi, $module, 2, "$work/plain.php");

QarbinStore::destroy($name);
array_map("unlink", glob("$work/*"));
rmdir($work);
?>
--EXPECT--
request 1: not mapped, count 300, k123 -> k123, nearest to 999 k299, memory store 1
request 2: mapped, count 300, k123 -> k123, nearest to 999 k299, memory store 2
request 3: mapped, count 301, k123 -> k123, nearest to 999 late, memory store 3
request 4: mapped, count 301, k123 -> k123, nearest to 999 late, memory store 4
not mapped
not mapped
