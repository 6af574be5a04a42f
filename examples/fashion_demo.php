<?php
// Nearest neighbours on real data: Fashion-MNIST (28 x 28 grey images of
// clothes, 784 dimensions) in a memory store, searched through the HNSW
// graph and checked against an exact scan. Writes a PNG contact sheet:
// one row per query, the query on the left, then its ten nearest neighbours.
//
//   php -n -d extension=build/qarbin.so -d extension=gd examples/fashion_demo.php [OUT.png] [RECORDS]
//
// Needs Debian's dataset-fashion-mnist (the files below) and php8.2-gd.

$dataDir = getenv("FASHION_MNIST_DIR") ?: "/usr/share/datasets/fashion-mnist";
$out = $argv[1] ?? "build/fashion_neighbours.png";
// 20 000 of the 60 000 training images keep the run well under a minute on
// two cores (the graph build is most of it); pass 60000 for all of them.
$limit = (int)($argv[2] ?? 20000);
$queryCount = 100;  // test images whose recall is measured
$shown = 10;        // of those, rows on the contact sheet (one per class)
$k = 10;

const CLASSES = ["T-shirt", "Trouser", "Pullover", "Dress", "Coat", "Sandal", "Shirt", "Sneaker", "Bag", "Boot"];

if (!extension_loaded("qarbin")) {
    fwrite(STDERR, "qarbin is not loaded: run with -d extension=/path/to/qarbin.so\n");
    exit(1);
}
if (!function_exists("imagecreatetruecolor")) {
    fwrite(STDERR, "PHP's GD extension is not loaded: install php8.2-gd and add -d extension=gd\n");
    exit(1);
}

// IDX files: a big-endian header (magic, counts, rows, columns), then one
// unsigned byte per pixel or label.
function readIdx(string $path, int $headerInts): array {
    $raw = @file_get_contents($path);
    if ($raw === false) {
        fwrite(STDERR, "Cannot read $path: install the Debian package dataset-fashion-mnist\n");
        exit(1);
    }
    $data = gzdecode($raw);
    $header = unpack("N$headerInts", $data);
    return [array_values($header), substr($data, 4 * $headerInts)];
}

[$trainHead, $trainPixels] = readIdx("$dataDir/train-images-idx3-ubyte.gz", 4);
[, $trainLabels] = readIdx("$dataDir/train-labels-idx1-ubyte.gz", 2);
[$testHead, $testPixels] = readIdx("$dataDir/t10k-images-idx3-ubyte.gz", 4);
[, $testLabels] = readIdx("$dataDir/t10k-labels-idx1-ubyte.gz", 2);
$dim = $trainHead[2] * $trainHead[3];
$limit = max(1, min($limit, $trainHead[1]));

// Pixels as floats in 0..1; unpack() numbers its elements from 1, and the
// store takes elements in order whatever their keys.
function image(string $pixels, int $i, int $dim): array {
    return array_map(fn($p) => $p / 255.0, unpack("C$dim", $pixels, $i * $dim));
}

// One segment for the whole set, so one graph answers each query.
$store = new QarbinStore(null, ["dimensions" => $dim, "distance" => "euclidean", "segment_size" => $limit]);

$t0 = microtime(true);
$batch = [];
for ($i = 0; $i < $limit; $i++) {
    $batch[] = ["key" => "train-$i", "vector" => image($trainPixels, $i, $dim), "metadata" => CLASSES[ord($trainLabels[$i])]];
    if (count($batch) === 1000 || $i === $limit - 1) {
        $store->batchSet($batch);
        $batch = [];
    }
}
$tInsert = microtime(true) - $t0;

// Queries: the first test image of each class, then the following test images.
$queries = [];
for ($i = 0, $seen = []; count($seen) < $shown && $i < $testHead[1]; $i++) {
    $label = ord($testLabels[$i]);
    if (!isset($seen[$label])) {
        $seen[$label] = true;
        $queries[] = $i;
    }
}
for ($i = 0; count($queries) < $queryCount && $i < $testHead[1]; $i++) {
    if (!in_array($i, $queries, true)) $queries[] = $i;
}
$queryVectors = array_map(fn($i) => image($testPixels, $i, $dim), $queries);

// The first graph search builds the graph (the store indexes a segment the
// first time it is searched with a precision of 1 or more).
$t0 = microtime(true);
$store->search($queryVectors[0], $k);
$tBuild = microtime(true) - $t0;

$t0 = microtime(true);
$graph = array_map(fn($q) => $store->search($q, $k), $queryVectors);
$tGraph = microtime(true) - $t0;

$t0 = microtime(true);
$exact = array_map(fn($q) => $store->search($q, $k, 0), $queryVectors);  // precision 0: exhaustive scan
$tExact = microtime(true) - $t0;

$hits = 0;
$sameClass = 0;
foreach ($graph as $qi => $rows) {
    $truth = array_column($exact[$qi], "key");
    $hits += count(array_intersect(array_column($rows, "key"), $truth));
    $label = CLASSES[ord($testLabels[$queries[$qi]])];
    foreach ($rows as $row) $sameClass += $row["metadata"] === $label ? 1 : 0;
}
$n = count($queries);

printf("Fashion-MNIST: %d training images of %d pixels in a memory store (%.1f MB)\n", $store->count(), $dim,
    $store->stats()["memory_mb"]);
printf("  insert          %6.2f s  (%.0f records/s, including the PHP-side pixel conversion)\n", $tInsert,
    $limit / $tInsert);
printf("  graph build     %6.2f s  (on the first search)\n", $tBuild);
printf("  graph search    %6.2f ms per query (%d queries, top %d, precision 50)\n", 1000 * $tGraph / $n, $n, $k);
printf("  exact scan      %6.2f ms per query (precision 0)\n", 1000 * $tExact / $n);
printf("  recall@%d       %6.3f  (graph results that the exact scan also returns)\n", $k, $hits / ($n * $k));
printf("  same class      %6.3f  (neighbours with the query's label)\n", $sameClass / ($n * $k));

// Contact sheet: each image scaled 3x, the label under it; a neighbour of
// another class than its query gets a red frame.
$scale = 3;
$cell = 28 * $scale;
$pad = 6;
$labelHeight = 14;
$gap = 14;  // between the query column and its neighbours
$width = $pad + ($cell + $pad) * ($k + 1) + $gap;
$height = $pad + 16 + ($cell + $labelHeight + $pad) * $shown;
$img = imagecreatetruecolor($width, $height);
$white = imagecolorallocate($img, 255, 255, 255);
$black = imagecolorallocate($img, 0, 0, 0);
$red = imagecolorallocate($img, 220, 30, 30);
$grey = [];
for ($g = 0; $g < 256; $g++) $grey[$g] = imagecolorallocate($img, 255 - $g, 255 - $g, 255 - $g);
imagefilledrectangle($img, 0, 0, $width - 1, $height - 1, $white);
imagestring($img, 3, $pad, 2, "query", $black);
imagestring($img, 3, $pad + $cell + $pad + $gap, 2, "its $k nearest neighbours in the store, nearest first", $black);

$draw = function (string $pixels, int $index, int $x, int $y, string $label, bool $wrong) use ($img, $grey, $scale, $cell, $red, $black) {
    for ($p = 0; $p < 784; $p++) {
        $v = ord($pixels[$index * 784 + $p]);
        $px = $x + ($p % 28) * $scale;
        $py = $y + intdiv($p, 28) * $scale;
        imagefilledrectangle($img, $px, $py, $px + $scale - 1, $py + $scale - 1, $grey[$v]);
    }
    if ($wrong) {
        imagesetthickness($img, 2);
        imagerectangle($img, $x - 1, $y - 1, $x + $cell, $y + $cell, $red);
        imagesetthickness($img, 1);
    }
    imagestring($img, 2, $x, $y + $cell + 1, $label, $wrong ? $red : $black);
};

for ($r = 0; $r < $shown; $r++) {
    $y = $pad + 16 + $r * ($cell + $labelHeight + $pad);
    $qLabel = CLASSES[ord($testLabels[$queries[$r]])];
    $draw($testPixels, $queries[$r], $pad, $y, $qLabel, false);
    foreach ($graph[$r] as $c => $row) {
        $i = (int)substr($row["key"], 6);
        $x = $pad + ($cell + $pad) * ($c + 1) + $gap;
        $draw($trainPixels, $i, $x, $y, $row["metadata"], $row["metadata"] !== $qLabel);
    }
}
if (!is_dir(dirname($out))) mkdir(dirname($out), 0777, true);
imagepng($img, $out);
echo "Contact sheet of $shown queries and their neighbours: $out\n";

// As a smoke test: the graph must find nearly what the exact scan finds.
if ($hits / ($n * $k) < 0.9) {
    fwrite(STDERR, "recall@$k below 0.9: the graph search misses neighbours\n");
    exit(1);
}
