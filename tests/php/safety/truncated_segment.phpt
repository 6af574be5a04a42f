--TEST--
A segment file or shared object truncated by another process is refused at the next call instead of killing the process
--EXTENSIONS--
pcntl
--FILE--
<?php
$ops = [
    "search" => fn($s) => $s->search([1, 0, 0, 0], 5),
    "get"    => fn($s) => $s->get("k1"),
    "set"    => fn($s) => $s->set("new", [1, 2, 3, 4]),
    "count"  => fn($s) => $s->count(),
    "stats"  => fn($s) => $s->stats(),
    "delete" => fn($s) => $s->delete("k1"),
    "dump"   => fn($s) => $s->dump(),
];
$dir = sys_get_temp_dir() . "/qb_trunc_" . getmypid();
foreach (["disk", "shm"] as $mode) {
    foreach ($ops as $opName => $op) {
        $name = "t_" . getmypid() . "_trunc";
        if ($mode === "disk") {
            @array_map("unlink", glob("$dir/*"));
            $s = new QarbinStore($dir, ["dimensions" => 4, "segment_size" => 64]);
            $victim = "$dir/seg_0000.qbseg";
        } else {
            QarbinStore::destroy($name);
            $s = new QarbinStore($name, ["storage" => "shm", "dimensions" => 4, "segment_size" => 64]);
            $victim = "/dev/shm/qb_{$name}_s0000";
        }
        for ($i = 0; $i < 20; $i++) $s->set("k$i", [$i, 1, 0, 0]);
        $pid = pcntl_fork();
        if ($pid === 0) {
            $f = fopen($victim, "r+");
            ftruncate($f, 0);
            exit(0);
        }
        pcntl_waitpid($pid, $status);
        $first = $second = "no exception";
        try { $op($s); } catch (QarbinException $e) { $first = $e->getMessage(); }
        try { $op($s); } catch (QarbinException $e) { $second = $e->getMessage(); }
        $first = str_replace([$dir, $name], ["DIR", "NAME"], $first);
        printf("%-5s %-7s %s | then: %s\n", $mode, $opName, $first, $second);
        unset($s);
        if ($mode === "shm") QarbinStore::destroy($name);
    }
}
@array_map("unlink", glob("$dir/*"));
@rmdir($dir);
?>
--EXPECT--
disk  search  Segment file was truncated: DIR/seg_0000.qbseg | then: Store not open
disk  get     Segment file was truncated: DIR/seg_0000.qbseg | then: Store not open
disk  set     Segment file was truncated: DIR/seg_0000.qbseg | then: Store not open
disk  count   Segment file was truncated: DIR/seg_0000.qbseg | then: no exception
disk  stats   Segment file was truncated: DIR/seg_0000.qbseg | then: no exception
disk  delete  Segment file was truncated: DIR/seg_0000.qbseg | then: no exception
disk  dump    Segment file was truncated: DIR/seg_0000.qbseg | then: Store not open
shm   search  Segment file was truncated: /qb_NAME_s0000 | then: Store not open
shm   get     Segment file was truncated: /qb_NAME_s0000 | then: Store not open
shm   set     Segment file was truncated: /qb_NAME_s0000 | then: Store not open
shm   count   Segment file was truncated: /qb_NAME_s0000 | then: no exception
shm   stats   Segment file was truncated: /qb_NAME_s0000 | then: no exception
shm   delete  Segment file was truncated: /qb_NAME_s0000 | then: no exception
shm   dump    Segment file was truncated: /qb_NAME_s0000 | then: Store not open
