--TEST--
compact(): a store that reached its memory_limit refuses even a set after a delete; compacted, it takes writes again
--FILE--
<?php
$s = new QarbinStore(null, ["dimensions" => 8, "segment_size" => 64, "memory_limit" => "600k"]);
$n = 0;
try {
    for (; $n < 100000; $n++) $s->set("k$n", array_fill(0, 8, $n));
} catch (QarbinException $e) {
    echo "refused: ", $e->getMessage(), ", count ", $s->count() === $n ? "all stored" : "other", "\n";
}
for ($i = 0; $i < $n; $i += 4) $s->delete("k$i");
try {
    $s->set("new", array_fill(0, 8, 1));
} catch (QarbinException $e) {
    echo "delete then set: ", $e->getMessage(), "\n";
}
$dead = $s->stats()["dead_count"];
echo "reclaimed the dead slots: ", var_export($s->compact() === $dead, true), "\n";
$st = $s->stats();
echo "after: dead ", $st["dead_count"], ", count ", $s->count() === $n - $dead ? "the live records" : "other", "\n";
for ($i = 0; $i < $dead; $i++) $s->set("again$i", array_fill(0, 8, $i));
echo "as many new records as were dead stored, k5: ", $s->get("k5")["vector"][0], "\n";
?>
--EXPECT--
refused: Failed to set vector: memory limit reached, count all stored
delete then set: Failed to set vector: memory limit reached
reclaimed the dead slots: true
after: dead 0, count the live records
as many new records as were dead stored, k5: 5
