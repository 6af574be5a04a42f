--TEST--
deleteWhere, has and keys: counts, prefixes, held-back PQ records, re-set keys, read-only and closed stores
--INI--
qarbin.pq_subvectors=2
qarbin.pq_training_size=1000
--FILE--
<?php
foreach (["none", "pq"] as $quant) {
    // pq: fewer records than the training size, so all are held back.
    $s = new QarbinStore(null, ["dimensions" => 4, "quantization" => $quant]);
    for ($i = 0; $i < 300; $i++) {
        $s->set(sprintf("src%d#%03d", $i % 3, $i), [$i, 1, $i % 5, 2], json_encode(["source" => "src" . ($i % 3), "page" => $i]));
    }
    $s->set("plain", [1, 2, 3, 4]);
    $s->set("src1#007", [7, 7, 7, 7], json_encode(["source" => "moved"]));  // re-set: the newest record counts
    echo "$quant: count ", $s->count(), ", keys ", count($s->keys()), ", keys('src1#') ", count($s->keys("src1#")),
        ", keys('src1#00') ", implode(",", $s->keys("src1#00")), ", keys('zzz') ", count($s->keys("zzz")), "\n";
    echo "  has: ", json_encode([$s->has("plain"), $s->has("src2#002"), $s->has("nope"), $s->has(""),
        $s->has(str_repeat("k", 64))]), "\n";
    echo "  deleteWhere(source=src1): ", $s->deleteWhere(["source" => "src1"]), ", again: ",
        $s->deleteWhere(["source" => "src1"]), "\n";
    echo "  has src1#004: ", var_export($s->has("src1#004"), true), ", src1#007: ", var_export($s->has("src1#007"), true),
        ", count ", $s->count(), ", keys('src1#') ", implode(",", $s->keys("src1#")), "\n";
    echo "  deleteWhere(page<10): ", $s->deleteWhere(["page" => ['$lt' => 10]]), ", count ", $s->count(), "\n";
    echo "  search finds no deleted record: ",
        var_export(count(array_filter($s->search([5, 1, 0, 2], 50, 0), fn($r) => str_starts_with($r["key"], "src1#0") && $r["key"] !== "src1#007")) === 0, true), "\n";
    echo "  deleteWhere([]) deletes every record: ", $s->deleteWhere([]), ", count ", $s->count(), ", keys ", count($s->keys()), "\n";
}

$name = "t_" . getmypid() . "_dw";
QarbinStore::destroy($name);
$w = new QarbinStore($name, ["storage" => "shm", "dimensions" => 2]);
$w->set("a", [1, 0], '{"t":1}');
$r = new QarbinStore($name, ["storage" => "shm", "dimensions" => 2, "writable" => false]);
try { $r->deleteWhere(["t" => 1]); } catch (QarbinException $e) { echo "read-only: ", $e->getMessage(), "\n"; }
echo "read-only has/keys: ", var_export($r->has("a"), true), " ", implode(",", $r->keys()), "\n";
$w->set("b", [0, 1], '{"t":2}');
echo "other handle sees new key: ", var_export($r->has("b"), true), " ", implode(",", $r->keys()), "\n";
$r->close();
$w->close();
QarbinStore::destroy($name);
foreach (["deleteWhere" => [["t" => 1]], "has" => ["a"], "keys" => []] as $m => $args) {
    try { $w->$m(...$args); } catch (QarbinException $e) { echo "closed $m: ", $e->getMessage(), "\n"; }
}
?>
--EXPECT--
none: count 301, keys 301, keys('src1#') 100, keys('src1#00') src1#001,src1#004,src1#007, keys('zzz') 0
  has: [true,true,false,false,false]
  deleteWhere(source=src1): 99, again: 0
  has src1#004: false, src1#007: true, count 202, keys('src1#') src1#007
  deleteWhere(page<10): 7, count 195
  search finds no deleted record: true
  deleteWhere([]) deletes every record: 195, count 0, keys 0
pq: count 301, keys 301, keys('src1#') 100, keys('src1#00') src1#001,src1#004,src1#007, keys('zzz') 0
  has: [true,true,false,false,false]
  deleteWhere(source=src1): 99, again: 0
  has src1#004: false, src1#007: true, count 202, keys('src1#') src1#007
  deleteWhere(page<10): 7, count 195
  search finds no deleted record: true
  deleteWhere([]) deletes every record: 195, count 0, keys 0
read-only: Store is read-only
read-only has/keys: true a
other handle sees new key: true a,b
closed deleteWhere: Store not open
closed has: Store not open
closed keys: Store not open
