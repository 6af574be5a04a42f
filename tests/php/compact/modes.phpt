--TEST--
compact(): in every mode the live records stay (also through a reopen), dead slots come back, dead_count falls to 0; read-only and closed stores refused
--FILE--
<?php
$dir = sys_get_temp_dir() . "/qarbin_compact_" . getmypid();
$shm = "compact_modes_" . getmypid();
QarbinStore::destroy($shm);
function open_store(string $mode, $where) {
    return new QarbinStore($where, ["storage" => $mode, "dimensions" => 3, "segment_size" => 32, "quantization" => "int8"]);
}
foreach (["memory" => null, "disk" => $dir, "shm" => $shm] as $mode => $where) {
    $s = open_store($mode, $where);
    for ($i = 0; $i < 100; $i++) $s->set("k$i", [$i, 1, -$i], "m$i");
    for ($i = 0; $i < 100; $i += 2) $s->set("k$i", [$i, 2, 0], "new$i");
    for ($i = 0; $i < 100; $i += 5) $s->delete("k$i");
    $before = [];
    foreach ($s->keys() as $k) $before[$k] = $s->get($k);
    $top = $s->search([10, 1, -10], 5, 0);
    $st = $s->stats();
    echo "$mode before: count ", $s->count(), ", dead ", $st["dead_count"], ", segments ", $st["segment_count"], "\n";
    echo "$mode compact: ", $s->compact(), "\n";
    $st = $s->stats();
    echo "$mode after: count ", $s->count(), ", dead ", $st["dead_count"], ", segments ", $st["segment_count"], "\n";
    $same = true;
    foreach ($before as $k => $r) $same = $same && $s->get($k) === $r;
    echo "$mode records and scores unchanged: ", var_export($same && $s->search([10, 1, -10], 5, 0) === $top, true), "\n";
    echo "$mode again: ", $s->compact(), ", set after: ", var_export($s->set("k0", [0, 0, 1]), true), "\n";
    if ($mode !== "memory") {
        $s->close();
        $s = open_store($mode, $where);
        $same = true;
        foreach ($before as $k => $r) $same = $same && $s->get($k) === $r;
        echo "$mode reopened: count ", $s->count(), ", dead ", $s->stats()["dead_count"], ", same: ", var_export($same, true), "\n";
    }
    $s->close();
    try {
        $s->compact();
    } catch (QarbinException $e) {
        echo "$mode closed: ", $e->getMessage(), "\n";
    }
}
if (is_dir($dir)) echo "disk files: ", implode(",", array_map("basename", glob("$dir/*"))), "\n";
$ro = new QarbinStore($shm, ["storage" => "shm", "writable" => false]);
try {
    $ro->compact();
} catch (QarbinException $e) {
    echo "read-only: ", $e->getMessage(), "\n";
}
$ro->close();
QarbinStore::destroy($shm);
array_map("unlink", glob("$dir/*"));
rmdir($dir);
?>
--EXPECT--
memory before: count 80, dead 70, segments 1
memory compact: 70
memory after: count 80, dead 0, segments 1
memory records and scores unchanged: true
memory again: 0, set after: true
memory closed: Store not open
disk before: count 80, dead 70, segments 5
disk compact: 70
disk after: count 80, dead 0, segments 3
disk records and scores unchanged: true
disk again: 0, set after: true
disk reopened: count 81, dead 0, same: true
disk closed: Store not open
shm before: count 80, dead 70, segments 5
shm compact: 70
shm after: count 80, dead 0, segments 3
shm records and scores unchanged: true
shm again: 0, set after: true
shm reopened: count 81, dead 0, same: true
shm closed: Store not open
disk files: seg_0000.qbseg,seg_0001.qbseg,seg_0002.qbseg
read-only: Store is read-only
