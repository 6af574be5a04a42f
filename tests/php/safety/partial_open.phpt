--TEST--
A store one of whose segments exists but cannot be taken (truncated, cut short, missing between others, unreadable for the opening user) is refused with the cause in every mode, also by a kept handle's catch-up and by a writer that needs the next segment; it never answers from the other segments
--EXTENSIONS--
pcntl
posix
--SKIPIF--
<?php
if (!is_dir("/dev/shm")) die("skip no /dev/shm");
?>
--FILE--
<?php
const NOBODY = 65534;
preg_match('~\S*qarbin\.so~', file_get_contents("/proc/self/maps"), $m);
$module = $m[0];
$dir = sys_get_temp_dir() . "/qb_partial_" . getmypid();
$name = "t_" . getmypid() . "_part";
$asOther = posix_geteuid() === 0 && trim((string)shell_exec("command -v setpriv")) !== "";
$opts = ["dimensions" => 2, "segment_size" => 8, "mode" => 0660];

// Three full or partly full segments (20 records), shared with nobody's group.
function make(string $mode, string $dir, string $name, array $opts): array {
    if ($mode === "shm") {
        QarbinStore::destroy($name);
        $s = new QarbinStore($name, ["storage" => "shm"] + $opts);
        $files = array_map(fn($n) => "/dev/shm/qb_{$name}_s000$n", [0, 1, 2]);
        $all = array_merge(["/dev/shm/qb_$name"], $files);
    } else {
        @array_map("unlink", glob("$dir/*"));
        @rmdir($dir);
        $s = new QarbinStore($dir, $opts);
        $files = array_map(fn($n) => "$dir/seg_000$n.qbseg", [0, 1, 2]);
        $all = array_merge([$dir], $files);
    }
    for ($i = 0; $i < 20; $i++) $s->set("k$i", [$i, 1]);
    $s->close();
    foreach ($all as $f) chgrp($f, NOBODY);
    return $files;
}
$damage = [
    "intact"                   => fn($f) => null,
    "intact, another user"     => fn($f) => null,
    "segment 1 truncated to 0" => fn($f) => truncate($f, 0),
    "segment 1 cut short"      => fn($f) => truncate($f, intdiv(filesize($f), 2)),
    "segment 1 removed"        => fn($f) => unlink($f),
    "segment 1 unreadable"     => fn($f) => chmod($f, 0600),
];
function truncate(string $f, int $len): void {
    $h = fopen($f, "r+");
    ftruncate($h, $len);
    fclose($h);
}
// Opens the store and searches it, here or as user nobody (setpriv).
function attempt(string $code, bool $other, string $module): string {
    if (!$other) {
        try {
            return eval($code);
        } catch (QarbinException $e) {
            return $e->getMessage();
        }
    }
    $script = "try { echo (function () { $code })(); } catch (QarbinException \$e) { echo \$e->getMessage(); }";
    return (string)shell_exec("setpriv --reuid=" . NOBODY . " --regid=" . NOBODY . " --clear-groups " .
        escapeshellarg(PHP_BINARY) . " -n -d extension=" . escapeshellarg($module) . " -r " . escapeshellarg($script) . " 2>&1");
}
$openers = [
    "disk"         => ['$s = new QarbinStore(%s, %s);', "disk"],
    "memory load"  => ['$s = new QarbinStore(%s, ["storage" => "memory"] + %s);', "disk"],
    "shm"          => ['$s = new QarbinStore(%s, ["storage" => "shm"] + %s);', "shm"],
    "shm readonly" => ['$s = new QarbinStore(%s, ["storage" => "shm", "writable" => false] + %s);', "shm"],
];
foreach ($damage as $label => $do) {
    foreach ($openers as $how => [$open, $kind]) {
        $other = $label === "segment 1 unreadable" || $label === "intact, another user";
        if ($other && !$asOther) {
            echo "$label, $how: (needs root and setpriv)\n";
            continue;
        }
        $files = make($kind, $dir, $name, $opts);
        $do($files[1]);
        clearstatcache();
        $where = var_export($kind === "shm" ? $name : $dir, true);
        $code = sprintf($open, $where, var_export($opts, true)) .
            ' return sprintf("opened, count %d, %d hits", $s->count(), count($s->search([1, 1], 30, 0)));';
        $out = attempt($code, $other, $module);
        printf("%s, %s: %s\n", $label, $how, str_replace([$dir, $name], ["DIR", "NAME"], trim($out)));
    }
}

// A kept handle that catches up with a segment another process created and
// somebody then cut, and a writer that needs that segment.
foreach (["shm", "disk"] as $kind) {
    $files = make($kind, $dir, $name, $opts);
    $where = $kind === "shm" ? $name : $dir;
    $o = ($kind === "shm" ? ["storage" => "shm"] : []) + $opts;
    $kept = new QarbinStore($where, $o + ["persistent" => true]);
    $writer = new QarbinStore($where, $o);
    $searcher = new QarbinStore($where, $o);
    for ($i = 0; $i < 4; $i++) $writer->set("w$i", [$i, 2]);  // fills segment 2, the last it knows
    $kept->close();
    $pid = pcntl_fork();
    if ($pid === 0) {
        $o2 = new QarbinStore($where, $o);
        for ($i = 0; $i < 8; $i++) $o2->set("x$i", [$i, 3]);  // creates and fills segment 3
        $o2->close();
        exit(0);
    }
    pcntl_waitpid($pid, $status);
    truncate($kind === "shm" ? "/dev/shm/qb_{$name}_s0003" : "$dir/seg_0003.qbseg", 0);
    foreach (["kept handle" => fn() => (new QarbinStore($where, $o + ["persistent" => true]))->search([1, 1], 5),
              "writer" => fn() => $writer->set("y", [1, 4]),
              // Shared searches attach what other processes created; disk ones do not.
              "searcher" => fn() => $searcher->search([1, 1], 5),
              "batch searcher" => fn() => $searcher->searchBatch([[1, 1]], 5),
              "finder" => fn() => $searcher->find([], 100)] as $who => $f) {
        try {
            $f();
            $msg = "no exception";
        } catch (QarbinException $e) {
            $msg = $e->getMessage();
        }
        printf("%s, %s: %s\n", $kind, $who, str_replace([$dir, $name], ["DIR", "NAME"], $msg));
    }
    unset($writer, $searcher);
}
QarbinStore::destroy($name);
@array_map("unlink", glob("$dir/*"));
@rmdir($dir);
?>
--EXPECT--
intact, disk: opened, count 20, 20 hits
intact, memory load: opened, count 20, 20 hits
intact, shm: opened, count 20, 20 hits
intact, shm readonly: opened, count 20, 20 hits
intact, another user, disk: opened, count 20, 20 hits
intact, another user, memory load: opened, count 20, 20 hits
intact, another user, shm: opened, count 20, 20 hits
intact, another user, shm readonly: opened, count 20, 20 hits
segment 1 truncated to 0, disk: Failed to open disk store at: DIR: Segment file was truncated: DIR/seg_0001.qbseg
segment 1 truncated to 0, memory load: Failed to load segment files from: DIR: Segment file was truncated: DIR/seg_0001.qbseg
segment 1 truncated to 0, shm: Failed to open shm store: NAME: Segment file was truncated: /qb_NAME_s0001
segment 1 truncated to 0, shm readonly: Failed to open shm store: NAME: Segment file was truncated: /qb_NAME_s0001
segment 1 cut short, disk: Failed to open disk store at: DIR: Segment file was truncated: DIR/seg_0001.qbseg
segment 1 cut short, memory load: Failed to load segment files from: DIR: Segment file was truncated: DIR/seg_0001.qbseg
segment 1 cut short, shm: Failed to open shm store: NAME: Segment file was truncated: /qb_NAME_s0001
segment 1 cut short, shm readonly: Failed to open shm store: NAME: Segment file was truncated: /qb_NAME_s0001
segment 1 removed, disk: Failed to open disk store at: DIR: Segment file is missing: DIR/seg_0001.qbseg
segment 1 removed, memory load: Failed to load segment files from: DIR: Segment file is missing: DIR/seg_0001.qbseg
segment 1 removed, shm: Failed to open shm store: NAME: Segment file is missing: /qb_NAME_s0001
segment 1 removed, shm readonly: Failed to open shm store: NAME: Segment file is missing: /qb_NAME_s0001
segment 1 unreadable, disk: Failed to open disk store at: DIR: Permission denied
segment 1 unreadable, memory load: Failed to load segment files from: DIR: Permission denied
segment 1 unreadable, shm: Failed to open shm store: NAME: Permission denied
segment 1 unreadable, shm readonly: Failed to open shm store: NAME: Permission denied
shm, kept handle: Failed to open shm store: NAME: Segment file was truncated: /qb_NAME_s0003
shm, writer: Failed to set vector: Segment file was truncated: /qb_NAME_s0003
shm, searcher: Search failed: Segment file was truncated: /qb_NAME_s0003
shm, batch searcher: Search failed: Segment file was truncated: /qb_NAME_s0003
shm, finder: find failed: Segment file was truncated: /qb_NAME_s0003
disk, kept handle: Failed to open disk store at: DIR: Segment file was truncated: DIR/seg_0003.qbseg
disk, writer: Failed to set vector: Segment file was truncated: DIR/seg_0003.qbseg
disk, searcher: no exception
disk, batch searcher: no exception
disk, finder: no exception
