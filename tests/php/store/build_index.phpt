--TEST--
buildIndex(): builds or extends every graph now and returns the records in graphs; progress calls count up to the total; an exception in the callable stops the build with every record still found; a read-only or closed store refuses
--FILE--
<?php
function vec(int $k, int $dim): array {
    mt_srand(900 + $k);
    $v = [];
    for ($i = 0; $i < $dim; $i++) $v[] = mt_rand(-1000, 1000) / 1000;
    return $v;
}
function allFound(QarbinStore $s, int $n, int $dim): bool {
    for ($k = 0; $k < $n; $k++) {
        if (($s->search(vec($k, $dim), 1)[0]["key"] ?? null) !== "k$k") return false;
    }
    return true;
}
$dim = 32;
// One thread: its graph does not depend on scheduling, so every record is
// its own nearest neighbour at the default precision run after run.
$one = ["dimensions" => $dim, "threads" => 1];
$s = new QarbinStore(null, $one);
echo "empty: ", $s->buildIndex(), "\n";
for ($k = 0; $k < 2000; $k++) $s->set("k$k", vec($k, $dim));
$calls = [];
$built = $s->buildIndex(function (int $done, int $total) use (&$calls) { $calls[] = [$done, $total]; });
echo "built: $built, unindexed ", $s->stats()["unindexed_count"], ", index ", $s->stats()["index_status"], "\n";
$ordered = true;
for ($i = 1; $i < count($calls); $i++) $ordered = $ordered && $calls[$i][0] >= $calls[$i - 1][0];
echo "progress: ", $calls ? "called" : "never", ", last ", json_encode(end($calls)), ", counting up: ", var_export($ordered, true), "\n";

// Extends: 300 more, a second call indexes just those.
for ($k = 2000; $k < 2300; $k++) $s->set("k$k", vec($k, $dim));
$calls = [];
echo "extended: ", $s->buildIndex(function ($d, $t) use (&$calls) { $calls[] = [$d, $t]; }), ", last ", json_encode(end($calls)), "\n";
echo "all found: ", var_export(allFound($s, 2300, $dim), true), "\n";

// A callable that throws stops the build; what was built is usable.
$t = new QarbinStore(null, $one);
for ($k = 0; $k < 2000; $k++) $t->set("k$k", vec($k, $dim));
try {
    $t->buildIndex(function () { throw new RuntimeException("stop here"); });
} catch (RuntimeException $e) {
    echo "caught: ", $e->getMessage(), "\n";
}
echo "after the exception all found: ", var_export(allFound($t, 2000, $dim), true), "\n";
echo "then: ", $t->buildIndex(), "\n";

// A callable that closes the store: the build stops instead of working on
// a store that is gone.
$u = new QarbinStore(null, $one);
for ($k = 0; $k < 300; $k++) $u->set("k$k", vec($k, $dim));
try {
    $built = $u->buildIndex(function () use ($u) { $u->close(); });
    echo "close in the callable: built $built\n";
} catch (QarbinException $e) {
    echo "close in the callable: ", $e->getMessage(), "\n";
}

// Wrong arguments, read-only and closed stores.
try { $t->buildIndex("no such function"); } catch (TypeError $e) { echo get_class($e), "\n"; }
$name = "t_" . getmypid() . "_bi";
QarbinStore::destroy($name);
$w = new QarbinStore($name, ["storage" => "shm", "dimensions" => 4]);
$w->set("a", [1, 2, 3, 4]);
$r = new QarbinStore($name, ["storage" => "shm", "dimensions" => 4, "writable" => false]);
try { $r->buildIndex(); } catch (QarbinException $e) { echo $e->getMessage(), "\n"; }
echo "shm: ", $w->buildIndex(), "\n";
$w->close();
try { $w->buildIndex(); } catch (QarbinException $e) { echo $e->getMessage(), "\n"; }
$r->close();
QarbinStore::destroy($name);
?>
--EXPECT--
empty: 0
built: 2000, unindexed 0, index ready
progress: called, last [2000,2000], counting up: true
extended: 2300, last [300,300]
all found: true
caught: stop here
after the exception all found: true
then: 2000
close in the callable: Store not open
TypeError
Store is read-only
shm: 1
Store not open
