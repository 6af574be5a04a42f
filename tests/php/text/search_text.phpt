--TEST--
searchText in every mode ranks as SQLite FTS5's bm25() over the live texts: before and after indexing, after deletes, replacements and compaction, with a filter and a score floor; queries without words give no rows
--EXTENSIONS--
sqlite3
--FILE--
<?php
$dir = sys_get_temp_dir() . "/qb_text_search_" . getmypid();
$shm = "t_" . getmypid() . "_textsearch";
QarbinStore::destroy($shm);
$corpus = [
    "Café au lait, CAFÉ noir: the café's menu (2024 edition).",
    "Naïve résumé of a naive RESUME; déjà vu at 10:30.",
    "Error E1234: disk /dev/sda1 full (98.7% used) at 03:14:15.",
    "Zoë, Chloë and Noël met in Ñuñoa near the café.",
    "the the the THE The tHe — a record full of one word the",
    "Version 3.14.159 or v2; build #42; price \$19.99 or 19,99€.",
    "",
    "... --- !!! ???",
    "disk full again: the café closed",
    "Ελληνικά και русский текст и 中文字符 mixed with the café",
];
$queries = ["café", "the disk", "naive résumé", "e1234", "19", "中文字符", "full again", "nothing here", "CAFE the"];

// FTS5 over the same texts: key => -bm25, best first.
function reference(array $live, string $query): array {
    $db = new SQLite3(":memory:");
    $db->exec("CREATE VIRTUAL TABLE t USING fts5(k UNINDEXED, body)");
    $ins = $db->prepare("INSERT INTO t(k, body) VALUES (?, ?)");
    foreach ($live as $k => $text) {
        $ins->bindValue(1, $k);
        $ins->bindValue(2, $text);
        $ins->execute();
    }
    // Each word quoted, joined by OR: the same words the store searches for.
    $db2 = new SQLite3(":memory:");
    $db2->exec("CREATE VIRTUAL TABLE p USING fts5(body)");
    $db2->exec("CREATE VIRTUAL TABLE v USING fts5vocab(p, 'instance')");
    $st = $db2->prepare("INSERT INTO p(rowid, body) VALUES (1, ?)");
    $st->bindValue(1, $query);
    $st->execute();
    $words = [];
    $r = $db2->query("SELECT term FROM v ORDER BY offset");
    while ($row = $r->fetchArray(SQLITE3_NUM)) $words[$row[0]] = '"' . str_replace('"', '""', $row[0]) . '"';
    if (!$words) return [];
    $q = $db->prepare("SELECT k, -bm25(t) FROM t WHERE t MATCH ? ORDER BY bm25(t), k");
    $q->bindValue(1, implode(" OR ", $words));
    $out = [];
    $r = $q->execute();
    while ($row = $r->fetchArray(SQLITE3_NUM)) $out[$row[0]] = $row[1];
    return $out;
}

function check(QarbinStore $s, array $live, string $when): void {
    $bad = [];
    foreach ($GLOBALS["queries"] as $q) {
        $want = reference($live, $q);
        $rows = $s->searchText($q, 100);
        $got = [];
        foreach ($rows as $r) $got[$r["key"]] = $r["score"];
        if (array_keys($got) != array_keys($want) && count($got) === count($want)) {
            // Equal scores may come in another order: FTS5 breaks ties by rowid, the store by key.
            ksort($got);
            ksort($want);
        }
        if (array_keys($got) !== array_keys($want)) { $bad[] = "$q: keys differ"; continue; }
        foreach ($want as $k => $score) if (abs($got[$k] - $score) > 1e-5 * abs($score)) $bad[] = "$q: $k scores {$got[$k]}, FTS5 $score";
        foreach ($rows as $r) if ($r["text"] !== $live[$r["key"]]) $bad[] = "$q: text of {$r["key"]}";
    }
    echo "$when: ", $bad ? implode("; ", $bad) : "as FTS5", "\n";
}

$open = [
    "memory" => fn() => new QarbinStore(null, ["dimensions" => 2, "segment_size" => 4]),
    "disk" => fn() => new QarbinStore($dir, ["dimensions" => 2, "segment_size" => 4]),
    "shm" => fn() => new QarbinStore($shm, ["storage" => "shm", "dimensions" => 2, "segment_size" => 4]),
];
foreach ($open as $mode => $make) {
    $s = $make();
    $live = [];
    foreach ($corpus as $i => $t) {
        $s->set("k$i", [1, $i], json_encode(["n" => $i]), $t);
        $live["k$i"] = $t;
    }
    $s->set("plain", [1, 1]);
    check($s, $live, "$mode stored");
    $s->buildIndex();
    echo "$mode indexed: ", $s->stats()["text_indexed"], " of ", $s->stats()["text_records"], "\n";
    check($s, $live, "$mode indexed");
    $s->delete("k0");
    unset($live["k0"]);
    $s->set("k3", [1, 3], null, "café café, replaced");
    $live["k3"] = "café café, replaced";
    $s->set("k8", [1, 8], null, "no longer about it");
    $live["k8"] = "no longer about it";
    check($s, $live, "$mode deleted and replaced");
    $s->compact();
    check($s, $live, "$mode compacted");
    $rows = $s->searchText("café", 10, ["n" => ['$gte' => 5]]);
    echo "$mode filtered: ", implode(",", array_column($rows, "key")), "\n";
    $all = $s->searchText("café the", 10);
    $floor = $all[2]["score"];
    echo "$mode floor: ", count($s->searchText("café the", 10, null, $floor)), " rows at or above the third\n";
    echo "$mode top 2: ", implode(",", array_column($s->searchText("café the", 2), "key")) === implode(",", array_column(array_slice($all, 0, 2), "key")) ? "the first two" : "other", "\n";
    foreach (["", "   ", "... !!! ---", "\u{301}"] as $q) {
        if ($s->searchText($q) !== []) echo "$mode: rows for ", json_encode($q), "\n";
    }
    $s->close();
}
foreach (["topK 0" => fn($s) => $s->searchText("café", 0), "NaN floor" => fn($s) => $s->searchText("café", 5, null, NAN),
          "bad filter" => fn($s) => $s->searchText("café", 5, ['$nope' => 1])] as $what => $call) {
    try {
        $out = json_encode($call(new QarbinStore(null, ["dimensions" => 2])));
        echo "$what: $out\n";
    } catch (QarbinException $e) {
        echo "$what: ", $e->getMessage(), "\n";
    }
}
array_map("unlink", glob("$dir/*"));
rmdir($dir);
QarbinStore::destroy($shm);
?>
--EXPECT--
memory stored: as FTS5
memory indexed: 10 of 10
memory indexed: as FTS5
memory deleted and replaced: as FTS5
memory compacted: as FTS5
memory filtered: k9
memory floor: 3 rows at or above the third
memory top 2: the first two
disk stored: as FTS5
disk indexed: 10 of 10
disk indexed: as FTS5
disk deleted and replaced: as FTS5
disk compacted: as FTS5
disk filtered: k9
disk floor: 3 rows at or above the third
disk top 2: the first two
shm stored: as FTS5
shm indexed: 10 of 10
shm indexed: as FTS5
shm deleted and replaced: as FTS5
shm compacted: as FTS5
shm filtered: k9
shm floor: 3 rows at or above the third
shm top 2: the first two
topK 0: []
NaN floor: minScore must not be NaN
bad filter: Unknown filter operator '$nope'
