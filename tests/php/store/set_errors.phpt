--TEST--
set(): refused keys, metadata and vectors store nothing; key limits are measured as the store sees the key
--FILE--
<?php
$s = new QarbinStore(null, ["dimensions" => 2]);
$s->set("keep", [1, 1]);
$cases = [
    "empty key" => ["", [1, 2], null],
    "key of NUL only" => ["\0", [1, 2], null],
    "1024-byte key" => [str_repeat("k", 1024), [1, 2], null],
    "1025-byte key" => [str_repeat("k", 1025), [1, 2], null],
    "1024 bytes, NUL, more" => [str_repeat("n", 1024) . "\0tail", [1, 2], null],
    "1 MiB metadata" => ["m1", [1, 2], str_repeat("m", 1048576)],
    "1 MiB + 1 metadata" => ["m2", [1, 2], str_repeat("m", 1048577)],
    "NAN" => ["f1", [NAN, 1], null],
    "INF" => ["f2", [1, INF], null],
    "-INF" => ["f3", [-INF, 1], null],
    "1e39 overflows float" => ["f4", [1e39, 1], null],
    "string 1e39" => ["f5", [1, "1e39"], null],
    "largest float" => ["f6", [3.4028234663852886e38, 1], null],
    "too few" => ["d1", [1], null],
    "too many" => ["d2", [1, 2, 3], null],
];
foreach ($cases as $label => [$key, $vec, $meta]) {
    $before = $s->count();
    try {
        $r = $s->set($key, $vec, $meta);
        echo str_pad($label, 22), var_export($r, true);
    } catch (QarbinException $e) {
        echo str_pad($label, 22), $e->getMessage();
    }
    echo ", count +", $s->count() - $before, "\n";
}
// A longer key is never found through its 1024-byte prefix.
echo "1025-byte get: ", var_export($s->get(str_repeat("k", 1025)), true), "\n";
echo "1025-byte delete: ", var_export($s->delete(str_repeat("k", 1025)), true), "\n";
echo "metadata 1 MiB kept whole: ", strlen($s->get("m1")["metadata"]), "\n";
echo "key with NUL after 1024 bytes, fetched with other tail: ", strlen($s->get(str_repeat("n", 1024) . "\0other")["key"]), "\n";

// Argument types.
foreach ([[[], [1, 2]], ["a", "notarray"], ["a", [1, 2], []]] as $args) {
    try {
        $s->set(...$args);
    } catch (TypeError $e) {
        echo get_class($e), ": ", $e->getMessage(), "\n";
    }
}
try {
    $s->set("a");
} catch (ArgumentCountError $e) {
    echo get_class($e), ": ", $e->getMessage(), "\n";
}
?>
--EXPECT--
empty key             Failed to set vector, count +0
key of NUL only       Failed to set vector, count +0
1024-byte key         true, count +1
1025-byte key         Key too long (max 1024 bytes), count +0
1024 bytes, NUL, more true, count +1
1 MiB metadata        true, count +1
1 MiB + 1 metadata    Metadata too long (max 1048576 bytes), count +0
NAN                   Vector components must be finite, count +0
INF                   Vector components must be finite, count +0
-INF                  Vector components must be finite, count +0
1e39 overflows float  Vector components must be finite, count +0
string 1e39           Vector components must be finite, count +0
largest float         true, count +1
too few               Vector dim mismatch: expected 2, count +0
too many              Vector dim mismatch: expected 2, count +0
1025-byte get: NULL
1025-byte delete: false
metadata 1 MiB kept whole: 1048576
key with NUL after 1024 bytes, fetched with other tail: 1030
TypeError: QarbinStore::set(): Argument #1 ($key) must be of type string, array given
TypeError: QarbinStore::set(): Argument #2 ($vector) must be of type array, string given
TypeError: QarbinStore::set(): Argument #3 ($metadata) must be of type ?string, array given
ArgumentCountError: QarbinStore::set() expects at least 2 arguments, 1 given
