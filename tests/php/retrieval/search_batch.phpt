--TEST--
searchBatch() returns, in query order, exactly what search() returns for each query, with the same topK, precision, filter, minScore and diversity; a bad query anywhere names its index and nothing is searched
--FILE--
<?php
$dim = 8;
mt_srand(5);
$s = new QarbinStore(null, ["dimensions" => $dim]);
for ($i = 0; $i < 800; $i++) {
    $v = [];
    for ($d = 0; $d < $dim; $d++) $v[] = (($i % 16) * 3 + $d * 5) % 7 + mt_rand(0, 999) / 1000;
    $s->set("k$i", $v, json_encode(["tag" => $i % 5]));
}
$queries = [];
for ($q = 0; $q < 25; $q++) {
    $v = [];
    for ($d = 0; $d < $dim; $d++) $v[] = mt_rand(0, 7000) / 1000;
    $queries[] = $v;
}
$cases = [
    "defaults" => [],
    "top 3 exact" => [3, 0.0],
    "graph 120" => [30, 120.0],
    "filter" => [10, 50.0, ["tag" => ['$in' => [1, 3]]]],
    "floor" => [10, 50.0, null, 0.97],
    "diverse" => [10, 50.0, null, null, 0.6],
    "all of them" => [20, 0.0, ["tag" => 2], 0.9, 0.3],
    "topK 0" => [0],
];
$s->search($queries[0]);  // the graph is built by the first search, outside the comparison
foreach ($cases as $name => $args) {
    $batch = $s->searchBatch($queries, ...$args);
    $single = array_map(fn($q) => $s->search($q, ...$args), $queries);
    printf("%-12s %s, %d lists, %d rows\n", $name, $batch === $single ? "same" : "DIFFERENT", count($batch),
        array_sum(array_map("count", $batch)));
}
// Query order is iteration order; keys play no part.
$keyed = ["b" => $queries[3], "a" => $queries[1]];
var_dump($s->searchBatch($keyed, 4) === [$s->search($queries[3], 4), $s->search($queries[1], 4)]);
var_dump($s->searchBatch([]));

$bad = [
    "dim" => [$queries[0], $queries[1], [1, 2, 3]],
    "nan" => [$queries[0], array_fill(0, $dim, NAN)],
    "not a number" => [$queries[0], $queries[1], $queries[2], array_fill(0, $dim, "x")],
    "not an array" => [$queries[0], "text"],
    "first" => [[1]],
];
foreach ($bad as $name => $batch) {
    $result = "untouched";
    try {
        $result = $s->searchBatch($batch);
    } catch (QarbinException $e) {
        printf("%-12s %s; result %s\n", $name, $e->getMessage(), is_string($result) ? $result : "set");
    }
}
foreach ([["minScore" => NAN], ["diversity" => -0.1], ["diversity" => 1.5]] as $named) {
    try {
        $s->searchBatch($queries, ...$named);
    } catch (QarbinException $e) {
        echo $e->getMessage(), "\n";
    }
}
$s->close();
try {
    $s->searchBatch($queries);
} catch (QarbinException $e) {
    echo $e->getMessage(), "\n";
}
?>
--EXPECT--
defaults     same, 25 lists, 250 rows
top 3 exact  same, 25 lists, 75 rows
graph 120    same, 25 lists, 750 rows
filter       same, 25 lists, 250 rows
floor        same, 25 lists, 10 rows
diverse      same, 25 lists, 250 rows
all of them  same, 25 lists, 306 rows
topK 0       same, 25 lists, 0 rows
bool(true)
array(0) {
}
dim          Vector dim mismatch at index 2: expected 8; result untouched
nan          Vector components must be finite at index 1; result untouched
not a number Vector components must be numbers at index 3; result untouched
not an array Query vector must be an array at index 1; result untouched
first        Vector dim mismatch at index 0: expected 8; result untouched
minScore must not be NaN
diversity must be between 0 and 1
diversity must be between 0 and 1
Store not open
