--TEST--
Text with every record in every mode: set, batchSet, get, search rows, dump, load, snapshot, compact and reopening keep it; invalid UTF-8 and over-long text are refused with nothing stored
--FILE--
<?php
$dir = sys_get_temp_dir() . "/qb_text_records_" . getmypid();
$shm = "t_" . getmypid() . "_textrec";
QarbinStore::destroy($shm);
$open = [
    "memory" => fn() => new QarbinStore(null, ["dimensions" => 3, "segment_size" => 4]),
    "disk" => fn() => new QarbinStore($dir, ["dimensions" => 3, "segment_size" => 4]),
    "shm" => fn() => new QarbinStore($shm, ["storage" => "shm", "dimensions" => 3, "segment_size" => 4]),
];
$texts = ["a" => "Café au lait", "b" => "", "c" => null, "d" => "Zoë — ΣΊΣΥΦΟΣ 😀", "e" => str_repeat("w ", 1000)];
$show = function (QarbinStore $s, string $label) use ($texts) {
    $got = [];
    foreach (array_keys($texts) as $k) $got[] = $s->get($k)["text"] === $texts[$k] ? "ok" : "$k differs";
    $rows = $s->search([1, 0, 0], 10, 0);
    $rowsOk = count($rows) === count($texts);
    foreach ($rows as $r) $rowsOk = $rowsOk && $r["text"] === $texts[$r["key"]];
    echo "$label: get ", implode(",", array_unique($got)), ", rows ", $rowsOk ? "ok" : "differ", "\n";
};
foreach ($open as $mode => $make) {
    $s = $make();
    $i = 0;
    foreach ($texts as $k => $t) $s->set($k, [1, ++$i, 0], "m$k", $t);
    $show($s, "$mode set");
    foreach ([["\xC3", "lone lead byte"], ["ok \xFF", "0xFF"], ["\xED\xA0\x80", "surrogate"], ["\xC0\xAF", "overlong"],
              [str_repeat("a", 1048577), "one byte too long"]] as [$bad, $what]) {
        try {
            $s->set("bad", [1, 1, 1], null, $bad);
            echo "$what: stored\n";
        } catch (QarbinException $e) {
            echo "$mode $what: ", $e->getMessage(), ", stored ", var_export($s->has("bad"), true), "\n";
        }
    }
    $s->set("big", [1, 1, 1], null, str_repeat("a", 1048576));
    echo "$mode 1 MiB: ", strlen($s->get("big")["text"]), "\n";
    $s->delete("big");
    $lines = $s->dump();
    echo "$mode dump lines with text: ", substr_count($lines, '"text":'), "\n";
    $file = "$dir.jsonl";
    $s->dump($file);
    $s->clear();
    echo "$mode loaded: ", $s->load($file), "\n";
    unlink($file);
    $show($s, "$mode loaded");
    $s->set("a", [1, 1, 0], "ma", $texts["a"]);
    $s->compact();
    $show($s, "$mode compacted");
    if ($mode !== "disk") {
        $s->snapshot("$dir.snap");
        $show(new QarbinStore("$dir.snap", ["dimensions" => 3]), "$mode snapshot");
        array_map("unlink", glob("$dir.snap/*"));
        rmdir("$dir.snap");
    }
    $s->close();
    if ($mode !== "memory") $show($make(), "$mode reopened");
}
$s = new QarbinStore(null, ["dimensions" => 3]);
echo "batchSet: ", $s->batchSet([["key" => "x", "vector" => [1, 0, 0], "text" => "from a batch"],
                                ["key" => "y", "vector" => [0, 1, 0], "text" => null]]), " ",
     var_export($s->get("x")["text"], true), " ", var_export($s->get("y")["text"], true), "\n";
foreach ([["key" => "z", "vector" => [1, 1, 1], "text" => 5], ["key" => "z", "vector" => [1, 1, 1], "text" => "\xFF"]] as $row) {
    try {
        $s->batchSet([$row]);
    } catch (QarbinException $e) {
        echo "batchSet: ", $e->getMessage(), ", stored ", var_export($s->has("z"), true), "\n";
    }
}
file_put_contents("$dir.bad", json_encode(["key" => "q", "vector" => [1, 1, 1], "text" => "ok"]) . "\n" .
                  json_encode(["key" => "r", "vector" => [1, 1, 1], "text" => str_repeat("a", 1048577)]) . "\n");
try {
    $s->load("$dir.bad");
} catch (QarbinException $e) {
    echo "load: ", $e->getMessage(), ", q ", var_export($s->get("q")["text"], true), ", r ", var_export($s->has("r"), true), "\n";
}
unlink("$dir.bad");
array_map("unlink", glob("$dir/*"));
rmdir($dir);
QarbinStore::destroy($shm);
?>
--EXPECT--
memory set: get ok, rows ok
memory lone lead byte: Text must be valid UTF-8, stored false
memory 0xFF: Text must be valid UTF-8, stored false
memory surrogate: Text must be valid UTF-8, stored false
memory overlong: Text must be valid UTF-8, stored false
memory one byte too long: Text too long (max 1048576 bytes), stored false
memory 1 MiB: 1048576
memory dump lines with text: 4
memory loaded: 5
memory loaded: get ok, rows ok
memory compacted: get ok, rows ok
memory snapshot: get ok, rows ok
disk set: get ok, rows ok
disk lone lead byte: Text must be valid UTF-8, stored false
disk 0xFF: Text must be valid UTF-8, stored false
disk surrogate: Text must be valid UTF-8, stored false
disk overlong: Text must be valid UTF-8, stored false
disk one byte too long: Text too long (max 1048576 bytes), stored false
disk 1 MiB: 1048576
disk dump lines with text: 4
disk loaded: 5
disk loaded: get ok, rows ok
disk compacted: get ok, rows ok
disk reopened: get ok, rows ok
shm set: get ok, rows ok
shm lone lead byte: Text must be valid UTF-8, stored false
shm 0xFF: Text must be valid UTF-8, stored false
shm surrogate: Text must be valid UTF-8, stored false
shm overlong: Text must be valid UTF-8, stored false
shm one byte too long: Text too long (max 1048576 bytes), stored false
shm 1 MiB: 1048576
shm dump lines with text: 4
shm loaded: 5
shm loaded: get ok, rows ok
shm compacted: get ok, rows ok
shm snapshot: get ok, rows ok
shm reopened: get ok, rows ok
batchSet: 2 'from a batch' NULL
batchSet: A batch element's 'text' must be a string or null, stored false
batchSet: Text must be valid UTF-8, stored false
load: Text too long (max 1048576 bytes) at line 2, q 'ok', r false
