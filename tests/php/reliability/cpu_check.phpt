--TEST--
Processor check: module start and the check it runs first contain no AVX or FMA instruction, so an old processor reaches the refusal message
--SKIPIF--
<?php
if (trim((string) shell_exec("command -v objdump")) === "") die("skip objdump not available");
?>
--FILE--
<?php
$so = null;
foreach (file("/proc/self/maps") as $line) {
    if (preg_match('~(/\S*qarbin\.so)$~', trim($line), $m)) $so = $m[1];
}
echo "module mapped: ", var_export($so !== null, true), "\n";
$entry = shell_exec("objdump -d --no-show-raw-insn " . escapeshellarg($so) . " 2>/dev/null");
foreach (["_Z20qarbin_cpu_supportedv", "_Z25zm_startup_qarbin_checkedii"] as $sym) {
    if (!preg_match("~<$sym>:\n(.*?)\n\n~s", $entry, $m)) {
        echo "$sym: missing\n";
        continue;
    }
    $insns = array_filter(array_map("trim", explode("\n", $m[1])));
    // VEX-encoded instructions (AVX, AVX2, FMA) all start with "v" and
    // every 256-bit register is ymm.
    $vex = preg_grep('~^\s*[0-9a-f]+:\s+v[a-z0-9]+\s|%ymm~', $insns);
    printf("%s: %s instructions, VEX %d\n", $sym, count($insns) > 5 ? "several" : "few", count($vex));
}
$r = new ReflectionExtension("qarbin");
echo "started: ", $r->getName(), "\n";
?>
--EXPECT--
module mapped: true
_Z20qarbin_cpu_supportedv: several instructions, VEX 0
_Z25zm_startup_qarbin_checkedii: several instructions, VEX 0
started: qarbin
