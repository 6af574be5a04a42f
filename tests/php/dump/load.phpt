--TEST--
load(): physical line numbers, blank lines, CRLF, last line without a line feed, every error message, records before an error stay
--FILE--
<?php
$path = sys_get_temp_dir() . "/qarbin_load_" . getmypid() . ".jsonl";
$a = '{"key":"a","vector":[1,2]}';
$b = '{"key":"b","vector":[3,4],"metadata":"mb"}';
$cases = [
    "two lines" => "$a\n$b\n",
    "blank line 2, bad line 3" => "$a\n\n{bad\n$b\n",
    "CRLF line endings" => "$a\r\n$b\r\n",
    "line of CR only (skipped)" => "$a\n\r\n$b\n",
    "no final line feed" => "$a\n$b",
    "empty file" => "",
    "only blank lines" => "\n\n\n",
    "JSON number" => "42\n",
    "JSON list" => "[1,2]\n",
    "too deep" => '{"key":"a","vector":[[[1]],2]}' . "\n",
    "invalid UTF-8" => "{\"key\":\"a\xff\",\"vector\":[1,2]}\n",
    "key missing" => "$a\n" . '{"vector":[1,2]}' . "\n",
    "key empty" => '{"key":"","vector":[1,2]}',
    "key int" => '{"key":5,"vector":[1,2]}',
    "key NUL first" => '{"key":"\u0000x","vector":[1,2]}',
    "key 1025 bytes" => '{"key":"' . str_repeat("k", 1025) . '","vector":[1,2]}',
    "vector missing" => '{"key":"a"}',
    "vector string" => '{"key":"a","vector":"1,2"}',
    "vector object" => '{"key":"o","vector":{"y":5,"x":6}}',
    "vector of 3" => "$a\n$a\n" . '{"key":"c","vector":[1,2,3]}',
    "vector 1e39" => '{"key":"a","vector":[1e39,1]}',
    "vector 1e400" => '{"key":"a","vector":[1,1e400]}',
    "vector of odd values" => '{"key":"odd","vector":["2.5",true]}',
    "metadata 1 MiB + 1" => '{"key":"a","vector":[1,2],"metadata":"' . str_repeat("m", 1048577) . '"}',
];
foreach ($cases as $label => $text) {
    file_put_contents($path, $text);
    $s = new QarbinStore(null, ["dimensions" => 2]);
    try {
        $out = "loaded " . $s->load($path);
    } catch (QarbinException $e) {
        $out = $e->getMessage();
    }
    echo str_pad($label, 26), $out, " | count ", $s->count(), "\n";
}

$s = new QarbinStore(null, ["dimensions" => 2]);
file_put_contents($path, '{"key":"o","vector":{"y":5,"x":6}}' . "\n" . '{"key":"odd","vector":["2.5",true]}');
$s->load($path);
echo "object vector: ", json_encode($s->get("o")["vector"]), ", odd values: ", json_encode($s->get("odd")["vector"]), "\n";

// Metadata that is not a string is dropped; a JSON string of JSON stays bytes.
file_put_contents($path, implode("\n", [
    '{"key":"m1","vector":[1,1],"metadata":{"x":1}}',
    '{"key":"m2","vector":[1,1],"metadata":null}',
    '{"key":"m3","vector":[1,1],"metadata":7}',
    '{"key":"m4","vector":[1,1],"metadata":"{\"x\":1}"}',
    '{"key":"m5","vector":[1,1],"metadata":""}',
]) . "\n");
echo "loaded ", $s->load($path), "\n";
foreach (["m1", "m2", "m3", "m4", "m5"] as $k) echo "  $k metadata: ", var_export($s->get($k)["metadata"], true), "\n";

// Loading twice replaces: one record per key.
file_put_contents($path, "$a\n$b\n");
$t = new QarbinStore(null, ["dimensions" => 2]);
echo "twice: ", $t->load($path), " + ", $t->load($path), " loaded, count ", $t->count(), "\n";

try {
    $t->load("/nonexistent/qarbin.jsonl");
} catch (QarbinException $e) {
    echo $e->getMessage(), "\n";
}
try {
    $t->load(sys_get_temp_dir());
} catch (QarbinException $e) {
    echo str_replace(sys_get_temp_dir(), "TMP", $e->getMessage()), "\n";
}
try {
    (new QarbinStore(null, ["dimensions" => 4]))->load($path);
} catch (QarbinException $e) {
    echo $e->getMessage(), "\n";
}
unlink($path);
?>
--EXPECT--
two lines                 loaded 2 | count 2
blank line 2, bad line 3  Invalid JSON at line 3 | count 1
CRLF line endings         loaded 2 | count 2
line of CR only (skipped) loaded 2 | count 2
no final line feed        loaded 2 | count 2
empty file                loaded 0 | count 0
only blank lines          loaded 0 | count 0
JSON number               Invalid JSON at line 1 | count 0
JSON list                 Missing or empty 'key' at line 1 | count 0
too deep                  Invalid JSON at line 1 | count 0
invalid UTF-8             Invalid JSON at line 1 | count 0
key missing               Missing or empty 'key' at line 2 | count 1
key empty                 Missing or empty 'key' at line 1 | count 0
key int                   Missing or empty 'key' at line 1 | count 0
key NUL first             Failed to set vector at line 1 | count 0
key 1025 bytes            Key too long (max 1024 bytes) at line 1 | count 0
vector missing            Missing 'vector' array at line 1 | count 0
vector string             Missing 'vector' array at line 1 | count 0
vector object             loaded 1 | count 1
vector of 3               Vector dim mismatch at line 3: expected 2 | count 1
vector 1e39               Vector components must be finite at line 1 | count 0
vector 1e400              Vector components must be finite at line 1 | count 0
vector of odd values      loaded 1 | count 1
metadata 1 MiB + 1        Metadata too long (max 1048576 bytes) at line 1 | count 0
object vector: [5,6], odd values: [2.5,1]
loaded 5
  m1 metadata: NULL
  m2 metadata: NULL
  m3 metadata: NULL
  m4 metadata: '{"x":1}'
  m5 metadata: NULL
twice: 2 + 2 loaded, count 2
Cannot open file for reading: /nonexistent/qarbin.jsonl
Cannot open file for reading: TMP
Vector dim mismatch at line 1: expected 4
