--TEST--
A refused set names its cause where the store knows it, and the store keeps every acknowledged write
--FILE--
<?php
$dir = sys_get_temp_dir() . "/qb_cause_" . getmypid();
$cases = [
    "memory, memory_limit" => fn() => new QarbinStore(null, ["dimensions" => 4, "segment_size" => 16, "memory_limit" => "200k"]),
    "disk, memory_limit"   => fn() => new QarbinStore($dir, ["dimensions" => 4, "segment_size" => 16, "memory_limit" => "200k"]),
];
foreach ($cases as $label => $open) {
    @array_map("unlink", glob("$dir/*"));
    $s = $open();
    $acked = [];
    $message = "none";
    for ($i = 0; $i < 100000; $i++) {
        try {
            $s->set("k$i", [$i, 1, 2, 3]);
            $acked[] = "k$i";
        } catch (QarbinException $e) {
            $message = $e->getMessage();
            break;
        }
    }
    $before = $s->dump();
    try {
        $s->batchSet([["key" => "b", "vector" => [1, 1, 1, 1]]]);
    } catch (QarbinException $e) {
        $message .= " | " . $e->getMessage();
    }
    $missing = count(array_filter($acked, fn($k) => $s->get($k) === null));
    printf("%s: %s; acknowledged %s, missing %d, unchanged %s\n", $label, $message, count($acked) > 0 ? "some" : "none",
           $missing, var_export($s->dump() === $before, true));
    $s->close();
}
@array_map("unlink", glob("$dir/*"));
@rmdir($dir);
?>
--EXPECT--
memory, memory_limit: Failed to set vector: memory limit reached | Failed to set vector in batch: memory limit reached; acknowledged some, missing 0, unchanged true
disk, memory_limit: Failed to set vector: memory limit reached | Failed to set vector in batch: memory limit reached; acknowledged some, missing 0, unchanged true
