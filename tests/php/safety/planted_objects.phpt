--TEST--
Shared objects, segment files and directories that another user owns or may write are refused, and left as they were
--EXTENSIONS--
pcntl
posix
--SKIPIF--
<?php
if (posix_geteuid() !== 0) die("skip planting as another user needs root");
if (!is_dir("/dev/shm")) die("skip no /dev/shm");
?>
--FILE--
<?php
const NOBODY = 65534;
$base = sys_get_temp_dir() . "/qb_planted_" . getmypid();
// Runs $plant as user nobody in a child process.
function asNobody(callable $plant): void {
    $pid = pcntl_fork();
    if ($pid === 0) {
        umask(0);
        posix_setgid(NOBODY);
        posix_setuid(NOBODY);
        $plant();
        exit(0);
    }
    pcntl_waitpid($pid, $status);
}
function fingerprint(string $path): string {
    if (is_dir($path)) {
        $all = "";
        foreach (glob("$path/*") as $f) $all .= basename($f) . ":" . md5_file($f) . ";";
        return md5($all . decoct(fileperms($path)) . fileowner($path));
    }
    clearstatcache();
    return file_exists($path) ? md5_file($path) . decoct(fileperms($path)) . fileowner($path) : "missing";
}
function diskStore(string $dir): void {
    $s = new QarbinStore($dir, ["dimensions" => 2, "segment_size" => 8]);
    $s->set("a", [1, 2], "secret");
    $s->close();
}
$cases = [
    "shm control object planted by nobody" => function (string $n) {
        asNobody(function () use ($n) { file_put_contents("/dev/shm/qb_$n", str_repeat("\0", 128)); chmod("/dev/shm/qb_$n", 0666); });
        return ["/dev/shm/qb_$n", fn() => new QarbinStore($n, ["storage" => "shm", "dimensions" => 2])];
    },
    "shm control object planted, read-only handle" => function (string $n) {
        asNobody(function () use ($n) { file_put_contents("/dev/shm/qb_$n", str_repeat("\0", 128)); chmod("/dev/shm/qb_$n", 0666); });
        return ["/dev/shm/qb_$n", fn() => new QarbinStore($n, ["storage" => "shm", "dimensions" => 2, "writable" => false])];
    },
    "shm segment 0 planted by nobody" => function (string $n) {
        asNobody(function () use ($n) { touch("/dev/shm/qb_{$n}_s0000"); chmod("/dev/shm/qb_{$n}_s0000", 0666); });
        return ["/dev/shm/qb_{$n}_s0000", fn() => new QarbinStore($n, ["storage" => "shm", "dimensions" => 2])];
    },
    "own shm store made writable by others" => function (string $n) {
        (new QarbinStore($n, ["storage" => "shm", "dimensions" => 2]))->set("a", [1, 2], "secret");
        chmod("/dev/shm/qb_$n", 0666);
        return ["/dev/shm/qb_$n", fn() => new QarbinStore($n, ["storage" => "shm", "dimensions" => 2])];
    },
    "own shm store, group-writable, foreign group" => function (string $n) {
        (new QarbinStore($n, ["storage" => "shm", "dimensions" => 2, "mode" => 0660]))->set("a", [1, 2], "secret");
        chgrp("/dev/shm/qb_$n", NOBODY);
        chgrp("/dev/shm/qb_{$n}_s0000", NOBODY);
        return ["/dev/shm/qb_$n", fn() => new QarbinStore($n, ["storage" => "shm", "dimensions" => 2])];
    },
    "own disk file, group-writable, foreign group" => function (string $n) use ($base) {
        diskStore("$base/$n");
        chmod("$base/$n/seg_0000.qbseg", 0660);
        chgrp("$base/$n/seg_0000.qbseg", NOBODY);
        return ["$base/$n", fn() => new QarbinStore("$base/$n", ["dimensions" => 2])];
    },
    "disk directory owned by nobody" => function (string $n) use ($base) {
        asNobody(function () use ($base, $n) { mkdir("$base/$n", 0755); });
        return ["$base/$n", fn() => new QarbinStore("$base/$n", ["dimensions" => 2])];
    },
    "own disk directory writable by others" => function (string $n) use ($base) {
        diskStore("$base/$n");
        chmod("$base/$n", 0777);
        return ["$base/$n", fn() => new QarbinStore("$base/$n", ["dimensions" => 2])];
    },
    "segment file owned by nobody" => function (string $n) use ($base) {
        diskStore("$base/$n");
        // Another user's file in that user's group; one in a group of ours
        // would be a store shared on purpose.
        chown("$base/$n/seg_0000.qbseg", NOBODY);
        chgrp("$base/$n/seg_0000.qbseg", NOBODY);
        return ["$base/$n", fn() => new QarbinStore("$base/$n", ["dimensions" => 2])];
    },
    "segment file writable by others" => function (string $n) use ($base) {
        diskStore("$base/$n");
        chmod("$base/$n/seg_0000.qbseg", 0666);
        return ["$base/$n", fn() => new QarbinStore("$base/$n", ["dimensions" => 2])];
    },
];
mkdir($base);
chmod($base, 0777);  // nobody plants directories in it
$i = 0;
foreach ($cases as $label => $setup) {
    $n = "t_" . getmypid() . "_pl" . $i++;
    QarbinStore::destroy($n);
    [$watched, $open] = $setup($n);
    $before = fingerprint($watched);
    try {
        $open();
        $msg = "opened";
    } catch (QarbinException $e) {
        $msg = str_replace([$base, $n], ["BASE", "NAME"], $e->getMessage());
    }
    printf("%-45s %s; unchanged: %s\n", $label, $msg, var_export($before === fingerprint($watched), true));
    QarbinStore::destroy($n);
    @unlink("/dev/shm/qb_{$n}_s0000");
    @array_map("unlink", glob("$base/$n/*"));
    @rmdir("$base/$n");
}
// The store's own objects stay owner-only, whatever the umask.
umask(0);
$n = "t_" . getmypid() . "_own";
(new QarbinStore($n, ["storage" => "shm", "dimensions" => 2]))->set("a", [1, 2]);
diskStore("$base/own/sub");
clearstatcache();
printf("modes: control %o, segment %o, directory %o, parent %o, file %o\n", fileperms("/dev/shm/qb_$n") & 0777,
       fileperms("/dev/shm/qb_{$n}_s0000") & 0777, fileperms("$base/own/sub") & 0777, fileperms("$base/own") & 0777,
       fileperms("$base/own/sub/seg_0000.qbseg") & 0777);
QarbinStore::destroy($n);
array_map("unlink", glob("$base/own/sub/*"));
rmdir("$base/own/sub");
rmdir("$base/own");
rmdir($base);
?>
--EXPECT--
shm control object planted by nobody          Shared store NAME is owned by another user; unchanged: true
shm control object planted, read-only handle  Shared store NAME is owned by another user; unchanged: true
shm segment 0 planted by nobody               Shared store NAME is owned by another user; unchanged: true
own shm store made writable by others         Shared store NAME is owned by another user; unchanged: true
own shm store, group-writable, foreign group  opened; unchanged: true
own disk file, group-writable, foreign group  opened; unchanged: true
disk directory owned by nobody                Failed to open disk store at: BASE/NAME: owned by another user or writable by others; unchanged: true
own disk directory writable by others         Failed to open disk store at: BASE/NAME: owned by another user or writable by others; unchanged: true
segment file owned by nobody                  Failed to open disk store at: BASE/NAME: owned by another user or writable by others; unchanged: true
segment file writable by others               Failed to open disk store at: BASE/NAME: owned by another user or writable by others; unchanged: true
modes: control 600, segment 600, directory 700, parent 700, file 600
