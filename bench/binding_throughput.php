<?php
// Throughput of the PHP binding, memory mode:
//   php -n -d memory_limit=4G -d extension=<build>/qarbin.so bench/binding_throughput.php
// set and batchSet records per second (20000 records), exhaustive search
// latency over 10000 records, and the binding's own cost per call: a search
// with topK 0 converts the query and returns before the store searches.
function vectors(int $n, int $dim): array {
    mt_srand(42);
    $out = [];
    for ($i = 0; $i < $n; $i++) {
        $v = [];
        for ($j = 0; $j < $dim; $j++) $v[] = mt_rand() / mt_getrandmax() - 0.5;
        $out[] = $v;
    }
    return $out;
}
function median(array $xs): float {
    sort($xs);
    return $xs[intdiv(count($xs), 2)];
}
ini_set("qarbin.auto_index_threshold", "0");
foreach ([128, 1536] as $dim) {
    $n = 20000;
    $data = vectors($n, $dim);
    $set = $batch = [];
    for ($rep = 0; $rep < 3; $rep++) {
        $s = new QarbinStore(null, ["dimensions" => $dim, "segment_size" => $n]);
        $t = hrtime(true);
        foreach ($data as $i => $v) $s->set("k$i", $v);
        $set[] = $n / ((hrtime(true) - $t) / 1e9);
        $s->close();
        $records = [];
        foreach ($data as $i => $v) $records[] = ["key" => "k$i", "vector" => $v];
        $s = new QarbinStore(null, ["dimensions" => $dim, "segment_size" => $n]);
        $t = hrtime(true);
        $s->batchSet($records);
        $batch[] = $n / ((hrtime(true) - $t) / 1e9);
        $s->close();
    }
    printf("dim %4d: set %.0f rec/s, batchSet %.0f rec/s (median of 3)\n", $dim, median($set), median($batch));

    $s = new QarbinStore(null, ["dimensions" => $dim, "segment_size" => 10000]);
    for ($i = 0; $i < 10000; $i++) $s->set("k$i", $data[$i]);
    foreach ([0, 1, 10, 100] as $k) {
        $lat = [];
        for ($r = 0; $r < ($k ? 41 : 5001); $r++) {
            $t = hrtime(true);
            $s->search($data[123], $k, 0);
            $lat[] = (hrtime(true) - $t) / 1e3;
        }
        printf("dim %4d: search of 10000 records, topK %3d, precision 0: median %.2f us\n", $dim, $k, median($lat));
    }
    $s->close();
}
