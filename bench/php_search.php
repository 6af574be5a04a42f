<?php
// Search latency from PHP against a pure-PHP brute force over the same
// 10 000 Fashion-MNIST vectors (784 dimensions, cosine, top 10). Run by
// bench/run.sh once without and once with opcache's JIT:
//   php -n -d memory_limit=-1 -d extension=<build>/qarbin.so bench/php_search.php <data dir> <label>
// Prints one Markdown table row: label, extension exhaustive and graph
// latency (medians), pure-PHP latency, ratio, and how many of the pure-PHP
// top-10 the extension's exhaustive scan also returned.
const N = 10000;
const TOPK = 10;

[$dir, $label] = [$argv[1] ?? 'bench/data', $argv[2] ?? 'php'];

function readIdx(string $path, int $limit): array {
    $raw = file_get_contents($path);
    $h = unpack('N4', substr($raw, 0, 16));
    $dim = $h[3] * $h[4];
    $n = min($h[2], $limit);
    $out = [];
    for ($i = 0; $i < $n; $i++) $out[] = array_values(unpack('C*', substr($raw, 16 + $i * $dim, $dim)));
    return array_map(fn($v) => array_map('floatval', $v), $out);
}

function median(array $xs): float {
    sort($xs);
    return $xs[intdiv(count($xs), 2)];
}

// What a PHP developer writes without the extension: score every vector,
// sort, keep the best.
function bruteForce(array $data, array $q, int $k): array {
    $scores = [];
    $dim = count($q);
    foreach ($data as $key => $v) {
        $dot = 0.0;
        $nv = 0.0;
        $nq = 0.0;
        for ($i = 0; $i < $dim; $i++) {
            $a = $v[$i];
            $b = $q[$i];
            $dot += $a * $b;
            $nv += $a * $a;
            $nq += $b * $b;
        }
        $den = sqrt($nv) * sqrt($nq);
        $scores[$key] = $den > 0 ? $dot / $den : 0.0;
    }
    arsort($scores);
    return array_slice($scores, 0, $k, true);
}

$base = readIdx("$dir/train-images.idx", N);
$queries = readIdx("$dir/t10k-images.idx", 40);
$dim = count($base[0]);

ini_set("qarbin.auto_index_threshold", "100");
$s = new QarbinStore(null, ["dimensions" => $dim, "distance" => "cosine", "segment_size" => N]);
$records = [];
foreach ($base as $i => $v) $records[] = ["key" => "k$i", "vector" => $v];
$s->batchSet($records);
unset($records);

$t = hrtime(true);
$s->search($queries[0], TOPK, 50);  // builds the graph first
$buildMs = (hrtime(true) - $t) / 1e6;

$ext = ['exh' => [], 'graph' => []];
for ($r = 0; $r < 3; $r++) {
    foreach (['exh' => 0.0, 'graph' => 50.0] as $kind => $precision) {
        $t = hrtime(true);
        foreach ($queries as $q) $s->search($q, TOPK, $precision);
        $ext[$kind][] = (hrtime(true) - $t) / 1e3 / count($queries);
    }
}

// Three queries per round keep the interpreted loop within a minute.
$php = [];
$overlap = 0;
$checked = 0;
for ($r = 0; $r < 3; $r++) {
    $t = hrtime(true);
    $found = [];
    for ($i = 0; $i < 3; $i++) $found[$i] = bruteForce($base, $queries[$i], TOPK);
    $php[] = (hrtime(true) - $t) / 1e3 / 3;
    if ($r === 0) {
        for ($i = 0; $i < 3; $i++) {
            $keys = array_map(fn($row) => (int)substr($row["key"], 1), $s->search($queries[$i], TOPK, 0));
            $overlap += count(array_intersect($keys, array_keys($found[$i])));
            $checked += TOPK;
        }
    }
}
$s->close();

$e = median($ext['exh']);
$g = median($ext['graph']);
$p = median($php);
printf("| %s | %.0f | %.0f | %.0f | %.0f | %.0f | %d/%d |\n", $label, $e, $g, $p / 1e3, $p / $e, $p / $g, $overlap,
    $checked);
fprintf(STDERR, "%s: graph build on first search %.0f ms\n", $label, $buildMs);
