--TEST--
Corrupt segment files of the compact format as a table: files cut at every area boundary, header, entry, key-table and variable-area bytes that lie, as the first and as a later file, opened as disk and memory stores: an exception naming the file or a store that reads it safely, never a store without it, never a signal
--INI--
qarbin.pq_training_size=8
qarbin.pq_subvectors=2
qarbin.auto_index_threshold=4
--FILE--
<?php
$base = (is_writable("/dev/shm") ? "/dev/shm" : sys_get_temp_dir()) . "/qarbin_corrupt7_" . getmypid();
@mkdir($base);
function rmtree(string $d): void {
    array_map("unlink", glob("$d/*"));
    @rmdir($d);
}
// Two valid files per encoding: seg_0000 full (8 records, a graph built,
// one deleted) and seg_0001 with a few records.
function makeStore(string $dir, string $q): array {
    rmtree($dir);
    $s = new QarbinStore($dir, ["dimensions" => 4, "segment_size" => 8, "quantization" => $q]);
    for ($i = 0; $i < 11; $i++) $s->set("k$i", [$i, 1, -$i, 0.5], "meta$i");
    $s->search([1, 1, 1, 1], 3);  // builds the graph of the full segment
    $s->delete("k2");
    $s->close();
    return [file_get_contents("$dir/seg_0000.qbseg"), file_get_contents("$dir/seg_0001.qbseg")];
}
function u64(string $b, int $off): int { return unpack("P", substr($b, $off, 8))[1]; }
function u32(string $b, int $off): int { return unpack("V", substr($b, $off, 4))[1]; }
function put(string $b, int $off, string $bytes): string { return substr_replace($b, $bytes, $off, strlen($bytes)); }
// One variant at a time: each is a few MB (the variable area's reserve).
function variants(string $b): Generator {
    $graph = u64($b, 48);
    $pool = u64($b, 72);
    $vectors = u64($b, 128);
    $entries = u64($b, 136);
    $keyTable = u64($b, 144);
    $var = u64($b, 152);
    $varUsed = u64($b, 168);
    $rowBytes = u32($b, 176);
    foreach (["empty" => 0, "header-1" => 127, "header" => 128, "tail-1" => 255, "tail" => 256,
              "vectors" => $vectors, "row 1" => $vectors + $rowBytes, "entries" => $entries,
              "entry 1" => $entries + 32, "graph-1" => $graph - 1, "graph" => $graph, "pool" => $pool,
              "key table" => $keyTable, "variable area" => $var, "in the used variable bytes" => $var + $varUsed - 1,
              "last byte" => strlen($b) - 1] as $label => $len) {
        yield "cut at $label" => substr($b, 0, $len);
    }
    yield "one byte more" => $b . "\0";
    $fields = ["magic" => [0, 4], "version" => [4, 4], "dim" => [8, 4], "quantization" => [12, 4],
               "usedSlots" => [16, 8], "liveCount" => [24, 8], "capacity" => [32, 8], "hnswM" => [40, 4],
               "graphOffset" => [48, 8], "entryPoint" => [56, 4], "maxLevel" => [60, 4], "indexedCount" => [64, 8],
               "linkPoolOffset" => [72, 8], "metric" => [80, 4], "flags" => [84, 4], "pqSubvectors" => [96, 4],
               "codebookOffset" => [100, 8], "linkPoolUsed" => [108, 4],
               "vectorOffset" => [128, 8], "entryOffset" => [136, 8], "keyTableOffset" => [144, 8],
               "varOffset" => [152, 8], "varCapacity" => [160, 8], "varUsed" => [168, 8], "rowBytes" => [176, 4],
               "keyTableBits" => [180, 4], "normOrder" => [184, 4], "keyTableDirty" => [188, 4],
               "regionBytes" => [192, 8]];
    foreach ($fields as $name => [$off, $w]) {
        foreach (["0" => 0, "max" => -1, "+1" => null] as $how => $val) {
            $old = $w === 4 ? u32($b, $off) : u64($b, $off);
            $new = $val ?? $old + 1;
            yield "$name=$how" => put($b, $off, $w === 4 ? pack("V", $new & 0xffffffff) : pack("P", $new));
        }
    }
    // Fields of entry 0.
    yield "entry id lies" => put($b, $entries, pack("P", u64($b, $entries) ^ 1));
    yield "entry varUnit huge" => put($b, $entries + 8, pack("V", 0xffffffff));
    yield "entry lengths huge" => put($b, $entries + 12, pack("V", 0xffffffff));
    yield "entry extraLen huge" => put($b, $entries + 16, pack("V", 0xffffffff));
    yield "entry graphNode huge" => put($b, $entries + 20, pack("V", 0x7fffffff));
    yield "entry norm NaN" => put($b, $entries + 24, pack("V", 0x7fc00000));
    yield "entry valid, deleted garbage" => put($b, $entries + 28, "\x07\x09");
    yield "key table garbage" => put($b, $keyTable, str_repeat("\xff", 256));
    yield "key table empty" => put($b, $keyTable, str_repeat("\0", $var - $keyTable));
    yield "key bytes changed" => put($b, $var, "X");
    yield "node links garbage" => put($b, $graph, str_repeat("\xff", 144));
    yield "pool garbage" => put($b, $pool, str_repeat("\x7f", 72 * 4));
}
// Opens the directory both ways and uses it; returns a one-line outcome.
function exercise(string $dir, string $mode): string {
    try {
        // Small new segments: a disk store's default is 10000000 slots, a
        // sparse file that memory checkers shadow in full.
        $s = $mode === "disk" ? new QarbinStore($dir, ["dimensions" => 4, "segment_size" => 8])
                              : new QarbinStore($dir, ["storage" => "memory", "dimensions" => 4, "segment_size" => 8]);
        $st = $s->stats();
        $rows = $s->search([1, 1, -1, 0.5], 20);
        $rows0 = $s->search([1, 1, -1, 0.5], 20, 0);
        $g = $s->get("k1");
        $s->delete("k3");
        $s->set("new", [1, 2, 3, 4], "n");
        $ok = $s->get("new") !== null;
        $lines = substr_count($s->dump(), "\n");
        $s->close();
        foreach (array_merge($rows, $rows0) as $r) {
            if (!is_string($r["key"]) || strlen($r["key"]) > 1024 || (is_string($r["metadata"]) && strlen($r["metadata"]) > 1048576)) {
                return "MALFORMED ROW";
            }
        }
        return sprintf("segments %d count %d rows %d/%d k1 %s new %s dump %d", $st["segment_count"], $st["total_count"],
            count($rows), count($rows0), $g === null ? "-" : "ok", $ok ? "ok" : "refused", $lines);
    } catch (QarbinException $e) {
        return "exception: " . str_replace($dir, "DIR", $e->getMessage());
    }
}

$tried = 0;
$outcomes = [];
foreach (["none", "pq"] as $q) {
    [$first, $second] = makeStore("$base/src", $q);
    foreach (["first" => $first, "second" => $second] as $which => $bytes) {
        foreach (variants($bytes) as $label => $bad) {
            foreach (["disk", "memory"] as $mode) {
                $dir = "$base/case";
                rmtree($dir);
                mkdir($dir);
                file_put_contents("$dir/seg_0000.qbseg", $which === "first" ? $bad : $first);
                if ($which === "second") file_put_contents("$dir/seg_0001.qbseg", $bad);
                $out = exercise($dir, $mode);
                $tried++;
                $outcomes[$out] = ($outcomes[$out] ?? 0) + 1;
                if ($out === "MALFORMED ROW" || getenv("QARBIN_CORRUPT_TRACE")) echo "$q $which $label $mode: $out\n";
            }
        }
    }
}
rmtree("$base/case");
rmtree("$base/src");
@rmdir($base);
echo "cases: $tried, every one returned\n";
ksort($outcomes);
foreach ($outcomes as $out => $n) echo str_pad((string) $n, 4, " ", STR_PAD_LEFT), " x $out\n";
?>
--EXPECT--
cases: 928, every one returned
 115 x exception: Failed to load segment files from: DIR: Not a segment of this store: DIR/seg_0000.qbseg
 118 x exception: Failed to load segment files from: DIR: Not a segment of this store: DIR/seg_0001.qbseg
  32 x exception: Failed to load segment files from: DIR: Segment file was truncated: DIR/seg_0000.qbseg
  32 x exception: Failed to load segment files from: DIR: Segment file was truncated: DIR/seg_0001.qbseg
 115 x exception: Failed to open disk store at: DIR: Not a segment of this store: DIR/seg_0000.qbseg
 118 x exception: Failed to open disk store at: DIR: Not a segment of this store: DIR/seg_0001.qbseg
  32 x exception: Failed to open disk store at: DIR: Segment file was truncated: DIR/seg_0000.qbseg
  32 x exception: Failed to open disk store at: DIR: Segment file was truncated: DIR/seg_0001.qbseg
   2 x exception: Vector dim mismatch: expected 5
   4 x segments 1 count 0 rows 7/7 k1 ok new ok dump 7
   4 x segments 1 count 7 rows 6/6 k1 ok new ok dump 6
 152 x segments 1 count 7 rows 7/7 k1 ok new ok dump 7
   8 x segments 1 count 8 rows 7/7 k1 ok new ok dump 7
 156 x segments 2 count 10 rows 10/10 k1 ok new ok dump 10
   4 x segments 2 count 10 rows 9/9 k1 ok new ok dump 9
   4 x segments 2 count 7 rows 10/10 k1 ok new ok dump 10
