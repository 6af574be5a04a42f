<?php
// A short tour of qarbin: run with
//   php -n -d extension=build/qarbin.so examples/demo.php

function title(string $text): void { echo "\n== $text\n"; }

// Small made-up "embeddings": 8 dimensions, one direction per topic.
function embed(array $weights): array {
    $v = array_fill(0, 8, 0.0);
    foreach ($weights as $i => $w) $v[$i] = $w;
    return $v;
}

title("A store in private memory");
$store = new QarbinStore(null, ["dimensions" => 8, "distance" => "cosine"]);
$store->set("apple", embed([0 => 1.0, 1 => 0.2]), json_encode(["kind" => "fruit"]));
$count = $store->batchSet([
    ["key" => "pear", "vector" => embed([0 => 0.9, 1 => 0.3]), "metadata" => '{"kind":"fruit"}'],
    ["key" => "carrot", "vector" => embed([2 => 1.0, 0 => 0.3]), "metadata" => '{"kind":"vegetable"}'],
    ["key" => "violin", "vector" => embed([5 => 1.0]), "metadata" => '{"kind":"instrument"}'],
    ["key" => "cello", "vector" => embed([5 => 0.8, 6 => 0.4])],
]);
echo "set 1 record and batch-set $count more: ", $store->count(), " records\n";

title("Nearest neighbours of something fruity");
foreach ($store->search(embed([0 => 1.0, 1 => 0.25]), 3) as $row) {
    printf("  %-8s score %.4f  metadata %s\n", $row["key"], $row["score"], $row["metadata"] ?? "(none)");
}

title("Fetch and delete by key");
$pear = $store->get("pear");
echo "  pear: [", implode(", ", array_map(fn($x) => round($x, 2), $pear["vector"])), "] ", $pear["metadata"], "\n";
echo "  delete carrot: ", var_export($store->delete("carrot"), true), ", delete it again: ",
    var_export($store->delete("carrot"), true), ", records: ", $store->count(), "\n";

title("Statistics");
foreach ($store->stats() as $key => $value) printf("  %-17s %s\n", $key, var_export($value, true));

title("A disk store survives its object");
$dir = sys_get_temp_dir() . "/qarbin_demo_" . getmypid();
$disk = new QarbinStore($dir, ["dimensions" => 8, "segment_size" => 1000]);
$disk->set("violin", embed([5 => 1.0]), "strings");
$disk->close();
$again = new QarbinStore($dir, ["dimensions" => 8]);
echo "  reopened $dir: ", $again->count(), " record, violin metadata '", $again->get("violin")["metadata"], "'\n";
$again->close();

title("JSON Lines dump and load");
$file = "$dir/export.jsonl";
echo "  dumped ", $store->dump($file), " records to a file; the first line:\n  ", strtok(file_get_contents($file), "\n"), "\n";
$copy = new QarbinStore(null, ["dimensions" => 8, "quantization" => "f16"]);
echo "  loaded ", $copy->load($file), " records into an f16 store; best match for a cello-like query: ",
    $copy->search(embed([5 => 0.7, 6 => 0.5]), 1)[0]["key"], "\n";
echo "  string form of one record: ", strtok($copy->dump(), "\n"), "\n";

title("Errors are QarbinExceptions");
try {
    $store->set("short", [1, 2, 3]);
} catch (QarbinException $e) {
    echo "  ", $e->getMessage(), "\n";
}

array_map("unlink", glob("$dir/*"));
rmdir($dir);
echo "\ndone\n";
