--TEST--
qarbin.stub.php declares what the module registers: classes, methods, parameter names, types, required counts, static, the constant and the INI defaults; a changed stub is caught
--FILE--
<?php
$root = getenv("QARBIN_SOURCE_DIR") ?: __DIR__ . "/../../..";
$code = @file_get_contents("$root/qarbin.stub.php");
if ($code === false) die("qarbin.stub.php not found under $root\n");
$code = preg_replace('~^<\?php~', "", $code);

// The stub's classes carry the module's names, so each copy goes into a namespace.
function loadStub(string $ns, string $code): void {
    eval("namespace $ns; $code");
}

function describeClass(string $name): array {
    $c = new ReflectionClass($name);
    $short = fn(?string $n) => $n === null ? "-" : substr(strrchr("\\" . $n, "\\"), 1);
    $lines = [sprintf("class %s parent %s interfaces [%s] final %d abstract %d constants %d properties %d",
        $c->getShortName(), $short($c->getParentClass() ? $c->getParentClass()->getName() : null),
        implode(",", array_map($short, array_diff($c->getInterfaceNames(), (new ReflectionClass("Exception"))->getInterfaceNames()))),
        $c->isFinal(), $c->isAbstract(), count($c->getReflectionConstants()),
        count(array_filter($c->getProperties(), fn($p) => $p->getDeclaringClass()->getName() === $name)))];
    foreach ($c->getMethods() as $m) {
        if ($m->getDeclaringClass()->getName() !== $name) continue;
        $params = [];
        foreach ($m->getParameters() as $p) {
            $params[] = ($p->hasType() ? $p->getType() . " " : "") . ($p->isPassedByReference() ? "&" : "")
                . ($p->isVariadic() ? "..." : "") . "$" . $p->getName() . ($p->isOptional() ? " optional" : "");
        }
        $lines[] = sprintf("  %s%s %s(%s) required %d%s", $m->isPublic() ? "public" : "non-public",
            $m->isStatic() ? " static" : "", $m->getName(), implode(", ", $params), $m->getNumberOfRequiredParameters(),
            $m->hasReturnType() ? " : " . $m->getReturnType() : "");
    }
    return $lines;
}

function compare(string $ns): array {
    $diff = [];
    foreach (["QarbinStore", "QarbinException"] as $class) {
        $module = describeClass($class);
        $stub = describeClass("$ns\\$class");
        foreach (array_diff($module, $stub) as $l) $diff[] = "module only: " . trim($l);
        foreach (array_diff($stub, $module) as $l) $diff[] = "stub only:   " . trim($l);
        if (array_values(array_intersect($module, $stub)) !== array_values(array_intersect($stub, $module))) {
            $diff[] = "$class: methods in another order";
        }
    }
    if (!defined("$ns\\QARBIN_SHM") || constant("$ns\\QARBIN_SHM") !== QARBIN_SHM) $diff[] = "QARBIN_SHM differs";
    return $diff;
}

loadStub("StubCheck", $code);
$diff = compare("StubCheck");
echo "stub against module: ", $diff ? "\n" . implode("\n", $diff) : "same", "\n";
echo "methods compared: ", count(get_class_methods("QarbinStore")), "\n";

// Every setting the module registers is documented with its default.
preg_match_all('~(qarbin\.[a-z0-9_]+) = ("[^"]*"|\S+)~', $code, $m, PREG_SET_ORDER);
$documented = [];
foreach ($m as [, $key, $value]) $documented[$key] = trim($value, '"');
foreach (ini_get_all("qarbin") as $key => $entry) {
    if (!array_key_exists($key, $documented)) echo "undocumented setting: $key\n";
    elseif ($documented[$key] !== $entry["global_value"]) echo "$key: stub says {$documented[$key]}, module {$entry["global_value"]}\n";
}
echo "settings documented: ", count(array_intersect_key($documented, ini_get_all("qarbin"))), "\n";

// Every option the constructor knows (the list its warning for an unknown
// one gives) is in the stub's shape of $options and has its own entry.
set_error_handler(function ($no, $msg) use (&$valid) { preg_match('~valid options: ([a-z_, ]+)~', $msg, $vm); $valid = explode(", ", $vm[1]); return true; });
new QarbinStore(null, ["dimensions" => 2, "no_such_option" => 1]);
restore_error_handler();
preg_match('~@param array\{([^}]*)\}\|null \$options~s', $code, $shape);
preg_match_all('~([a-z_]+)\?:~', $shape[1], $keys);
$missing = array_diff($valid, $keys[1]);
$extra = array_diff($keys[1], $valid);
$undescribed = array_filter($valid, fn($k) => !str_contains($code, "* - \"$k\" =>"));
printf("options: %d, missing from the stub's shape [%s], only in it [%s], without an entry [%s]\n", count($valid),
       implode(",", $missing), implode(",", $extra), implode(",", $undescribed));

// The check itself: a stub with a renamed parameter, a dropped type, a
// missing static and an extra method is reported line by line.
$changed = str_replace(['search(array $vector, $topK = 10', 'array $batch', 'public static function destroy', 'public function close() {}'],
    ['search(array $vector, $limit = 10', '$batch', 'public function destroy', 'public function close() {} public function flush() {}'], $code);
loadStub("ChangedStub", $changed);
echo implode("\n", compare("ChangedStub")), "\n";
?>
--EXPECT--
stub against module: same
methods compared: 25
settings documented: 12
options: 11, missing from the stub's shape [], only in it [], without an entry []
module only: public batchSet(array $batch) required 1
module only: public search(array $vector, $topK optional, $precision optional, ?array $filter optional, ?float $minScore optional, float $diversity optional) required 1
module only: public static destroy($name) required 1
stub only:   public batchSet($batch) required 1
stub only:   public search(array $vector, $limit optional, $precision optional, ?array $filter optional, ?float $minScore optional, float $diversity optional) required 1
stub only:   public flush() required 0
stub only:   public destroy($name) required 1
