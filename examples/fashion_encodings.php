<?php
// What each vector encoding costs in accuracy, on real data: Fashion-MNIST
// images (784 dimensions, pixels minus the mean image, so that sign bits mean
// something) in one memory store per encoding, each searched by exhaustive
// scan (precision 0) and compared with the exact float32 top 10.
//
//   php -n -d extension=build/qarbin.so examples/fashion_encodings.php [RECORDS] [QUERIES]
//
// Prints a Markdown table: bytes per vector (from stats()), store size, and
// recall@10 for the euclidean and cosine distances.

$dataDir = getenv("FASHION_MNIST_DIR") ?: "/usr/share/datasets/fashion-mnist";
$records = (int)($argv[1] ?? 10000);
$queryCount = (int)($argv[2] ?? 200);
$k = 10;

function pixels(string $path): string {
    $raw = @file_get_contents($path);
    if ($raw === false) {
        fwrite(STDERR, "Cannot read $path: install the Debian package dataset-fashion-mnist\n");
        exit(1);
    }
    return substr(gzdecode($raw), 16);
}
$train = pixels("$dataDir/train-images-idx3-ubyte.gz");
$test = pixels("$dataDir/t10k-images-idx3-ubyte.gz");
$dim = 784;
$records = min($records, intdiv(strlen($train), $dim));

$mean = array_fill(0, $dim, 0.0);
for ($i = 0; $i < $records; $i++) {
    foreach (unpack("C$dim", $train, $i * $dim) as $p => $v) $mean[$p - 1] += $v;
}
$mean = array_map(fn($s) => $s / $records / 255.0, $mean);
$vector = function (string $data, int $i) use ($dim, $mean): array {
    $v = [];
    foreach (unpack("C$dim", $data, $i * $dim) as $p => $x) $v[] = $x / 255.0 - $mean[$p - 1];
    return $v;
};
$base = [];
for ($i = 0; $i < $records; $i++) $base[] = ["key" => "t$i", "vector" => $vector($train, $i)];
$queries = [];
for ($i = 0; $i < $queryCount; $i++) $queries[] = $vector($test, $i);

// PQ: 784 = 112 sub-vectors of 7 dimensions, one byte each; codebook trained
// on the first 4096 records.
ini_set("qarbin.pq_subvectors", "112");
ini_set("qarbin.pq_training_size", "4096");

echo "Fashion-MNIST, $records records, $queryCount queries, recall@$k of an exhaustive scan against float32\n\n";
echo "| encoding | bytes/vector | store MB | recall@10 euclidean | recall@10 cosine |\n";
echo "|---|---:|---:|---:|---:|\n";
$truth = [];
foreach (["none", "f16", "int8", "pq", "binary"] as $encoding) {
    $cells = [];
    foreach (["euclidean", "cosine"] as $distance) {
        $store = new QarbinStore(null, ["dimensions" => $dim, "distance" => $distance, "quantization" => $encoding,
            "segment_size" => $records]);
        foreach (array_chunk($base, 1000) as $chunk) $store->batchSet($chunk);
        $hits = 0;
        foreach ($queries as $qi => $q) {
            $keys = array_column($store->search($q, $k, 0), "key");
            if ($encoding === "none") $truth[$distance][$qi] = $keys;
            $hits += count(array_intersect($keys, $truth[$distance][$qi]));
        }
        $cells[] = sprintf("%.3f", $hits / ($queryCount * $k));
        $stats = $store->stats();
        $store->close();
    }
    printf("| %s | %d | %.1f | %s |\n", $encoding, $stats["bytes_per_vector"], $stats["memory_mb"], implode(" | ", $cells));
}
