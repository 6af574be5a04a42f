--TEST--
Persistent handles across the requests of one php-cgi process (-T): a kept shm store that a request does not use lets go of the generation another process's compact() replaced at the end of that request, and the next request that uses it finds every record
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
$name = "t_" . getmypid() . "_idle";
$work = sys_get_temp_dir() . "/qb_idle_" . getmypid();
@mkdir($work);
QarbinStore::destroy($name);
$s = new QarbinStore($name, ["storage" => "shm", "dimensions" => 4, "segment_size" => 64]);
for ($i = 0; $i < 200; $i++) $s->set("k$i", [$i, 1, 2, 3]);
for ($i = 0; $i < 100; $i++) $s->delete("k$i");
$s->close();

// Request 1 keeps a read-only handle; request 2 has another process compact
// the store and does not touch it; request 3 only looks at its mappings;
// request 4 uses the handle again.
$php = PHP_BINARY;
file_put_contents("$work/request.php", <<<PHP
<?php
\$n = (int)@file_get_contents("$work/n") + 1;
file_put_contents("$work/n", \$n);
\$maps = fn() => file_get_contents("/proc/self/maps");
\$old = fn() => substr_count(\$maps(), "/dev/shm/qb_{$name}_s0");
\$new = fn() => substr_count(\$maps(), "/dev/shm/qb_{$name}_g1_s0");
if (\$n === 1 || \$n === 4) {
    \$s = new QarbinStore("$name", ["storage" => "shm", "dimensions" => 4, "writable" => false, "persistent" => true]);
    printf("request %d: count %d, k150 %s; ", \$n, \$s->count(), \$s->get("k150") ? "found" : "missing");
}
if (\$n === 2) {
    shell_exec(escapeshellarg("$php") . " -n -d extension=" . escapeshellarg("$module") . " -r " . escapeshellarg(
        '\$c = new QarbinStore("$name", ["storage" => "shm", "dimensions" => 4]); echo \$c->compact();'));
    echo "request 2: compacted elsewhere; ";
}
if (\$n === 3) echo "request 3: ";
printf("old generation mapped %s, new %s\\n", \$old() > 0 ? "yes" : "no", \$new() > 0 ? "yes" : "no");
PHP);
$keep = "";
foreach (["LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "USE_ZEND_ALLOC", "ZEND_DONT_UNLOAD_MODULES"] as $var)
    if (getenv($var) !== false) $keep .= " " . escapeshellarg("$var=" . getenv($var));
$out = shell_exec("env -i$keep " . escapeshellarg($cgi) . " -n -q -d extension=" . escapeshellarg($module) .
                  " -T 4 " . escapeshellarg("$work/request.php") . " < /dev/null 2>&1");
foreach (explode("\n", $out) as $line)
    if ($line !== "" && !str_starts_with($line, "Elapsed time")) echo $line, "\n";
QarbinStore::destroy($name);
array_map("unlink", glob("$work/*"));
rmdir($work);
?>
--EXPECT--
request 1: count 100, k150 found; old generation mapped yes, new no
request 2: compacted elsewhere; old generation mapped yes, new no
request 3: old generation mapped no, new yes
request 4: count 100, k150 found; old generation mapped no, new yes
