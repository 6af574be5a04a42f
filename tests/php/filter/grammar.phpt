--TEST--
Filter grammar as one table: equality, each operator, arrays, dotted paths, $and/$or, missing fields, wrong types, metadata that is not a JSON object; every error message
--FILE--
<?php
$s = new QarbinStore(null, ["dimensions" => 2]);
$records = [
    "r1" => '{"lang":"en","year":2021,"tags":["a","b"],"author":{"name":"Ann","age":40},"score":1.5,"flag":true,"none":null}',
    "r2" => '{"lang":"de","year":2019,"tags":["b"],"author":{"name":"Bob"},"score":2,"flag":false}',
    "r3" => '{"lang":"en","year":2025,"tags":[],"score":"high"}',
    "r4" => '{"year":2020.0,"lang":"EN"}',
    "r5" => 'lang=en',                          // not JSON
    "r6" => '[{"lang":"en"}]',                  // JSON, not an object
    "r7" => "{\"lang\":\"en\xff\"}",            // invalid UTF-8
    "r8" => null,                               // no metadata
    "r9" => '{"year":9007199254740993,"big":18446744073709551615}',
    "r10" => '{"a.b":1,"a":{"b":2}}',
    "r11" => '{"lang":"en"',                    // truncated JSON
];
$i = 0;
foreach ($records as $k => $m) $s->set($k, [$i++, 1], $m);

$cases = [
    [[], "all records"],
    [["lang" => "en"], "string equality"],
    [["lang" => "EN"], "strings compare byte for byte"],
    [["tags" => "b"], "equality against an array field"],
    [["tags" => ['$in' => ["a", "z"]]], '$in on an array field'],
    [["tags" => ['$nin' => ["b"]]], '$nin: also records without the field'],
    [["year" => ['$gte' => 2020, '$lt' => 2025]], "range, int and float fields"],
    [["year" => 2020], "int equals float 2020.0"],
    [["year" => 2021.0], "float 2021.0 equals the int field"],
    [["year" => ['$gt' => "2000"]], "string against numbers: no match"],
    [["score" => ['$gt' => 1]], '$gt on numbers, string field skipped'],
    [["score" => ['$gte' => "a"]], '$gte on strings'],
    [["year" => ['$lte' => 2019]], '$lte'],
    [["lang" => ['$eq' => "de"]], '$eq'],
    [["lang" => ['$ne' => "en"]], '$ne: also records without the field'],
    [["missing" => ['$ne' => 1]], '$ne on a missing field: every object'],
    [["author.name" => "Ann"], "dotted path"],
    [["author.age" => ['$exists' => true]], '$exists true'],
    [["author" => ['$exists' => false]], '$exists false'],
    [["none" => null], "null equality"],
    [["flag" => false], "bool equality"],
    [["flag" => 0], "0 is not false"],
    [['$or' => [["lang" => "de"], ["year" => 2025]]], '$or'],
    [['$and' => [["lang" => "en"], ['$or' => [["year" => 2021], ["tags" => "zz"]]]]], '$and with a nested $or'],
    [["lang" => "en", "year" => 2025], "top-level fields are joined by AND"],
    [["a.b" => 2], "a dotted name is a path, not a key"],
    [["year" => 9007199254740993], "integers compare exactly"],
    [["year" => 9007199254740992], "the neighbouring integer does not match"],
    [["big" => ['$gt' => PHP_INT_MAX]], "integers above the int64 range"],
];
foreach ($cases as [$filter, $what]) {
    $keys = array_column($s->search([0, 1], 100, 0, $filter), "key");
    sort($keys, SORT_NATURAL);
    printf("%-60s %s\n", $what, implode(" ", $keys));
}
echo "null filter: ", count($s->search([0, 1], 100, 0, null)), " rows\n";

$deep = ["x" => 1];
for ($d = 0; $d < 40; $d++) $deep = ['$and' => [$deep]];
$errors = [
    ["x" => ['$foo' => 1]],
    ['$foo' => 1],
    ['$gt' => 1],
    [5],
    ['$or' => []],
    ['$and' => ["x" => ["y" => 1]]],
    ['$or' => [1]],
    ["x" => [1, 2]],
    ["x" => []],
    ["x" => new stdClass],
    ["a..b" => 1],
    [".a" => 1],
    ["x" => ['$in' => "a"]],
    ["x" => ['$in' => [[1]]]],
    ["x" => ['$exists' => 1]],
    ["x" => ['$gt' => null]],
    ["x" => ['$lt' => true]],
    ["x" => ['$eq' => [1]]],
    ["x" => ['$gte' => 1, "y" => 2]],
    $deep,
];
foreach ($errors as $filter) {
    foreach (["search", "deleteWhere"] as $call) {
        try {
            $call === "search" ? $s->search([0, 1], 5, 0, $filter) : $s->deleteWhere($filter);
            echo "$call: no error\n";
        } catch (QarbinException $e) {
            echo "$call: ", $e->getMessage(), "\n";
        }
    }
}
echo "count after failed deleteWhere calls: ", $s->count(), "\n";
try {
    $s->search([0, 1], 5, 0, "lang");
} catch (TypeError $e) {
    echo get_class($e), "\n";
}
?>
--EXPECT--
all records                                                  r1 r2 r3 r4 r5 r6 r7 r8 r9 r10 r11
string equality                                              r1 r3
strings compare byte for byte                                r4
equality against an array field                              r1 r2
$in on an array field                                        r1
$nin: also records without the field                         r3 r4 r9 r10
range, int and float fields                                  r1 r4
int equals float 2020.0                                      r4
float 2021.0 equals the int field                            r1
string against numbers: no match                             
$gt on numbers, string field skipped                         r1 r2
$gte on strings                                              r3
$lte                                                         r2
$eq                                                          r2
$ne: also records without the field                          r2 r4 r9 r10
$ne on a missing field: every object                         r1 r2 r3 r4 r9 r10
dotted path                                                  r1
$exists true                                                 r1
$exists false                                                r3 r4 r9 r10
null equality                                                r1
bool equality                                                r2
0 is not false                                               
$or                                                          r2 r3
$and with a nested $or                                       r1
top-level fields are joined by AND                           r3
a dotted name is a path, not a key                           r10
integers compare exactly                                     r9
the neighbouring integer does not match                      
integers above the int64 range                               r9
null filter: 11 rows
search: Unknown filter operator '$foo' on field 'x'
deleteWhere: Unknown filter operator '$foo' on field 'x'
search: Unknown filter operator '$foo'
deleteWhere: Unknown filter operator '$foo'
search: Malformed filter: operator '$gt' needs a field name before it
deleteWhere: Malformed filter: operator '$gt' needs a field name before it
search: Malformed filter: condition 0 has no field name
deleteWhere: Malformed filter: condition 0 has no field name
search: Malformed filter: '$or' takes a non-empty list of filters
deleteWhere: Malformed filter: '$or' takes a non-empty list of filters
search: Malformed filter: '$and' takes a non-empty list of filters
deleteWhere: Malformed filter: '$and' takes a non-empty list of filters
search: Malformed filter: '$or' takes a non-empty list of filters
deleteWhere: Malformed filter: '$or' takes a non-empty list of filters
search: Malformed filter: field 'x' takes a scalar or an array of operators
deleteWhere: Malformed filter: field 'x' takes a scalar or an array of operators
search: Malformed filter: field 'x' has an empty condition
deleteWhere: Malformed filter: field 'x' has an empty condition
search: Malformed filter: field 'x' takes a scalar or an array of operators
deleteWhere: Malformed filter: field 'x' takes a scalar or an array of operators
search: Malformed filter: field name 'a..b' has an empty part
deleteWhere: Malformed filter: field name 'a..b' has an empty part
search: Malformed filter: field name '.a' has an empty part
deleteWhere: Malformed filter: field name '.a' has an empty part
search: Malformed filter: '$in' on field 'x' takes a list of scalars
deleteWhere: Malformed filter: '$in' on field 'x' takes a list of scalars
search: Malformed filter: '$in' on field 'x' takes a list of scalars
deleteWhere: Malformed filter: '$in' on field 'x' takes a list of scalars
search: Malformed filter: '$exists' on field 'x' takes true or false
deleteWhere: Malformed filter: '$exists' on field 'x' takes true or false
search: Malformed filter: '$gt' on field 'x' takes a number or a string
deleteWhere: Malformed filter: '$gt' on field 'x' takes a number or a string
search: Malformed filter: '$lt' on field 'x' takes a number or a string
deleteWhere: Malformed filter: '$lt' on field 'x' takes a number or a string
search: Malformed filter: '$eq' on field 'x' takes a scalar
deleteWhere: Malformed filter: '$eq' on field 'x' takes a scalar
search: Malformed filter: field 'x' takes a scalar or an array of operators
deleteWhere: Malformed filter: field 'x' takes a scalar or an array of operators
search: Malformed filter: nested deeper than 32 levels
deleteWhere: Malformed filter: nested deeper than 32 levels
count after failed deleteWhere calls: 11
TypeError
