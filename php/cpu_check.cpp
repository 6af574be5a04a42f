// Start-up processor check. Everything else in qarbin.so is built for AVX2
// and FMA without a fallback, so module start runs this first and refuses
// with a message instead of dying later of an illegal instruction. This file
// is built without those instructions: by its own flags in CMakeLists.txt
// and, for the phpize build that passes one set of flags to every file, by
// the pragma below.
#pragma GCC target("no-avx,no-avx2,no-fma")

#include "php/php_qarbin.h"

PHP_MINIT_FUNCTION(qarbin);

bool qarbin_cpu_supported() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

// The module's start function: checks the processor, then starts the module.
PHP_MINIT_FUNCTION(qarbin_checked) {
    if (!qarbin_cpu_supported()) {
        zend_error(E_CORE_WARNING,
                   "qarbin: this processor lacks AVX2/FMA, which qarbin.so is built for; the module cannot start");
        return FAILURE;
    }
    return ZEND_MODULE_STARTUP_N(qarbin)(INIT_FUNC_ARGS_PASSTHRU);
}
