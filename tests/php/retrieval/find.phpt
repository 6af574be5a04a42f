--TEST--
find() against a plain PHP filter over the records in the order stored: pages of every size cover each match exactly once, rows hold key and metadata only; replaced records move to the end, deleted ones are gone; memory, disk and shm; negative limit or offset refused
--INI--
qarbin.pq_subvectors=2
qarbin.pq_training_size=256
--FILE--
<?php
$dim = 4;
$dir = sys_get_temp_dir() . "/qarbin_find_" . getmypid();
$shm = "find_" . getmypid();
$filters = ["all" => [], "team 2" => ["team" => 2], "rare" => ["team" => 6, "n" => ['$lt' => 500]], "none" => ["team" => 99]];
function matches(?string $m, array $f): bool {
    if ($f === []) return true;
    $doc = $m === null ? null : json_decode($m, true);
    if (!is_array($doc)) return false;
    if (($doc["team"] ?? null) !== $f["team"]) return false;
    return !isset($f["n"]) || $doc["n"] < $f["n"]['$lt'];
}
foreach ([["memory", null, "none"], ["disk", $dir, "none"], ["shm", $shm, "none"], ["memory", null, "pq"]] as [$mode, $where, $quant]) {
    $s = new QarbinStore($where, ["storage" => $mode, "dimensions" => $dim, "segment_size" => 300, "quantization" => $quant]);
    $order = [];  // the store's order: a replaced key moves to the end
    $write = function (string $k, ?string $m) use ($s, &$order) {
        $s->set($k, [1, 2, 3, strlen($k)], $m);
        unset($order[$k]);
        $order[$k] = $m;
    };
    for ($i = 0; $i < 1000; $i++) $write("k$i", $i % 50 === 7 ? null : json_encode(["team" => $i % 7, "n" => $i]));
    for ($i = 0; $i < 1000; $i += 9) $write("k$i", json_encode(["team" => 2, "n" => -$i]));
    for ($i = 3; $i < 1000; $i += 31) {
        $s->delete("k$i");
        unset($order["k$i"]);
    }
    $line = [];
    foreach ($filters as $name => $f) {
        $want = [];
        foreach ($order as $k => $m) if (matches($m, $f)) $want[] = ["key" => $k, "metadata" => $m];
        $ok = true;
        foreach ([1, 7, 100, 5000] as $limit) {
            $pages = [];
            for ($offset = 0; ; $offset += $limit) {
                $page = $s->find($f, $limit, $offset);
                if ($page === []) break;
                $ok = $ok && count($page) <= $limit;
                array_push($pages, ...$page);
            }
            $ok = $ok && $pages === $want;
        }
        $line[] = sprintf("%s %d %s", $name, count($want), $ok ? "ok" : "DIFFERENT");
    }
    echo "$mode $quant: ", implode(", ", $line), "\n";
    if ($mode === "shm") {
        // Another handle sees the same pages.
        $other = new QarbinStore($shm, ["storage" => "shm", "dimensions" => $dim, "writable" => false]);
        var_dump($other->find(["team" => 2], 50, 30) === $s->find(["team" => 2], 50, 30));
        $other->close();
    }
    $s->close();
    if ($mode === "shm") QarbinStore::destroy($shm);
    if ($mode === "disk") { array_map("unlink", glob("$dir/*")); rmdir($dir); }
}

$s = new QarbinStore(null, ["dimensions" => $dim]);
$s->set("a", [1, 0, 0, 0], '{"x":1}');
$s->set("b", [0, 1, 0, 0]);
var_dump($s->find([]), $s->find([], 0), $s->find(["x" => 1], offset: 1), $s->find(["x" => 1], PHP_INT_MAX));
foreach ([[[], -1, 0], [[], 10, -1], [['$bad' => 1], 10, 0]] as [$f, $limit, $offset]) {
    try {
        $s->find($f, $limit, $offset);
    } catch (QarbinException $e) {
        echo $e->getMessage(), "\n";
    }
}
?>
--EXPECT--
memory none: all 967 ok, team 2 228 ok, rare 60 ok, none 0 ok
disk none: all 967 ok, team 2 228 ok, rare 60 ok, none 0 ok
shm none: all 967 ok, team 2 228 ok, rare 60 ok, none 0 ok
bool(true)
memory pq: all 967 ok, team 2 228 ok, rare 60 ok, none 0 ok
array(2) {
  [0]=>
  array(2) {
    ["key"]=>
    string(1) "a"
    ["metadata"]=>
    string(7) "{"x":1}"
  }
  [1]=>
  array(2) {
    ["key"]=>
    string(1) "b"
    ["metadata"]=>
    NULL
  }
}
array(0) {
}
array(0) {
}
array(1) {
  [0]=>
  array(2) {
    ["key"]=>
    string(1) "a"
    ["metadata"]=>
    string(7) "{"x":1}"
  }
}
limit must not be negative
offset must not be negative
Unknown filter operator '$bad'
