--TEST--
Bad input from PHP, as one table: every call gives an exception or a defined result, and a refused call leaves the store as it was
--FILE--
<?php
$base = sys_get_temp_dir() . "/qarbin_badin_" . getmypid();
$shm = "t_" . getmypid() . "_badin";
QarbinStore::destroy($shm);
$stores = [
    "memory" => fn() => new QarbinStore(null, ["dimensions" => 3]),
    "disk" => fn() => new QarbinStore("$base/disk", ["dimensions" => 3, "segment_size" => 8]),
    "shm" => fn() => new QarbinStore($shm, ["storage" => "shm", "dimensions" => 3, "segment_size" => 8]),
    "int8" => fn() => new QarbinStore(null, ["dimensions" => 3, "quantization" => "int8"]),
];
// Everything the store holds, byte for byte, for the unchanged check.
function state(QarbinStore $s): string {
    return $s->count() . ":" . md5($s->dump());
}
$nested = [[1], [2], [3]];
$sparse = [0 => 1.0, 5 => 2.0, 9 => 3.0];
$holes = [1.0, 2.0, 3.0, 4.0];
unset($holes[1]);
$cases = [
    "NaN" => fn($s) => $s->set("nan", [NAN, 1, 2]),
    "INF" => fn($s) => $s->set("inf", [INF, -INF, 0]),
    "1e39 (beyond float)" => fn($s) => $s->set("big", [1e39, -1e39, 1e-50]),
    "all zero" => fn($s) => $s->set("zero", [0, 0, 0]),
    "key of 1024 bytes" => fn($s) => $s->set(str_repeat("k", 1024), [1, 2, 3]),
    "key of 1025 bytes" => fn($s) => $s->set(str_repeat("k", 1025), [1, 2, 3]),
    "key of 1 MB" => fn($s) => $s->set(str_repeat("k", 1 << 20), [1, 2, 3]),
    "empty key" => fn($s) => $s->set("", [1, 2, 3]),
    "key NUL only" => fn($s) => $s->set("\0abc", [1, 2, 3]),
    "key with NUL inside" => fn($s) => $s->set("nu\0l", [1, 2, 3]),
    "key invalid UTF-8" => fn($s) => $s->set("\xff\xfe\xc3", [1, 2, 3], "\xc3\x28"),
    "metadata 1 MiB" => fn($s) => $s->set("meta1m", [1, 2, 3], str_repeat("m", 1048576)),
    "metadata 1 MiB + 1" => fn($s) => $s->set("meta1m1", [1, 2, 3], str_repeat("m", 1048577)),
    "metadata with NULs" => fn($s) => $s->set("metanul", [1, 2, 3], "a\0b\0"),
    "metadata empty" => fn($s) => $s->set("metaempty", [1, 2, 3], ""),
    "vector empty" => fn($s) => $s->set("v0", []),
    "vector too long" => fn($s) => $s->set("v4", [1, 2, 3, 4]),
    "vector nested arrays" => fn($s) => $s->set("nested", $nested),
    "vector sparse keys" => fn($s) => $s->set("sparse", $sparse),
    "vector with a hole" => fn($s) => $s->set("holes", $holes),
    "vector strings/bool/null" => fn($s) => $s->set("mixed", ["x", true, null]),
    "vector numeric string/bool/null" => fn($s) => $s->set("mixed", ["0.5", true, null]),
    "vector object (warns)" => fn($s) => @$s->set("obj", [new stdClass, 1, 2]),
    "vector not array" => fn($s) => $s->set("str", "1,2,3"),
    "key array" => fn($s) => $s->set([], [1, 2, 3]),
    "metadata array" => fn($s) => $s->set("ma", [1, 2, 3], []),
    "batch not list of arrays" => fn($s) => $s->batchSet([1, 2]),
    "batch key int" => fn($s) => $s->batchSet([["key" => 5, "vector" => [1, 2, 3]]]),
    "batch key too long" => fn($s) => $s->batchSet([["key" => str_repeat("b", 1025), "vector" => [1, 2, 3]]]),
    "batch metadata over limit" => fn($s) => $s->batchSet([["key" => "b", "vector" => [1, 2, 3], "metadata" => str_repeat("m", 1048577)]]),
    "batch vector NaN" => fn($s) => $s->batchSet([["key" => "bn", "vector" => [NAN, NAN, NAN]]]),
    "search topK 0" => fn($s) => count($s->search([1, 2, 3], 0)),
    "search topK -1" => fn($s) => count($s->search([1, 2, 3], -1)),
    "search topK PHP_INT_MAX" => fn($s) => count($s->search([1, 2, 3], PHP_INT_MAX)),
    "search topK PHP_INT_MIN" => fn($s) => count($s->search([1, 2, 3], PHP_INT_MIN)),
    "search topK 2**32+1" => fn($s) => count($s->search([1, 2, 3], 2 ** 32 + 1)),
    "search NaN query" => fn($s) => count($s->search([NAN, 0, 0], 5)),
    "search INF query" => fn($s) => count($s->search([INF, 1, 1], 5)),
    "search precision NaN" => fn($s) => count($s->search([1, 2, 3], 5, NAN)),
    "search precision INF" => fn($s) => count($s->search([1, 2, 3], 5, INF)),
    "search precision -1e300" => fn($s) => count($s->search([1, 2, 3], 5, -1e300)),
    "search topK string" => fn($s) => $s->search([1, 2, 3], "many"),
    "search wrong dim" => fn($s) => $s->search([1, 2]),
    "get 1 MB key" => fn($s) => $s->get(str_repeat("k", 1 << 20)),
    "get empty key" => fn($s) => $s->get(""),
    "delete empty key" => fn($s) => $s->delete(""),
    "delete 1 MB key" => fn($s) => $s->delete(str_repeat("k", 1 << 20)),
    "set too few args" => fn($s) => $s->set("x"),
    "count with args" => fn($s) => $s->count(1),
];
$tried = 0;
@mkdir($base);
foreach ($stores as $mode => $open) {
    $s = $open();
    $s->set("anchor", [0.5, 0.25, 1], "kept");
    echo "== $mode\n";
    foreach ($cases as $label => $case) {
        $before = state($s);
        try {
            $r = $case($s);
            $out = "ok " . (is_bool($r) ? var_export($r, true) : (is_int($r) ? $r : gettype($r)));
        } catch (Throwable $e) {
            $out = get_class($e) . (str_contains($e->getMessage(), "must be of type") ? " type" : ": " . $e->getMessage());
            // A refusal changes nothing.
            if (state($s) !== $before) $out .= " [STORE CHANGED]";
        }
        $tried++;
        echo "$label: $out\n";
    }
    // Whatever was stored reads back whole, and searches stay well formed.
    $rows = $s->search([1, 1, 1], 1000, 0);
    $bad = array_filter($rows, fn($r) => array_keys($r) !== ["key", "score", "metadata", "text"] || !is_float($r["score"]));
    echo "rows ", count($rows), " of count ", $s->count(), ", malformed ", count($bad), "\n";
    // Rounded: the int8 store reads back its quantized values.
    $vec = fn($k) => json_encode(array_map(fn($x) => round($x, 1), $s->get($k)["vector"]));
    echo "anchor: ", $s->get("anchor")["metadata"], ", nested ", var_export($s->get("nested"), true), ", sparse ", $vec("sparse"),
        ", holes ", $vec("holes"), ", mixed ", $vec("mixed"), ", 1024-byte key: ",
        var_export($s->get(str_repeat("k", 1024)) !== null, true), ", meta1m: ", strlen($s->get("meta1m")["metadata"]),
        ", metanul: ", bin2hex($s->get("metanul")["metadata"]), ", nu\\0l as nu: ", var_export($s->get("nu") !== null, true),
        ", refused keys absent: ", var_export($s->get("nan") === null && $s->get("big") === null && $s->get("meta1m1") === null, true), "\n";
    $lines = explode("\n", trim($s->dump()));
    echo "dump lines ", count($lines), "\n";
    $s->close();
    if ($mode === "disk") {
        array_map("unlink", glob("$base/disk/*"));
        rmdir("$base/disk");
    }
}
QarbinStore::destroy($shm);
@rmdir($base);
echo "inputs tried: $tried\n";
?>
--EXPECT--
== memory
NaN: QarbinException: Vector components must be finite
INF: QarbinException: Vector components must be finite
1e39 (beyond float): QarbinException: Vector components must be finite
all zero: ok true
key of 1024 bytes: ok true
key of 1025 bytes: QarbinException: Key too long (max 1024 bytes)
key of 1 MB: QarbinException: Key too long (max 1024 bytes)
empty key: QarbinException: Failed to set vector
key NUL only: QarbinException: Failed to set vector
key with NUL inside: ok true
key invalid UTF-8: ok true
metadata 1 MiB: ok true
metadata 1 MiB + 1: QarbinException: Metadata too long (max 1048576 bytes)
metadata with NULs: ok true
metadata empty: ok true
vector empty: QarbinException: Vector dim mismatch: expected 3
vector too long: QarbinException: Vector dim mismatch: expected 3
vector nested arrays: QarbinException: Vector components must be numbers
vector sparse keys: ok true
vector with a hole: ok true
vector strings/bool/null: QarbinException: Vector components must be numbers
vector numeric string/bool/null: ok true
vector object (warns): QarbinException: Vector components must be numbers
vector not array: TypeError type
key array: TypeError type
metadata array: TypeError type
batch not list of arrays: QarbinException: Each batch element must be an array
batch key int: QarbinException: Each batch element must have a non-empty 'key' string
batch key too long: QarbinException: Key too long (max 1024 bytes)
batch metadata over limit: QarbinException: Metadata too long (max 1048576 bytes)
batch vector NaN: QarbinException: Vector components must be finite
search topK 0: ok 0
search topK -1: ok 0
search topK PHP_INT_MAX: ok 11
search topK PHP_INT_MIN: ok 0
search topK 2**32+1: ok 11
search NaN query: QarbinException: Vector components must be finite
search INF query: QarbinException: Vector components must be finite
search precision NaN: ok 5
search precision INF: ok 5
search precision -1e300: ok 5
search topK string: TypeError type
search wrong dim: QarbinException: Vector dim mismatch: expected 3
get 1 MB key: ok NULL
get empty key: ok NULL
delete empty key: ok false
delete 1 MB key: ok false
set too few args: ArgumentCountError: QarbinStore::set() expects at least 2 arguments, 1 given
count with args: ArgumentCountError: QarbinStore::count() expects exactly 0 arguments, 1 given
rows 11 of count 11, malformed 0
anchor: kept, nested NULL, sparse [1,2,3], holes [1,3,4], mixed [0.5,1,0], 1024-byte key: true, meta1m: 1048576, metanul: 61006200, nu\0l as nu: true, refused keys absent: true
dump lines 11
== disk
NaN: QarbinException: Vector components must be finite
INF: QarbinException: Vector components must be finite
1e39 (beyond float): QarbinException: Vector components must be finite
all zero: ok true
key of 1024 bytes: ok true
key of 1025 bytes: QarbinException: Key too long (max 1024 bytes)
key of 1 MB: QarbinException: Key too long (max 1024 bytes)
empty key: QarbinException: Failed to set vector
key NUL only: QarbinException: Failed to set vector
key with NUL inside: ok true
key invalid UTF-8: ok true
metadata 1 MiB: ok true
metadata 1 MiB + 1: QarbinException: Metadata too long (max 1048576 bytes)
metadata with NULs: ok true
metadata empty: ok true
vector empty: QarbinException: Vector dim mismatch: expected 3
vector too long: QarbinException: Vector dim mismatch: expected 3
vector nested arrays: QarbinException: Vector components must be numbers
vector sparse keys: ok true
vector with a hole: ok true
vector strings/bool/null: QarbinException: Vector components must be numbers
vector numeric string/bool/null: ok true
vector object (warns): QarbinException: Vector components must be numbers
vector not array: TypeError type
key array: TypeError type
metadata array: TypeError type
batch not list of arrays: QarbinException: Each batch element must be an array
batch key int: QarbinException: Each batch element must have a non-empty 'key' string
batch key too long: QarbinException: Key too long (max 1024 bytes)
batch metadata over limit: QarbinException: Metadata too long (max 1048576 bytes)
batch vector NaN: QarbinException: Vector components must be finite
search topK 0: ok 0
search topK -1: ok 0
search topK PHP_INT_MAX: ok 11
search topK PHP_INT_MIN: ok 0
search topK 2**32+1: ok 11
search NaN query: QarbinException: Vector components must be finite
search INF query: QarbinException: Vector components must be finite
search precision NaN: ok 5
search precision INF: ok 5
search precision -1e300: ok 5
search topK string: TypeError type
search wrong dim: QarbinException: Vector dim mismatch: expected 3
get 1 MB key: ok NULL
get empty key: ok NULL
delete empty key: ok false
delete 1 MB key: ok false
set too few args: ArgumentCountError: QarbinStore::set() expects at least 2 arguments, 1 given
count with args: ArgumentCountError: QarbinStore::count() expects exactly 0 arguments, 1 given
rows 11 of count 11, malformed 0
anchor: kept, nested NULL, sparse [1,2,3], holes [1,3,4], mixed [0.5,1,0], 1024-byte key: true, meta1m: 1048576, metanul: 61006200, nu\0l as nu: true, refused keys absent: true
dump lines 11
== shm
NaN: QarbinException: Vector components must be finite
INF: QarbinException: Vector components must be finite
1e39 (beyond float): QarbinException: Vector components must be finite
all zero: ok true
key of 1024 bytes: ok true
key of 1025 bytes: QarbinException: Key too long (max 1024 bytes)
key of 1 MB: QarbinException: Key too long (max 1024 bytes)
empty key: QarbinException: Failed to set vector
key NUL only: QarbinException: Failed to set vector
key with NUL inside: ok true
key invalid UTF-8: ok true
metadata 1 MiB: ok true
metadata 1 MiB + 1: QarbinException: Metadata too long (max 1048576 bytes)
metadata with NULs: ok true
metadata empty: ok true
vector empty: QarbinException: Vector dim mismatch: expected 3
vector too long: QarbinException: Vector dim mismatch: expected 3
vector nested arrays: QarbinException: Vector components must be numbers
vector sparse keys: ok true
vector with a hole: ok true
vector strings/bool/null: QarbinException: Vector components must be numbers
vector numeric string/bool/null: ok true
vector object (warns): QarbinException: Vector components must be numbers
vector not array: TypeError type
key array: TypeError type
metadata array: TypeError type
batch not list of arrays: QarbinException: Each batch element must be an array
batch key int: QarbinException: Each batch element must have a non-empty 'key' string
batch key too long: QarbinException: Key too long (max 1024 bytes)
batch metadata over limit: QarbinException: Metadata too long (max 1048576 bytes)
batch vector NaN: QarbinException: Vector components must be finite
search topK 0: ok 0
search topK -1: ok 0
search topK PHP_INT_MAX: ok 11
search topK PHP_INT_MIN: ok 0
search topK 2**32+1: ok 11
search NaN query: QarbinException: Vector components must be finite
search INF query: QarbinException: Vector components must be finite
search precision NaN: ok 5
search precision INF: ok 5
search precision -1e300: ok 5
search topK string: TypeError type
search wrong dim: QarbinException: Vector dim mismatch: expected 3
get 1 MB key: ok NULL
get empty key: ok NULL
delete empty key: ok false
delete 1 MB key: ok false
set too few args: ArgumentCountError: QarbinStore::set() expects at least 2 arguments, 1 given
count with args: ArgumentCountError: QarbinStore::count() expects exactly 0 arguments, 1 given
rows 11 of count 11, malformed 0
anchor: kept, nested NULL, sparse [1,2,3], holes [1,3,4], mixed [0.5,1,0], 1024-byte key: true, meta1m: 1048576, metanul: 61006200, nu\0l as nu: true, refused keys absent: true
dump lines 11
== int8
NaN: QarbinException: Vector components must be finite
INF: QarbinException: Vector components must be finite
1e39 (beyond float): QarbinException: Vector components must be finite
all zero: ok true
key of 1024 bytes: ok true
key of 1025 bytes: QarbinException: Key too long (max 1024 bytes)
key of 1 MB: QarbinException: Key too long (max 1024 bytes)
empty key: QarbinException: Failed to set vector
key NUL only: QarbinException: Failed to set vector
key with NUL inside: ok true
key invalid UTF-8: ok true
metadata 1 MiB: ok true
metadata 1 MiB + 1: QarbinException: Metadata too long (max 1048576 bytes)
metadata with NULs: ok true
metadata empty: ok true
vector empty: QarbinException: Vector dim mismatch: expected 3
vector too long: QarbinException: Vector dim mismatch: expected 3
vector nested arrays: QarbinException: Vector components must be numbers
vector sparse keys: ok true
vector with a hole: ok true
vector strings/bool/null: QarbinException: Vector components must be numbers
vector numeric string/bool/null: ok true
vector object (warns): QarbinException: Vector components must be numbers
vector not array: TypeError type
key array: TypeError type
metadata array: TypeError type
batch not list of arrays: QarbinException: Each batch element must be an array
batch key int: QarbinException: Each batch element must have a non-empty 'key' string
batch key too long: QarbinException: Key too long (max 1024 bytes)
batch metadata over limit: QarbinException: Metadata too long (max 1048576 bytes)
batch vector NaN: QarbinException: Vector components must be finite
search topK 0: ok 0
search topK -1: ok 0
search topK PHP_INT_MAX: ok 11
search topK PHP_INT_MIN: ok 0
search topK 2**32+1: ok 11
search NaN query: QarbinException: Vector components must be finite
search INF query: QarbinException: Vector components must be finite
search precision NaN: ok 5
search precision INF: ok 5
search precision -1e300: ok 5
search topK string: TypeError type
search wrong dim: QarbinException: Vector dim mismatch: expected 3
get 1 MB key: ok NULL
get empty key: ok NULL
delete empty key: ok false
delete 1 MB key: ok false
set too few args: ArgumentCountError: QarbinStore::set() expects at least 2 arguments, 1 given
count with args: ArgumentCountError: QarbinStore::count() expects exactly 0 arguments, 1 given
rows 11 of count 11, malformed 0
anchor: kept, nested NULL, sparse [1,2,3], holes [1,3,4], mixed [0.5,1,0], 1024-byte key: true, meta1m: 1048576, metanul: 61006200, nu\0l as nu: true, refused keys absent: true
dump lines 11
inputs tried: 196
