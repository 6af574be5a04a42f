--TEST--
A shared segment whose key table lost its newest records (zeroed by another process's fault) is not trusted by the handles that open it afterwards: every key is still found, replaced and deleted once
--SKIPIF--
<?php if (!is_dir("/dev/shm")) die("skip no /dev/shm"); ?>
--FILE--
<?php
$name = "t_" . getmypid() . "_kt";
QarbinStore::destroy($name);
$opts = ["storage" => "shm", "dimensions" => 2, "distance" => "euclidean", "segment_size" => 64];
$w = new QarbinStore($name, $opts);
for ($i = 0; $i < 10; $i++) $w->set("k$i", [$i, 0]);
$w->close();

// The key table lies between keyTableOffset and varOffset (header bytes
// 144 and 152).
$file = "/dev/shm/qb_{$name}_s0000";
$f = fopen($file, "r+");
$head = fread($f, 256);
$table = unpack("P", substr($head, 144, 8))[1];
$var = unpack("P", substr($head, 152, 8))[1];
fseek($f, $table);
fwrite($f, str_repeat("\0", $var - $table));
fclose($f);

$s = new QarbinStore($name, $opts);
$found = 0;
for ($i = 0; $i < 10; $i++) $found += $s->has("k$i") ? 1 : 0;
echo "found $found of 10\n";
$s->set("k3", [30, 0]);
echo "replaced: count ", $s->count(), ", k3 ", $s->get("k3")["vector"][0], "\n";
echo "deleted: ", var_export($s->delete("k4"), true), ", again ", var_export($s->delete("k4"), true), ", count ", $s->count(), "\n";
$r = new QarbinStore($name, $opts + ["writable" => false]);
echo "read-only handle: k9 ", $r->get("k9")["vector"][0], ", k4 ", var_export($r->get("k4"), true), "\n";
$r->close();
$s->close();
QarbinStore::destroy($name);
?>
--EXPECT--
found 10 of 10
replaced: count 10, k3 30
deleted: true, again false, count 9
read-only handle: k9 9, k4 NULL
