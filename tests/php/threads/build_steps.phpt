--TEST--
buildIndex on one thread: two builds of the same records, one slowed by a sleeping progress callable, write identical graph areas, the graph a first search would build; each cut into steps
--FILE--
<?php
$dim = 32;
$n = 12000;
$base = sys_get_temp_dir() . "/qb_steps_" . getmypid();
function vec(int $k, int $dim): array {
    mt_srand(4100 + $k);
    $v = [];
    for ($i = 0; $i < $dim; $i++) $v[] = mt_rand(-1000, 1000) / 1000;
    return $v;
}
function build(string $dir, int $n, int $dim, ?callable $progress, bool $bySearch = false): int {
    $s = new QarbinStore($dir, ["dimensions" => $dim, "segment_size" => 12000, "threads" => 1]);
    for ($k = 0; $k < $n; $k++) $s->set("k$k", vec($k, $dim));
    $steps = 0;
    if ($bySearch) $s->search(vec(0, $dim), 1);
    else $s->buildIndex(function () use (&$steps, $progress) { $steps++; if ($progress) $progress(); });
    $s->close();
    return $steps;
}
// A broad construction beam, so that every build spans several steps of about a second.
ini_set("qarbin.hnsw_construction_ef", "400");
$quick = build("$base/a", $n, $dim, null);
$slow = build("$base/b", $n, $dim, fn() => usleep(400000));
ini_set("qarbin.auto_index_threshold", "100");
build("$base/c", $n, $dim, null, true);
echo "cut into steps: ", var_export($quick >= 2 && $slow >= 2, true), "\n";
$a = sha1_file("$base/a/seg_0000.qbseg");
echo "slowed build, same bytes: ", var_export($a === sha1_file("$base/b/seg_0000.qbseg"), true), "\n";
echo "first search's build, same bytes: ", var_export($a === sha1_file("$base/c/seg_0000.qbseg"), true), "\n";
echo "steps: $quick and $slow\n";
foreach (["a", "b", "c"] as $d) {
    unlink("$base/$d/seg_0000.qbseg");
    rmdir("$base/$d");
}
rmdir($base);
?>
--EXPECTF--
cut into steps: true
slowed build, same bytes: true
first search's build, same bytes: true
steps: %d and %d
