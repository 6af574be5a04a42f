--TEST--
Constructor: every option error with its message, in the order the checks run
--INI--
qarbin.default_dim=16
--FILE--
<?php
$cases = [
    "storage int 1" => [null, ["storage" => 1]],
    "storage array" => [null, ["storage" => ["disk"]]],
    "storage word" => [null, ["storage" => "ram"]],
    "storage with NUL" => [null, ["storage" => "disk\0"]],
    "distance bad" => [null, ["distance" => "cos"]],
    "distance int" => [null, ["distance" => 0]],
    "distance before dimensions" => [null, ["distance" => "l2", "dimensions" => 0]],
    "storage before distance" => [null, ["distance" => "l2", "storage" => "tape"]],
    "quantization bad" => [null, ["quantization" => "int4"]],
    "quantization before dimensions" => [null, ["quantization" => "q", "dimensions" => 5000]],
    "dimensions 0" => [null, ["dimensions" => 0]],
    "dimensions 4097" => [null, ["dimensions" => 4097]],
    "dimensions -1" => [null, ["dimensions" => -1]],
    "dimensions word" => [null, ["dimensions" => "abc"]],
    "pq without subvectors" => [null, ["quantization" => "pq"]],
    "dimensions before pq" => [null, ["quantization" => "pq", "dimensions" => 0]],
    "shm without name" => [null, ["storage" => "SHM"]],
    "shm empty name" => ["", ["storage" => "shm"]],
    "shm int name" => [5, ["storage" => "shm"]],
    "disk without dir" => [null, ["storage" => "disk"]],
    "empty dir" => ["", null],
    "int dir" => [7, null],
    "pq before disk" => ["", ["quantization" => "pq"]],
    "shm unopenable" => ["no/slash", ["storage" => "shm", "segment_size" => 16]],
];
foreach ($cases as $label => [$dir, $options]) {
    try {
        $s = new QarbinStore($dir, $options);
        echo "$label: opened\n";
    } catch (QarbinException $e) {
        echo "$label: ", $e->getMessage(), "\n";
    }
}

ini_set("qarbin.pq_subvectors", "7");
foreach ([128, 126] as $dim) {
    try {
        new QarbinStore(null, ["quantization" => "pq", "dimensions" => $dim]);
        echo "pq m=7 dim $dim: opened\n";
    } catch (QarbinException $e) {
        echo "pq m=7 dim $dim: ", $e->getMessage(), "\n";
    }
}
ini_set("qarbin.pq_subvectors", "8");
$s = new QarbinStore(null, ["quantization" => "PQ", "dimensions" => 128]);
echo "pq m=8 dim 128: ", $s->stats()["quantization"], "\n";

ini_set("qarbin.default_dim", "0");
try {
    new QarbinStore("", ["storage" => "nope"]);
} catch (QarbinException $e) {
    echo "options checked before default dim: ", $e->getMessage(), "\n";
}
try {
    new QarbinStore("");
} catch (QarbinException $e) {
    echo "no options, default dim 0: ", $e->getMessage(), "\n";
}

foreach (["x", 1.5, true] as $bad) {
    try {
        new QarbinStore(null, $bad);
    } catch (TypeError $e) {
        echo get_class($e), ": ", $e->getMessage(), "\n";
    }
}
try {
    new QarbinStore(null, null, 3);
} catch (ArgumentCountError $e) {
    echo get_class($e), ": ", $e->getMessage(), "\n";
}
?>
--EXPECT--
storage int 1: Invalid storage (use 'disk', 'memory', 'shm')
storage array: Invalid storage (use 'disk', 'memory', 'shm')
storage word: Invalid storage (use 'disk', 'memory', 'shm')
storage with NUL: Disk mode requires a non-empty directory path
distance bad: Invalid distance (use 'cosine', 'dot', 'euclidean', 'manhattan')
distance int: Invalid distance (use 'cosine', 'dot', 'euclidean', 'manhattan')
distance before dimensions: Invalid distance (use 'cosine', 'dot', 'euclidean', 'manhattan')
storage before distance: Invalid storage (use 'disk', 'memory', 'shm')
quantization bad: Invalid quantization (use 'none', 'f16', 'int8', 'binary', 'pq')
quantization before dimensions: Invalid quantization (use 'none', 'f16', 'int8', 'binary', 'pq')
dimensions 0: dim must be 1-4096
dimensions 4097: dim must be 1-4096
dimensions -1: dim must be 1-4096
dimensions word: dim must be 1-4096
pq without subvectors: PQ quantization requires qarbin.pq_subvectors INI setting
dimensions before pq: dim must be 1-4096
shm without name: Shm mode requires a non-empty store name
shm empty name: Shm mode requires a non-empty store name
shm int name: Shm mode requires a non-empty store name
disk without dir: Disk mode requires a non-empty directory path
empty dir: Disk mode requires a non-empty directory path
int dir: Disk mode requires a non-empty directory path
pq before disk: PQ quantization requires qarbin.pq_subvectors INI setting
shm unopenable: Failed to open shm store: no/slash
pq m=7 dim 128: dimensions (128) must be divisible by qarbin.pq_subvectors (7)
pq m=7 dim 126: opened
pq m=8 dim 128: pq
options checked before default dim: Invalid storage (use 'disk', 'memory', 'shm')
no options, default dim 0: dim must be 1-4096
TypeError: QarbinStore::__construct(): Argument #2 ($options) must be of type ?array, string given
TypeError: QarbinStore::__construct(): Argument #2 ($options) must be of type ?array, float given
TypeError: QarbinStore::__construct(): Argument #2 ($options) must be of type ?array, bool given
ArgumentCountError: QarbinStore::__construct() expects at most 2 arguments, 3 given
