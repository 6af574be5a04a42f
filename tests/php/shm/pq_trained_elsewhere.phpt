--TEST--
Shared PQ store: a handle mapped before another trained the codebook searches and dumps with that codebook
--INI--
qarbin.pq_subvectors=2
qarbin.pq_training_size=4
--FILE--
<?php
$name = "t_" . getmypid() . "_pqelse";
$opts = ["storage" => "shm", "dimensions" => 4, "quantization" => "pq", "distance" => "euclidean", "segment_size" => 64];
$writer = new QarbinStore($name, $opts);
$reader = new QarbinStore($name, $opts + ["writable" => false]);  // maps segment 0 while it is untrained
for ($i = 0; $i < 6; $i++) {
    $writer->set("k$i", [$i, $i + 1, $i + 2, $i + 3], "m$i");
}
$rows = fn(QarbinStore $s) => array_map(fn($r) => $r["key"] . " " . round($r["score"], 4), $s->search([3, 1, 2, 3], 3, 0));
echo "writer: ", implode(", ", $rows($writer)), "\n";
echo "same rows: ", var_export($rows($reader) === $rows($writer), true), "\n";
echo "same dump: ", var_export($reader->dump() === $writer->dump(), true), "\n";
echo "dumped lines: ", substr_count($reader->dump(), "\n"), "\n";
$writer->close();
$reader->close();
var_dump(QarbinStore::destroy($name));
?>
--EXPECTF--
writer: %s
same rows: true
same dump: true
dumped lines: 6
bool(true)
