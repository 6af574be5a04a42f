--TEST--
Persistent handles: an equal request gets the kept store, brought up to date; close() only lets go of it; other options get another store; a destroyed or replaced store is opened anew
--EXTENSIONS--
pcntl
--FILE--
<?php
function opts(array $more = []): array {
    return $more + ["storage" => "shm", "dimensions" => 4, "distance" => "euclidean", "persistent" => true, "segment_size" => 64];
}
// What another process does to the store, run in a child so the parent's
// kept handle sees it only through the shared objects.
function elsewhere(callable $f): void {
    $pid = pcntl_fork();
    if ($pid === 0) {
        $f();
        exit(0);
    }
    pcntl_waitpid($pid, $status);
}
$name = "t_" . getmypid() . "_keep";
QarbinStore::destroy($name);

$a = new QarbinStore($name, opts());
for ($i = 0; $i < 50; $i++) $a->set("k$i", [$i, 1, 0, 0]);
$b = new QarbinStore($name, opts());
echo "shared in one request: ", $b->count(), " ", $b->get("k7")["vector"][0], "\n";
$a->close();
echo "after the other closed: ", $b->count(), " ", $b->has("k49") ? "has k49" : "lost k49", "\n";
unset($b);

// Another process adds 100 records: two new shared segments of 64 slots.
elsewhere(function () use ($name) {
    $w = new QarbinStore($name, ["storage" => "shm", "dimensions" => 4, "distance" => "euclidean"]);
    for ($i = 50; $i < 150; $i++) $w->set("k$i", [$i, 1, 0, 0]);
});
$c = new QarbinStore($name, opts());
$st = $c->stats();
echo "caught up: count ", $c->count(), ", segments ", $st["segment_count"], ", k140 ", $c->has("k140") ? "found" : "missing", "\n";
$hit = $c->search([140, 1, 0, 0], 1, 0)[0]["key"];
echo "search sees the new segment: $hit\n";
unset($c);

// Another process deletes a third and compacts: the kept handle follows
// the new generation.
elsewhere(function () use ($name) {
    $w = new QarbinStore($name, ["storage" => "shm", "dimensions" => 4, "distance" => "euclidean"]);
    for ($i = 0; $i < 150; $i += 3) $w->delete("k$i");
    $w->compact();
});
$c = new QarbinStore($name, opts());
echo "after a compaction elsewhere: count ", $c->count(), ", k3 ", $c->has("k3") ? "found" : "gone", ", k4 ",
     $c->get("k4")["vector"][0], ", nearest to 100: ", $c->search([100, 1, 0, 0], 1, 0)[0]["key"], "\n";
unset($c);

// Read-only and writable handles are different stores.
$ro = new QarbinStore($name, opts(["writable" => false]));
try {
    $ro->set("x", [1, 1, 1, 1]);
} catch (QarbinException $e) {
    echo "read-only kept apart: ", $e->getMessage(), "\n";
}
unset($ro);

// Destroyed and made again elsewhere: the kept handle is not handed out.
elsewhere(function () use ($name) {
    QarbinStore::destroy($name);
    $w = new QarbinStore($name, ["storage" => "shm", "dimensions" => 4, "distance" => "euclidean"]);
    $w->set("fresh", [1, 1, 1, 1]);
});
$d = new QarbinStore($name, opts());
echo "after destroy elsewhere: count ", $d->count(), ", ", $d->has("fresh") ? "fresh" : "stale", ", ", $d->has("k7") ? "old k7" : "no old k7", "\n";
unset($d);

// Destroyed in this process while a kept handle is held: the holder keeps
// what it had, the next open gets the new store.
$e1 = new QarbinStore($name, opts());
QarbinStore::destroy($name);
$e2 = new QarbinStore($name, opts());
echo "destroyed here: holder ", $e1->count(), ", new ", $e2->count(), "\n";
unset($e1, $e2);
QarbinStore::destroy($name);

// Memory stores are kept per process; a disk store whose files were removed is opened anew.
$m = new QarbinStore(null, ["dimensions" => 2, "persistent" => true]);
$m->set("kept", [1, 2]);
unset($m);
$m = new QarbinStore(null, ["dimensions" => 2, "persistent" => true]);
$plain = new QarbinStore(null, ["dimensions" => 2]);
echo "memory: kept ", $m->count(), ", plain ", $plain->count(), "\n";

$dir = sys_get_temp_dir() . "/qb_keep_" . getmypid();
$k = new QarbinStore($dir, ["dimensions" => 2, "persistent" => true]);
$k->set("a", [1, 2]);
$k->set("b", [2, 2]);
unset($k);
elsewhere(function () use ($dir) {
    $w = new QarbinStore($dir, ["dimensions" => 2]);
    $w->delete("a");
    $w->set("c", [3, 2]);
    $w->compact();
});
$k = new QarbinStore($dir, ["dimensions" => 2, "persistent" => true]);
echo "disk compacted elsewhere: count ", $k->count(), ", keys ", implode(",", $k->keys()), "\n";
unset($k);
array_map("unlink", glob("$dir/*"));
rmdir($dir);
$k = new QarbinStore($dir, ["dimensions" => 2, "persistent" => true]);
echo "disk files removed: count ", $k->count(), ", dir made again ", is_dir($dir) ? "yes" : "no", "\n";
unset($k);
array_map("unlink", glob("$dir/*"));
rmdir($dir);
?>
--EXPECT--
shared in one request: 50 7
after the other closed: 50 has k49
caught up: count 150, segments 3, k140 found
search sees the new segment: k140
after a compaction elsewhere: count 100, k3 gone, k4 4, nearest to 100: k100
read-only kept apart: Store is read-only
after destroy elsewhere: count 1, fresh, no old k7
destroyed here: holder 1, new 0
memory: kept 1, plain 0
disk compacted elsewhere: count 2, keys b,c
disk files removed: count 0, dir made again yes
