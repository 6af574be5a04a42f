--TEST--
clear(): empties memory and shared-memory stores in place; a pq store keeps collecting; the store stays usable
--INI--
qarbin.pq_subvectors=2
qarbin.pq_training_size=4
--FILE--
<?php
$m = new QarbinStore(null, ["dimensions" => 2, "segment_size" => 16]);
for ($i = 0; $i < 20; $i++) $m->set("k$i", [$i, 1]);
echo "memory before: ", $m->count(), " in ", $m->stats()["segment_count"], " segments\n";
var_dump($m->clear());
echo "memory after: count ", $m->count(), ", total ", $m->stats()["total_count"], ", k3 ", var_export($m->get("k3"), true),
    ", search ", count($m->search([1, 1], 10, 0)), "\n";
$m->set("again", [1, 2]);
echo "set after clear: ", $m->count(), " ", $m->search([1, 2], 1, 0)[0]["key"], "\n";

$name = "t_" . getmypid() . "_clear";
QarbinStore::destroy($name);
$a = new QarbinStore($name, ["storage" => "shm", "dimensions" => 2, "segment_size" => 16]);
$b = new QarbinStore($name, ["storage" => "shm", "dimensions" => 2]);
$a->set("s1", [1, 0]);
$a->set("s2", [0, 1]);
var_dump($b->clear());
echo "shm other handle after clear: ", var_export($a->get("s1"), true), ", fresh handle count ",
    (new QarbinStore($name, ["storage" => "shm", "dimensions" => 2]))->count(), "\n";
$a->close();
$b->close();
QarbinStore::destroy($name);

$p = new QarbinStore(null, ["dimensions" => 2, "quantization" => "pq"]);
$p->set("h1", [1, 2]);
$p->set("h2", [3, 4]);
$p->clear();
echo "pq after clear: count ", $p->count(), "\n";
for ($i = 0; $i < 3; $i++) $p->set("n$i", [$i, 1]);
echo "pq still collecting: count ", $p->count(), ", total ", $p->stats()["total_count"], "\n";
$p->set("n3", [3, 1]);
echo "pq trained at 4: count ", $p->count(), ", total ", $p->stats()["total_count"], "\n";
?>
--EXPECT--
memory before: 20 in 1 segments
bool(true)
memory after: count 0, total 0, k3 NULL, search 0
set after clear: 1 again
bool(true)
shm other handle after clear: NULL, fresh handle count 0
pq after clear: count 0
pq still collecting: count 3, total 0
pq trained at 4: count 4, total 4
