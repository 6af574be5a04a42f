--TEST--
Many processes on one shared store: 2, 4 and 8 adders with small segments; mixed adders, deleters and searchers; adders killed at seeded moments while others go on: every record once, counts exact, segment objects numbered without gaps
--EXTENSIONS--
pcntl
posix
--SKIPIF--
<?php if (!is_dir("/dev/shm")) die("skip no /dev/shm"); ?>
--FILE--
<?php
// QARBIN_PROC_SCALE multiplies the records per worker (scripts/test-long.sh).
$scale = max(1, (int) (getenv("QARBIN_PROC_SCALE") ?: 1));
$dim = 4;
$opts = ["storage" => "shm", "dimensions" => $dim, "segment_size" => 16];
$faults = [];
$figures = [];

function vec(string $key): array {
    $h = crc32($key);
    return [($h & 0xff) - 128, (($h >> 8) & 0xff) - 128, (($h >> 16) & 0xff) - 128, 1];
}
// Forks one worker per callable; each returns its exit status (0 = fine).
function run(array $bodies): array {
    $pids = [];
    foreach ($bodies as $i => $body) {
        $pid = pcntl_fork();
        if ($pid === 0) {
            try {
                $rc = $body($i);
            } catch (Throwable $e) {
                fwrite(STDERR, "worker $i: " . $e->getMessage() . "\n");
                $rc = 3;
            }
            exit($rc);
        }
        $pids[$i] = $pid;
    }
    return $pids;
}
function reap(array $pids): array {
    $out = [];
    foreach ($pids as $i => $pid) {
        pcntl_waitpid($pid, $status);
        $out[$i] = pcntl_wifexited($status) ? pcntl_wexitstatus($status) : -pcntl_wtermsig($status);
    }
    return $out;
}
// Checks a store against the set of keys that must be there (and, for
// $maybe, may be there), and its objects in /dev/shm.
function verify(string $name, array $opts, array $must, array $maybe, string $label, array &$faults): int {
    $s = new QarbinStore($name, $opts);
    $rows = [];
    // Exhaustive searches from several directions gather every record
    // (each returns at most 1000).
    foreach ([[1, 0, 0, 0], [-1, 0, 0, 0], [0, 1, 0, 0], [0, -1, 0, 0], [0, 0, 1, 0], [0, 0, -1, 0]] as $q) {
        foreach ($s->search($q, 1000, 0) as $row) $rows[$row["key"]][] = $row;
    }
    $count = $s->count();
    foreach ($must as $k => $_) {
        $g = $s->get($k);
        if ($g === null) $faults[] = "$label: $k lost";
        elseif ($g["vector"] !== array_map("floatval", vec($k))) $faults[] = "$label: $k differs";
    }
    $visible = 0;
    foreach ($rows as $k => $_) {
        if (!isset($must[$k]) && !isset($maybe[$k])) $faults[] = "$label: $k should not be there";
    }
    // Count by get over every key that may exist.
    foreach ($must + $maybe as $k => $_) $visible += $s->get($k) !== null ? 1 : 0;
    if ($visible !== $count) $faults[] = "$label: count $count but $visible visible";
    $segs = $s->stats()["segment_count"];
    $objects = array_map("basename", glob("/dev/shm/qb_{$name}_s*"));
    $want = [];
    for ($n = 0; $n < $segs; $n++) $want[] = sprintf("qb_%s_s%04u", $name, $n);
    sort($objects);
    // An adder killed while creating a segment leaves that number's object
    // uncounted; the next creation takes the same number again.
    if ($maybe && count($objects) === $segs + 1) $want[] = sprintf("qb_%s_s%04u", $name, $segs);
    if ($objects !== $want) $faults[] = "$label: objects " . implode(",", $objects) . " for $segs segments";
    $s->close();
    return $visible;
}

// 1. Adders only.
foreach ([2, 4, 8] as $n) {
    $name = "t_" . getmypid() . "_many$n";
    QarbinStore::destroy($name);
    $per = intdiv(480, $n) * $scale;
    $bodies = array_fill(0, $n, function (int $w) use ($name, $opts, $per) {
        $s = new QarbinStore($name, $opts);
        for ($i = 0; $i < $per; $i++) $s->set("w{$w}_$i", vec("w{$w}_$i"), "m");
        return 0;
    });
    $st = reap(run($bodies));
    if (array_filter($st)) $faults[] = "$n adders: statuses " . implode(",", $st);
    $must = [];
    for ($w = 0; $w < $n; $w++) for ($i = 0; $i < $per; $i++) $must["w{$w}_$i"] = 1;
    $seen = verify($name, $opts, $must, [], "$n adders", $faults);
    $figures[] = "$n adders: $seen records";
    QarbinStore::destroy($name);
}

// 2. Mixed: two adders that delete every third of their own records, a
// deleter working through preloaded keys, a searcher checking every row.
$name = "t_" . getmypid() . "_mixed";
QarbinStore::destroy($name);
$pre = 200 * $scale;
$s = new QarbinStore($name, $opts);
for ($i = 0; $i < $pre; $i++) $s->set("pre$i", vec("pre$i"));
$s->close();
$per = 200 * $scale;
$bodies = [
    function () use ($name, $opts, $per) {
        $s = new QarbinStore($name, $opts);
        for ($i = 0; $i < $per; $i++) {
            $s->set("a0_$i", vec("a0_$i"));
            if ($i % 3 === 2 && !$s->delete("a0_" . ($i - 2))) return 4;
        }
        return 0;
    },
    function () use ($name, $opts, $per) {
        $s = new QarbinStore($name, $opts);
        for ($i = 0; $i < $per; $i++) {
            $s->set("a1_$i", vec("a1_$i"));
            if ($i % 3 === 2 && !$s->delete("a1_" . ($i - 2))) return 4;
        }
        return 0;
    },
    function () use ($name, $opts, $pre) {
        $s = new QarbinStore($name, $opts);
        for ($i = 0; $i < $pre; $i += 2) if (!$s->delete("pre$i")) return 5;
        return 0;
    },
    function () use ($name, $opts, $pre) {
        $s = new QarbinStore($name, $opts);
        for ($round = 0; $round < 60; $round++) {
            $rows = $s->search(vec("q$round"), 50, $round % 2 ? 0 : 20);
            $keys = array_column($rows, "key");
            if (count($keys) !== count(array_unique($keys)) || count($rows) > 50) return 6;
            foreach ($rows as $r) {
                // A record deleted between the search and the get is fine.
                $g = $s->get($r["key"]);
                if ($g !== null && $g["vector"] !== array_map("floatval", vec($r["key"]))) return 7;
            }
            $g = $s->get("pre" . (2 * $round + 1));
            if ($g === null || $g["vector"] !== array_map("floatval", vec("pre" . (2 * $round + 1)))) return 8;
        }
        return 0;
    },
];
$st = reap(run($bodies));
if (array_filter($st)) $faults[] = "mixed: statuses " . implode(",", $st);
$must = [];
for ($i = 1; $i < $pre; $i += 2) $must["pre$i"] = 1;
foreach (["a0", "a1"] as $a) for ($i = 0; $i < $per; $i++) {
    if (!($i % 3 === 0 && $i + 2 < $per)) $must["{$a}_$i"] = 1;
}
$seen = verify($name, $opts, $must, [], "mixed", $faults);
$figures[] = "mixed (2 adders, 1 deleter, 1 searcher): $seen records";
QarbinStore::destroy($name);

// 3. Four adders at once while a fifth is killed at a seeded moment, in
// several rounds: the survivors' adds never fail (a dead lock holder is
// taken over) and every record is there once.
$rounds = 3 * $scale;
$killedRecords = 0;
for ($r = 0; $r < $rounds; $r++) {
    mt_srand(777 + $r);
    $name = "t_" . getmypid() . "_kill$r";
    QarbinStore::destroy($name);
    $per = 100;
    $body = function (int $w) use ($name, $opts, $per) {
        $s = new QarbinStore($name, $opts);
        for ($i = 0; $i < ($w === 4 ? 100000 : $per); $i++) $s->set("w{$w}_$i", vec("w{$w}_$i"));
        return 0;
    };
    $pids = run(array_fill(0, 5, $body));
    usleep(mt_rand(1000, 40000));
    posix_kill($pids[4], SIGKILL);
    $victim = $pids[4];
    unset($pids[4]);
    pcntl_waitpid($victim, $status);
    $st = reap($pids);
    if (array_filter($st)) $faults[] = "kill round $r: statuses " . implode(",", $st);
    $must = [];
    for ($w = 0; $w < 4; $w++) for ($i = 0; $i < $per; $i++) $must["w{$w}_$i"] = 1;
    // Whatever the victim stored before it died may be there.
    $maybe = [];
    for ($i = 0; $i < 100000; $i++) $maybe["w4_$i"] = 1;
    $seen = verify($name, $opts, $must, $maybe, "kill round $r", $faults);
    $killedRecords += $seen;
    QarbinStore::destroy($name);
}
$figures[] = "kill rounds $rounds: $killedRecords records";
echo $faults ? implode("\n", array_slice($faults, 0, 20)) . "\n" : "no faults\n";
if ($log = getenv("QARBIN_RELIABILITY_LOG")) {
    file_put_contents($log, "many_processes: " . implode("; ", $figures) . "; faults " . count($faults) . "\n", FILE_APPEND);
}
?>
--EXPECT--
no faults
