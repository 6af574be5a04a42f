--TEST--
compact() of a shm store while forked children write and search: every acknowledged write is there afterwards, every record is found by its own vector, no child fails
--EXTENSIONS--
pcntl
--FILE--
<?php
$name = "compact_fork_" . getmypid();
$stop = sys_get_temp_dir() . "/qarbin_compact_stop_" . getmypid();
@unlink($stop);
QarbinStore::destroy($name);
$opts = ["storage" => "shm", "dimensions" => 4, "segment_size" => 128, "distance" => "euclidean"];
$parent = new QarbinStore($name, $opts);
function vec(int $w, int $k, int $v): array { return [$w + 1, $k, $v, ($w * 131 + $k * 7 + $v) % 17]; }

$pids = [];
for ($w = 0; $w < 3; $w++) {
    $pid = pcntl_fork();
    if ($pid === 0) {
        $s = new QarbinStore($name, $opts);
        $last = [];
        $v = 0;
        $after = 0;
        mt_srand($w);
        while ($after < 100) {
            if (file_exists($stop)) $after++;
            if ($w === 2) {  // the searcher
                $s->search([mt_rand(0, 3), mt_rand(0, 40), mt_rand(0, 400), 1], 5, mt_rand(0, 1) * 50);
                continue;
            }
            $k = mt_rand(0, 39);
            if (mt_rand(0, 9) === 0) {
                $s->delete("w{$w}_$k");
                $last[$k] = -1;
                continue;
            }
            $s->set("w{$w}_$k", vec($w, $k, ++$v));
            $last[$k] = $v;
        }
        file_put_contents("$stop.$w", json_encode($last));
        exit(0);
    }
    $pids[] = $pid;
}
for ($i = 0; $i < 5; $i++) {
    usleep(20000);
    $parent->compact();
}
touch($stop);
$ok = true;
foreach ($pids as $pid) {
    pcntl_waitpid($pid, $status);
    $ok = $ok && pcntl_wifexited($status) && pcntl_wexitstatus($status) === 0;
}
echo "children exited cleanly: ", var_export($ok, true), "\n";

$check = new QarbinStore($name, $opts);
$lost = $ghosts = $unfound = $live = 0;
for ($w = 0; $w < 2; $w++) {
    foreach (json_decode(file_get_contents("$stop.$w"), true) as $k => $v) {
        $r = $check->get("w{$w}_$k");
        if ($v < 0) {
            if ($r !== null) $ghosts++;
            continue;
        }
        $live++;
        $want = array_map("floatval", vec($w, $k, $v));
        if ($r === null || $r["vector"] !== $want) $lost++;
        $hit = $check->search($want, 1, 0);
        if (($hit[0]["key"] ?? null) !== "w{$w}_$k") $unfound++;
    }
    unlink("$stop.$w");
}
echo "lost $lost, deleted but present $ghosts, not found by own vector $unfound, count matches: ",
    var_export($check->count() === $live, true), "\n";
@unlink($stop);
QarbinStore::destroy($name);
?>
--EXPECT--
children exited cleanly: true
lost 0, deleted but present 0, not found by own vector 0, count matches: true
