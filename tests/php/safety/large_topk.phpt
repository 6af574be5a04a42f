--TEST--
search: topK beyond the 32-bit range is bounded to 1000 rows before any narrowing, and anything below 1 gives none
--FILE--
<?php
$s = new QarbinStore(null, ["dimensions" => 2]);
for ($i = 0; $i < 1100; $i++) $s->set("k$i", [$i + 1, 1]);
$cases = [
    "5" => 5, "1000" => 1000, "1001" => 1001, "2^31 - 1" => 2147483647, "2^31" => 2147483648,
    "2^32 + 5" => 4294967301, "PHP_INT_MAX" => PHP_INT_MAX, "0" => 0, "-1" => -1,
    "-2^32 + 5" => -4294967291, "PHP_INT_MIN" => PHP_INT_MIN,
];
foreach ($cases as $label => $k) printf("%-12s %d\n", $label, count($s->search([1, 1], $k, 0)));
?>
--EXPECT--
5            5
1000         1000
1001         1000
2^31 - 1     1000
2^31         1000
2^32 + 5     1000
PHP_INT_MAX  1000
0            0
-1           0
-2^32 + 5    0
PHP_INT_MIN  0
