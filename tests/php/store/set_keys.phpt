--TEST--
Keys: NUL bytes end the key the store sees, int keys convert in set() but not in batchSet(), get() reports the key as given
--FILE--
<?php
$s = new QarbinStore(null, ["dimensions" => 2]);
$s->set("a\0b", [1, 2], "nul");
$r = $s->get("a\0b");
echo "get a\\0b: key length ", strlen($r["key"]), ", ", bin2hex($r["key"]), ", metadata ", $r["metadata"], "\n";
echo "get a: ", $s->get("a")["metadata"], ", key ", $s->get("a")["key"], "\n";
echo "get a\\0zzz: ", bin2hex($s->get("a\0zzz")["key"]), "\n";
echo "count: ", $s->count(), "\n";
$hit = $s->search([1, 2], 1)[0];
echo "search reports: ", bin2hex($hit["key"]), "\n";

var_dump($s->set(5, [3, 4]));
echo "int key stored as: ", var_export($s->get("5")["key"], true), "\n";
var_dump($s->set(1.5, [3, 4]), $s->get("1.5") !== null);
echo "delete a\\0x: ", var_export($s->delete("a\0x"), true), ", then get a: ", var_export($s->get("a"), true), "\n";
echo "empty key get/delete: ", var_export($s->get(""), true), " ", var_export($s->delete(""), true), "\n";
echo "unknown key get/delete: ", var_export($s->get("zz"), true), " ", var_export($s->delete("zz"), true), "\n";
echo "delete twice: ", var_export($s->delete("5"), true), " ", var_export($s->delete("5"), true), "\n";
echo "count: ", $s->count(), "\n";

// Replacing a key keeps one record with the new vector and metadata.
$s->set("r", [1, 1], "old");
$s->set("r", [2, 2]);
$r = $s->get("r");
echo "replaced: ", json_encode($r["vector"]), " metadata ", var_export($r["metadata"], true), ", count ", $s->count(), "\n";
?>
--EXPECT--
get a\0b: key length 3, 610062, metadata nul
get a: nul, key a
get a\0zzz: 61007a7a7a
count: 1
search reports: 61
bool(true)
int key stored as: '5'
bool(true)
bool(true)
delete a\0x: true, then get a: NULL
empty key get/delete: NULL false
unknown key get/delete: NULL false
delete twice: true false
count: 1
replaced: [2,2] metadata NULL, count 2
