--TEST--
Killed indexers: a writable handle killed with SIGKILL while its search extends or builds a shared store's graph hides no record; after the next extension every record is found by its own vector at the default precision
--EXTENSIONS--
pcntl
posix
--FILE--
<?php
$dim = 48;
function vec(int $k, int $dim): array {
    mt_srand(7000 + $k);
    $v = [];
    for ($i = 0; $i < $dim; $i++) $v[] = mt_rand(-1000, 1000) / 1000;
    return $v;
}
function open(string $name, int $dim): QarbinStore {
    return new QarbinStore($name, ["storage" => "shm", "dimensions" => $dim]);
}
function fill(QarbinStore $s, int $from, int $to, int $dim): void {
    for ($k = $from; $k < $to; $k++) $s->set("k$k", vec($k, $dim));
}

// [what the killed child does, pause before the kill in ms]
$rounds = [["extend", 60], ["extend", 120], ["extend", 250], ["build", 80], ["build", 200]];
$faults = [];
foreach ($rounds as $r => [$what, $pauseMs]) {
    $name = "t_" . getmypid() . "_idx$r";
    QarbinStore::destroy($name);
    $s = open($name, $dim);
    fill($s, 0, 1500, $dim);
    if ($what === "extend") {
        $s->search(vec(0, $dim), 1);  // the graph over the first records
        fill($s, 1500, 3000, $dim);
    }
    $s->close();

    [$mine, $theirs] = stream_socket_pair(STREAM_PF_UNIX, STREAM_SOCK_STREAM, STREAM_IPPROTO_IP);
    $pid = pcntl_fork();
    if ($pid === 0) {
        fclose($mine);
        $c = open($name, $dim);
        fwrite($theirs, "go\n");
        $c->search(vec(1, $dim), 1);
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
    $s = open($name, $dim);
    fill($s, $total, $total + 200, $dim);  // enough for the next extension
    $total += 200;
    $s->search(vec(2, $dim), 1);
    $lost = 0;
    for ($k = 0; $k < $total; $k++) {
        $rows = $s->search(vec($k, $dim), 1);
        if (($rows[0]["key"] ?? null) !== "k$k") $lost++;
    }
    if ($lost) $faults[] = "$what after {$pauseMs}ms: $lost of $total not found";
    $st = $s->stats();
    if ($st["unindexed_count"] !== 0) $faults[] = "$what after {$pauseMs}ms: {$st['unindexed_count']} unindexed";
    $s->close();
    QarbinStore::destroy($name);
}
echo $faults ? implode("\n", $faults) . "\n" : "no faults\n";
?>
--EXPECT--
no faults
