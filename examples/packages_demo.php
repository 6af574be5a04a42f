<?php
// Full text and hybrid search on real data: this machine's Debian package
// descriptions, each stored with its text and a hashed TF-IDF vector of
// the same text (examples/debian_descriptions.php). Prints a few queries
// with their top packages by words (BM25) and by words and meaning
// (searchHybrid), and the time per text query beside SQLite FTS5's on the
// same texts.
//
//   php -n -d extension=build/qarbin.so -d extension=sqlite3 examples/packages_demo.php [RECORDS]
//
// Needs the English descriptions apt downloads with
// "apt-get update -o Acquire::Languages=en" and php8.2-sqlite3.

require __DIR__ . "/debian_descriptions.php";

$limit = (int)($argv[1] ?? 20000);
if (!extension_loaded("qarbin") || !class_exists("SQLite3")) {
    fwrite(STDERR, "run with -d extension=/path/to/qarbin.so -d extension=sqlite3\n");
    exit(1);
}
$t0 = microtime(true);
$packages = debianDescriptions($limit);
if (count($packages) < 100) {
    fwrite(STDERR, "No package descriptions: run apt-get update -o Acquire::Languages=en\n");
    exit(1);
}
$idf = descriptionIdf($packages);
$store = new QarbinStore(null, ["dimensions" => DESCRIPTION_DIM, "segment_size" => count($packages)]);
$rows = [];
foreach ($packages as $name => $text) {
    $rows[] = ["key" => (string)$name, "vector" => descriptionVector($text, $idf), "text" => $text];
    if (count($rows) === 1000) {
        $store->batchSet($rows);
        $rows = [];
    }
}
if ($rows) $store->batchSet($rows);
$store->buildIndex();
$st = $store->stats();
printf("%d package descriptions stored with their text and a %d-d vector in %.1f s (text index: %d terms, %.1f MB)\n",
       $st["total_count"], DESCRIPTION_DIM, microtime(true) - $t0, $st["text_terms"], $st["text_bytes"] / 1048576);

$fts = ftsIndex(array_values($packages), sys_get_temp_dir() . "/qarbin_packages_demo_" . getmypid() . ".db");
$names = array_keys($packages);

$queries = ["pdf viewer", "python http library", "bluetooth audio", "chess engine", "postgresql backup",
            "markdown editor", "network packet capture", "japanese input method"];
$short = fn(string $text) => strtok($text, "\n");
foreach ($queries as $q) {
    echo "\n\"$q\"\n";
    echo "  words:  ";
    foreach ($store->searchText($q, 5) as $r) echo $r["key"], "  ";
    echo "\n  hybrid: ";
    foreach ($store->searchHybrid(descriptionVector($q, $idf), $q, 5) as $r) echo $r["key"], "  ";
    echo "\n";
    $top = $store->searchText($q, 1)[0] ?? null;
    if ($top) echo "          best by words: {$top["key"]}: ", $short($top["text"]), "\n";
}

// Time per query, in the same process, on the same texts.
$words = fn(string $q) => array_values(array_unique(descriptionWords($q)));
$rounds = 20;
$t = microtime(true);
for ($i = 0; $i < $rounds; $i++) foreach ($queries as $q) $store->searchText($q, 10);
$ours = (microtime(true) - $t) / ($rounds * count($queries));
$t = microtime(true);
for ($i = 0; $i < $rounds; $i++) foreach ($queries as $q) ftsSearch($fts, $words($q), 10);
$theirs = (microtime(true) - $t) / ($rounds * count($queries));
$same = 0;
foreach ($queries as $q) {
    $a = array_column($store->searchText($q, 10), "key");
    $b = array_map(fn($id) => $names[$id - 1], array_keys(ftsSearch($fts, $words($q), 10)));
    $same += count(array_intersect($a, $b)) / max(1, count($b));
}
printf("\ntext query: qarbin %.3f ms, SQLite FTS5 %.3f ms (mean of %d; top-10 overlap with FTS5 %.2f)\n", $ours * 1000,
       $theirs * 1000, $rounds * count($queries), $same / count($queries));
$fts->close();
@unlink(sys_get_temp_dir() . "/qarbin_packages_demo_" . getmypid() . ".db");
