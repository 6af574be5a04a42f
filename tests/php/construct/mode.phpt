--TEST--
Option "mode": shared objects, segment files and directories get exactly the given permissions under a restrictive umask; without it the umask applies as before; a store another user may not open says why; a bad mode is refused
--EXTENSIONS--
pcntl
posix
--FILE--
<?php
umask(077);
$perm = fn(string $path) => sprintf("%04o", fileperms($path) & 0777);
$id = getmypid();

$name = "t_{$id}_mode";
QarbinStore::destroy($name);
$s = new QarbinStore($name, ["storage" => "shm", "dimensions" => 2, "segment_size" => 2, "mode" => 0660]);
for ($i = 0; $i < 3; $i++) $s->set("k$i", [1, $i]);  // a second segment
echo "shm: control ", $perm("/dev/shm/qb_$name"), ", segments ", $perm("/dev/shm/qb_{$name}_s0000"), " ", $perm("/dev/shm/qb_{$name}_s0001"), "\n";
$s->close();
QarbinStore::destroy($name);

$plain = "t_{$id}_plain";
QarbinStore::destroy($plain);
$s = new QarbinStore($plain, ["storage" => "shm", "dimensions" => 2]);
echo "shm without mode: ", $perm("/dev/shm/qb_$plain"), "\n";
$s->close();

$dir = sys_get_temp_dir() . "/qarbin_mode_$id";
$s = new QarbinStore($dir, ["dimensions" => 2, "segment_size" => 2, "mode" => 0640]);
for ($i = 0; $i < 3; $i++) $s->set("k$i", [1, $i]);
echo "disk: directory ", $perm($dir), ", files ", $perm("$dir/seg_0000.qbseg"), " ", $perm("$dir/seg_0001.qbseg"), "\n";
$s->close();
array_map("unlink", glob("$dir/*"));
rmdir($dir);

// Another user: the store made without mode (0600 under this umask) is not theirs to open.
if (posix_geteuid() === 0) {
    $pid = pcntl_fork();
    if ($pid === 0) {
        posix_setgid(65534);
        posix_setuid(65534);
        try {
            new QarbinStore($plain, ["storage" => "shm", "dimensions" => 2, "writable" => false]);
            echo "opened\n";
        } catch (QarbinException $e) {
            echo $e->getMessage() === "Failed to open shm store: $plain: Permission denied" ? "refused, saying why" : $e->getMessage(), "\n";
        }
        exit(0);
    }
    pcntl_waitpid($pid, $status);
} else {
    echo "refused, saying why\n";  // needs a second user to show
}
QarbinStore::destroy($plain);

foreach ([0, -1, 01000, "abc", 0666, 0060] as $bad) {
    try {
        new QarbinStore(null, ["dimensions" => 2, "mode" => $bad]);
        echo "accepted\n";
    } catch (QarbinException $e) {
        echo $e->getMessage(), "\n";
    }
}
?>
--EXPECT--
shm: control 0660, segments 0660 0660
shm without mode: 0600
disk: directory 0750, files 0640 0640
refused, saying why
Invalid mode (use permission bits such as 0660)
Invalid mode (use permission bits such as 0660)
Invalid mode (use permission bits such as 0660)
Invalid mode (use permission bits such as 0660)
Invalid mode (use permission bits such as 0660)
Invalid mode (use permission bits such as 0660)
