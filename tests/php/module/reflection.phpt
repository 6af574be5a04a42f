--TEST--
Reflection of QarbinStore: method order, parameter names, required counts, declared types, destroy static
--FILE--
<?php
$class = new ReflectionClass("QarbinStore");
foreach ($class->getMethods() as $m) {
    $params = [];
    foreach ($m->getParameters() as $p) {
        $type = $p->getType();
        $params[] = ($type ? $type . " " : "") . "$" . $p->getName()
            . ($p->isOptional() ? "?" : "") . ($p->isDefaultValueAvailable() ? "=default" : "")
            . ($p->isPassedByReference() ? "&" : "") . ($p->isVariadic() ? "..." : "");
    }
    printf("%s%s(%s) required %d%s%s\n", $m->isStatic() ? "static " : "", $m->getName(), implode(", ", $params),
        $m->getNumberOfRequiredParameters(), $m->isPublic() ? "" : " NOT PUBLIC",
        $m->hasReturnType() ? " returns " . $m->getReturnType() : "");
}
?>
--EXPECT--
__construct($dir?, ?array $options?) required 0
set($key, array $vector, $metadata?, ?string $text?=default) required 2
batchSet(array $batch) required 1
search(array $vector, $topK?=default, $precision?=default, ?array $filter?=default, ?float $minScore?=default, float $diversity?=default) required 1
buildIndex(?callable $progress?=default) required 0 returns int
delete($key) required 1
get($key) required 1
clear() required 0
snapshot($dir) required 1
compact() required 0 returns int
count() required 0
stats() required 0
close() required 0
dump($path?) required 0
load($path) required 1
static destroy($name) required 1
deleteWhere(array $filter) required 1
has($key) required 1
keys($prefix?) required 0
searchBatch(array $vectors, int $topK?=default, float $precision?=default, ?array $filter?=default, ?float $minScore?=default, float $diversity?=default) required 1 returns array
similar(string $key, int $topK?=default, float $precision?=default, ?array $filter?=default, ?float $minScore?=default, float $diversity?=default) required 1 returns ?array
find(array $filter, int $limit?=default, int $offset?=default) required 1 returns array
setMetadata(string $key, ?string $metadata) required 2 returns bool
searchText(string $query, int $topK?=default, ?array $filter?=default, ?float $minScore?=default) required 1 returns array
searchHybrid(array $vector, string $query, int $topK?=default, float $precision?=default, ?array $filter?=default, float $textWeight?=default) required 2 returns array
