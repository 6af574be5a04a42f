--TEST--
Shared memory: a read-only handle refuses writes and serves reads; destroy removes the store once, without any object
--FILE--
<?php
$name = "t_" . getmypid() . "_ro";
var_dump(QarbinStore::destroy($name));
$w = new QarbinStore($name, ["storage" => "shm", "dimensions" => 2, "segment_size" => 32]);
$w->set("a", [1, 0], "ma");
$w->set("b", [0, 1]);

$r = new QarbinStore($name, ["storage" => "shm", "dimensions" => 2, "writable" => 0]);
$path = sys_get_temp_dir() . "/qarbin_ro_" . getmypid();
$calls = [
    "set" => fn() => $r->set("c", [1, 1]),
    "batchSet" => fn() => $r->batchSet([["key" => "c", "vector" => [1, 1]]]),
    "delete" => fn() => $r->delete("a"),
    "clear" => fn() => $r->clear(),
    "load" => fn() => $r->load("/nonexistent/file"),
    "search" => fn() => array_column($r->search([1, 0], 5, 0), "key"),
    "get" => fn() => $r->get("a")["metadata"],
    "count" => fn() => $r->count(),
    "stats" => fn() => $r->stats()["storage"] . " " . $r->stats()["total_count"],
    "snapshot" => fn() => $r->snapshot("$path.snap"),
    "dump" => fn() => $r->dump(),
    "dump file" => fn() => $r->dump("$path.jsonl"),
];
foreach ($calls as $label => $call) {
    try {
        $out = var_export($call(), true);
    } catch (QarbinException $e) {
        $out = "QarbinException: " . $e->getMessage();
    }
    echo str_pad($label, 10), str_replace("\n", "", $out), "\n";
}
echo "writer still has: ", $w->count(), "\n";
$w->set("c", [1, 1]);
echo "reader sees the writer's new record: ", var_export($r->get("c") !== null, true), ", count ", $r->count(), "\n";
$snap = new QarbinStore("$path.snap", ["storage" => "memory", "dimensions" => 2]);
echo "snapshot of the reader: ", $snap->count(), "\n";
$r->close();
$w->close();

var_dump(QarbinStore::destroy($name), QarbinStore::destroy($name));
try {
    new QarbinStore($name, ["storage" => "shm", "dimensions" => 2, "writable" => false]);
} catch (QarbinException $e) {
    echo "read-only open of a missing store: ", $e->getMessage() === "Failed to open shm store: $name" ? "refused" : $e->getMessage(), "\n";
}
unlink("$path.jsonl");
array_map("unlink", glob("$path.snap/*"));
rmdir("$path.snap");
?>
--EXPECT--
bool(false)
set       QarbinException: Store is read-only
batchSet  QarbinException: Store is read-only
delete    QarbinException: Store is read-only
clear     QarbinException: Store is read-only
load      QarbinException: Store is read-only
search    array (  0 => 'a',  1 => 'b',)
get       'ma'
count     2
stats     'shm 2'
snapshot  true
dump      '{"key":"a","vector":[1,0],"metadata":"ma"}{"key":"b","vector":[0,1],"metadata":null}'
dump file 2
writer still has: 2
reader sees the writer's new record: true, count 2
snapshot of the reader: 2
bool(true)
bool(false)
read-only open of a missing store: refused
