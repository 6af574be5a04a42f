--TEST--
dump() to a file: the line format byte for byte, string escapes, %g components, null metadata, insertion order, deleted records left out
--FILE--
<?php
$path = sys_get_temp_dir() . "/qarbin_file_form_" . getmypid() . ".jsonl";
$s = new QarbinStore(null, ["dimensions" => 4]);
echo "empty store: ", $s->dump($path), " records, ", filesize($path), " bytes, string form ", var_export($s->dump(), true), "\n";

$s->set("q\"b\\\t\x01/\u{e9}", [0.1, -2, 1e-5, 123456789], "{\"a\":1}");
$s->set("plain", [0, 0.5, 3.4028234663852886e38, -0.0]);
$s->set("gone", [1, 1, 1, 1], "deleted");
$s->set("ctl", [1e-4, 1234567, 0.000123456789, -1.5e-7], "\n\r\f\x08\x1f\x7f\x00end");
$s->set("empty-meta", [1, 2, 3, 4], "");
$s->delete("gone");
echo "written: ", $s->dump($path), "\n";
// The DEL byte is copied unchanged; shown as <7f>.
echo str_replace("\x7f", "<7f>", file_get_contents($path));
echo "---\n";
echo "ends with a line feed: ", var_export(str_ends_with(file_get_contents($path), "}\n"), true), "\n";

// A key or metadata that is not UTF-8 is copied unchanged.
$t = new QarbinStore(null, ["dimensions" => 1]);
$t->set("k\xff", [1], "m\xfe");
$t->dump($path);
echo bin2hex(file_get_contents($path)), "\n";

try {
    $s->dump("/nonexistent/qarbin/dir/out.jsonl");
} catch (QarbinException $e) {
    echo $e->getMessage(), "\n";
}
unlink($path);
?>
--EXPECT--
empty store: 0 records, 0 bytes, string form ''
written: 4
{"key":"q\"b\\\t\u0001/é","vector":[0.1,-2,1.0e-5,1.23457e+8],"metadata":"{\"a\":1}"}
{"key":"plain","vector":[0,0.5,3.40282e+38,-0],"metadata":null}
{"key":"ctl","vector":[0.0001,1.23457e+6,0.000123457,-1.5e-7],"metadata":"\n\r\f\b\u001f<7f>\u0000end"}
{"key":"empty-meta","vector":[1,2,3,4],"metadata":null}
---
ends with a line feed: true
7b226b6579223a226bff222c22766563746f72223a5b315d2c226d65746164617461223a226dfe227d0a
Cannot open file for writing: /nonexistent/qarbin/dir/out.jsonl
