--TEST--
Memory store growth: one segment that doubles, within memory_limit; snapshot, dump and load of a grown store
--FILE--
<?php
$dir = sys_get_temp_dir() . "/qarbin_growth_" . getmypid();
function rmtree($d) {
    foreach (glob("$d/*") ?: [] as $f) unlink($f);
    @rmdir($d);
}
function vec($i) { return [cos($i), sin($i), ($i % 13) / 13, 1]; }

$s = new QarbinStore(null, ["dimensions" => 4, "segment_size" => 64]);
for ($i = 0; $i < 1000; $i++) $s->set("k$i", vec($i), $i % 2 ? "odd" : null);
$s->delete("k10");
$q = vec(500);
$graph = $s->search($q, 10);
$exact = $s->search($q, 10, 0);
$st = $s->stats();
echo "1000 records: ", $st["segment_count"], " segment, count ", $s->count(), ", index ", $st["index_status"], "\n";
echo "graph matches the scan: ", var_export(array_column($graph, "key") === array_column($exact, "key"), true), "\n";

rmtree($dir);
var_dump($s->snapshot($dir));
foreach (["disk", "memory"] as $mode) {
    $back = new QarbinStore($dir, ["storage" => $mode, "dimensions" => 4]);
    echo "$mode from snapshot: ", $back->count(), " records, k999 ", $back->get("k999")["metadata"],
        ", k10 ", var_export($back->get("k10"), true), ", same answer ",
        var_export(array_column($back->search($q, 10, 0), "key") === array_column($exact, "key"), true), "\n";
    $back->close();
}
rmtree($dir);

$lines = $s->dump();
$t = new QarbinStore(null, ["dimensions" => 4, "segment_size" => 64]);
file_put_contents("$dir.jsonl", $lines);
echo "dump/load: ", $t->load("$dir.jsonl"), " lines, count ", $t->count(), ", ", $t->stats()["segment_count"], " segment\n";
unlink("$dir.jsonl");

// A limit the next move would pass: the store takes a further segment of
// the first one's size while that fits, then refuses.
$one = (new QarbinStore(null, ["dimensions" => 4, "segment_size" => 64]))->stats()["memory_mb"];
$two = (new QarbinStore(null, ["dimensions" => 4, "segment_size" => 128]))->stats()["memory_mb"];
// Each record's key ("k<i>", at most 8 bytes) takes one unit of variable
// bytes as well.
$limit = (int) round(($one + $two) * 1024 * 1024) + 192 * 8;
$u = new QarbinStore(null, ["dimensions" => 4, "segment_size" => 64, "memory_limit" => $limit]);
$stored = 0;
try {
    for ($i = 0; $i < 1000; $i++) { $u->set("k$i", vec($i)); $stored++; }
} catch (QarbinException $e) {
    echo "limit: ", $e->getMessage(), " after $stored records in ", $u->stats()["segment_count"], " segments, count ",
        $u->count(), ", within limit ", var_export($u->stats()["memory_mb"] * 1024 * 1024 <= $limit + 1, true), "\n";
}
?>
--EXPECT--
1000 records: 1 segment, count 999, index ready
graph matches the scan: true
bool(true)
disk from snapshot: 999 records, k999 odd, k10 NULL, same answer true
memory from snapshot: 999 records, k999 odd, k10 NULL, same answer true
dump/load: 999 lines, count 999, 1 segment
limit: Failed to set vector: memory limit reached after 192 records in 2 segments, count 192, within limit true
