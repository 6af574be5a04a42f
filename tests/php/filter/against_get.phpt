--TEST--
Filtered search against a plain PHP filter over get() of every key: match rates 50%, 10%, 1% and none; the filtered scan (precision 0) returns exactly the matching records, the filtered walk (precision 50) only matching ones, as many as it can, in every storage mode and encoding
--INI--
qarbin.pq_subvectors=4
qarbin.pq_training_size=256
--FILE--
<?php
// The reference: the same grammar's subset used below, in plain PHP.
function matches(?string $json, array $filter): bool {
    $doc = $json === null ? null : json_decode($json, true);
    if (!is_array($doc) || array_is_list($doc) && $doc !== []) return false;
    foreach ($filter as $field => $cond) {
        $has = array_key_exists($field, $doc);
        $v = $has ? $doc[$field] : null;
        if (!is_array($cond)) { if (!$has || $v !== $cond) return false; continue; }
        foreach ($cond as $op => $arg) {
            $ok = match ($op) {
                '$lt' => $has && is_int($v) && $v < $arg,
                '$in' => $has && in_array($v, $arg, true),
                '$ne' => !$has || $v !== $arg,
            };
            if (!$ok) return false;
        }
    }
    return true;
}

$n = 3000;
$dim = 8;
mt_srand(7);
$vectors = [];
$metas = [];
for ($i = 0; $i < $n; $i++) {
    $c = $i % 20;  // clusters, so the graph has structure
    $v = [];
    for ($d = 0; $d < $dim; $d++) $v[] = ($c * 7 + $d * 3) % 11 + mt_rand(0, 1000) / 1000;
    $vectors["k$i"] = $v;
    $metas["k$i"] = match (true) {
        $i % 97 === 5 => "not json",
        $i % 89 === 3 => '["cat", 1]',
        $i % 83 === 2 => null,
        default => json_encode(["cat" => mt_rand(0, 99), "src" => "doc" . ($i % 30)]),
    };
}
$filters = [
    "50%" => ["cat" => ['$lt' => 50]],
    "10%" => ["cat" => ['$lt' => 10], "src" => ['$ne' => "doc0"]],
    "1%" => ["cat" => 42],
    "none" => ["cat" => ['$in' => [100, "x"]]],
];
$queries = [];
for ($q = 0; $q < 8; $q++) $queries[] = $vectors["k" . ($q * 371 % $n)];

$configs = [
    ["memory", "none"], ["memory", "f16"], ["memory", "int8"], ["memory", "binary"], ["memory", "pq"],
    ["disk", "none"], ["disk", "int8"], ["shm", "none"], ["shm", "f16"],
];
foreach ($configs as [$mode, $quant]) {
    $opts = ["dimensions" => $dim, "distance" => "euclidean", "storage" => $mode, "quantization" => $quant];
    $where = null;
    if ($mode === "disk") $where = sys_get_temp_dir() . "/qb_filter_" . getmypid();
    if ($mode === "shm") { $where = "t_" . getmypid() . "_filter"; QarbinStore::destroy($where); }
    if ($mode === "disk") { @array_map("unlink", glob("$where/*") ?: []); @rmdir($where); }
    $s = new QarbinStore($where, $opts);
    foreach ($vectors as $k => $v) $s->set($k, $v, $metas[$k]);
    // The reference reads every record back through get().
    $stored = [];
    foreach (array_keys($vectors) as $k) $stored[$k] = $s->get($k)["metadata"];
    $line = "$mode/$quant:";
    foreach ($filters as $rate => $f) {
        $want = array_keys(array_filter($stored, fn($m) => matches($m, $f)));
        sort($want);
        $bad = 0;
        foreach ($queries as $q) {
            $scan = array_column($s->search($q, 1000, 0, $f), "key");
            sort($scan);
            if ($scan !== array_slice($want, 0, 1000) && count($want) <= 1000) $bad++;
            $walk = $s->search($q, 10, 50, $f);
            foreach ($walk as $row) if (!in_array($row["key"], $want, true)) $bad++;
            if (count($walk) !== min(10, count($want))) $bad++;
            for ($j = 1; $j < count($walk); $j++) if ($walk[$j - 1]["score"] < $walk[$j]["score"]) $bad++;
        }
        $share = count($want) / $n;
        $line .= sprintf(" %s %s", $rate, $bad === 0 && ($rate === "none" ? count($want) === 0 : $share > 0) ? "ok" : "FAILED($bad)");
    }
    echo $line, "\n";
    if ($mode === "shm") { $s->close(); QarbinStore::destroy($where); }
    if ($mode === "disk") { $s->close(); array_map("unlink", glob("$where/*") ?: []); rmdir($where); }
}
?>
--EXPECT--
memory/none: 50% ok 10% ok 1% ok none ok
memory/f16: 50% ok 10% ok 1% ok none ok
memory/int8: 50% ok 10% ok 1% ok none ok
memory/binary: 50% ok 10% ok 1% ok none ok
memory/pq: 50% ok 10% ok 1% ok none ok
disk/none: 50% ok 10% ok 1% ok none ok
disk/int8: 50% ok 10% ok 1% ok none ok
shm/none: 50% ok 10% ok 1% ok none ok
shm/f16: 50% ok 10% ok 1% ok none ok
