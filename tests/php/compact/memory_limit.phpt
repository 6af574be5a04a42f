--TEST--
compact(): a store that reached its memory_limit through rewrites takes writes again once compacted
--FILE--
<?php
$s = new QarbinStore(null, ["dimensions" => 8, "segment_size" => 64, "memory_limit" => "256k"]);
$n = 0;
try {
    for (; $n < 100000; $n++) $s->set("k" . ($n % 10), array_fill(0, 8, $n));
} catch (QarbinException $e) {
    echo "refused after rewrites: ", $e->getMessage(), ", count ", $s->count(), "\n";
}
try {
    $s->delete("k1");
    $s->set("k1", array_fill(0, 8, 1));
} catch (QarbinException $e) {
    echo "delete then set: ", $e->getMessage(), "\n";
}
echo "dead slots: ", $s->stats()["dead_count"] > 0 ? "many" : "none", "\n";
echo "reclaimed: ", $s->compact() === $n - 9 ? "all dead" : "other", "\n";
$st = $s->stats();
$fresh = new QarbinStore(null, ["dimensions" => 8, "segment_size" => 64]);
echo "after: count ", $s->count(), ", dead ", $st["dead_count"], ", mapped as a new store: ",
    var_export($st["memory_mb"] === $fresh->stats()["memory_mb"], true), "\n";
for ($i = 0; $i < 50; $i++) $s->set("k" . ($i % 10), array_fill(0, 8, $i));
echo "50 rewrites stored, k3: ", $s->get("k3")["vector"][0], "\n";
?>
--EXPECT--
refused after rewrites: Failed to set vector: memory limit reached, count 10
delete then set: Failed to set vector: memory limit reached
dead slots: many
reclaimed: all dead
after: count 9, dead 0, mapped as a new store: true
50 rewrites stored, k3: 43
