--TEST--
dump() without a path: one json_encode(JSON_UNESCAPED_UNICODE) line per record; bytes that are not UTF-8 become U+FFFD so every line stays valid JSON
--FILE--
<?php
$s = new QarbinStore(null, ["dimensions" => 3]);
$records = [
    ["sl/ash \u{e9}", [0.1, -1 / 3, 1e-30], "meta \"quoted\" \u{263a}"],
    ["nometa", [1, 2, 3], null],
    ["ctl\t\x01", [0, -0.0, 16777216], "\x00\n"],
];
foreach ($records as [$k, $v, $m]) $s->set($k, $v, $m);
$text = $s->dump();
$expected = "";
foreach ($records as [$k, $v, $m]) {
    $expected .= json_encode(["key" => $k, "vector" => $s->get($k)["vector"], "metadata" => $m], JSON_UNESCAPED_UNICODE) . "\n";
}
echo $text;
echo "same as json_encode of get(): ", var_export($text === $expected, true), "\n";

$s->set("bad\xff", [1, 1, 1], "fine");
$s->set("good", [2, 2, 2], "meta\xc3");
$lines = explode("\n", rtrim($s->dump(), "\n"));
echo count($lines), " lines\n";
foreach (array_slice($lines, 3) as $line) {
    $d = json_decode($line, true);
    echo $line, " | valid: ", var_export($d !== null, true), "\n";
}
echo "json_last_error after dump: ", json_last_error_msg(), "\n";
?>
--EXPECT--
{"key":"sl\/ash é","vector":[0.10000000149011612,-0.3333333432674408,1.0000000031710769e-30],"metadata":"meta \"quoted\" ☺"}
{"key":"nometa","vector":[1,2,3],"metadata":null}
{"key":"ctl\t\u0001","vector":[0,-0,16777216],"metadata":"\u0000\n"}
same as json_encode of get(): true
5 lines
{"key":"bad�","vector":[1,1,1],"metadata":"fine"} | valid: true
{"key":"good","vector":[2,2,2],"metadata":"meta�"} | valid: true
json_last_error after dump: No error
