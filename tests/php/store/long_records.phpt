--TEST--
A record with a 1024-byte key and 1 MiB of metadata, beside short ones, comes back byte for byte in every mode through set, get, search, dump, load, snapshot and compact
--FILE--
<?php
$tag = getmypid();
$dir = sys_get_temp_dir() . "/qarbin_long_$tag";
function rmtree(string $d): void {
    foreach (glob("$d/*") ?: [] as $f) unlink($f);
    if (is_dir($d)) rmdir($d);
}
// Keys and metadata that differ in their last bytes: a cut or a mixed-up
// block shows.
$longKey = str_repeat("k", 1023) . "L";
$longMeta = json_encode(["text" => str_repeat("chunk text ", 95000)]);
$longMeta .= str_repeat(" ", 1048576 - strlen($longMeta));
$records = [
    $longKey => [[1, 0, 0, 0], $longMeta],
    str_repeat("k", 1023) . "M" => [[0, 1, 0, 0], strrev($longMeta)],
    "short" => [[0, 0, 1, 0], "{}"],
];
function check(QarbinStore $s, array $records, string $label): void {
    global $longKey;
    $ok = $s->count() === count($records);
    foreach ($records as $key => [$vector, $meta]) {
        $got = $s->get($key);
        $ok = $ok && $got !== null && $got["key"] === $key && $got["metadata"] === $meta && $got["vector"] == $vector;
        $hit = $s->search($vector, 1)[0] ?? null;
        $ok = $ok && $hit !== null && $hit["key"] === $key && $hit["metadata"] === $meta;
    }
    $ok = $ok && !$s->has(substr($longKey, 0, 1023)) && $s->get(substr($longKey, 0, 1023) . "X") === null;
    echo str_pad($label, 28), var_export($ok, true), "\n";
}
foreach (["memory", "disk", "shm"] as $mode) {
    rmtree($dir);
    $name = $mode === "shm" ? "t_{$tag}_long" : ($mode === "disk" ? $dir : null);
    if ($mode === "shm") QarbinStore::destroy($name);
    $s = new QarbinStore($name, ["storage" => $mode, "dimensions" => 4, "distance" => "euclidean"]);
    foreach ($records as $key => [$vector, $meta]) $s->set($key, $vector, $meta);
    check($s, $records, "$mode: set");
    $s->set("gone", [5, 5, 5, 5], $longMeta);
    $s->delete("gone");
    $s->compact();
    check($s, $records, "$mode: compact");
    $s->dump("$dir.jsonl");
    $t = new QarbinStore(null, ["dimensions" => 4, "distance" => "euclidean"]);
    $t->load("$dir.jsonl");
    check($t, $records, "$mode: dump and load");
    $t->close();
    unlink("$dir.jsonl");
    if ($mode !== "disk") {  // a disk store is its own snapshot
        $snap = "$dir.snap";
        rmtree($snap);
        $s->snapshot($snap);
        $u = new QarbinStore($snap, ["dimensions" => 4, "distance" => "euclidean"]);
        check($u, $records, "$mode: snapshot");
        $u->close();
        rmtree($snap);
    }
    $s->close();
    if ($mode === "shm") {
        $r = new QarbinStore($name, ["storage" => "shm", "dimensions" => 4, "writable" => false]);
        check($r, $records, "$mode: another handle");
        $r->close();
        QarbinStore::destroy($name);
    } elseif ($mode === "disk") {
        $r = new QarbinStore($dir, ["dimensions" => 4]);
        check($r, $records, "$mode: reopened");
        $r->close();
    }
}
rmtree($dir);
?>
--EXPECT--
memory: set                 true
memory: compact             true
memory: dump and load       true
memory: snapshot            true
disk: set                   true
disk: compact               true
disk: dump and load         true
disk: reopened              true
shm: set                    true
shm: compact                true
shm: dump and load          true
shm: snapshot               true
shm: another handle         true
