--TEST--
INI settings: twelve qarbin.* keys with their defaults; default_dim is read when a store is constructed
--FILE--
<?php
var_dump(ini_get("qarbin.default_dim"));
$all = ini_get_all("qarbin");
echo count($all), " keys\n";
foreach ($all as $key => $entry) {
    echo $key, " = ", var_export($entry["global_value"], true), " access ", $entry["access"], "\n";
}

$before = new QarbinStore();
var_dump(ini_set("qarbin.default_dim", "8"));
$after = new QarbinStore();
echo "before: ", $before->stats()["dimensions"], ", after: ", $after->stats()["dimensions"], "\n";
ini_set("qarbin.default_dim", "0");
try {
    new QarbinStore();
} catch (QarbinException $e) {
    echo $e->getMessage(), "\n";
}
// The settings no method reads change nothing.
ini_set("qarbin.default_dim", "4");
ini_set("qarbin.default_storage", "1");
ini_set("qarbin.hnsw_ef_search", "1");
ini_set("qarbin.default_dir", "/nonexistent/qarbin");
$s = new QarbinStore();
echo $s->stats()["storage"], " ", $s->stats()["dimensions"], "\n";
?>
--EXPECT--
string(4) "1536"
12 keys
qarbin.auto_index_threshold = '100' access 7
qarbin.default_dim = '1536' access 7
qarbin.default_dir = '/tmp/qarbin' access 7
qarbin.default_storage = '0' access 7
qarbin.hnsw_construction_ef = '200' access 7
qarbin.hnsw_ef_search = '50' access 7
qarbin.hnsw_max_connections = '16' access 7
qarbin.mem_initial_capacity = '4096' access 7
qarbin.pq_subvectors = '0' access 7
qarbin.pq_training_size = '256' access 7
qarbin.threads = '0' access 7
qarbin.use_avx2 = '1' access 7
string(4) "1536"
before: 1536, after: 8
dim must be 1-4096
memory 4
