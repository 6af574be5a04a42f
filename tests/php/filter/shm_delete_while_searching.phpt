--TEST--
deleteWhere in a shared store while another process runs filtered searches: every row the searcher sees matches its filter and carries its own metadata, the deleted source is gone for both afterwards
--EXTENSIONS--
pcntl
--FILE--
<?php
$name = "t_" . getmypid() . "_dws";
QarbinStore::destroy($name);
$opts = ["storage" => "shm", "dimensions" => 4, "segment_size" => 512];
$s = new QarbinStore($name, $opts);
for ($i = 0; $i < 1500; $i++) {
    $s->set("c$i", [$i % 13, $i % 7, $i % 5, 1], json_encode(["source" => "s" . ($i % 10), "lang" => $i % 2 ? "en" : "de", "i" => $i]));
}
$s->search([1, 1, 1, 1]);  // builds the graphs
$pipe = tempnam(sys_get_temp_dir(), "qb");
$pid = pcntl_fork();
if ($pid === 0) {
    $c = new QarbinStore($name, $opts);
    $bad = 0;
    $rounds = 0;
    $deadline = microtime(true) + 20;
    // Searches until the parent has deleted source s3 and the searcher has
    // seen it gone, checking every row on the way.
    do {
        $rows = $c->search([$rounds % 13, $rounds % 7, 2, 1], 20, $rounds % 2 ? 50 : 0, ["lang" => "en"]);
        $seenS3 = false;
        foreach ($rows as $r) {
            $m = json_decode($r["metadata"], true);
            if (!is_array($m) || $m["lang"] !== "en" || "c" . $m["i"] !== $r["key"]) $bad++;
            if (($m["source"] ?? "") === "s3") $seenS3 = true;
        }
        if (count($rows) !== 20) $bad++;
        $rounds++;
    } while ((!file_exists("$pipe.done") || $seenS3 || $rounds < 50) && microtime(true) < $deadline);
    $after = count($c->search([3, 3, 3, 1], 1000, 0, ["source" => "s3"]));
    file_put_contents($pipe, "bad $bad, s3 rows after $after, timed out " . var_export(microtime(true) >= $deadline, true));
    $c->close();
    exit(0);
}
usleep(20000);
$deleted = $s->deleteWhere(["source" => "s3"]);
touch("$pipe.done");
pcntl_waitpid($pid, $status);
echo "deleted $deleted, child exit ", pcntl_wexitstatus($status), "\n";
echo file_get_contents($pipe), "\n";
echo "parent: count ", $s->count(), ", s3 rows ", count($s->search([3, 3, 3, 1], 1000, 0, ["source" => "s3"])),
    ", has c3 ", var_export($s->has("c3"), true), "\n";
unlink($pipe);
unlink("$pipe.done");
$s->close();
QarbinStore::destroy($name);
?>
--EXPECT--
deleted 150, child exit 0
bad 0, s3 rows after 0, timed out false
parent: count 1350, s3 rows 0, has c3 false
