--TEST--
Classes and constant: QarbinException extends Exception, QarbinStore is not Countable and not cloneable, QARBIN_SHM is true
--FILE--
<?php
$ex = new ReflectionClass("QarbinException");
echo "QarbinException parent: ", $ex->getParentClass()->getName(), "\n";
$st = new ReflectionClass("QarbinStore");
echo "QarbinStore parent: ", var_export($st->getParentClass(), true), "\n";
echo "interfaces: ", json_encode($st->getInterfaceNames()), "\n";
echo "final: ", var_export($st->isFinal(), true), ", abstract: ", var_export($st->isAbstract(), true), "\n";
echo "properties: ", count($st->getProperties()), ", constants: ", count($st->getConstants()), "\n";
var_dump(QARBIN_SHM);

try {
    new QarbinStore(null, ["dimensions" => 0]);
} catch (Exception $e) {
    echo get_class($e), " code ", $e->getCode(), ": ", $e->getMessage(), "\n";
}

$s = new QarbinStore(null, ["dimensions" => 2]);
$s->set("a", [1, 0]);
try {
    count($s);
} catch (TypeError $e) {
    echo "TypeError: ", $e->getMessage(), "\n";
}
echo "method count: ", $s->count(), "\n";

try {
    $c = clone $s;
} catch (Error $e) {
    echo get_class($e), ": ", $e->getMessage(), "\n";
}
$s->set("b", [0, 1]);
echo "original after clone: ", $s->count(), " ", $s->get("a")["key"], "\n";
?>
--EXPECT--
QarbinException parent: Exception
QarbinStore parent: false
interfaces: []
final: false, abstract: false
properties: 0, constants: 0
bool(true)
QarbinException code 0: dim must be 1-4096
TypeError: count(): Argument #1 ($value) must be of type Countable|array, QarbinStore given
method count: 1
Error: Trying to clone an uncloneable object of class QarbinStore
original after clone: 2 a
