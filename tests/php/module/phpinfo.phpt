--TEST--
phpinfo block: fixed rows, "AVX2 enabled" even with qarbin.use_avx2 off, and the settings table
--INI--
qarbin.use_avx2=0
--FILE--
<?php
ob_start();
phpinfo(INFO_MODULES);
$info = ob_get_clean();
$start = strpos($info, "\nqarbin\n");
$block = substr($info, $start, strpos($info, "\n\n", strpos($info, "Directive", $start)) - $start);
foreach (explode("\n", $block) as $line) {
    if (str_starts_with($line, "qarbin.use_avx2") || str_starts_with($line, "qarbin.default_dim")
        || !str_starts_with($line, "qarbin.")) {
        echo $line, "\n";
    }
}
?>
--EXPECT--

qarbin

Qarbin Support => enabled
Version => 6.0.0
SIMD => AVX2 enabled
Shared Memory => supported
Embedding (llama.cpp) => not available
Reranker (llama.cpp) => not available

Directive => Local Value => Master Value
qarbin.default_dim => 1536 => 1536
qarbin.use_avx2 => 0 => 0
