--TEST--
Shared memory: another process finds by its words a text a writer just stored, before and after the writer's process indexed it; a read-only handle searches the index others built
--EXTENSIONS--
pcntl
--FILE--
<?php
$name = "t_" . getmypid() . "_textshm";
QarbinStore::destroy($name);
$opts = ["storage" => "shm", "dimensions" => 2, "segment_size" => 256];
$reader = new QarbinStore($name, $opts);
$reader->set("old", [1, 0], null, "an older record");
echo "before: ", count($reader->searchText("fresh")), " rows\n";
$pid = pcntl_fork();
if ($pid === 0) {
    $w = new QarbinStore($name, $opts);
    $w->set("new", [0, 1], null, "a fresh record from another process");
    $w->close();
    exit(0);
}
pcntl_waitpid($pid, $status);
$rows = $reader->searchText("FRESH process");
echo "after the writer: ", json_encode(array_column($rows, "text", "key")), ", indexed ", $reader->stats()["text_indexed"], "\n";
$pid = pcntl_fork();
if ($pid === 0) {
    $w = new QarbinStore($name, $opts);
    for ($i = 0; $i < 150; $i++) $w->set("n$i", [1, $i], null, "filler number $i");
    $w->buildIndex();
    $w->close();
    exit(0);
}
pcntl_waitpid($pid, $status);
$ro = new QarbinStore($name, $opts + ["writable" => false]);
$st = $ro->stats();
echo "read-only: records ", $st["text_records"], ", indexed ", $st["text_indexed"], ", bytes > 0 ", var_export($st["text_bytes"] > 0, true), "\n";
echo "read-only search: ", implode(",", array_column($ro->searchText("fresh 149"), "key")), "\n";
$ro->close();
$reader->close();
QarbinStore::destroy($name);
?>
--EXPECT--
before: 0 rows
after the writer: {"new":"a fresh record from another process"}, indexed 0
read-only: records 152, indexed 152, bytes > 0 true
read-only search: n149,new
