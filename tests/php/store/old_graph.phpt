--TEST--
A graph built by nearest-only neighbour lists (older versions) still opens, searches as the exact scan does, and takes new records
--FILE--
<?php
// 300 records of dimension 8 in 10 clusters, Euclidean, one segment whose
// graph an older version built (keys k0..k299, metadata "c<cluster>").
$dir = sys_get_temp_dir() . "/qarbin_old_graph_" . getmypid();
@mkdir($dir);
file_put_contents("$dir/seg_0000.qbseg", gzdecode(file_get_contents(__DIR__ . "/fixtures/old_rule_graph.qbseg.gz")));

function agree(QarbinStore $s, array $keys): string {
    $same = 0;
    foreach ($keys as $k) {
        $v = $s->get($k)["vector"];
        // Scores, not keys: records at equal distance may come in any order.
        $graph = array_column($s->search($v, 10), "score");
        $exact = array_column($s->search($v, 10, 0), "score");
        $same += $graph === $exact ? 1 : 0;
    }
    return "$same of " . count($keys);
}

foreach (["disk", "memory"] as $mode) {
    $s = new QarbinStore($dir, ["storage" => $mode, "dimensions" => 8, "distance" => "euclidean"]);
    $st = $s->stats();
    echo "$mode: ", $s->count(), " records, index ", $st["index_status"], ", unindexed ", $st["unindexed_count"], "\n";
    echo "  old records found as the scan finds them: ", agree($s, array_map(fn($i) => "k$i", range(0, 299, 7))), "\n";
    if ($mode === "memory") {
        // New records join the old graph by today's rule.
        for ($i = 0; $i < 200; $i++) {
            $v = $s->get("k" . ($i % 300))["vector"];
            $v[$i % 8] += 0.5;
            $s->set("n$i", $v);
        }
        $s->search(array_fill(0, 8, 0.0), 1);
        echo "  after 200 inserts: unindexed ", $s->stats()["unindexed_count"], ", new records found: ",
            agree($s, array_map(fn($i) => "n$i", range(0, 199, 9))), "\n";
    }
    $s->close();
}
unlink("$dir/seg_0000.qbseg");
rmdir($dir);
?>
--EXPECT--
disk: 300 records, index ready, unindexed 0
  old records found as the scan finds them: 43 of 43
memory: 300 records, index ready, unindexed 0
  old records found as the scan finds them: 43 of 43
  after 200 inserts: unindexed 0, new records found: 23 of 23
