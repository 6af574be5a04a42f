--TEST--
Disk stores: records survive reconstruction; memory stores load a directory without writing to it; snapshot and its disk-mode refusal; clear of a disk store leaves one empty file that reopens empty
--FILE--
<?php
$base = sys_get_temp_dir() . "/qarbin_disk_" . getmypid();
$dir = "$base/store";
$snap = "$base/snap";
@mkdir($base);
function files(string $d): string {
    return implode(",", array_map("basename", glob("$d/*") ?: [])) ?: "-";
}

$s = new QarbinStore($dir, ["dimensions" => 3, "segment_size" => 4]);
echo "stats: ", $s->stats()["storage"], ", files ", files($dir), "\n";
for ($i = 0; $i < 6; $i++) $s->set("k$i", [$i, 1, 0], "meta$i");
$s->delete("k1");
echo "six set, one deleted: count ", $s->count(), ", files ", files($dir), "\n";
try {
    $s->snapshot($snap);
} catch (QarbinException $e) {
    echo "snapshot: ", $e->getMessage(), "\n";
}
echo "after refusal: count ", $s->count(), ", snapshot dir exists: ", var_export(is_dir($snap), true), "\n";
$s->close();

$s = new QarbinStore($dir, ["dimensions" => 3]);
$r = $s->get("k4");
echo "reopened: count ", $s->count(), ", k4 ", json_encode($r["vector"]), " ", $r["metadata"], ", k1 ", var_export($s->get("k1"), true), "\n";
$s->set("k6", [6, 1, 0]);
unset($s);

// Only the directory given and no "storage": disk mode; with "memory" the
// files are copied into private memory and never written back.
$m = new QarbinStore($dir, ["storage" => "memory", "dimensions" => 3]);
$before = array_map("md5_file", glob("$dir/*"));
echo "memory from dir: ", $m->stats()["storage"], ", count ", $m->count(), ", segments ", $m->stats()["segment_count"], "\n";
$m->set("only_in_memory", [9, 9, 9]);
$m->delete("k0");
var_dump($m->clear(), $m->count());
$m->set("snap_me", [1, 2, 3], "s");
var_dump($m->snapshot($snap));
$m->close();
echo "directory unchanged: ", var_export($before === array_map("md5_file", glob("$dir/*")), true), "\n";
echo "snapshot files: ", files($snap), "\n";

$d = new QarbinStore($snap, ["dimensions" => 3]);
echo "snapshot opened as disk: count ", $d->count(), ", snap_me ", $d->get("snap_me")["metadata"], "\n";
$d->close();

// A directory that cannot be created is refused by the constructor.
try {
    new QarbinStore("/proc/qarbin_cannot/create", ["dimensions" => 3, "segment_size" => 4]);
} catch (QarbinException $e) {
    echo "uncreatable dir: ", $e->getMessage(), "\n";
}
$m = new QarbinStore(null, ["dimensions" => 3]);
$m->set("a", [1, 2, 3]);
var_dump($m->snapshot("/proc/qarbin_cannot/snap"));

// Only a directory: disk mode, qarbin.default_dim, segments of 10000000
// slots (a sparse file).
$big = new QarbinStore("$base/default");
$st = $big->stats();
$ref = new QarbinStore("$base/ref", ["dimensions" => 1536, "segment_size" => 10000000]);
echo "directory only: ", $st["storage"], " dim ", $st["dimensions"], ", same size as 10000000 slots: ",
    var_export($st["memory_mb"] === $ref->stats()["memory_mb"], true), "\n";
$big->close();
$ref->close();

// clear() of a disk store: one empty segment file, also after reopening.
$s = new QarbinStore($dir, ["dimensions" => 3, "segment_size" => 4]);
echo "before clear: count ", $s->count(), ", files ", files($dir), "\n";
var_dump($s->clear());
echo "cleared: count ", $s->count(), ", files ", files($dir), ", k4 ", var_export($s->get("k4"), true), "\n";
$s->set("after", [1, 1, 1]);
$s->close();
$s = new QarbinStore($dir, ["dimensions" => 3, "segment_size" => 4]);
echo "reopened after clear: count ", $s->count(), ", keys ", implode(",", $s->keys()), "\n";
$s->close();

foreach ([$dir, $snap, "$base/default", "$base/ref"] as $d) {
    array_map("unlink", glob("$d/*"));
    rmdir($d);
}
rmdir($base);
?>
--EXPECT--
stats: disk, files seg_0000.qbseg
six set, one deleted: count 5, files seg_0000.qbseg,seg_0001.qbseg
snapshot: snapshot() is not available on disk-mode stores
after refusal: count 5, snapshot dir exists: false
reopened: count 5, k4 [4,1,0] meta4, k1 NULL
memory from dir: memory, count 6, segments 2
bool(true)
int(0)
bool(true)
directory unchanged: true
snapshot files: seg_0000.qbseg
snapshot opened as disk: count 1, snap_me s
uncreatable dir: Failed to open disk store at: /proc/qarbin_cannot/create: No such file or directory
bool(false)
directory only: disk dim 1536, same size as 10000000 slots: true
before clear: count 6, files seg_0000.qbseg,seg_0001.qbseg
bool(true)
cleared: count 0, files seg_0000.qbseg, k4 NULL
reopened after clear: count 1, keys after
