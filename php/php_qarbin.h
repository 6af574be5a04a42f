// Shared declarations of the qarbin PHP binding.
#pragma once

extern "C" {
#include "php.h"
#include "php_ini.h"
#include "ext/standard/info.h"
#include "zend_exceptions.h"
}

namespace qarbin {
class Store;
}

#define PHP_QARBIN_VERSION "6.0.0"

struct qarbin_globals_t {
    char* default_dir;
    zend_long default_dim;
    zend_long default_storage;
    zend_long mem_initial_capacity;
    zend_long hnsw_max_connections;
    zend_long hnsw_construction_ef;
    zend_long hnsw_ef_search;
    zend_long auto_index_threshold;
    zend_long pq_subvectors;
    zend_long pq_training_size;
    bool use_avx2;
};

extern qarbin_globals_t qarbin_globals;
extern zend_module_entry qarbin_module_entry;
extern zend_class_entry* qarbin_store_ce;
extern zend_class_entry* qarbin_exception_ce;
extern zend_object_handlers qarbin_store_handlers;

struct qarbin_store_object {
    qarbin::Store* store;
    zend_object std;
};

static inline qarbin_store_object* qarbin_store_from_obj(zend_object* obj) {
    return reinterpret_cast<qarbin_store_object*>(reinterpret_cast<char*>(obj) - XtOffsetOf(qarbin_store_object, std));
}
#define Z_QARBIN_STORE_P(zv) qarbin_store_from_obj(Z_OBJ_P(zv))

// Method table of QarbinStore (php/store_methods.cpp).
extern const zend_function_entry qarbin_store_methods[];

zend_object* qarbin_store_create(zend_class_entry* ce);
void qarbin_store_free(zend_object* object);
