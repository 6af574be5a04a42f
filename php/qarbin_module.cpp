// Module entry, settings, class registration and the phpinfo block.
#include "php/php_qarbin.h"

extern "C" {
#include "SAPI.h"
}

#include "core/alloc.h"
#include "core/store/store.h"
#include "php/fault_guard.h"
#include "php/store_calls.h"

qarbin_globals_t qarbin_globals;
zend_class_entry* qarbin_store_ce = nullptr;
zend_class_entry* qarbin_exception_ce = nullptr;
zend_object_handlers qarbin_store_handlers;

PHP_INI_BEGIN()
STD_PHP_INI_ENTRY("qarbin.default_dir", "/tmp/qarbin", PHP_INI_ALL, OnUpdateString, default_dir, qarbin_globals_t, qarbin_globals)
STD_PHP_INI_ENTRY("qarbin.default_dim", "1536", PHP_INI_ALL, OnUpdateLong, default_dim, qarbin_globals_t, qarbin_globals)
STD_PHP_INI_ENTRY("qarbin.default_storage", "0", PHP_INI_ALL, OnUpdateLong, default_storage, qarbin_globals_t, qarbin_globals)
STD_PHP_INI_ENTRY("qarbin.mem_initial_capacity", "4096", PHP_INI_ALL, OnUpdateLong, mem_initial_capacity, qarbin_globals_t, qarbin_globals)
STD_PHP_INI_ENTRY("qarbin.hnsw_max_connections", "16", PHP_INI_ALL, OnUpdateLong, hnsw_max_connections, qarbin_globals_t, qarbin_globals)
STD_PHP_INI_ENTRY("qarbin.hnsw_construction_ef", "200", PHP_INI_ALL, OnUpdateLong, hnsw_construction_ef, qarbin_globals_t, qarbin_globals)
STD_PHP_INI_ENTRY("qarbin.hnsw_ef_search", "50", PHP_INI_ALL, OnUpdateLong, hnsw_ef_search, qarbin_globals_t, qarbin_globals)
STD_PHP_INI_ENTRY("qarbin.auto_index_threshold", "100", PHP_INI_ALL, OnUpdateLong, auto_index_threshold, qarbin_globals_t, qarbin_globals)
STD_PHP_INI_ENTRY("qarbin.pq_subvectors", "0", PHP_INI_ALL, OnUpdateLong, pq_subvectors, qarbin_globals_t, qarbin_globals)
STD_PHP_INI_ENTRY("qarbin.pq_training_size", "256", PHP_INI_ALL, OnUpdateLong, pq_training_size, qarbin_globals_t, qarbin_globals)
STD_PHP_INI_ENTRY("qarbin.use_avx2", "1", PHP_INI_ALL, OnUpdateBool, use_avx2, qarbin_globals_t, qarbin_globals)
PHP_INI_END()

namespace {

ZEND_INI_MH(OnUpdateThreads) {
    zval v;
    ZVAL_STR(&v, new_value);
    const zend_long threads = qarbin_parse_threads(&v);
    if (threads < 0) {
        php_error_docref(nullptr, E_WARNING, "Invalid qarbin.threads (use 0 for every processor, or a positive count)");
        return FAILURE;
    }
    qarbin_globals.threads = threads;
    return SUCCESS;
}

// The command line may use every core; a server SAPI runs many processes
// already, each of which would multiply its threads by the cores.
const zend_ini_entry_def threads_cli[] = {
    ZEND_INI_ENTRY("qarbin.threads", "0", PHP_INI_ALL, OnUpdateThreads){nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, 0}};
const zend_ini_entry_def threads_server[] = {
    ZEND_INI_ENTRY("qarbin.threads", "1", PHP_INI_ALL, OnUpdateThreads){nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, 0}};

bool cliSapi() { return sapi_module.name != nullptr && std::strcmp(sapi_module.name, "cli") == 0; }

}  // namespace

zend_string* qarbin_str_key = nullptr;
zend_string* qarbin_str_vector = nullptr;
zend_string* qarbin_str_score = nullptr;
zend_string* qarbin_str_metadata = nullptr;
zend_string* qarbin_str_text = nullptr;
bool qarbin_alloc_bailed = false;

namespace {

// The core's allocation seam. The engine allocator jumps out (bailout) on
// a fatal error such as the memory limit; caught here, the core sees null
// and unwinds normally, and the binding resumes the jump afterwards.
void* engineZeroed(size_t count, size_t size) {
    void* p = nullptr;
    zend_try { p = ecalloc(count, size); }
    zend_catch { qarbin_alloc_bailed = true; }
    zend_end_try();
    return qarbin_alloc_bailed ? nullptr : p;
}

void* engineBytes(size_t size) {
    void* p = nullptr;
    zend_try { p = emalloc(size); }
    zend_catch { qarbin_alloc_bailed = true; }
    zend_end_try();
    return qarbin_alloc_bailed ? nullptr : p;
}

void engineRelease(void* p) { efree(p); }

}  // namespace

zend_object* qarbin_store_create(zend_class_entry* ce) {
    auto* intern = static_cast<qarbin_store_object*>(emalloc(sizeof(qarbin_store_object) + zend_object_properties_size(ce)));
    intern->store = nullptr;
    intern->persistent = false;
    zend_object_std_init(&intern->std, ce);
    object_properties_init(&intern->std, ce);
    intern->std.handlers = &qarbin_store_handlers;
    return &intern->std;
}

void qarbin_store_free(zend_object* object) {
    qarbin_release_store(qarbin_store_from_obj(object));
    zend_object_std_dtor(object);
}

PHP_MINIT_FUNCTION(qarbin) {
    qarbin_globals.default_dir = nullptr;
    qarbin_globals.default_dim = 1536;
    qarbin_globals.default_storage = 0;
    qarbin_globals.mem_initial_capacity = 4096;
    qarbin_globals.hnsw_max_connections = 16;
    qarbin_globals.hnsw_construction_ef = 200;
    qarbin_globals.hnsw_ef_search = 50;
    qarbin_globals.auto_index_threshold = 100;
    qarbin_globals.pq_subvectors = 0;
    qarbin_globals.pq_training_size = 256;
    qarbin_globals.use_avx2 = true;
    qarbin_globals.threads = cliSapi() ? 0 : 1;
    zend_register_ini_entries_ex(ini_entries, module_number, type);
    zend_register_ini_entries_ex(cliSapi() ? threads_cli : threads_server, module_number, type);

    qarbin::setAllocator({engineZeroed, engineBytes, engineRelease});
    qarbin_str_key = zend_string_init_interned("key", sizeof("key") - 1, 1);
    qarbin_str_vector = zend_string_init_interned("vector", sizeof("vector") - 1, 1);
    qarbin_str_score = zend_string_init_interned("score", sizeof("score") - 1, 1);
    qarbin_str_metadata = zend_string_init_interned("metadata", sizeof("metadata") - 1, 1);
    qarbin_str_text = zend_string_init_interned("text", sizeof("text") - 1, 1);

    zend_class_entry ce;
    INIT_CLASS_ENTRY(ce, "QarbinException", nullptr);
    qarbin_exception_ce = zend_register_internal_class_ex(&ce, zend_ce_exception);

    INIT_CLASS_ENTRY(ce, "QarbinStore", qarbin_store_methods);
    qarbin_store_ce = zend_register_internal_class(&ce);
    qarbin_store_ce->create_object = qarbin_store_create;
    qarbin_fault_guard_start(qarbin_store_ce);

    std::memcpy(&qarbin_store_handlers, &std_object_handlers, sizeof(zend_object_handlers));
    qarbin_store_handlers.offset = XtOffsetOf(qarbin_store_object, std);
    qarbin_store_handlers.free_obj = qarbin_store_free;
    // The engine's clone would copy the object without its store field; a
    // store is owned by exactly one object, so cloning is refused.
    qarbin_store_handlers.clone_obj = nullptr;

    zend_register_bool_constant("QARBIN_SHM", sizeof("QARBIN_SHM") - 1, true, CONST_PERSISTENT, module_number);
    return SUCCESS;
}

PHP_MSHUTDOWN_FUNCTION(qarbin) {
    qarbin_close_persistent();
    qarbin_fault_guard_stop();
    zend_unregister_ini_entries_ex(module_number, type);
    return SUCCESS;
}

// After the request's objects are gone, so that every kept store is idle.
ZEND_MODULE_POST_ZEND_DEACTIVATE_D(qarbin) {
    qarbin_fault_settle();
    qarbin_persistent_request_end();
    return SUCCESS;
}

PHP_MINFO_FUNCTION(qarbin) {
    php_info_print_table_start();
    php_info_print_table_header(2, "Qarbin Support", "enabled");
    php_info_print_table_row(2, "Version", PHP_QARBIN_VERSION);
    php_info_print_table_row(2, "SIMD", "AVX2 enabled");
    php_info_print_table_row(2, "Shared Memory", "supported");
    php_info_print_table_row(2, "Embedding (llama.cpp)", "not available");
    php_info_print_table_row(2, "Reranker (llama.cpp)", "not available");
    php_info_print_table_end();
    DISPLAY_INI_ENTRIES();
}

// Module start goes through the processor check (php/cpu_check.cpp).
PHP_MINIT_FUNCTION(qarbin_checked);

zend_module_entry qarbin_module_entry = {
    STANDARD_MODULE_HEADER,
    "qarbin",
    nullptr,
    PHP_MINIT(qarbin_checked),
    PHP_MSHUTDOWN(qarbin),
    nullptr,
    nullptr,
    PHP_MINFO(qarbin),
    PHP_QARBIN_VERSION,
    NO_MODULE_GLOBALS,
    ZEND_MODULE_POST_ZEND_DEACTIVATE_N(qarbin),
    STANDARD_MODULE_PROPERTIES_EX,
};

extern "C" {
ZEND_DLEXPORT zend_module_entry* get_module(void) { return &qarbin_module_entry; }
}
