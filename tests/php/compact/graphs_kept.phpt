--TEST--
compact() builds the new segments' graphs before anybody is switched to them: forked read-only readers searching during shm compactions never see "index_status" "none" nor a record without a graph node, and memory and disk stores are indexed right after compact()
--EXTENSIONS--
pcntl
--FILE--
<?php
$name = "t_" . getmypid() . "_cgraph";
$dir = sys_get_temp_dir() . "/qb_cgraph_" . getmypid();
$stop = sys_get_temp_dir() . "/qb_cgraph_stop_" . getmypid();
@unlink($stop);
$dim = 16;
function vec(int $i, int $dim): array {
    mt_srand($i);
    $v = [];
    for ($d = 0; $d < $dim; $d++) $v[] = mt_rand(-1000, 1000) / 1000;
    return $v;
}
// 1500 records, 500 of them rewritten (dead slots for compact() to give back).
function fill(QarbinStore $s, int $dim): void {
    for ($i = 0; $i < 1500; $i++) $s->set("k$i", vec($i, $dim));
    for ($i = 0; $i < 500; $i++) $s->set("k$i", vec($i + 5000, $dim));
    $s->buildIndex();
}

QarbinStore::destroy($name);
$opts = ["storage" => "shm", "dimensions" => $dim, "segment_size" => 1024];
$w = new QarbinStore($name, $opts);
fill($w, $dim);
$pids = [];
for ($r = 0; $r < 2; $r++) {
    $pid = pcntl_fork();
    if ($pid === 0) {
        $s = new QarbinStore($name, $opts + ["writable" => false]);
        $queries = $none = $maxUnindexed = 0;
        $generations = [];
        mt_srand(100 + $r);
        while (!file_exists($stop)) {
            $s->search(vec(mt_rand(0, 1499), $dim), 10);
            $st = $s->stats();
            $queries++;
            if ($st["index_status"] === "none") $none++;
            $maxUnindexed = max($maxUnindexed, $st["unindexed_count"]);
            $generations[$st["segment_count"] . "/" . $st["dead_count"]] = true;
        }
        file_put_contents("$stop.$r", json_encode([$queries, $none, $maxUnindexed, count($generations)]));
        exit(0);
    }
    $pids[] = $pid;
}
usleep(100000);
$reclaimed = [];
for ($i = 0; $i < 3; $i++) {
    // Deletes leave dead slots without adding records that no graph covers.
    for ($k = 0; $k < 100; $k++) $w->delete("k" . (600 + $i * 100 + $k));
    $reclaimed[] = $w->compact();
    usleep(100000);
}
touch($stop);
foreach ($pids as $pid) pcntl_waitpid($pid, $status);
echo "slots given back: ", implode(", ", $reclaimed), "\n";
for ($r = 0; $r < 2; $r++) {
    [$queries, $none, $maxUnindexed, $views] = json_decode(file_get_contents("$stop.$r"), true);
    printf("reader %d: searched %s, saw more than one generation %s, \"none\" %d times, most unindexed %d\n", $r,
           $queries > 0 ? "yes" : "no", $views > 1 ? "yes" : "no", $none, $maxUnindexed);
}
$st = $w->stats();
printf("shm after: %s, unindexed %d, count %d\n", $st["index_status"], $st["unindexed_count"], $st["count"] ?? $w->count());
$w->close();
QarbinStore::destroy($name);

foreach (["memory" => [null, ["storage" => "memory"]], "disk" => [$dir, []]] as $mode => [$where, $o]) {
    $s = new QarbinStore($where, $o + ["dimensions" => $dim, "segment_size" => 1024]);
    fill($s, $dim);
    $given = $s->compact();
    $st = $s->stats();
    printf("%s: %d slots given back, %s, unindexed %d, nearest to k1000 is %s\n", $mode, $given, $st["index_status"],
           $st["unindexed_count"], $s->search(vec(1000, $dim), 1)[0]["key"]);
    $s->close();
}
@array_map("unlink", glob("$dir/*"));
@rmdir($dir);
@unlink($stop);
@unlink("$stop.0");
@unlink("$stop.1");
?>
--EXPECT--
slots given back: 600, 100, 100
reader 0: searched yes, saw more than one generation yes, "none" 0 times, most unindexed 0
reader 1: searched yes, saw more than one generation yes, "none" 0 times, most unindexed 0
shm after: ready, unindexed 0, count 1200
memory: 500 slots given back, ready, unindexed 0, nearest to k1000 is k1000
disk: 500 slots given back, ready, unindexed 0, nearest to k1000 is k1000
