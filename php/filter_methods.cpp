// The retrieval methods of QarbinStore beside search: deleteWhere, has and
// keys. Method bodies own nothing with a destructor: any engine call may
// jump out.
#include "php/filter.h"
#include "php/store_calls.h"

PHP_METHOD(QarbinStore, deleteWhere) {
    HashTable* filterArg;
    ZEND_PARSE_PARAMETERS_START(1, 1)
    Z_PARAM_ARRAY_HT(filterArg)
    ZEND_PARSE_PARAMETERS_END();

    qarbin::Store* store = qarbin_open_store(Z_OBJ_P(ZEND_THIS), true);
    if (!store) RETURN_THROWS();
    char error[kQarbinFilterErrorBytes];
    qarbin::Filter* filter = qarbin_compile_filter(filterArg, error, sizeof error);
    if (filter == nullptr) {
        qarbin_throw(error);
        RETURN_THROWS();
    }
    const long removed = qarbin_php::deleteWhere(store, *filter);
    qarbin_free_filter(filter);
    QARBIN_RESUME_BAILOUT();
    if (removed < 0) {
        qarbin_throw("deleteWhere failed (out of memory?)");
        RETURN_THROWS();
    }
    RETURN_LONG(static_cast<zend_long>(removed));
}

PHP_METHOD(QarbinStore, has) {
    zend_string* key;
    ZEND_PARSE_PARAMETERS_START(1, 1)
    Z_PARAM_STR(key)
    ZEND_PARSE_PARAMETERS_END();

    qarbin::Store* store = qarbin_open_store(Z_OBJ_P(ZEND_THIS), false);
    if (!store) RETURN_THROWS();
    const int rc = qarbin_php::has(store, ZSTR_VAL(key));
    QARBIN_RESUME_BAILOUT();
    RETURN_BOOL(rc == 1);
}

PHP_METHOD(QarbinStore, keys) {
    zend_string* prefix = nullptr;
    ZEND_PARSE_PARAMETERS_START(0, 1)
    Z_PARAM_OPTIONAL
    Z_PARAM_STR(prefix)
    ZEND_PARSE_PARAMETERS_END();

    qarbin::Store* store = qarbin_open_store(Z_OBJ_P(ZEND_THIS), false);
    if (!store) RETURN_THROWS();
    // Held by a plain pointer: should building the array hit the memory
    // limit, the list leaks rather than a destructor being jumped over.
    std::vector<std::string>* keys =
        qarbin_php::keys(store, prefix ? ZSTR_VAL(prefix) : "", prefix ? qarbin_key_len(prefix) : 0);
    QARBIN_RESUME_BAILOUT();
    if (keys == nullptr) {
        qarbin_throw("keys failed (out of memory?)");
        RETURN_THROWS();
    }
    const size_t n = keys->size();
    array_init_size(return_value, static_cast<uint32_t>(n));
    for (size_t i = 0; i < n; ++i) add_next_index_stringl(return_value, (*keys)[i].data(), (*keys)[i].size());
    qarbin_php::releaseKeys(keys);
}
