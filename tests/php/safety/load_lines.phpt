--TEST--
load: lines of spaces and empty CRLF lines are skipped like empty lines; a line too long to decode is refused with its number
--INI--
memory_limit=64M
--FILE--
<?php
$dir = sys_get_temp_dir() . "/qb_loadlines_" . getmypid();
mkdir($dir);
$rec = fn($k) => json_encode(["key" => $k, "vector" => [1, 2], "metadata" => null]);
// The long lines are written in pieces: the test's own memory stays small.
$files = [
    "spaces line"        => [$rec("a") . "\n   \n" . $rec("b") . "\n"],
    "tabs and spaces"    => [$rec("a") . "\n \t \n" . $rec("b") . "\n"],
    "CRLF with empty"    => [$rec("a") . "\r\n\r\n" . $rec("b") . "\r\n"],
    "CRLF spaces at end" => [$rec("a") . "\r\n  \r\n"],
    "too long"           => [$rec("a") . "\n" . '{"key":"x","vector":[', [str_repeat("1,", 500000), 40], '1]}' . "\n" . $rec("b") . "\n"],
    "too long padding"   => [$rec("a") . "\n", [str_repeat(" ", 1000000), 17], "x\n"],
];
foreach ($files as $label => $pieces) {
    $f = fopen("$dir/f.jsonl", "w");
    foreach ($pieces as $p) {
        if (is_array($p)) for ($i = 0; $i < $p[1]; $i++) fwrite($f, $p[0]);
        else fwrite($f, $p);
    }
    fclose($f);
    $s = new QarbinStore(null, ["dimensions" => 2]);
    try {
        $out = "loaded " . $s->load("$dir/f.jsonl");
    } catch (QarbinException $e) {
        $out = $e->getMessage();
    }
    printf("%-20s %s; count %d\n", $label, $out, $s->count());
}
unlink("$dir/f.jsonl");
rmdir($dir);
?>
--EXPECT--
spaces line          loaded 2; count 2
tabs and spaces      loaded 2; count 2
CRLF with empty      loaded 2; count 2
CRLF spaces at end   loaded 1; count 1
too long             Line too long (max 16777216 bytes) at line 2; count 1
too long padding     Line too long (max 16777216 bytes) at line 2; count 1
