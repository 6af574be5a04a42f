--TEST--
Killed indexers and text: a writable handle killed with SIGKILL while its search builds or extends a shared store's graph and text index hides no text; after reopening, searchText ranks as FTS5 before and after the next extension, which indexes every text
--EXTENSIONS--
pcntl
posix
sqlite3
--FILE--
<?php
function open(string $name): QarbinStore {
    return new QarbinStore($name, ["storage" => "shm", "dimensions" => 8]);
}
function textOf(int $k): string { return "w" . ($k % 50) . " w" . ($k % 7) . " word$k " . str_repeat("filler ", $k % 5); }
function fill(QarbinStore $s, int $from, int $to): void {
    for ($k = $from; $k < $to; $k++) {
        mt_srand($k);
        $s->set("k$k", array_map(fn() => mt_rand(-1000, 1000) / 1000, range(1, 8)), null, textOf($k));
    }
}
function fts(int $total, string $match): array {
    $db = new SQLite3(":memory:");
    $db->exec("CREATE VIRTUAL TABLE t USING fts5(body)");
    $db->exec("BEGIN");
    $ins = $db->prepare("INSERT INTO t(rowid, body) VALUES (?, ?)");
    for ($k = 0; $k < $total; $k++) {
        $ins->bindValue(1, $k);
        $ins->bindValue(2, textOf($k));
        $ins->execute();
    }
    $db->exec("COMMIT");
    $q = $db->prepare("SELECT rowid, -bm25(t) FROM t WHERE t MATCH ? ORDER BY bm25(t), rowid");
    $q->bindValue(1, $match);
    $out = [];
    $r = $q->execute();
    while ($row = $r->fetchArray(SQLITE3_NUM)) $out["k$row[0]"] = $row[1];
    return $out;
}
function differs(QarbinStore $s, int $total): ?string {
    foreach (["w13 w45 w6" => '"w13" OR "w45" OR "w6"', "word17 w9" => '"word17" OR "w9"'] as $q => $match) {
        $want = fts($total, $match);
        $got = array_column($s->searchText($q, 1000), "score", "key");
        ksort($want);
        ksort($got);
        if (array_keys($got) !== array_keys($want)) return "$q: " . count($got) . " rows, FTS5 " . count($want);
        foreach ($want as $k => $v) if (abs($got[$k] - $v) > 1e-5 * abs($v)) return "$q: $k scores {$got[$k]}, FTS5 $v";
    }
    return null;
}

$rounds = [["build", 30], ["build", 90], ["extend", 40], ["extend", 150]];
$faults = [];
foreach ($rounds as $r => [$what, $pauseMs]) {
    $name = "t_" . getmypid() . "_textidx$r";
    QarbinStore::destroy($name);
    $s = open($name);
    fill($s, 0, 1500);
    if ($what === "extend") {
        $s->search(array_fill(0, 8, 0.5), 1);  // the graph and text index over the first records
        fill($s, 1500, 3000);
    }
    $s->close();
    [$mine, $theirs] = stream_socket_pair(STREAM_PF_UNIX, STREAM_SOCK_STREAM, STREAM_IPPROTO_IP);
    $pid = pcntl_fork();
    if ($pid === 0) {
        fclose($mine);
        $c = open($name);
        fwrite($theirs, "go\n");
        $c->search(array_fill(0, 8, 0.1), 1);
        fwrite($theirs, "done\n");
        sleep(60);
        exit(0);
    }
    fclose($theirs);
    fgets($mine);
    usleep($pauseMs * 1000);
    posix_kill($pid, SIGKILL);
    pcntl_waitpid($pid, $status);
    fclose($mine);

    $total = $what === "extend" ? 3000 : 1500;
    $s = open($name);
    if ($d = differs($s, $total)) $faults[] = "$what after {$pauseMs}ms, reopened: $d";
    fill($s, $total, $total + 200);
    $total += 200;
    $s->search(array_fill(0, 8, 0.2), 1);
    if ($d = differs($s, $total)) $faults[] = "$what after {$pauseMs}ms, extended: $d";
    $st = $s->stats();
    if ($st["text_indexed"] !== $total || $st["text_records"] !== $total)
        $faults[] = "$what after {$pauseMs}ms: {$st['text_indexed']} of {$st['text_records']} texts indexed";
    $s->close();
    QarbinStore::destroy($name);
}
echo $faults ? implode("\n", $faults) . "\n" : "no faults\n";
?>
--EXPECT--
no faults
