--TEST--
Vector conversion runs no user code: an object is refused before any error handler could throw, close or replace the store
--FILE--
<?php
$s = new QarbinStore(null, ["dimensions" => 2]);
$s->set("a", [1, 2]);
$calls = 0;
set_error_handler(function ($no, $str) use (&$calls) { $calls++; throw new RuntimeException("handler: $str"); });
foreach (["set" => fn() => $s->set("b", [new stdClass, 1]),
          "batchSet" => fn() => $s->batchSet([["key" => "ok", "vector" => [1, 1]], ["key" => "b", "vector" => [1, new stdClass]]]),
          "search" => fn() => $s->search([new stdClass, 1])] as $m => $call) {
    try {
        $call();
    } catch (Throwable $e) {
        echo "$m: ", get_class($e), ": ", $e->getMessage(), "\n";
    }
}
echo "count: ", $s->count(), ", ok stored: ", var_export($s->get("ok") !== null, true), ", b stored: ",
    var_export($s->get("b") !== null, true), ", handler calls: $calls\n";

set_error_handler(function () use ($s) { $s->close(); return true; });
try {
    $s->set("c", [new stdClass, 1]);
} catch (QarbinException $e) {
    echo "handler that would close: ", $e->getMessage(), ", count ", $s->count(), "\n";
}

$t = new QarbinStore(null, ["dimensions" => 2]);
set_error_handler(function () use ($t) { $t->__construct(null, ["dimensions" => 3]); return true; });
try {
    $t->batchSet([["key" => "x", "vector" => [new stdClass, 1]]]);
} catch (QarbinException $e) {
    echo "handler that would replace: ", $e->getMessage(), ", store dim ", $t->stats()["dimensions"], " count ", $t->count(), "\n";
}
?>
--EXPECT--
set: QarbinException: Vector components must be numbers
batchSet: QarbinException: Vector components must be numbers
search: QarbinException: Vector components must be numbers
count: 2, ok stored: true, b stored: false, handler calls: 0
handler that would close: Vector components must be numbers, count 2
handler that would replace: Vector components must be numbers, store dim 2 count 0
