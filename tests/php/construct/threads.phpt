--TEST--
"threads" option and qarbin.threads: 0 means every online processor, 1, more than the processors; negative and non-numeric values are refused; the default is 0 under the CLI and 1 under another SAPI
--FILE--
<?php
$online = (int) trim((string) shell_exec("getconf _NPROCESSORS_ONLN"));
$threadsOf = fn(array $o) => (new QarbinStore(null, ["dimensions" => 2] + $o))->stats()["threads"];

echo "cli default: ", ini_get("qarbin.threads"), ", resolves to the processors: ",
    var_export($threadsOf([]) === $online, true), "\n";
foreach ([0, 1, 2, 64, "3", 1000] as $v) {
    $got = $threadsOf(["threads" => $v]);
    echo var_export($v, true), " => ", $v === 0 ? ($got === $online ? "online processors" : $got) : $got, "\n";
}
foreach ([-1, "-2", "abc", "2x", "", 1.5, true, null, []] as $v) {
    try {
        $threadsOf(["threads" => $v]);
        echo var_export($v, true), " accepted\n";
    } catch (QarbinException $e) {
        echo str_replace("\n", "", var_export($v, true)), ": ", $e->getMessage(), "\n";
    }
}

var_dump(ini_set("qarbin.threads", "5"));
echo "from the setting: ", $threadsOf([]), ", the option wins: ", $threadsOf(["threads" => 1]), "\n";
foreach (["-1", "many", "1.5"] as $v) var_dump(ini_set("qarbin.threads", $v));
echo "setting kept: ", ini_get("qarbin.threads"), "\n";

// Another SAPI: one thread unless the setting says otherwise.
$script = sys_get_temp_dir() . "/qb_threads_" . getmypid() . ".php";
file_put_contents($script, '<?php echo ini_get("qarbin.threads"), " ", (new QarbinStore(null, ["dimensions" => 2]))->stats()["threads"];');
preg_match('~\S*qarbin\.so~', file_get_contents("/proc/self/maps"), $m);
$cgi = PHP_BINDIR . "/php-cgi";
// A clean environment: run-tests' request variables would make it wait for a
// body. Only what a sanitizer build of the module needs to load is passed on.
$keep = "";
foreach (["LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "USE_ZEND_ALLOC", "ZEND_DONT_UNLOAD_MODULES"] as $var)
    if (getenv($var) !== false) $keep .= " " . escapeshellarg("$var=" . getenv($var));
foreach (["", "-d qarbin.threads=0"] as $ini) {
    $out = shell_exec("env -i$keep " . escapeshellarg($cgi) . " -n -q -d extension=" . escapeshellarg($m[0]) . " $ini " . escapeshellarg($script) . " </dev/null");
    echo "cgi", $ini === "" ? "" : " with $ini", ": ", $ini === "" ? $out : ($out === "0 $online" ? "0 online processors" : $out), "\n";
}
unlink($script);
?>
--EXPECTF--
cli default: 0, resolves to the processors: true
0 => online processors
1 => 1
2 => 2
64 => 64
'3' => 3
1000 => 256
-1: Invalid threads (use 0 for every processor, or a positive count)
'-2': Invalid threads (use 0 for every processor, or a positive count)
'abc': Invalid threads (use 0 for every processor, or a positive count)
'2x': Invalid threads (use 0 for every processor, or a positive count)
'': Invalid threads (use 0 for every processor, or a positive count)
1.5: Invalid threads (use 0 for every processor, or a positive count)
true: Invalid threads (use 0 for every processor, or a positive count)
NULL: Invalid threads (use 0 for every processor, or a positive count)
array (): Invalid threads (use 0 for every processor, or a positive count)
string(1) "0"
from the setting: 5, the option wins: 1

Warning: ini_set(): Invalid qarbin.threads (use 0 for every processor, or a positive count) in %s on line %d
bool(false)

Warning: ini_set(): Invalid qarbin.threads (use 0 for every processor, or a positive count) in %s on line %d
bool(false)

Warning: ini_set(): Invalid qarbin.threads (use 0 for every processor, or a positive count) in %s on line %d
bool(false)
setting kept: 5
cgi: 1 1
cgi with -d qarbin.threads=0: 0 online processors
