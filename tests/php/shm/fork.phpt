--TEST--
Shared memory across processes: forked children add records, the parent sees every key once
--EXTENSIONS--
pcntl
--FILE--
<?php
$name = "t_" . getmypid() . "_fork";
QarbinStore::destroy($name);
$parent = new QarbinStore($name, ["storage" => "shm", "dimensions" => 4, "segment_size" => 64]);
$parent->set("p", [1, 1, 1, 1], "parent");
$pids = [];
for ($c = 0; $c < 2; $c++) {
    $pid = pcntl_fork();
    if ($pid === 0) {
        $child = new QarbinStore($name, ["storage" => "shm", "dimensions" => 4, "segment_size" => 64]);
        // 100 records each: more than one 64-slot segment in all, so the
        // children also create shared segments.
        for ($i = 0; $i < 100; $i++) $child->set("c{$c}_$i", [$c, $i, 1, 0], "child $c");
        $child->close();
        exit(0);
    }
    $pids[] = $pid;
}
foreach ($pids as $pid) {
    pcntl_waitpid($pid, $status);
    echo "child exit: ", pcntl_wexitstatus($status), "\n";
}
$rows = $parent->search([0, 50, 1, 0], 1000, 0);
$keys = array_column($rows, "key");
echo "rows: ", count($rows), ", distinct keys: ", count(array_unique($keys)), "\n";
echo "segments: ", $parent->stats()["segment_count"], "\n";
$fresh = new QarbinStore($name, ["storage" => "shm", "dimensions" => 4]);
echo "fresh handle count: ", $fresh->count(), "\n";
$r = $fresh->get("c1_99");
echo "c1_99: ", json_encode($r["vector"]), " ", $r["metadata"], "\n";
$fresh->close();
$parent->close();
var_dump(QarbinStore::destroy($name));
?>
--EXPECT--
child exit: 0
child exit: 0
rows: 201, distinct keys: 201
segments: 4
fresh handle count: 201
c1_99: [1,99,1,0] child 1
bool(true)
