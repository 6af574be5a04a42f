<?php
// Debian's package descriptions as a text corpus, and an embedding computed
// from the texts themselves: hashed TF-IDF. Each word (lower-cased runs of
// letters and digits) is hashed to one of DIM signed coordinates, weighted
// by log(1 + tf) times its idf over the corpus, and the vector normalized.
// Signed feature hashing is a random projection of the TF-IDF vector, so
// texts sharing rare words get close vectors. Used by the package demo and
// bench/php_text.php.

const DESCRIPTION_DIM = 256;

// The English descriptions apt keeps once "apt-get update -o
// Acquire::Languages=en" has run: [package => "short\nlong"], at most $limit.
function debianDescriptions(int $limit): array {
    $files = glob("/var/lib/apt/lists/*_i18n_Translation-en*");
    $out = [];
    foreach ($files as $file) {
        $text = shell_exec("/usr/lib/apt/apt-helper cat-file " . escapeshellarg($file));
        if (!is_string($text)) continue;
        foreach (explode("\n\n", $text) as $block) {
            if (!preg_match('/^Package: (\S+)$/m', $block, $p)) continue;
            if (!preg_match('/^Description-en: (.*)((?:\n .*)*)/m', $block, $d)) continue;
            $long = preg_replace('/^ \.?/m', '', ltrim($d[2], "\n"));
            $out[$p[1]] ??= trim($d[1] . "\n" . $long);
            if (count($out) >= $limit) return $out;
        }
    }
    return $out;
}

function descriptionWords(string $text): array {
    preg_match_all('/[\p{L}\p{N}]+/u', strtolower($text), $m);
    return $m[0];
}

// Document frequencies of the words of $texts.
function descriptionIdf(array $texts): array {
    $df = [];
    foreach ($texts as $t) foreach (array_unique(descriptionWords($t)) as $w) $df[$w] = ($df[$w] ?? 0) + 1;
    $n = count($texts);
    foreach ($df as $w => $f) $df[$w] = log(($n + 1) / ($f + 1)) + 1;
    return $df;
}

function descriptionVector(string $text, array $idf): array {
    $v = array_fill(0, DESCRIPTION_DIM, 0.0);
    $tf = array_count_values(descriptionWords($text));
    foreach ($tf as $w => $f) {
        $h = crc32((string)$w);
        $v[$h % DESCRIPTION_DIM] += (($h >> 16) & 1 ? 1 : -1) * log(1 + $f) * ($idf[$w] ?? log(2) + 1);
    }
    $norm = sqrt(array_sum(array_map(fn($x) => $x * $x, $v)));
    if ($norm == 0) $v[0] = 1.0;
    else foreach ($v as $i => $x) $v[$i] = $x / $norm;
    return $v;
}

// The same texts in SQLite FTS5: rowid i is the i-th package. A file, so
// that its size can be read; contentless, so that it holds the index only.
function ftsIndex(array $texts, string $path): SQLite3 {
    @unlink($path);
    $db = new SQLite3($path);
    $db->exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF");
    $db->exec("CREATE VIRTUAL TABLE docs USING fts5(body, content='')");
    $db->exec("BEGIN");
    $ins = $db->prepare("INSERT INTO docs(rowid, body) VALUES (?, ?)");
    $i = 0;
    foreach ($texts as $t) {
        $ins->bindValue(1, ++$i);
        $ins->bindValue(2, $t);
        $ins->execute();
    }
    $db->exec("COMMIT");
    $db->exec("INSERT INTO docs(docs) VALUES('optimize')");
    return $db;
}

// FTS5's best $k rows for the words of $query joined by OR: [rowid => -bm25].
function ftsSearch(SQLite3 $db, array $words, int $k): array {
    if (!$words) return [];
    $match = implode(" OR ", array_map(fn($w) => '"' . str_replace('"', '""', $w) . '"', $words));
    $st = $db->prepare("SELECT rowid, -bm25(docs) FROM docs WHERE docs MATCH ? ORDER BY bm25(docs) LIMIT $k");
    $st->bindValue(1, $match);
    $r = $st->execute();
    $out = [];
    while ($row = $r->fetchArray(SQLITE3_NUM)) $out[$row[0]] = $row[1];
    return $out;
}
