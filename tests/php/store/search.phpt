--TEST--
search(): rows of key, score and metadata, best first; topK bounds, default arguments, exhaustive and graph search
--FILE--
<?php
$s = new QarbinStore(null, ["dimensions" => 3, "distance" => "euclidean"]);
$s->set("origin", [0, 0, 0], "o");
$s->set("x1", [1, 0, 0], "");
$s->set("x2", [2, 0, 0], "two");
$s->set("far", [10, 0, 0]);
foreach ($s->search([0.9, 0, 0], 3, 0) as $row) {
    echo implode(",", array_keys($row)), " | ", $row["key"], " ", var_export($row["score"], true), " ",
        var_export($row["metadata"], true), "\n";
}
foreach ([0, -1, -2 ** 40, 2 ** 32 + 2] as $k) {
    echo "topK $k: ", count($s->search([0, 0, 0], $k, 0)), " rows\n";
}
echo "topK above count: ", count($s->search([0, 0, 0], 50, 0)), " rows\n";
echo "topK numeric string: ", count($s->search([0, 0, 0], "2", 0)), " rows\n";

// Default arguments: 10 results, graph breadth 50 (graphs build at 100 used slots).
$t = new QarbinStore(null, ["dimensions" => 4]);
for ($i = 0; $i < 120; $i++) $t->set("k$i", [cos($i), sin($i), $i % 7, 1]);
echo "before default search: ", $t->stats()["index_status"], "\n";
$rows = $t->search([1, 0, 0, 1]);
echo "default search: ", count($rows), " rows, index ", $t->stats()["index_status"], "\n";
$exact = $t->search([1, 0, 0, 1], 10, 0);
$sorted = true;
for ($i = 1; $i < count($exact); $i++) $sorted = $sorted && $exact[$i - 1]["score"] >= $exact[$i]["score"];
echo "exhaustive sorted: ", var_export($sorted, true), ", best ", $exact[0]["key"], "\n";
echo "graph finds the best: ", var_export($rows[0]["score"] === $exact[0]["score"], true), "\n";
echo "precision 5 below topK 10: ", count($t->search([1, 0, 0, 1], 10, 5)), " rows\n";
echo "capped at 1000: ", count($t->search([1, 0, 0, 1], 5000, 0)), " rows (of ", $t->count(), ")\n";

$u = new QarbinStore(null, ["dimensions" => 4]);
for ($i = 0; $i < 120; $i++) $u->set("k$i", [cos($i), sin($i), $i % 7, 1]);
$u->search([1, 0, 0, 1], 5, 0.9);
echo "precision 0.9 builds no graph: ", $u->stats()["index_status"], "\n";

foreach ([[1, 2], [1, 0, 0, 1, 0], [NAN, 0, 0, 1], [0, "1e39", 0, 0]] as $q) {
    try {
        $t->search($q);
    } catch (QarbinException $e) {
        echo "query of ", count($q), ": ", $e->getMessage(), "\n";
    }
}
try {
    $t->search([1, 0, 0, 1], "many");
} catch (TypeError $e) {
    echo get_class($e), ": ", $e->getMessage(), "\n";
}
?>
--EXPECT--
key,score,metadata,text | x1 -0.10000002384185791 NULL
key,score,metadata,text | origin -0.8999999761581421 'o'
key,score,metadata,text | x2 -1.100000023841858 'two'
topK 0: 0 rows
topK -1: 0 rows
topK -1099511627776: 0 rows
topK 4294967298: 4 rows
topK above count: 4 rows
topK numeric string: 2 rows
before default search: none
default search: 10 rows, index ready
exhaustive sorted: true, best k0
graph finds the best: true
precision 5 below topK 10: 10 rows
capped at 1000: 120 rows (of 120)
precision 0.9 builds no graph: none
query of 2: Vector dim mismatch: expected 4
query of 5: Vector dim mismatch: expected 4
query of 4: Vector components must be finite
query of 4: Vector components must be finite
TypeError: QarbinStore::search(): Argument #2 ($topK) must be of type int, string given
