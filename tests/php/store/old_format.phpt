--TEST--
A store of fixed record slots (written by an earlier version) keeps its limits, 63-byte keys and 4096-byte metadata, as a disk store and loaded into memory, until compact() rewrites it in the compact format: then it answers the same searches and takes 1024-byte keys and 1 MiB of metadata
--FILE--
<?php
$dir = sys_get_temp_dir() . "/qarbin_old_format_" . getmypid();
function fresh(string $dir): void {
    @mkdir($dir);
    array_map("unlink", glob("$dir/*"));
    file_put_contents("$dir/seg_0000.qbseg", gzdecode(file_get_contents(__DIR__ . "/fixtures/v6_store.qbseg.gz")));
}
function version(string $file): int { return unpack("V", file_get_contents($file, false, null, 4, 4))[1]; }
function attempt(callable $f): string {
    try {
        $f();
        return "ok";
    } catch (QarbinException $e) {
        return $e->getMessage();
    }
}
function limits(QarbinStore $s, int $key, int $meta): string {
    $v = [1, 0, 0, 0, 0, 0, 0, 1];
    return sprintf("key %d: %s, key %d: %s, metadata %d: %s, metadata %d: %s", $key,
        attempt(fn() => $s->set(str_repeat("k", $key), $v)), $key + 1, attempt(fn() => $s->set(str_repeat("k", $key + 1), $v)),
        $meta, attempt(fn() => $s->set("m", $v, str_repeat("m", $meta))),
        $meta + 1, attempt(fn() => $s->set("m1", $v, str_repeat("m", $meta + 1))));
}
$q = [0.5, -1, 2, 0, 1, -0.5, 1.5, 0.25];
// Graph scores in the compact format come from the stored norm: equal to
// a few units in the last place, so rows are compared to 6 decimals there.
$top = fn(QarbinStore $s, int $precision) => array_map(
    fn($r) => $r["key"] . " " . ($precision ? round($r["score"], 6) : $r["score"]), $s->search($q, 5, $precision));

fresh($dir);
$s = new QarbinStore($dir, ["dimensions" => 8]);
echo "disk: count ", $s->count(), ", doc-4 ", $s->get("doc-4")["metadata"], ", doc-3 ", var_export($s->get("doc-3"), true), "\n";
$exact = $top($s, 0);
$graph = $top($s, 40);
echo "  ", limits($s, 63, 4096), "\n";
foreach (["k", "m", "m1", str_repeat("k", 63)] as $k) $s->delete($k);
echo "  compact: ", $s->compact() > 0 ? "slots given back" : "nothing given back", ", file version ", version("$dir/seg_0000.qbseg"), "\n";
echo "  same exact rows: ", var_export($top($s, 0) === $exact, true), ", same graph rows: ", var_export($top($s, 40) === $graph, true), "\n";
echo "  ", limits($s, 1024, 1048576), "\n";
$s->close();
$s = new QarbinStore($dir, ["dimensions" => 8]);
echo "  reopened: count ", $s->count(), ", 1024-byte key ", var_export($s->has(str_repeat("k", 1024)), true),
     ", 1 MiB metadata ", strlen($s->get("m")["metadata"]), "\n";
$s->close();

fresh($dir);
$m = new QarbinStore($dir, ["storage" => "memory", "dimensions" => 8]);
echo "memory: count ", $m->count(), ", same exact rows: ", var_export($top($m, 0) === $exact, true), "\n";
echo "  ", limits($m, 63, 4096), "\n";
$m->compact();
echo "  compacted: ", limits($m, 1024, 1048576), "\n";
echo "  files untouched: version ", version("$dir/seg_0000.qbseg"), "\n";
$m->close();
array_map("unlink", glob("$dir/*"));
rmdir($dir);
?>
--EXPECT--
disk: count 5, doc-4 {"n":4}, doc-3 NULL
  key 63: ok, key 64: Key too long (max 63 bytes), metadata 4096: ok, metadata 4097: Metadata too long (max 4096 bytes)
  compact: slots given back, file version 7
  same exact rows: true, same graph rows: true
  key 1024: ok, key 1025: Key too long (max 1024 bytes), metadata 1048576: ok, metadata 1048577: Metadata too long (max 1048576 bytes)
  reopened: count 7, 1024-byte key true, 1 MiB metadata 1048576
memory: count 5, same exact rows: true
  key 63: ok, key 64: Key too long (max 63 bytes), metadata 4096: ok, metadata 4097: Metadata too long (max 4096 bytes)
  compacted: key 1024: ok, key 1025: Key too long (max 1024 bytes), metadata 1048576: ok, metadata 1048577: Metadata too long (max 1048576 bytes)
  files untouched: version 6
