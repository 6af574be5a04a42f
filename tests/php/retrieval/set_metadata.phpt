--TEST--
setMetadata(): replaces a record's metadata in place in every mode (same vector, no dead slot, no graph work, filters see it), false for a missing key, its errors; in a shared store another process sees it at once and a reader never sees a part of it; held-back PQ records and stores of the older format take it too
--SKIPIF--
<?php if (!function_exists("pcntl_fork")) die("skip pcntl"); ?>
--INI--
qarbin.pq_training_size=8
qarbin.pq_subvectors=2
--FILE--
<?php
$tag = getmypid();
$dir = sys_get_temp_dir() . "/qarbin_setmeta_$tag";
function rmtree(string $d): void {
    foreach (glob("$d/*") ?: [] as $f) unlink($f);
    if (is_dir($d)) rmdir($d);
}
function attempt(callable $f): string {
    try {
        return var_export($f(), true);
    } catch (QarbinException $e) {
        return $e->getMessage();
    }
}
$vec = fn(int $i) => [cos($i), sin($i), $i % 3, 1];
foreach (["memory", "disk", "shm"] as $mode) {
    rmtree($dir);
    $name = $mode === "shm" ? "t_{$tag}_meta" : ($mode === "disk" ? $dir : null);
    if ($mode === "shm") QarbinStore::destroy($name);
    $s = new QarbinStore($name, ["storage" => $mode, "dimensions" => 4, "segment_size" => 64]);
    for ($i = 0; $i < 40; $i++) $s->set("k$i", $vec($i), json_encode(["tag" => "old", "i" => $i]));
    $s->buildIndex();
    $before = $s->stats();
    $vector = $s->get("k7")["vector"];
    $replaced = $s->setMetadata("k7", json_encode(["tag" => "new", "i" => 7]));
    $after = $s->stats();
    $got = $s->get("k7");
    $hits = array_column($s->search($vec(7), 40, 50, ["tag" => "new"]), "key");
    $old = array_column($s->search($vec(7), 40, 0, ["tag" => "old"]), "key");
    printf("%s: replaced %s, metadata %s, same vector %s, count %d, dead %d -> %d, unindexed %d, index %s\n", $mode,
        var_export($replaced, true), $got["metadata"], var_export($got["vector"] === $vector, true), $s->count(),
        $before["dead_count"], $after["dead_count"], $after["unindexed_count"], $after["index_status"]);
    printf("  filter new: %s; filter old has k7: %s, rows %d\n", implode(",", $hits),
        var_export(in_array("k7", $old, true), true), count($old));
    echo "  null: ", attempt(fn() => $s->setMetadata("k8", null)), " -> ", var_export($s->get("k8")["metadata"], true),
         "; missing: ", attempt(fn() => $s->setMetadata("nope", "{}")), "; empty key: ", attempt(fn() => $s->setMetadata("", "{}")),
         "; too long: ", attempt(fn() => $s->setMetadata("k9", str_repeat("m", 1048577))), "\n";
    if ($mode === "shm") {
        // Another process sees it at its next call.
        $pid = pcntl_fork();
        if ($pid === 0) {
            $c = new QarbinStore($name, ["storage" => "shm", "dimensions" => 4]);
            $c->setMetadata("k1", "from the child");
            exit(0);
        }
        pcntl_waitpid($pid, $status);
        echo "  child's change: ", $s->get("k1")["metadata"], "\n";
        $r = new QarbinStore($name, ["storage" => "shm", "dimensions" => 4, "writable" => false]);
        echo "  read-only: ", attempt(fn() => $r->setMetadata("k1", "x")), "\n";

        // A writer flips k2 between two long values; a reader in this process
        // checks every value it reads is one of them, whole. The flips fill
        // the segment's variable area (4 MiB) once: that one writes the
        // record again, one dead slot.
        $a = str_repeat("A", 3000) . "a";
        $b = str_repeat("B", 100) . "b";
        $pid = pcntl_fork();
        if ($pid === 0) {
            $w = new QarbinStore($name, ["storage" => "shm", "dimensions" => 4]);
            for ($n = 0; $n < 3000; $n++) $w->setMetadata("k2", $n % 2 ? $a : $b);
            exit(0);
        }
        $seen = [];
        $torn = 0;
        for ($n = 0; $n < 20000; $n++) {
            $m = $r->get("k2")["metadata"];
            $hit = $r->search($vec(2), 1, 0)[0]["metadata"];
            foreach ([$m, $hit] as $x) {
                if ($x === $a || $x === $b || str_starts_with($x, '{"tag"')) $seen[strlen($x)] = true;
                else $torn++;
            }
            if (pcntl_waitpid($pid, $status, WNOHANG) === $pid) { $pid = 0; break; }
        }
        if ($pid) pcntl_waitpid($pid, $status);
        echo "  flipped under a reader: torn $torn, count ", $s->count(), ", dead ", $s->stats()["dead_count"], "\n";
        $r->close();
    }
    $s->close();
    if ($mode === "disk") {
        $s = new QarbinStore($dir, ["dimensions" => 4]);
        echo "  reopened: ", $s->get("k7")["metadata"], "\n";
        $s->close();
    }
    if ($mode === "shm") QarbinStore::destroy($name);
}
rmtree($dir);

// Held back by a PQ store that is still collecting its training records.
$p = new QarbinStore(null, ["dimensions" => 4, "quantization" => "pq"]);
$p->set("h1", [1, 2, 3, 4], "first");
echo "held back: ", var_export($p->setMetadata("h1", "second"), true), " ", $p->get("h1")["metadata"];
for ($i = 0; $i < 10; $i++) $p->set("p$i", $vec($i));
echo ", after training: ", $p->get("h1")["metadata"], "\n";

// A store of the older format: the record is written again.
@mkdir($dir);
file_put_contents("$dir/seg_0000.qbseg", gzdecode(file_get_contents(__DIR__ . "/fixtures/v6_store.qbseg.gz")));
$o = new QarbinStore($dir, ["dimensions" => 8]);
$v = $o->get("doc-1")["vector"];
echo "older format: ", var_export($o->setMetadata("doc-1", '{"n":"one"}'), true), " ", $o->get("doc-1")["metadata"],
     ", same vector ", var_export($o->get("doc-1")["vector"] === $v, true), ", count ", $o->count(), "\n";
$o->close();
rmtree($dir);
?>
--EXPECT--
memory: replaced true, metadata {"tag":"new","i":7}, same vector true, count 40, dead 0 -> 0, unindexed 0, index ready
  filter new: k7; filter old has k7: false, rows 39
  null: true -> NULL; missing: false; empty key: false; too long: Metadata too long (max 1048576 bytes)
disk: replaced true, metadata {"tag":"new","i":7}, same vector true, count 40, dead 0 -> 0, unindexed 0, index ready
  filter new: k7; filter old has k7: false, rows 39
  null: true -> NULL; missing: false; empty key: false; too long: Metadata too long (max 1048576 bytes)
  reopened: {"tag":"new","i":7}
shm: replaced true, metadata {"tag":"new","i":7}, same vector true, count 40, dead 0 -> 0, unindexed 0, index ready
  filter new: k7; filter old has k7: false, rows 39
  null: true -> NULL; missing: false; empty key: false; too long: Metadata too long (max 1048576 bytes)
  child's change: from the child
  read-only: Store is read-only
  flipped under a reader: torn 0, count 40, dead 1
held back: true second, after training: second
older format: true {"n":"one"}, same vector true, count 5
