--TEST--
The README's PHP-FPM recipe run as written: a deploy script as root under the pool's group (sg), read-only and writing workers as the pool's user with "create" => false (the writer adds a segment), the cron compaction line as root, then the workers again, who open the new generation
--EXTENSIONS--
posix
--SKIPIF--
<?php
if (posix_geteuid() !== 0) die("skip running as other users needs root");
if (trim((string)shell_exec("command -v setpriv")) === "") die("skip setpriv is not installed");
if (posix_getgrnam("www-data") === false || posix_getpwnam("www-data") === false) die("skip no www-data user");
?>
--FILE--
<?php
preg_match('~\S*qarbin\.so~', file_get_contents("/proc/self/maps"), $m);
$module = $m[0];
$name = "t_" . getmypid() . "_recipe";
$www = posix_getpwnam("www-data")["uid"];
$wwwGroup = posix_getgrnam("www-data")["gid"];
// Runs PHP code as the given user and group (sg: the same user, another group).
function run(string $as, string $code, string $module): string {
    global $www, $wwwGroup;
    $who = $as === "pool" ? "--reuid=$www --regid=$wwwGroup --clear-groups"
         : ($as === "sg" ? "--regid=$wwwGroup --clear-groups" : "");
    $php = escapeshellarg(PHP_BINARY) . " -n -d extension=" . escapeshellarg($module) . " -r " . escapeshellarg($code);
    $out = shell_exec(($who !== "" ? "setpriv $who " : "") . "$php 2>&1");
    return trim(preg_replace('~PHP Fatal error:.*|Stack trace:.*~s', '', (string)$out));
}
$vec = 'function vec(int $k): array { mt_srand($k); $v = []; for ($i = 0; $i < 8; $i++) $v[] = mt_rand(-1000, 1000) / 1000; return $v; }';

// 1. The deploy script, as in the README, run with sg www-data.
echo "deploy: ", run("sg", "$vec umask(007);
    \$store = new QarbinStore('$name', ['storage' => 'shm', 'dimensions' => 8, 'mode' => 0660, 'segment_size' => 128]);
    for (\$k = 0; \$k < 300; \$k++) \$store->set(\"k\$k\", vec(\$k + 1000));
    for (\$k = 0; \$k < 300; \$k++) \$store->set(\"k\$k\", vec(\$k));
    for (\$k = 200; \$k < 300; \$k++) \$store->delete(\"k\$k\");
    \$store->buildIndex();
    \$store->close(); echo 'done';", $module), "\n";
$worker = "$vec
    \$store = new QarbinStore('%s', ['storage' => 'shm', 'dimensions' => 8, 'writable' => false, 'persistent' => true, 'create' => false]);
    \$hits = \$store->search(vec(7), 10);
    echo 'count ', \$store->count(), ', nearest to k7 ', \$hits[0]['key'], ', ', \$store->stats()['index_status'];";
$writer = "$vec
    \$store = new QarbinStore('$name', ['storage' => 'shm', 'dimensions' => 8, 'create' => false]);
    for (\$k = 0; \$k < 150; \$k++) \$store->set(\"w\$k\", vec(5000 + \$k));
    echo 'wrote, count ', \$store->count(), ', segments ', \$store->stats()['segment_count'];";
// 2. Workers as the pool's user.
echo "worker: ", run("pool", sprintf($worker, $name), $module), "\n";
echo "writing worker: ", run("pool", $writer, $module), "\n";
echo "worker, missing store: ", run("pool", sprintf($worker, "{$name}_gone"), $module), "\n";
// 3. The cron line, as root, word for word but the store name.
$cron = '$s = new QarbinStore("catalog", ["storage" => "shm", "create" => false]); if ($s->stats()["dead_count"] > $s->count()) $s->compact();';
preg_match("~php -r '([^']*)'~", file_get_contents(getenv("QARBIN_SOURCE_DIR") . "/README.md"), $line);
echo "README's cron line is the one run here: ", var_export($line[1] === $cron, true), "\n";
echo "cron: ", run("root", str_replace('"catalog"', "\"$name\"", $cron) . ' echo "dead now ", $s->stats()["dead_count"];', $module), "\n";
// 4. The workers after the compaction.
echo "worker after: ", run("pool", sprintf($worker, $name), $module), "\n";
echo "writing worker after: ", run("pool", $writer, $module), "\n";
QarbinStore::destroy($name);
?>
--EXPECTF--
deploy: done
worker: count 200, nearest to k7 k7, ready
writing worker: wrote, count 350, segments 6
worker, missing store: Fatal error: Uncaught QarbinException: Store not found: t_%d_recipe_gone in Command line code:%d
README's cron line is the one run here: true
cron: dead now 0
worker after: count 350, nearest to k7 k7, ready
writing worker after: wrote, count 350, segments 4
