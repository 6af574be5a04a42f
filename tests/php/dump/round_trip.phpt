--TEST--
dump() and load() together: file form keeps six significant digits, string form full precision; decoded vectors of quantized stores; held-back records; disk and every dumped line loads back
--INI--
qarbin.pq_subvectors=2
--FILE--
<?php
$tmp = sys_get_temp_dir() . "/qarbin_rt_" . getmypid();
$v = [0.123456789, -987.654321, 1e-7, 2 / 3];
$s = new QarbinStore(null, ["dimensions" => 4, "quantization" => "none"]);
$s->set("x", $v, "m");
$exact = $s->get("x")["vector"];

$s->dump("$tmp.jsonl");
$f = new QarbinStore(null, ["dimensions" => 4]);
$f->load("$tmp.jsonl");
echo "file form: ", file_get_contents("$tmp.jsonl");
// Six significant digits, narrowed to a 32-bit float again.
$six = array_map(fn($c) => unpack("g", pack("g", (float) sprintf("%.6g", $c)))[1], $exact);
echo "loaded equals the six-digit values: ", var_export($f->get("x")["vector"] === $six, true), "\n";

file_put_contents("$tmp.jsonl", $s->dump());
$g = new QarbinStore(null, ["dimensions" => 4]);
$g->load("$tmp.jsonl");
echo "string form exact: ", var_export($g->get("x")["vector"] === $exact, true), ", metadata ", $g->get("x")["metadata"], "\n";

// Quantized stores dump what they decode, not the input and not codes.
foreach (["f16", "int8", "binary"] as $q) {
    $t = new QarbinStore(null, ["dimensions" => 4, "quantization" => $q]);
    $t->set("x", $v);
    $line = json_decode($t->dump(), true);
    echo "$q: dump equals get(): ", var_export($line["vector"] == $t->get("x")["vector"], true),
        ", differs from input: ", var_export($line["vector"] !== $exact, true), "\n";
}

// A pq store that is still collecting dumps its held-back records.
$p = new QarbinStore(null, ["dimensions" => 4, "quantization" => "pq"]);
$p->set("h1", [1, 2, 3, 4], "one");
$p->set("h2", [5, 6, 7, 8]);
echo "held back: count ", $p->count(), ", total_count ", $p->stats()["total_count"], "\n", $p->dump();
echo "to file: ", $p->dump("$tmp.jsonl"), "\n";

// Decoded components that are not finite (f16 overflow, an int8 range too
// wide for float) are written as finite numbers, so the line loads back.
$w = new QarbinStore(null, ["dimensions" => 2, "quantization" => "f16"]);
$w->set("big", [1e5, -1e30]);
$w->dump("$tmp.jsonl");
echo "f16 overflow, file: ", file_get_contents("$tmp.jsonl");
echo "f16 overflow, string: ", $w->dump();
$back = new QarbinStore(null, ["dimensions" => 2]);
echo "loads back: ", $back->load("$tmp.jsonl"), "\n";
$n = new QarbinStore(null, ["dimensions" => 2, "quantization" => "int8"]);
$n->set("wide", [3e38, -3e38]);
echo "int8 wide range: ", $n->dump();

// A disk store dumps across its segment files; the dump loads into memory.
$d = new QarbinStore("$tmp.dir", ["dimensions" => 4, "segment_size" => 3]);
for ($i = 0; $i < 7; $i++) $d->set("d$i", [$i, $i + 1, $i + 2, $i + 3], $i % 2 ? "odd" : "");
$d->delete("d3");
echo "disk segments: ", $d->stats()["segment_count"], ", dumped ", $d->dump("$tmp.jsonl"), "\n";
$m = new QarbinStore(null, ["dimensions" => 4]);
echo "loaded into memory: ", $m->load("$tmp.jsonl"), ", d6 ", json_encode($m->get("d6")["vector"]), " ",
    var_export($m->get("d5")["metadata"], true), ", d3 ", var_export($m->get("d3"), true), "\n";
$d->close();
array_map("unlink", glob("$tmp.dir/*"));
rmdir("$tmp.dir");
unlink("$tmp.jsonl");
?>
--EXPECT--
file form: {"key":"x","vector":[0.123457,-987.654,1.0e-7,0.666667],"metadata":"m"}
loaded equals the six-digit values: true
string form exact: true, metadata m
f16: dump equals get(): true, differs from input: true
int8: dump equals get(): true, differs from input: true
binary: dump equals get(): true, differs from input: true
held back: count 2, total_count 0
{"key":"h1","vector":[1,2,3,4],"metadata":"one"}
{"key":"h2","vector":[5,6,7,8],"metadata":null}
to file: 2
f16 overflow, file: {"key":"big","vector":[3.40282e+38,-3.40282e+38],"metadata":null}
f16 overflow, string: {"key":"big","vector":[3.4028234663852886e+38,-3.4028234663852886e+38],"metadata":null}
loads back: 1
int8 wide range: {"key":"wide","vector":[0,0],"metadata":null}
disk segments: 3, dumped 6
loaded into memory: 6, d6 [6,7,8,9] 'odd', d3 NULL
