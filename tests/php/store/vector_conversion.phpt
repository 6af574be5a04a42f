--TEST--
Vector conversion: ints, floats, numeric strings (others refused), bools, null and references, in iteration order; keys ignored
--FILE--
<?php
$s = new QarbinStore(null, ["dimensions" => 4, "distance" => "dot"]);
$x = 7;
$cases = [
    "int, numeric string, true, null" => [1, "2.5", true, null],
    "string keys, insertion order" => ["d" => 4.0, "a" => 1.0, "c" => 3.0, "b" => 2.0],
    "sparse int keys" => [10 => 1.5, 3 => -2, 99 => 0, 0 => 8],
    "false, numeric strings with blanks, exponent" => [false, " 4", "5 ", "1e1"],
    "reference element" => [&$x, 0.25, 1e-3, -0.0],
    "narrowed to float" => [0.1, 1 / 3, 16777217, 2 ** 60],
];
// Other strings, arrays and objects are refused, not read as 0 or 1.
foreach (["non-numeric string" => [1, "abc", 0, 0], "leading numeric" => [1, "3abc", 0, 0],
          "nested array" => [[], [1], 0, 0], "object" => [new stdClass, 1, 0, 0]] as $label => $vec) {
    try {
        $s->set("refused", $vec);
    } catch (QarbinException $e) {
        echo str_pad($label, 44), $e->getMessage(), "\n";
    }
}
foreach ($cases as $label => $vec) {
    $s->set("v", $vec);
    echo str_pad($label, 44), json_encode($s->get("v")["vector"], JSON_PRESERVE_ZERO_FRACTION), "\n";
}
// An array with removed elements converts only what is left.
$holes = [1, 2, 3, 4, 5, 6];
unset($holes[1], $holes[4]);
$s->set("holes", $holes);
echo str_pad("removed elements", 44), json_encode($s->get("holes")["vector"], JSON_PRESERVE_ZERO_FRACTION), "\n";

// 128 dimensions: one too few or too many is refused, string keys are fine.
$t = new QarbinStore(null, ["dimensions" => 128]);
foreach ([127, 129] as $n) {
    try {
        $t->set("x", array_fill(0, $n, 1.0));
    } catch (QarbinException $e) {
        echo "$n elements: ", $e->getMessage(), "\n";
    }
}
$named = [];
for ($i = 0; $i < 128; $i++) $named["c$i"] = $i;
var_dump($t->set("named", $named));
echo "named[127] = ", $t->get("named")["vector"][127], "\n";
echo "count: ", $t->count(), "\n";
?>
--EXPECT--
non-numeric string                          Vector components must be numbers
leading numeric                             Vector components must be numbers
nested array                                Vector components must be numbers
object                                      Vector components must be numbers
int, numeric string, true, null             [1.0,2.5,1.0,0.0]
string keys, insertion order                [4.0,1.0,3.0,2.0]
sparse int keys                             [1.5,-2.0,0.0,8.0]
false, numeric strings with blanks, exponent[0.0,4.0,5.0,10.0]
reference element                           [7.0,0.25,0.0010000000474974513,-0.0]
narrowed to float                           [0.10000000149011612,0.3333333432674408,16777216.0,1.152921504606847e+18]
removed elements                            [1.0,3.0,4.0,6.0]
127 elements: Vector dim mismatch: expected 128
129 elements: Vector dim mismatch: expected 128
bool(true)
named[127] = 127
count: 1
