--TEST--
Processes writing one disk directory with small segments attach the files the others create, and no acknowledged write is lost
--EXTENSIONS--
pcntl
--FILE--
<?php
$dir = sys_get_temp_dir() . "/qb_diskwriters_" . getmypid();
// workers x records each, segment slots: every table row crosses many segment boundaries.
$table = [[2, 300, 16], [4, 250, 100], [3, 200, 7]];
foreach ($table as [$workers, $each, $slots]) {
    @array_map("unlink", glob("$dir/*"));
    @rmdir($dir);
    $opts = ["dimensions" => 3, "segment_size" => $slots];
    (new QarbinStore($dir, $opts))->close();
    $pids = [];
    for ($w = 0; $w < $workers; $w++) {
        $pid = pcntl_fork();
        if ($pid === 0) {
            $s = new QarbinStore($dir, $opts);
            $failed = 0;
            for ($i = 0; $i < $each; $i++) {
                try { $s->set("w{$w}_$i", [$w, $i, 1], "m$w.$i"); } catch (QarbinException $e) { $failed++; }
            }
            exit($failed > 0 ? 1 : 0);
        }
        $pids[] = $pid;
    }
    $failedWorkers = 0;
    foreach ($pids as $pid) {
        pcntl_waitpid($pid, $status);
        if (pcntl_wexitstatus($status) !== 0) $failedWorkers++;
    }
    $s = new QarbinStore($dir, $opts);
    $missing = 0;
    for ($w = 0; $w < $workers; $w++) {
        for ($i = 0; $i < $each; $i++) {
            $r = $s->get("w{$w}_$i");
            if ($r === null || $r["vector"] !== [(float)$w, (float)$i, 1.0] || $r["metadata"] !== "m$w.$i") $missing++;
        }
    }
    printf("%d workers x %d records, %d slots: workers with refused writes %d, missing %d, count %d\n",
           $workers, $each, $slots, $failedWorkers, $missing, $s->count());
    $s->close();
}
@array_map("unlink", glob("$dir/*"));
@rmdir($dir);
?>
--EXPECT--
2 workers x 300 records, 16 slots: workers with refused writes 0, missing 0, count 600
4 workers x 250 records, 100 slots: workers with refused writes 0, missing 0, count 1000
3 workers x 200 records, 7 slots: workers with refused writes 0, missing 0, count 600
