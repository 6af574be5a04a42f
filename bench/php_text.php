<?php
// Full text against SQLite FTS5 on Debian's package descriptions, in one
// PHP process: top-10 overlap and score agreement, queries per second,
// index size; searchHybrid against its two searches; writes with text
// against writes without (graph and text indexing included).
//
//   php -n -d extension=build/qarbin.so -d extension=sqlite3 -d memory_limit=4G bench/php_text.php [DOCS] [QUERIES]
//
// Prints a Markdown section; goal rows go to the file named by QARBIN_BENCH_GOALS when it is set.

require __DIR__ . "/../examples/debian_descriptions.php";

$docs = (int)($argv[1] ?? 20000);
$queryCount = (int)($argv[2] ?? 200);
$packages = debianDescriptions($docs);
$texts = array_values($packages);
$names = array_map("strval", array_keys($packages));
$idf = descriptionIdf($texts);
$vectors = array_map(fn($t) => descriptionVector($t, $idf), $texts);
$textMb = array_sum(array_map("strlen", $texts)) / 1048576;
$goals = getenv('QARBIN_BENCH_GOALS') ?: null;
$rows = [];

function load(array $names, array $vectors, ?array $texts): array {
    $t = microtime(true);
    $s = new QarbinStore(null, ["dimensions" => DESCRIPTION_DIM, "segment_size" => count($names), "threads" => 1]);
    for ($i = 0; $i < count($names); $i += 1000) {
        $batch = [];
        for ($j = $i; $j < min($i + 1000, count($names)); $j++)
            $batch[] = ["key" => $names[$j], "vector" => $vectors[$j]] + ($texts ? ["text" => $texts[$j]] : []);
        $s->batchSet($batch);
    }
    $s->buildIndex();
    return [$s, microtime(true) - $t];
}

[$plain, $plainTime] = load($names, $vectors, null);
unset($plain);
[$store, $textTime] = load($names, $vectors, $texts);
$rows[] = sprintf("| batchSet of every record + buildIndex, s | %.2f with text | %.2f without | %.2fx |", $textTime, $plainTime,
                  $textTime / $plainTime);

$dbPath = sys_get_temp_dir() . "/qarbin_bench_text_" . getmypid() . ".db";
$t = microtime(true);
$fts = ftsIndex($texts, $dbPath);
$ftsSize = $fts->querySingle("PRAGMA page_count") * $fts->querySingle("PRAGMA page_size");
$ftsBuild = microtime(true) - $t;
$ourBytes = $store->stats()["text_bytes"];
$rows[] = sprintf("| index bytes | %d | %d | %.2fx |", $ourBytes, $ftsSize, $ourBytes / $ftsSize);

// Queries of one to three words drawn from random descriptions.
mt_srand(42);
$queries = [];
while (count($queries) < $queryCount) {
    $words = array_values(array_filter(descriptionWords($texts[mt_rand(0, count($texts) - 1)]),
                                       fn($w) => preg_match('/^[a-z][a-z0-9]{2,}$/', $w)));
    if (!$words) continue;
    $n = mt_rand(1, 3);
    $q = [];
    for ($i = 0; $i < $n; $i++) $q[] = $words[mt_rand(0, count($words) - 1)];
    $queries[] = array_values(array_unique($q));
}

$overlap = 0.0;
$worst = 0.0;
foreach ($queries as $q) {
    $ours = [];
    foreach ($store->searchText(implode(" ", $q), 10) as $r) $ours[$r["key"]] = $r["score"];
    $theirs = [];
    foreach (ftsSearch($fts, $q, 10) as $id => $score) $theirs[$names[$id - 1]] = $score;
    $common = array_intersect_key($ours, $theirs);
    $overlap += count($theirs) ? count($common) / count($theirs) : 1.0;
    foreach ($common as $k => $s) $worst = max($worst, abs($s - $theirs[$k]) / abs($theirs[$k]));
}
$overlap /= count($queries);
$rows[] = sprintf("| mean top-10 overlap with FTS5 | %.4f | | |", $overlap);
$rows[] = sprintf("| largest relative score difference | %.1e | | |", $worst);

function timed(callable $run, int $rounds): float {
    $times = [];
    for ($r = 0; $r < $rounds; $r++) {
        $t = microtime(true);
        $run();
        $times[] = microtime(true) - $t;
    }
    sort($times);
    return $times[intdiv($rounds, 2)];
}
$rounds = 5;
$oursTime = timed(function () use ($store, $queries) { foreach ($queries as $q) $store->searchText(implode(" ", $q), 10); }, $rounds);
$ftsTime = timed(function () use ($fts, $queries) { foreach ($queries as $q) ftsSearch($fts, $q, 10); }, $rounds);
$rows[] = sprintf("| text queries per second (searchText, top 10) | %.0f | %.0f | %.2fx |", count($queries) / $oursTime,
                  count($queries) / $ftsTime, $ftsTime / $oursTime);

$qv = array_map(fn($q) => descriptionVector(implode(" ", $q), $idf), $queries);
$hybrid = timed(function () use ($store, $queries, $qv) {
    foreach ($queries as $i => $q) $store->searchHybrid($qv[$i], implode(" ", $q), 10);
}, $rounds);
$parts = timed(function () use ($store, $queries, $qv) {
    foreach ($queries as $i => $q) {
        $store->search($qv[$i], 50);
        $store->searchText(implode(" ", $q), 50);
    }
}, $rounds);
$rows[] = sprintf("| searchHybrid top 10, ms per query | %.3f | %.3f (search 50 + searchText 50) | %.2fx |",
                  $hybrid / count($queries) * 1000, $parts / count($queries) * 1000, $hybrid / $parts);
$fts->close();
@unlink($dbPath);

echo "### 12. Full text through the store, from PHP: searchText and searchHybrid against SQLite FTS5\n\n";
printf("bench/php_text.php: %d Debian package descriptions (%.1f MB, apt's Translation-en lists), each stored by\n", count($texts), $textMb);
printf("batchSet with its text and a %d-d hashed TF-IDF vector (examples/debian_descriptions.php) in one memory\n", DESCRIPTION_DIM);
echo "segment, one thread; FTS5 a contentless table in a file after optimize, in the same PHP process (SQLite3).\n";
printf("%d queries of one to three words of random descriptions (fixed seed), OR between them; query rates are\n", count($queries));
printf("medians of %d passes. The machine is shared with other builds and tests: read the ratios.\n\n", $rounds);
echo "| figure | qarbin | other side | ratio |\n|---|---:|---:|---:|\n";
echo implode("\n", $rows), "\n\n";
if ($goals) {
    $g = [
        sprintf("| full text: mean top-10 overlap with FTS5 >= 0.95, scores within 1e-3 (%d descriptions, %d queries) | %.4f, largest difference %.1e | %s |",
                count($texts), count($queries), $overlap, $worst, $overlap >= 0.95 && $worst <= 1e-3 ? "met" : "missed"),
        sprintf("| searchText QPS >= 1.0x FTS5's, same PHP process | %.2fx | %s |", $ftsTime / $oursTime, $ftsTime <= $oursTime ? "missed" : "met"),
        sprintf("| text index size <= 1.5x FTS5's index | %.2fx | %s |", $ourBytes / $ftsSize, $ourBytes <= 1.5 * $ftsSize ? "met" : "missed"),
        sprintf("| searchHybrid <= 1.2x its vector search plus its text search | %.2fx | %s |", $hybrid / $parts, $hybrid <= 1.2 * $parts ? "met" : "missed"),
        sprintf("| writes with text (batchSet + buildIndex) <= 1.5x writes without | %.2fx | %s |", $textTime / $plainTime, $textTime <= 1.5 * $plainTime ? "met" : "missed"),
    ];
    file_put_contents($goals, implode("\n", $g) . "\n", FILE_APPEND);
}
