--TEST--
Constructor: defaults, option spellings, integer conversions and which options reach which mode
--FILE--
<?php
function show(string $label, QarbinStore $s): void {
    $st = $s->stats();
    printf("%s: %s dim %d %s %s segments %d\n", $label, $st["storage"], $st["dimensions"], $st["distance"],
        $st["quantization"], $st["segment_count"]);
}

$default = new QarbinStore();
show("no arguments", $default);
// Memory mode takes qarbin.mem_initial_capacity (4096) as its segment capacity.
$mb = fn(array $o) => (new QarbinStore(null, $o + ["dimensions" => 1536]))->stats()["memory_mb"];
var_dump($default->stats()["memory_mb"] === $mb(["segment_size" => 4096]));
var_dump($default->stats()["memory_mb"] === $mb(["segment_size" => 0]));
var_dump($default->stats()["memory_mb"] !== $mb(["segment_size" => 4097]));
$default->set("k", array_fill(0, 1536, 0.5));
echo "writable: ", $default->count(), "\n";

$forms = [
    "Memory / DOT / Int8" => ["storage" => "Memory", "distance" => "DOT", "quantization" => "Int8", "dimensions" => 8],
    "mEmOrY / Euclidean / F16" => ["storage" => "mEmOrY", "distance" => "Euclidean", "quantization" => "F16", "dimensions" => 8],
    "manhattan / BINARY" => ["distance" => "manhattan", "quantization" => "BINARY", "dimensions" => 8],
    "cosine / none" => ["distance" => "COSINE", "quantization" => "NONE", "dimensions" => 8],
    "dimensions string 64" => ["dimensions" => "64"],
    "dimensions 2**32 + 1" => ["dimensions" => 2 ** 32 + 1],
    "dimensions float 12.9" => ["dimensions" => 12.9],
    "dimensions true" => ["dimensions" => true],
    "dimensions 1" => ["dimensions" => 1],
    "dimensions 4096" => ["dimensions" => 4096],
    "unknown keys ignored, with a warning each" => ["Storage" => "shm", "dims" => 0, "dimensions" => 3],
];
set_error_handler(function ($no, $msg) { echo "warning: $msg\n"; return true; });
foreach ($forms as $label => $options) {
    show($label, new QarbinStore(null, $options));
}
restore_error_handler();

// "writable" only reaches shared-memory handles.
$s = new QarbinStore(null, ["dimensions" => 2, "writable" => false]);
var_dump($s->set("a", [1, 2]));

// Segment capacity below 16 is raised to 16 in memory mode: 16 records fit one segment.
$s = new QarbinStore(null, ["dimensions" => 2, "segment_size" => "3"]);
for ($i = 0; $i < 16; $i++) $s->set("k$i", [$i, 1]);
$full = $s->stats()["memory_mb"];
// The same records in a store made with 16 slots: memory_mb counts the
// bytes their keys take too.
$same = new QarbinStore(null, ["dimensions" => 2, "segment_size" => 16]);
for ($i = 0; $i < 16; $i++) $same->set("k$i", [$i, 1]);
$of16 = $same->stats()["memory_mb"];
echo "16 records: ", $s->stats()["segment_count"], " segment of 16 slots: ", var_export($full === $of16, true), "\n";
$s->set("k16", [16, 1]);
echo "17 records: ", $s->stats()["segment_count"], " segment, grown: ", var_export($s->stats()["memory_mb"] > $full, true), "\n";
?>
--EXPECT--
no arguments: memory dim 1536 cosine none segments 1
bool(true)
bool(true)
bool(true)
writable: 1
Memory / DOT / Int8: memory dim 8 dot int8 segments 1
mEmOrY / Euclidean / F16: memory dim 8 euclidean f16 segments 1
manhattan / BINARY: memory dim 8 manhattan binary segments 1
cosine / none: memory dim 8 cosine none segments 1
dimensions string 64: memory dim 64 cosine none segments 1
dimensions 2**32 + 1: memory dim 1 cosine none segments 1
dimensions float 12.9: memory dim 12 cosine none segments 1
dimensions true: memory dim 1 cosine none segments 1
dimensions 1: memory dim 1 cosine none segments 1
dimensions 4096: memory dim 4096 cosine none segments 1
warning: QarbinStore::__construct(): Unknown option "Storage" ignored (valid options: storage, dimensions, distance, quantization, segment_size, writable, memory_limit, mode, persistent, create, threads)
warning: QarbinStore::__construct(): Unknown option "dims" ignored (valid options: storage, dimensions, distance, quantization, segment_size, writable, memory_limit, mode, persistent, create, threads)
unknown keys ignored, with a warning each: memory dim 3 cosine none segments 1
bool(true)
16 records: 1 segment of 16 slots: true
17 records: 1 segment, grown: true
