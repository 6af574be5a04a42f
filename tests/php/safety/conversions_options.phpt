--TEST--
Vector components that are not numbers are refused; unknown option keys warn; a memory_limit that is not a size is refused
--FILE--
<?php
$s = new QarbinStore(null, ["dimensions" => 3]);
$s->set("keep", [1, 2, 3], "m");
$before = $s->dump();
$vectors = [
    "non-numeric string"    => ["abc", 1, 2],
    "leading-numeric string" => ["3abc", 1, 2],
    "empty string"          => ["", 1, 2],
    "array"                 => [[1], 1, 2],
    "object"                => [new stdClass, 1, 2],
    "reference to a string" => null,
    "numeric strings"       => ["2.5", " 4", "1e1"],
    "bools and null"        => [true, false, null],
];
$str = "xyz";
$vectors["reference to a string"] = [&$str, 1, 2];
$calls = [
    "set"      => fn($v) => $s->set("new", $v),
    "batchSet" => fn($v) => $s->batchSet([["key" => "new", "vector" => $v]]),
    "search"   => fn($v) => count($s->search($v, 5, 0)),
];
foreach ($vectors as $label => $v) {
    foreach ($calls as $name => $call) {
        try {
            $r = @$call($v);
            $out = "ok " . json_encode($r);
        } catch (QarbinException $e) {
            $out = $e->getMessage();
        }
        printf("%-24s %-9s %s\n", $label, $name, $out);
    }
    $s->delete("new");
}
echo "store unchanged: ", var_export($s->dump() === $before, true), "\n";

$dir = sys_get_temp_dir() . "/qb_conv_" . getmypid();
mkdir($dir);
file_put_contents("$dir/l.jsonl", "{\"key\":\"j\",\"vector\":[\"abc\",1,2]}\n");
try { $s->load("$dir/l.jsonl"); } catch (QarbinException $e) { echo "load: ", $e->getMessage(), "\n"; }
unlink("$dir/l.jsonl");
rmdir($dir);

set_error_handler(function ($no, $msg) { echo "  warning: $msg\n"; return true; });
$options = [
    "metric"    => ["metric" => "dot", "dimensions" => 2],
    "dimension" => ["dimension" => 2],
    "int key"   => [0 => "x", "dimensions" => 2],
    "all known" => ["storage" => "memory", "dimensions" => 2, "distance" => "dot", "quantization" => "none",
                    "segment_size" => 0, "writable" => true, "memory_limit" => "1m"],
];
foreach ($options as $label => $o) {
    echo $label, "\n";
    $t = new QarbinStore(null, $o);
    echo "  dimensions ", $t->stats()["dimensions"], "\n";
}
restore_error_handler();
set_error_handler(function () { throw new RuntimeException("from handler"); });
try { new QarbinStore(null, ["bogus" => 1]); } catch (RuntimeException $e) { echo "handler threw: ", $e->getMessage(), "\n"; }
restore_error_handler();

foreach (["abc", "1 GB", "1.5G", "12x", "-5", -5, "", "G", "99999999999999999999", "20000000000G", "64k", "2g", "0", 1024] as $limit) {
    try {
        new QarbinStore(null, ["dimensions" => 2, "memory_limit" => $limit]);
        echo var_export($limit, true), ": accepted\n";
    } catch (QarbinException $e) {
        echo var_export($limit, true), ": ", $e->getMessage(), "\n";
    }
}
?>
--EXPECT--
non-numeric string       set       Vector components must be numbers
non-numeric string       batchSet  Vector components must be numbers
non-numeric string       search    Vector components must be numbers
leading-numeric string   set       Vector components must be numbers
leading-numeric string   batchSet  Vector components must be numbers
leading-numeric string   search    Vector components must be numbers
empty string             set       Vector components must be numbers
empty string             batchSet  Vector components must be numbers
empty string             search    Vector components must be numbers
array                    set       Vector components must be numbers
array                    batchSet  Vector components must be numbers
array                    search    Vector components must be numbers
object                   set       Vector components must be numbers
object                   batchSet  Vector components must be numbers
object                   search    Vector components must be numbers
reference to a string    set       Vector components must be numbers
reference to a string    batchSet  Vector components must be numbers
reference to a string    search    Vector components must be numbers
numeric strings          set       ok true
numeric strings          batchSet  ok 1
numeric strings          search    ok 2
bools and null           set       ok true
bools and null           batchSet  ok 1
bools and null           search    ok 2
store unchanged: true
load: Vector components must be numbers at line 1
metric
  warning: QarbinStore::__construct(): Unknown option "metric" ignored (valid options: storage, dimensions, distance, quantization, segment_size, writable, memory_limit, mode, persistent, create, threads)
  dimensions 2
dimension
  warning: QarbinStore::__construct(): Unknown option "dimension" ignored (valid options: storage, dimensions, distance, quantization, segment_size, writable, memory_limit, mode, persistent, create, threads)
  dimensions 1536
int key
  warning: QarbinStore::__construct(): Unknown option 0 ignored (valid options: storage, dimensions, distance, quantization, segment_size, writable, memory_limit, mode, persistent, create, threads)
  dimensions 2
all known
  dimensions 2
handler threw: from handler
'abc': Invalid memory_limit (use bytes as an int, or a string such as '512M', '64k', '2g')
'1 GB': Invalid memory_limit (use bytes as an int, or a string such as '512M', '64k', '2g')
'1.5G': Invalid memory_limit (use bytes as an int, or a string such as '512M', '64k', '2g')
'12x': Invalid memory_limit (use bytes as an int, or a string such as '512M', '64k', '2g')
'-5': Invalid memory_limit (use bytes as an int, or a string such as '512M', '64k', '2g')
-5: Invalid memory_limit (use bytes as an int, or a string such as '512M', '64k', '2g')
'': Invalid memory_limit (use bytes as an int, or a string such as '512M', '64k', '2g')
'G': Invalid memory_limit (use bytes as an int, or a string such as '512M', '64k', '2g')
'99999999999999999999': Invalid memory_limit (use bytes as an int, or a string such as '512M', '64k', '2g')
'20000000000G': Invalid memory_limit (use bytes as an int, or a string such as '512M', '64k', '2g')
'64k': accepted
'2g': accepted
'0': accepted
1024: accepted
