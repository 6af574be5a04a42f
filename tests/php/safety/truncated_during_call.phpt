--TEST--
A segment truncated while a forked process scans it: the scan ends in the exception "Segment file was truncated: PATH", never in SIGBUS, the handle is closed and the process lives on (100 tries on a shared store, 30 on segment files)
--EXTENSIONS--
pcntl
--SKIPIF--
<?php
if (!is_dir("/dev/shm")) die("skip no /dev/shm");
?>
--FILE--
<?php
$name = "t_" . getmypid() . "_cut";
$base = (is_writable("/dev/shm") ? "/dev/shm" : sys_get_temp_dir()) . "/qb_cut_" . getmypid();
$ready = sys_get_temp_dir() . "/qb_cut_ready_" . getmypid();
$dim = 128;
$opts = ["dimensions" => $dim, "segment_size" => 20000];
// 20 000 records: an exact scan takes milliseconds, so most cuts land inside one.
function fill(QarbinStore $s, int $dim): void {
    mt_srand(5);
    $v = [];
    for ($i = 0; $i < 20000; $i++) {
        for ($d = 0; $d < $dim; $d++) $v[$d] = mt_rand(-1000, 1000) / 1000;
        $s->set("k$i", $v, "meta$i");
    }
}
// Opens the store in a child that scans until the call fails; the parent
// cuts the segment a few milliseconds after the child is ready.
function attempt(callable $open, string $victim, string $pristine, string $ready, int $try): string {
    copy($pristine, $victim);
    @unlink($ready);
    $pid = pcntl_fork();
    if ($pid === 0) {
        $s = $open();
        $q = array_fill(0, 128, 0.5);
        touch($ready);
        $out = "no exception";
        try {
            for ($i = 0; $i < 100000; $i++) $s->search($q, 5, 0);
        } catch (QarbinException $e) {
            $out = $e->getMessage();
        }
        try {
            $s->search($q, 5, 0);
            $out .= " | then: searched";
        } catch (QarbinException $e) {
            $out .= " | then: " . $e->getMessage();
        }
        $m = new QarbinStore(null, ["dimensions" => 2]);
        $m->set("a", [1, 2]);
        $out .= count($m->search([1, 2], 1)) === 1 ? " | alive" : " | broken";
        file_put_contents("$ready.out", $out);
        exit(0);
    }
    for ($i = 0; $i < 2000 && !file_exists($ready); $i++) usleep(1000);
    usleep(($try * 7919) % 12000);
    $h = fopen($victim, "r+");
    ftruncate($h, $try % 2 === 0 ? 0 : intdiv(filesize($pristine), 2));
    fclose($h);
    pcntl_waitpid($pid, $status);
    if (pcntl_wifsignaled($status)) return "killed by signal " . pcntl_wtermsig($status);
    $out = (string)@file_get_contents("$ready.out");
    @unlink("$ready.out");
    return $out;
}

QarbinStore::destroy($name);
$s = new QarbinStore($name, ["storage" => "shm"] + $opts);
fill($s, $dim);
$s->close();
@array_map("unlink", glob("$base/*"));
@rmdir($base);
$d = new QarbinStore($base, $opts);
fill($d, $dim);
$d->close();
$cases = [
    "shm" => [fn() => new QarbinStore($name, ["storage" => "shm", "writable" => false] + $opts), "/dev/shm/qb_{$name}_s0000", 100],
    "disk" => [fn() => new QarbinStore($base, $opts), "$base/seg_0000.qbseg", 30],
];
foreach ($cases as $mode => [$open, $victim, $tries]) {
    $pristine = "$base.pristine";
    copy($victim, $pristine);
    $outcomes = [];
    for ($t = 0; $t < $tries; $t++) {
        $o = str_replace([$base, $name], ["DIR", "NAME"], attempt($open, $victim, $pristine, $ready, $t));
        $outcomes[$o] = ($outcomes[$o] ?? 0) + 1;
    }
    foreach ($outcomes as $o => $n) echo "$mode: $n of $tries: $o\n";
    unlink($pristine);
}
QarbinStore::destroy($name);
@array_map("unlink", glob("$base/*"));
@rmdir($base);
@unlink($ready);
?>
--EXPECT--
shm: 100 of 100: Segment file was truncated: /qb_NAME_s0000 | then: Store not open | alive
disk: 30 of 30: Segment file was truncated: DIR/seg_0000.qbseg | then: Store not open | alive
