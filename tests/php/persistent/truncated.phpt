--TEST--
Persistent handles: a kept store whose shared segment another process shortened is dropped without touching the lost pages, at the next construction (which then refuses the store with the cause) and at process end
--INI--
qarbin.pq_subvectors=2
--FILE--
<?php
$opts = ["storage" => "shm", "dimensions" => 4, "quantization" => "pq", "persistent" => true];
foreach (["next construction", "process end"] as $when) {
    $name = $when === "process end" ? "t_kept_cut_at_end" : "t_" . getmypid() . "_cut";
    QarbinStore::destroy($name);
    // Held-back pq records: closing the store would store them into its segment.
    $s = new QarbinStore($name, $opts);
    for ($i = 0; $i < 5; $i++) $s->set("k$i", [$i, 1, 2, 3]);
    unset($s);
    $f = fopen("/dev/shm/qb_{$name}_s0000", "r+");
    ftruncate($f, 0);
    fclose($f);
    if ($when === "next construction") {
        try {
            $s = new QarbinStore($name, $opts);
            echo "$when: opened anew, count ", $s->count(), "\n";
            unset($s);
        } catch (QarbinException $e) {
            echo "$when: ", str_replace($name, "NAME", $e->getMessage()), "\n";
        }
        QarbinStore::destroy($name);
    } else {
        echo "$when: left to module shutdown\n";
    }
}
?>
--CLEAN--
<?php
QarbinStore::destroy("t_kept_cut_at_end");
?>
--EXPECT--
next construction: Failed to open shm store: NAME: Segment file was truncated: /qb_NAME_s0000
process end: left to module shutdown
