--TEST--
Option "create": false opens only a store that exists, in every mode; a missing one is refused with "Store not found: NAME" and nothing is created; true (the default) creates as before
--FILE--
<?php
$dir = sys_get_temp_dir() . "/qb_create_" . getmypid();
$name = "t_" . getmypid() . "_create";
function tidy(string $dir, string $name): void {
    QarbinStore::destroy($name);
    @array_map("unlink", glob("$dir/sub/*"));
    @rmdir("$dir/sub");
    @array_map("unlink", glob("$dir/*"));
    @rmdir($dir);
}
// What exists afterwards of the store's objects and files.
function left(string $dir, string $name): string {
    clearstatcache();
    $shm = glob("/dev/shm/qb_{$name}*");
    return sprintf("shm objects %d, directory %s, files %d", count($shm), is_dir("$dir/sub") ? "yes" : "no",
                   count(glob("$dir/sub/*")));
}
$cases = [
    "disk"           => fn($o) => new QarbinStore("$dir/sub", $o),
    "memory loading" => fn($o) => new QarbinStore("$dir/sub", ["storage" => "memory"] + $o),
    "memory, no dir" => fn($o) => new QarbinStore(null, $o),
    "shm"            => fn($o) => new QarbinStore($name, ["storage" => "shm"] + $o),
    "shm read-only"  => fn($o) => new QarbinStore($name, ["storage" => "shm", "writable" => false] + $o),
    "shm persistent" => fn($o) => new QarbinStore($name, ["storage" => "shm", "persistent" => true] + $o),
];
tidy($dir, $name);
@mkdir($dir);
foreach ($cases as $label => $open) {
    foreach ([false, true] as $create) {
        tidy($dir, $name);
        @mkdir($dir);
        try {
            $s = $open(["dimensions" => 2, "create" => $create]);
            $s->set("a", [1, 2]);
            $msg = "opened, count " . $s->count();
            $s->close();
        } catch (QarbinException $e) {
            $msg = str_replace([$dir, $name], ["DIR", "NAME"], $e->getMessage());
        }
        printf("%-15s create %-5s %s; %s\n", $label, var_export($create, true), $msg, left($dir, $name));
    }
}
// An existing store opens with create false in each mode that can have one.
tidy($dir, $name);
@mkdir($dir);
(new QarbinStore("$dir/sub", ["dimensions" => 2, "segment_size" => 8]))->set("d", [1, 2]);
(new QarbinStore($name, ["storage" => "shm", "dimensions" => 2]))->set("s", [1, 2]);
foreach (["disk", "memory loading", "shm", "shm read-only", "shm persistent"] as $label) {
    $s = $cases[$label](["dimensions" => 2, "create" => false]);
    printf("existing %-15s count %d\n", $label, $s->count());
    $s->close();
}
tidy($dir, $name);
?>
--EXPECT--
disk            create false Store not found: DIR/sub; shm objects 0, directory no, files 0
disk            create true  opened, count 1; shm objects 0, directory yes, files 1
memory loading  create false Store not found: DIR/sub; shm objects 0, directory no, files 0
memory loading  create true  opened, count 1; shm objects 0, directory no, files 0
memory, no dir  create false Store not found: a memory store without a directory; shm objects 0, directory no, files 0
memory, no dir  create true  opened, count 1; shm objects 0, directory no, files 0
shm             create false Store not found: NAME; shm objects 0, directory no, files 0
shm             create true  opened, count 1; shm objects 2, directory no, files 0
shm read-only   create false Store not found: NAME; shm objects 0, directory no, files 0
shm read-only   create true  Failed to open shm store: NAME; shm objects 0, directory no, files 0
shm persistent  create false Store not found: NAME; shm objects 0, directory no, files 0
shm persistent  create true  opened, count 1; shm objects 2, directory no, files 0
existing disk            count 1
existing memory loading  count 1
existing shm             count 1
existing shm read-only   count 1
existing shm persistent  count 1
