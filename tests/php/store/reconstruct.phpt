--TEST--
Constructing again: the old store is closed (held-back records flushed) before the new one opens; a failed open leaves the object closed
--INI--
qarbin.pq_subvectors=2
--FILE--
<?php
$dir = sys_get_temp_dir() . "/qarbin_reconstruct_" . getmypid();
$s = new QarbinStore($dir, ["dimensions" => 4, "quantization" => "pq", "segment_size" => 64]);
for ($i = 0; $i < 3; $i++) $s->set("k$i", [$i, 1, 2, 3]);
echo "held back: count ", $s->count(), ", total_count ", $s->stats()["total_count"], "\n";
$s->__construct($dir, ["dimensions" => 4, "quantization" => "pq", "segment_size" => 64]);
echo "reopened: count ", $s->count(), ", total_count ", $s->stats()["total_count"], ", get k2 ",
    $s->get("k2") !== null ? "found" : "missing", "\n";

$s->__construct(null, ["dimensions" => 2]);
echo "now memory: ", $s->stats()["storage"], " dim ", $s->stats()["dimensions"], " count ", $s->count(), "\n";
$s->set("m", [1, 2]);
try {
    $s->__construct("bad/name", ["storage" => "shm", "dimensions" => 2]);
} catch (QarbinException $e) {
    echo $e->getMessage(), "\n";
}
echo "after failed open: count ", $s->count(), ", stats ", var_export($s->stats(), true), "\n";
try {
    $s->get("m");
} catch (QarbinException $e) {
    echo "get: ", $e->getMessage(), "\n";
}
$s->__construct(null, ["dimensions" => 2]);
echo "opened again: ", $s->count(), " ", var_export($s->set("n", [1, 1]), true), "\n";

$s->close();
array_map("unlink", glob("$dir/*"));
rmdir($dir);
?>
--EXPECT--
held back: count 3, total_count 0
reopened: count 3, total_count 3, get k2 found
now memory: memory dim 2 count 0
Failed to open shm store: bad/name
after failed open: count 0, stats NULL
get: Store not open
opened again: 0 true
