--TEST--
Paths obey open_basedir as PHP's file functions do, and a NUL byte in a path or a shared-store name is a ValueError
--INI--
open_basedir={TMP}
--FILE--
<?php
$tmp = sys_get_temp_dir() . "/qb_paths_" . getmypid();
mkdir($tmp);
$s = new QarbinStore(null, ["dimensions" => 2]);
$s->set("a", [1, 2], "m");
file_put_contents("$tmp/in.jsonl", "{\"key\":\"b\",\"vector\":[3,4]}\n");
$cases = [
    "dump outside"         => fn() => $s->dump("/outside_qb.jsonl"),
    "load outside"         => fn() => $s->load("/etc/hostname"),
    "snapshot outside"     => fn() => $s->snapshot("/outside_qb_snap"),
    "disk store outside"   => fn() => new QarbinStore("/outside_qb_disk", ["dimensions" => 2]),
    "memory load outside"  => fn() => new QarbinStore("/outside_qb_disk", ["storage" => "memory", "dimensions" => 2]),
    "dump NUL"             => fn() => $s->dump("$tmp/x.txt\0.jsonl"),
    "load NUL"             => fn() => $s->load("$tmp/in.jsonl\0x"),
    "snapshot NUL"         => fn() => $s->snapshot("$tmp/snap\0x"),
    "disk store NUL"       => fn() => new QarbinStore("$tmp/d\0x", ["dimensions" => 2]),
    "shm name NUL"         => fn() => new QarbinStore("t\0x", ["storage" => "shm", "dimensions" => 2]),
    "destroy NUL"          => fn() => QarbinStore::destroy("t\0x"),
    "dump inside"          => fn() => $s->dump("$tmp/out.jsonl"),
    "load inside"          => fn() => $s->load("$tmp/in.jsonl"),
    "snapshot inside"      => fn() => $s->snapshot("$tmp/snap"),
    "disk store inside"    => fn() => (new QarbinStore("$tmp/disk", ["dimensions" => 2]))->count(),
];
set_error_handler(function ($no, $msg) { echo "  warning: ", preg_replace('/File\(.*/', 'File(...)', $msg), "\n"; return true; });
foreach ($cases as $label => $f) {
    echo $label, "\n";
    try {
        $r = $f();
        echo "  -> ", var_export($r, true), "\n";
    } catch (Throwable $e) {
        echo "  ", get_class($e), ": ", str_replace($tmp, "TMP", $e->getMessage()), "\n";
    }
}
echo "store count: ", $s->count(), "\n";
echo "x.txt written: ", var_export(file_exists("$tmp/x.txt"), true), "\n";
// Outside open_basedir only another process can look.
foreach (["/outside_qb.jsonl", "/outside_qb_snap", "/outside_qb_disk"] as $p) echo "$p exists: ", trim(shell_exec("test -e $p && echo yes || echo no")), "\n";
restore_error_handler();
foreach (glob("$tmp/*/*") as $f) unlink($f);
foreach (glob("$tmp/*") as $f) is_dir($f) ? rmdir($f) : unlink($f);
rmdir($tmp);
?>
--EXPECT--
dump outside
  warning: QarbinStore::dump(): open_basedir restriction in effect. File(...)
  QarbinException: Cannot open file for writing: /outside_qb.jsonl: open_basedir restriction in effect
load outside
  warning: QarbinStore::load(): open_basedir restriction in effect. File(...)
  QarbinException: Cannot open file for reading: /etc/hostname: open_basedir restriction in effect
snapshot outside
  warning: QarbinStore::snapshot(): open_basedir restriction in effect. File(...)
  -> false
disk store outside
  warning: QarbinStore::__construct(): open_basedir restriction in effect. File(...)
  QarbinException: Failed to open disk store at: /outside_qb_disk: open_basedir restriction in effect
memory load outside
  warning: QarbinStore::__construct(): open_basedir restriction in effect. File(...)
  QarbinException: Failed to load segment files from: /outside_qb_disk: open_basedir restriction in effect
dump NUL
  ValueError: QarbinStore::dump(): Argument #1 ($path) must not contain any null bytes
load NUL
  ValueError: QarbinStore::load(): Argument #1 ($path) must not contain any null bytes
snapshot NUL
  ValueError: QarbinStore::snapshot(): Argument #1 ($dir) must not contain any null bytes
disk store NUL
  ValueError: QarbinStore::__construct(): Argument #1 ($dir) must not contain any null bytes
shm name NUL
  ValueError: QarbinStore::__construct(): Argument #1 ($dir) must not contain any null bytes
destroy NUL
  ValueError: QarbinStore::destroy(): Argument #1 ($name) must not contain any null bytes
dump inside
  -> 1
load inside
  -> 1
snapshot inside
  -> true
disk store inside
  -> 0
store count: 2
x.txt written: false
/outside_qb.jsonl exists: no
/outside_qb_snap exists: no
/outside_qb_disk exists: no
