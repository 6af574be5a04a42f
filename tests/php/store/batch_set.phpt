--TEST--
batchSet(): element checks, metadata rules, and batches that fail part way keep what was stored
--FILE--
<?php
function run(string $label, array $batch): void {
    $s = new QarbinStore(null, ["dimensions" => 2]);
    try {
        $out = "returned " . $s->batchSet($batch);
    } catch (QarbinException $e) {
        $out = $e->getMessage();
    }
    echo str_pad($label, 28), $out;
    $keys = [];
    foreach (["a", "b", "c", "5"] as $k) if ($s->get($k)) $keys[] = $k;
    echo " | stored: ", implode(",", $keys) ?: "-", "\n";
}
$a = ["key" => "a", "vector" => [1, 0]];
$b = ["key" => "b", "vector" => [0, 1], "metadata" => "mb"];
run("empty batch", []);
run("two elements", [$a, $b]);
run("string keys in batch", ["x" => $a, "y" => $b]);
run("third lacks vector", [$a, $b, ["key" => "c"]]);
run("third vector not array", [$a, $b, ["key" => "c", "vector" => "1,2"]]);
run("second not an array", [$a, "b", $b]);
run("int key 5", [["key" => 5, "vector" => [1, 1]]]);
run("empty key", [$a, ["key" => "", "vector" => [1, 1]]]);
run("missing key", [$a, ["vector" => [1, 1]]]);
run("key of NUL then text", [$a, ["key" => "\0c", "vector" => [1, 1]]]);
run("dim mismatch", [$a, ["key" => "c", "vector" => [1, 1, 1]]]);
run("key too long", [$a, ["key" => str_repeat("c", 1025), "vector" => [1, 1]]]);
run("metadata too long", [$a, ["key" => "c", "vector" => [1, 1], "metadata" => str_repeat("m", 1048577)]]);
run("non-finite component", [$a, ["key" => "c", "vector" => [NAN, 1]]]);
run("1e39 component", [$a, ["key" => "c", "vector" => [1e39, 1]]]);

$s = new QarbinStore(null, ["dimensions" => 2]);
$meta = [["array", ["x" => 1]], ["int", 42], ["null", null], ["float", 1.5], ["string", "text"], ["empty string", ""]];
$batch = [];
foreach ($meta as $i => [$label, $m]) $batch[] = ["key" => "m$i", "vector" => [$i, 1], "metadata" => $m];
echo "metadata batch: ", $s->batchSet($batch), "\n";
foreach ($meta as $i => [$label, $m]) {
    echo "  metadata $label: ", var_export($s->get("m$i")["metadata"], true), "\n";
}
// A later element replaces an earlier one with the same key.
$s->batchSet([["key" => "d", "vector" => [1, 2]], ["key" => "d", "vector" => [3, 4]]]);
echo "duplicate key: ", json_encode($s->get("d")["vector"]), ", count ", $s->count(), "\n";
// A reference to an element and references inside it are followed.
$el = ["key" => "r", "vector" => [5, 6]];
$vec = [7, 8];
$s->batchSet([&$el, ["key" => "q", "vector" => &$vec]]);
echo "references: ", json_encode($s->get("r")["vector"]), " ", json_encode($s->get("q")["vector"]), "\n";
try {
    $s->batchSet("nope");
} catch (TypeError $e) {
    echo get_class($e), ": ", $e->getMessage(), "\n";
}
?>
--EXPECT--
empty batch                 returned 0 | stored: -
two elements                returned 2 | stored: a,b
string keys in batch        returned 2 | stored: a,b
third lacks vector          Each batch element must have a 'vector' array | stored: a,b
third vector not array      Each batch element must have a 'vector' array | stored: a,b
second not an array         Each batch element must be an array | stored: a
int key 5                   Each batch element must have a non-empty 'key' string | stored: -
empty key                   Each batch element must have a non-empty 'key' string | stored: a
missing key                 Each batch element must have a non-empty 'key' string | stored: a
key of NUL then text        Failed to set vector in batch | stored: a
dim mismatch                Vector dim mismatch: expected 2 | stored: a
key too long                Key too long (max 1024 bytes) | stored: a
metadata too long           Metadata too long (max 1048576 bytes) | stored: a
non-finite component        Vector components must be finite | stored: a
1e39 component              Vector components must be finite | stored: a
metadata batch: 6
  metadata array: NULL
  metadata int: NULL
  metadata null: NULL
  metadata float: NULL
  metadata string: 'text'
  metadata empty string: NULL
duplicate key: [3,4], count 7
references: [5,6] [7,8]
TypeError: QarbinStore::batchSet(): Argument #1 ($batch) must be of type array, string given
