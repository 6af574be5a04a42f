--TEST--
Constructor: a sub-vector setting that does not divide the dimension leaves non-PQ stores working
--INI--
qarbin.pq_subvectors=8
--FILE--
<?php
foreach (["none", "f16", "int8", "binary"] as $q) {
    $s = new QarbinStore(null, ["dimensions" => 4, "quantization" => $q]);
    $s->set("a", [1, 2, 3, 4]);
    $row = $s->search([1, 2, 3, 4], 1, 0)[0];
    printf("%s: segments %d, count %d, found %s\n", $q, $s->stats()["segment_count"], $s->count(), $row["key"]);
}
$name = "t_" . getmypid() . "_pqother";
$shm = new QarbinStore($name, ["storage" => "shm", "dimensions" => 4, "segment_size" => 16]);
$shm->set("a", [1, 2, 3, 4]);
printf("shm: segments %d, count %d\n", $shm->stats()["segment_count"], $shm->count());
$shm->close();
QarbinStore::destroy($name);
try {
    new QarbinStore(null, ["dimensions" => 4, "quantization" => "pq"]);
} catch (QarbinException $e) {
    echo "pq: ", $e->getMessage(), "\n";
}
?>
--EXPECT--
none: segments 1, count 1, found a
f16: segments 1, count 1, found a
int8: segments 1, count 1, found a
binary: segments 1, count 1, found a
shm: segments 1, count 1
pq: dimensions (4) must be divisible by qarbin.pq_subvectors (8)
