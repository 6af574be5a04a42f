--TEST--
Vector conversion that runs user code: an error handler that throws, closes or replaces the store stops the call cleanly
--FILE--
<?php
$s = new QarbinStore(null, ["dimensions" => 2]);
@$s->set("warned", [new stdClass, 2]);
echo "object converts to ", json_encode($s->get("warned")["vector"]), "\n";

set_error_handler(function ($no, $str) { throw new RuntimeException("handler: $str"); });
foreach (["set" => fn() => $s->set("b", [new stdClass, 1]),
          "batchSet" => fn() => $s->batchSet([["key" => "ok", "vector" => [1, 1]], ["key" => "b", "vector" => [1, new stdClass]]]),
          "search" => fn() => $s->search([new stdClass, 1])] as $m => $call) {
    try {
        $call();
    } catch (RuntimeException $e) {
        echo "$m: ", $e->getMessage(), "\n";
    }
}
echo "count: ", $s->count(), ", b stored: ", var_export($s->get("b") !== null, true), "\n";

set_error_handler(function () use ($s) { $s->close(); return true; });
try {
    $s->set("c", [new stdClass, 1]);
} catch (QarbinException $e) {
    echo "closed by the handler: ", $e->getMessage(), ", count ", $s->count(), "\n";
}

$t = new QarbinStore(null, ["dimensions" => 2]);
set_error_handler(function () use ($t) { $t->__construct(null, ["dimensions" => 3]); return true; });
try {
    $t->batchSet([["key" => "x", "vector" => [new stdClass, 1]]]);
} catch (QarbinException $e) {
    echo "replaced by the handler: ", $e->getMessage(), ", new store dim ", $t->stats()["dimensions"], " count ", $t->count(), "\n";
}

// The handler drops the only other reference to the vector being converted.
$u = new QarbinStore(null, ["dimensions" => 2]);
$vec = [3, new stdClass];
set_error_handler(function () use (&$vec) { $vec = null; return true; });
$u->set("z", $vec);
echo "vector dropped by the handler: ", json_encode($u->get("z")["vector"]), "\n";
?>
--EXPECT--
object converts to [1,2]
set: handler: Object of class stdClass could not be converted to float
batchSet: handler: Object of class stdClass could not be converted to float
search: handler: Object of class stdClass could not be converted to float
count: 2, b stored: false
closed by the handler: Store not open, count 0
replaced by the handler: Store not open, new store dim 3 count 0
vector dropped by the handler: [3,1]
