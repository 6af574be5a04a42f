--TEST--
stats(): entries in order, bytes per vector of each encoding, pq_subvectors only for pq, held-back records not in total_count, dead_count of deleted and replaced records in every mode
--FILE--
<?php
$s = new QarbinStore(null, ["dimensions" => 4, "distance" => "manhattan", "threads" => 3]);
$s->set("a", [1, 2, 3, 4]);
$st = $s->stats();
foreach ($st as $k => $v) echo str_pad($k, 17), gettype($v), " ", $k === "memory_mb" ? "" : var_export($v, true), "\n";
$one = $st["memory_mb"];
$two = (new QarbinStore(null, ["dimensions" => 4, "segment_size" => 16]));
$m16 = $two->stats()["memory_mb"];
for ($i = 0; $i < 17; $i++) $two->set("k$i", [$i, 1, 1, 1]);
// The 17th record moves the segment into one of 32 slots.
$three = new QarbinStore(null, ["dimensions" => 4, "segment_size" => 32]);
for ($i = 0; $i < 17; $i++) $three->set("k$i", [$i, 1, 1, 1]);
$m32 = $three->stats()["memory_mb"];
echo "grown: ", $two->stats()["segment_count"], " segment, memory of 32 slots: ",
    var_export($two->stats()["memory_mb"] === $m32, true), "\n";

foreach (["none" => 100, "f16" => 100, "int8" => 100, "binary" => 100] as $q => $dim) {
    $st = (new QarbinStore(null, ["dimensions" => $dim, "quantization" => $q]))->stats();
    echo "$q dim $dim: bytes_per_vector ", $st["bytes_per_vector"], ", pq_subvectors ",
        var_export($st["pq_subvectors"] ?? "absent", true), "\n";
}
echo "binary dim 7: ", (new QarbinStore(null, ["dimensions" => 7, "quantization" => "binary"]))->stats()["bytes_per_vector"], "\n";
ini_set("qarbin.pq_subvectors", "8");
foreach (["pq" => 96] as $q => $dim) {
    $st = (new QarbinStore(null, ["dimensions" => $dim, "quantization" => $q]))->stats();
    echo "$q dim $dim: bytes_per_vector ", $st["bytes_per_vector"], ", pq_subvectors ",
        var_export($st["pq_subvectors"] ?? "absent", true), "\n";
}
$pq = new QarbinStore(null, ["dimensions" => 8, "quantization" => "pq"]);
for ($i = 0; $i < 3; $i++) $pq->set("p$i", [$i, 1, 2, 3, 4, 5, 6, 7]);
echo "pq collecting: count ", $pq->count(), ", total_count ", $pq->stats()["total_count"], "\n";

ini_set("qarbin.pq_subvectors", "0");
$g = new QarbinStore(null, ["dimensions" => 2]);
for ($i = 0; $i < 150; $i++) $g->set("g$i", [cos($i), sin($i)]);
$g->search([1, 0]);
$st = $g->stats();
echo "after graph build: ", $st["index_status"], ", unindexed ", $st["unindexed_count"], "\n";
for ($i = 150; $i < 180; $i++) $g->set("g$i", [cos($i), sin($i)]);
$st = $g->stats();
echo "30 more: ", $st["index_status"], ", unindexed ", $st["unindexed_count"], ", total ", $st["total_count"], "\n";

// Slots of deleted and replaced records stay used: dead_count counts them.
$dir = sys_get_temp_dir() . "/qarbin_stats_dead_" . getmypid();
$shm = "stats_dead_" . getmypid();
foreach (["memory" => null, "disk" => $dir, "shm" => $shm] as $mode => $where) {
    $d = new QarbinStore($where, ["storage" => $mode, "dimensions" => 2, "segment_size" => 4]);
    for ($i = 0; $i < 6; $i++) $d->set("d$i", [$i, 1]);
    $before = $d->stats()["dead_count"];
    $d->set("d1", [9, 9]);
    $d->set("d2", [8, 8]);
    $d->delete("d3");
    $d->delete("missing");
    $st = $d->stats();
    echo "$mode: dead_count $before -> ", $st["dead_count"], ", total ", $st["total_count"], "\n";
    $d->close();
}
QarbinStore::destroy($shm);
array_map("unlink", glob("$dir/*"));
rmdir($dir);
?>
--EXPECT--
storage          string 'memory'
total_count      integer 1
segment_count    integer 1
dimensions       integer 4
distance         string 'manhattan'
quantization     string 'none'
bytes_per_vector integer 16
concurrency      string 'lock-free (C++ std::atomic)'
index_status     string 'none'
unindexed_count  integer 1
dead_count       integer 0
memory_mb        double 
threads          integer 3
text_records     integer 0
text_indexed     integer 0
text_terms       integer 0
text_bytes       integer 0
grown: 1 segment, memory of 32 slots: true
none dim 100: bytes_per_vector 400, pq_subvectors 'absent'
f16 dim 100: bytes_per_vector 200, pq_subvectors 'absent'
int8 dim 100: bytes_per_vector 108, pq_subvectors 'absent'
binary dim 100: bytes_per_vector 13, pq_subvectors 'absent'
binary dim 7: 1
pq dim 96: bytes_per_vector 8, pq_subvectors 8
pq collecting: count 3, total_count 0
after graph build: ready, unindexed 0
30 more: ready, unindexed 30, total 180
memory: dead_count 0 -> 3, total 5
disk: dead_count 0 -> 3, total 5
shm: dead_count 0 -> 3, total 5
