--TEST--
Constructor: "memory_limit" as bytes, with K/M/G suffixes, strings that are not sizes refused, and 0 (no limit) for other types
--FILE--
<?php
$dir = sys_get_temp_dir() . "/qarbin_ml_" . getmypid();
function rmdir_all(string $d): void {
    foreach (glob("$d/*") ?: [] as $f) unlink($f);
    if (is_dir($d)) rmdir($d);
}
// Disk segments of one slot each: every record needs a new segment, so the
// number stored shows how many segments the limit allows. Keys k0 .. k59
// take one unit of variable bytes each, so every full segment counts alike.
function stored_under($limit, int $tries): int {
    global $dir;
    rmdir_all($dir);
    try {
        $s = new QarbinStore($dir, ["dimensions" => 1, "segment_size" => 1, "memory_limit" => $limit]);
    } catch (QarbinException $e) {
        return -1;  // not a size: refused
    }
    $n = 0;
    try {
        for ($i = 0; $i < $tries; $i++) {
            $s->set("k$i", [1.0]);
            $n++;
        }
    } catch (QarbinException $e) {
        if ($e->getMessage() !== "Failed to set vector: memory limit reached") echo $e->getMessage(), "\n";
    }
    $s->close();
    rmdir_all($dir);
    return $n;
}
rmdir_all($dir);
// A new segment is refused when the segments there, with the bytes their
// records hold, and the new one empty would pass the limit; the first one
// is made by the constructor whatever the limit.
$probe = new QarbinStore($dir, ["dimensions" => 1, "segment_size" => 1]);
$empty = (int) round($probe->stats()["memory_mb"] * 1048576);
$probe->set("k0", [1.0]);
$segBytes = (int) round($probe->stats()["memory_mb"] * 1048576);
$probe->close();
rmdir_all($dir);
$fit = fn(int $limit) => $limit < $empty ? 1 : min(60, intdiv($limit - $empty, $segBytes) + 1);

$cases = [
    ["'64k'", "64k", $fit(65536)],
    ["'64K'", "64K", $fit(65536)],
    ["'1m'", "1m", $fit(1048576)],
    ["'100'", "100", 1],
    ["'1.5G' (refused)", "1.5G", -1],
    ["int 1024", 1024, 1],
    ["int 3 segments", $segBytes * 2 + $empty, 3],
    ["int 3 segments - 1", $segBytes * 2 + $empty - 1, 2],
    ["string 2 segments + 'x' (refused)", (string) ($segBytes * 2) . "x", -1],
    ["'2g'", "2g", 60],
    ["'512M'", "512M", 60],
    ["float 65536.0", 65536.0, 60],
    ["true", true, 60],
    ["null", null, 60],
    ["'0'", "0", 60],
];
foreach ($cases as [$label, $limit, $expected]) {
    $got = stored_under($limit, 60);
    echo $label, ": ", $got === $expected ? "ok" : "stored $got, expected $expected", "\n";
}
?>
--EXPECT--
'64k': ok
'64K': ok
'1m': ok
'100': ok
'1.5G' (refused): ok
int 1024: ok
int 3 segments: ok
int 3 segments - 1: ok
string 2 segments + 'x' (refused): ok
'2g': ok
'512M': ok
float 65536.0: ok
true: ok
null: ok
'0': ok
