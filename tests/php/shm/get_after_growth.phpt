--TEST--
get() on a shared store finds a record another process wrote into a segment it created after this handle last looked, without a search in between
--EXTENSIONS--
pcntl
--FILE--
<?php
$name = "t_" . getmypid() . "_grow";
QarbinStore::destroy($name);
$opts = ["storage" => "shm", "dimensions" => 2, "segment_size" => 16];
$s = new QarbinStore($name, $opts);
$s->set("first", [1, 0]);
echo "segments before: ", $s->stats()["segment_count"], "\n";
$pid = pcntl_fork();
if ($pid === 0) {
    $c = new QarbinStore($name, $opts);
    for ($i = 0; $i < 40; $i++) $c->set("c$i", [$i, 1], "m$i");
    exit(0);
}
pcntl_waitpid($pid, $status);
$got = $s->get("c39");
echo "c39: ", $got === null ? "missing" : $got["metadata"], ", segments now: ", $s->stats()["segment_count"], "\n";
$s->close();
QarbinStore::destroy($name);
?>
--EXPECT--
segments before: 1
c39: m39, segments now: 3
