--TEST--
Corrupt segment files of the fixed-slot format as a table: files cut at every area boundary and header and slot fields that lie, as the first and as a later file, opened as disk and memory stores: an exception naming the file or a store that reads it safely, never a store without it, never a signal
--INI--
qarbin.pq_training_size=8
qarbin.pq_subvectors=2
qarbin.auto_index_threshold=4
--FILE--
<?php
// Every case flushes its files on close: in memory that costs nothing.
$base = (is_writable("/dev/shm") ? "/dev/shm" : sys_get_temp_dir()) . "/qarbin_corrupt_" . getmypid();
@mkdir($base);
function rmtree(string $d): void {
    array_map("unlink", glob("$d/*"));
    @rmdir($d);
}
// Two valid files of the fixed-slot format per encoding, written by the
// last version that wrote them: seg_0000 full (8 records, a graph built,
// one deleted) and seg_0001 with a few records.
function makeStore(string $q): array {
    $file = fn(int $n) => gzdecode(file_get_contents(__DIR__ . "/fixtures/v6_{$q}_$n.qbseg.gz"));
    return [$file(0), $file(1)];
}
function u64(string $b, int $off): int { return unpack("P", substr($b, $off, 8))[1]; }
function put(string $b, int $off, string $bytes): string { return substr_replace($b, $bytes, $off, strlen($bytes)); }
function variants(string $b): array {
    $graph = u64($b, 48);
    $pool = u64($b, 72);
    $cb = u64($b, 100);
    $slots = 128 + ($cb ? (u64($b, 96) & 0xffffffff) * 2 * 1024 : 0);
    $stride = intdiv($graph - $slots, u64($b, 32));
    $v = [];
    foreach (["empty" => 0, "header-1" => 127, "header" => 128, "codebook" => $slots, "mid slot 0" => $slots + 60,
              "slot 1" => $slots + $stride, "graph-1" => $graph - 1, "graph" => $graph, "pool" => $pool,
              "last byte" => strlen($b) - 1] as $label => $len) {
        $v["cut at $label"] = substr($b, 0, $len);
    }
    $v["one byte more"] = $b . "\0";
    $fields = ["magic" => [0, 4], "version" => [4, 4], "dim" => [8, 4], "quantization" => [12, 4],
               "usedSlots" => [16, 8], "liveCount" => [24, 8], "capacity" => [32, 8], "hnswM" => [40, 4],
               "graphOffset" => [48, 8], "entryPoint" => [56, 4], "maxLevel" => [60, 4], "indexedCount" => [64, 8],
               "linkPoolOffset" => [72, 8], "metric" => [80, 4], "flags" => [84, 4], "pqSubvectors" => [96, 4],
               "codebookOffset" => [100, 8], "linkPoolUsed" => [108, 4]];
    foreach ($fields as $name => [$off, $w]) {
        foreach (["0" => 0, "max" => -1, "+1" => null] as $how => $val) {
            $old = $w === 4 ? unpack("V", substr($b, $off, 4))[1] : u64($b, $off);
            $new = $val ?? $old + 1;
            $v["$name=$how"] = put($b, $off, $w === 4 ? pack("V", $new & 0xffffffff) : pack("P", $new));
        }
    }
    // Slot fields of slot 0.
    $v["slot metaLen huge"] = put($b, $slots + 80, pack("V", 0xffffffff));
    $v["slot key unterminated"] = put($b, $slots + 8, str_repeat("x", 64));
    $v["slot graphNode huge"] = put($b, $slots + 84, pack("V", 0x7fffffff));
    $v["slot dim lies"] = put($b, $slots + 72, pack("v", 9));
    $v["slot valid, deleted garbage"] = put($b, $slots + 75, "\x07\x09");
    $v["node links garbage"] = put($b, $graph, str_repeat("\xff", 144));
    $v["pool garbage"] = put($b, $pool, str_repeat("\x7f", 72 * 4));
    return $v;
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
            if (!is_string($r["key"]) || strlen($r["key"]) > 63 || (is_string($r["metadata"]) && strlen($r["metadata"]) > 4096)) {
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
    [$first, $second] = makeStore($q);
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
                if ($out === "MALFORMED ROW") echo "$q $which $label $mode: $out\n";
            }
        }
    }
}
rmtree("$base/case");
@rmdir($base);
echo "cases: $tried, every one returned\n";
// A version raised by one names the compact format, whose areas a file of
// the older layout cannot hold: that case reads as cut short.
// The outcomes: the whole store (a lie that no reader needs to trust), a
// store refused with the cause naming the bad file (never one opened
// without it), or a refused write.
ksort($outcomes);
foreach ($outcomes as $out => $n) echo str_pad((string) $n, 4, " ", STR_PAD_LEFT), " x $out\n";
?>
--EXPECT--
cases: 576, every one returned
  46 x exception: Failed to load segment files from: DIR: Not a segment of this store: DIR/seg_0000.qbseg
  49 x exception: Failed to load segment files from: DIR: Not a segment of this store: DIR/seg_0001.qbseg
  24 x exception: Failed to load segment files from: DIR: Segment file was truncated: DIR/seg_0000.qbseg
  24 x exception: Failed to load segment files from: DIR: Segment file was truncated: DIR/seg_0001.qbseg
  46 x exception: Failed to open disk store at: DIR: Not a segment of this store: DIR/seg_0000.qbseg
  49 x exception: Failed to open disk store at: DIR: Not a segment of this store: DIR/seg_0001.qbseg
  24 x exception: Failed to open disk store at: DIR: Segment file was truncated: DIR/seg_0000.qbseg
  24 x exception: Failed to open disk store at: DIR: Segment file was truncated: DIR/seg_0001.qbseg
   2 x exception: Failed to set vector
   2 x exception: Vector dim mismatch: expected 5
   4 x segments 1 count 0 rows 0/0 k1 - new ok dump 1
   4 x segments 1 count 0 rows 7/7 k1 ok new ok dump 7
   4 x segments 1 count 7 rows 6/6 k1 ok new ok dump 6
   2 x segments 1 count 7 rows 7/7 k1 - new ok dump 1
 124 x segments 1 count 7 rows 7/7 k1 ok new ok dump 7
   8 x segments 1 count 8 rows 7/7 k1 ok new ok dump 7
 128 x segments 2 count 10 rows 10/10 k1 ok new ok dump 10
   4 x segments 2 count 10 rows 9/9 k1 ok new ok dump 9
   4 x segments 2 count 7 rows 10/10 k1 ok new ok dump 10
   4 x segments 2 count 7 rows 7/7 k1 ok new ok dump 7
