--TEST--
Killed writers: a child adding and deleting records on a disk store and a shared store is killed with SIGKILL at seeded moments; every acknowledged record survives whole, nothing half-written is visible, counts match, new writes work
--EXTENSIONS--
pcntl
posix
--FILE--
<?php
// QARBIN_KILL_ROUNDS raises the rounds per mode (scripts/test-long.sh);
// QARBIN_RELIABILITY_LOG receives the figures.
$rounds = max(1, (int) (getenv("QARBIN_KILL_ROUNDS") ?: 6));
$dim = 8;
$ops = 400;
$base = sys_get_temp_dir() . "/qarbin_kill_" . getmypid();
@mkdir($base);

// The child's operations, the same sequence for the parent: op k adds key
// "k$k" or, every fifth op, deletes the key added three ops earlier.
function op(int $k): array {
    return $k % 5 === 4 ? ["del", "k" . ($k - 3)] : ["add", "k$k"];
}
function vec(int $k, int $dim): array {
    $v = [];
    for ($i = 0; $i < $dim; $i++) $v[] = (($k * 7 + $i * 3) % 29) * 0.25 - 3.0;
    return $v;
}
function meta(int $k): ?string {
    return $k % 3 === 0 ? null : str_repeat(chr(65 + $k % 26), 1 + ($k * 37) % 300);
}
function open(string $mode, string $where, int $dim): QarbinStore {
    return $mode === "disk"
        ? new QarbinStore($where, ["dimensions" => $dim, "segment_size" => 16])
        : new QarbinStore($where, ["storage" => "shm", "dimensions" => $dim, "segment_size" => 16]);
}
function cleanup(string $mode, string $where): void {
    if ($mode === "disk") {
        array_map("unlink", glob("$where/*"));
        @rmdir($where);
    } else {
        QarbinStore::destroy($where);
    }
}

$kills = 0;
$checked = 0;
$faults = [];
foreach (["disk", "shm"] as $mode) {
    for ($r = 0; $r < $rounds; $r++) {
        mt_srand(4242 + $r);
        $where = $mode === "disk" ? "$base/r$r" : "t_" . getmypid() . "_kill$r";
        cleanup($mode, $where);
        [$mine, $theirs] = stream_socket_pair(STREAM_PF_UNIX, STREAM_SOCK_STREAM, STREAM_IPPROTO_IP);
        $pid = pcntl_fork();
        if ($pid === 0) {
            fclose($mine);
            $s = open($mode, $where, $dim);
            for ($k = 0; $k < $ops; $k++) {
                [$what, $key] = op($k);
                $what === "add" ? $s->set($key, vec($k, $dim), meta($k)) : $s->delete($key);
                fwrite($theirs, "$k\n");  // acknowledged once the call has returned
            }
            fwrite($theirs, "done\n");
            sleep(60);
            exit(0);
        }
        fclose($theirs);
        // Kill after a seeded number of acknowledgements plus a seeded
        // pause, so that some kills land inside a write or a rollover.
        $target = mt_rand(0, $ops - 1);
        $pause = mt_rand(0, 3) === 0 ? 0 : mt_rand(0, 400);
        $acked = -1;
        while ($acked < $target && ($line = fgets($mine)) !== false && $line !== "done\n") $acked = (int) $line;
        if ($pause) usleep($pause);
        posix_kill($pid, SIGKILL);
        pcntl_waitpid($pid, $status);
        $kills++;
        // Acknowledgements sent before the kill are still in the socket.
        while (($line = fgets($mine)) !== false) {
            if ($line !== "done\n") $acked = max($acked, (int) $line);
        }
        fclose($mine);

        // Expected state after ops 0..acked; op acked+1 may or may not have happened.
        $live = [];
        for ($k = 0; $k <= $acked; $k++) {
            [$what, $key] = op($k);
            if ($what === "add") $live[$key] = $k; else unset($live[$key]);
        }
        $inFlight = $acked + 1 < $ops ? op($acked + 1) : null;
        $s = open($mode, $where, $dim);
        $fault = fn(string $m) => $faults[] = "$mode round $r (acked $acked): $m";
        for ($k = 0; $k < $ops; $k++) {
            if (op($k)[0] !== "add") continue;
            $key = "k$k";
            $got = $s->get($key);
            $maybe = $inFlight !== null && $inFlight[1] === $key;
            if (isset($live[$key]) && $got === null && !($maybe && $inFlight[0] === "del")) $fault("$key lost");
            if (!isset($live[$key]) && $got !== null && !($maybe && $inFlight[0] === "add")) $fault("$key present");
            if ($got !== null && ($got["vector"] !== vec($k, $dim) || $got["metadata"] !== meta($k))) $fault("$key differs");
            $checked++;
        }
        $rows = $s->search(vec(0, $dim), 1000, 0);
        $keys = array_column($rows, "key");
        if (count($keys) !== count(array_unique($keys))) $fault("duplicate keys");
        if (count($rows) !== $s->count()) $fault("count " . $s->count() . " but " . count($rows) . " visible");
        if (array_diff($keys, array_map(fn($k) => "k$k", range(0, $ops - 1)))) $fault("unknown key visible");
        $before = $s->count();
        $s->set("after", vec(999, $dim), "new");
        if ($s->count() !== $before + 1 || $s->get("after")["metadata"] !== "new") $fault("new write failed");
        // A rollover clears what a creator killed half-way left beside the files.
        for ($i = 0; $i < 17; $i++) $s->set("roll$i", vec($i, $dim));
        if ($mode === "disk" && ($left = preg_grep('~^seg_\d{4}\.qbseg$~', array_map("basename", glob("$where/*")), PREG_GREP_INVERT))) {
            $fault("left beside the segments: " . implode(",", $left));
        }
        $s->close();
        cleanup($mode, $where);
    }
}
@rmdir($base);
echo "kills: ", $kills === 2 * $rounds ? "all" : $kills, ", records checked: ", $checked > 0 ? "some" : "none", "\n";
echo $faults ? implode("\n", $faults) . "\n" : "no faults\n";
if ($log = getenv("QARBIN_RELIABILITY_LOG")) {
    file_put_contents($log, "killed_writer: kills $kills, records checked $checked, faults " . count($faults) . "\n", FILE_APPEND);
}
?>
--EXPECT--
kills: all, records checked: some
no faults
