--TEST--
Closed objects: after close(), after a failed constructor and without a constructor, every method's closed behaviour
--FILE--
<?php
function probe(string $label, QarbinStore $s): void {
    $calls = [
        "set" => fn() => $s->set("a", [1]),
        "batchSet" => fn() => $s->batchSet([]),
        "search" => fn() => $s->search([1]),
        "get" => fn() => $s->get("a"),
        "delete" => fn() => $s->delete("a"),
        "clear" => fn() => $s->clear(),
        "snapshot" => fn() => $s->snapshot(sys_get_temp_dir() . "/qarbin_closed_never"),
        "count" => fn() => $s->count(),
        "stats" => fn() => $s->stats(),
        "dump" => fn() => $s->dump(),
        "dump file" => fn() => $s->dump(sys_get_temp_dir() . "/qarbin_closed_never.jsonl"),
        "load" => fn() => $s->load("/nonexistent"),
        "close" => fn() => $s->close(),
    ];
    echo "== $label\n";
    foreach ($calls as $name => $call) {
        try {
            $out = var_export($call(), true);
        } catch (QarbinException $e) {
            $out = "QarbinException: " . $e->getMessage();
        }
        echo "  $name: $out\n";
    }
}
$s = new QarbinStore(null, ["dimensions" => 1]);
$s->set("a", [1]);
$s->close();
probe("after close", $s);
var_dump(file_exists(sys_get_temp_dir() . "/qarbin_closed_never"), file_exists(sys_get_temp_dir() . "/qarbin_closed_never.jsonl"));

$f = null;
try {
    $f = new QarbinStore(null, ["dimensions" => 1]);
    $f->__construct(null, ["dimensions" => 0]);
} catch (QarbinException $e) {
    echo "reconstruct failed: ", $e->getMessage(), "\n";
}
echo "kept its store after a failed check: ", $f->count(), " ", $f->stats()["dimensions"], "\n";

$r = (new ReflectionClass("QarbinStore"))->newInstanceWithoutConstructor();
echo "without constructor: count ", $r->count(), ", stats ", var_export($r->stats(), true), "\n";
try {
    $r->get("x");
} catch (QarbinException $e) {
    echo "without constructor get: ", $e->getMessage(), "\n";
}
foreach (["count", "stats", "close", "clear"] as $m) {
    try {
        $s->$m(1);
    } catch (ArgumentCountError $e) {
        echo "$m(1): ", $e->getMessage(), "\n";
    }
}
?>
--EXPECT--
== after close
  set: QarbinException: Store not open
  batchSet: QarbinException: Store not open
  search: QarbinException: Store not open
  get: QarbinException: Store not open
  delete: false
  clear: false
  snapshot: false
  count: 0
  stats: NULL
  dump: QarbinException: Store not open
  dump file: QarbinException: Store not open
  load: QarbinException: Store not open
  close: NULL
bool(false)
bool(false)
reconstruct failed: dim must be 1-4096
kept its store after a failed check: 0 1
without constructor: count 0, stats NULL
without constructor get: Store not open
count(1): QarbinStore::count() expects exactly 0 arguments, 1 given
stats(1): QarbinStore::stats() expects exactly 0 arguments, 1 given
close(1): QarbinStore::close() expects exactly 0 arguments, 1 given
clear(1): QarbinStore::clear() expects exactly 0 arguments, 1 given
