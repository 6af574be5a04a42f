// Methods of QarbinStore: the constructor and every method but dump and load.
// Method bodies own nothing with a destructor: any engine call may jump out.
#include "php/php_qarbin.h"

#include "php/filter.h"
#include "php/store_calls.h"

using qarbin::DistanceMetric;
using qarbin::Quantization;
using qarbin::StorageMode;

PHP_METHOD(QarbinStore, dump);
PHP_METHOD(QarbinStore, load);
PHP_METHOD(QarbinStore, buildIndex);
PHP_METHOD(QarbinStore, deleteWhere);
PHP_METHOD(QarbinStore, has);
PHP_METHOD(QarbinStore, keys);
PHP_METHOD(QarbinStore, searchBatch);
PHP_METHOD(QarbinStore, similar);
PHP_METHOD(QarbinStore, setMetadata);
PHP_METHOD(QarbinStore, find);
PHP_METHOD(QarbinStore, searchText);
PHP_METHOD(QarbinStore, searchHybrid);

namespace {

inline qarbin_store_object* thisStore(zend_execute_data* execute_data) { return Z_QARBIN_STORE_P(ZEND_THIS); }

}  // namespace

qarbin::Store* qarbin_intact_store(qarbin_store_object* intern) {
    qarbin::Store* store = intern->store;
    if (!store) return nullptr;
    const char* lost = qarbin_php::truncatedBacking(store);
    if (!lost) return store;
    zend_throw_exception_ex(qarbin_exception_ce, 0, "Segment file was truncated: %s", lost);
    qarbin_php::abandonWrites(store);
    qarbin_forget_persistent(store);
    qarbin_release_store(intern);
    return nullptr;
}

void qarbin_throw_search_failed(const qarbin::Store* store) {
    const int why = qarbin_php::segmentRefusal(store);
    if (why == 0) {
        qarbin_throw("Search failed (out of memory?)");
        return;
    }
    char cause[4200];
    zend_throw_exception_ex(qarbin_exception_ce, 0, "Search failed: %s",
                            qarbin_refusal_cause(why, qarbin_php::refusedSegment(store), cause, sizeof cause));
}

qarbin::Store* qarbin_open_store(zend_object* object, bool writes) {
    qarbin::Store* store = qarbin_intact_store(qarbin_store_from_obj(object));
    if (EG(exception)) return nullptr;
    if (!store) {
        qarbin_throw("Store not open");
        return nullptr;
    }
    if (writes && !qarbin_php::writable(store)) {
        qarbin_throw("Store is read-only");
        return nullptr;
    }
    return store;
}

namespace {

// Row of search(): "key", "score", "metadata", "text".
void makeRow(zval* row, const qarbin::Result* r) {
    array_init_size(row, 4);
    HashTable* ht = Z_ARRVAL_P(row);
    zend_hash_real_init_mixed(ht);
    zval tmp;
    ZVAL_STRINGL(&tmp, r->key, r->keyLen);
    _zend_hash_append(ht, qarbin_str_key, &tmp);
    ZVAL_DOUBLE(&tmp, static_cast<double>(r->score));
    _zend_hash_append(ht, qarbin_str_score, &tmp);
    if (r->metadata && r->metadataLen) {
        size_t len = r->metadataLen < qarbin::kLongestMetadataBytes ? r->metadataLen : qarbin::kLongestMetadataBytes;
        ZVAL_STRINGL(&tmp, r->metadata, len);
    } else {
        ZVAL_NULL(&tmp);
    }
    _zend_hash_append(ht, qarbin_str_metadata, &tmp);
    if (r->text) ZVAL_STRINGL(&tmp, r->text, r->textLen);
    else ZVAL_NULL(&tmp);
    _zend_hash_append(ht, qarbin_str_text, &tmp);
}

}  // namespace

void qarbin_make_rows(zval* rows, const qarbin::Result* results, int n) {
    array_init_size(rows, static_cast<uint32_t>(n));
    if (n <= 0) return;
    zend_hash_real_init_packed(Z_ARRVAL_P(rows));
    ZEND_HASH_FILL_PACKED(Z_ARRVAL_P(rows)) {
        for (int i = 0; i < n; ++i) {
            zval row;
            makeRow(&row, &results[i]);
            ZEND_HASH_FILL_ADD(&row);
        }
    }
    ZEND_HASH_FILL_END();
}

PHP_METHOD(QarbinStore, __construct) {
    zval* dir = nullptr;
    HashTable* options = nullptr;
    ZEND_PARSE_PARAMETERS_START(0, 2)
    Z_PARAM_OPTIONAL
    Z_PARAM_ZVAL_OR_NULL(dir)
    Z_PARAM_ARRAY_HT_OR_NULL(options)
    ZEND_PARSE_PARAMETERS_END();
    if (dir) ZVAL_DEREF(dir);

    qarbin_open_request req;
    if (!qarbin_parse_open_request(dir, options, &req)) RETURN_THROWS();
    // A second construction replaces the store: the old one is let go
    // first, so the object never holds two and never loses one.
    qarbin_store_object* intern = thisStore(execute_data);
    qarbin_release_store(intern);
    if (req.persistent)
        intern->store = qarbin_open_persistent(req, &intern->persistent);
    else
        intern->store = qarbin_open_requested(req);
    if (!intern->store) RETURN_THROWS();
    // A kept store serves this object with this object's thread count.
    qarbin_php::setThreads(intern->store, qarbin_threads_for(req.threads));
}

PHP_METHOD(QarbinStore, set) {
    zend_string* key;
    HashTable* vector;
    zend_string* metadata = nullptr;
    zend_string* text = nullptr;
    ZEND_PARSE_PARAMETERS_START(2, 4)
    Z_PARAM_STR(key)
    Z_PARAM_ARRAY_HT(vector)
    Z_PARAM_OPTIONAL
    Z_PARAM_STR_OR_NULL(metadata)
    Z_PARAM_STR_OR_NULL(text)
    ZEND_PARSE_PARAMETERS_END();

    qarbin_store_object* intern = thisStore(execute_data);
    qarbin::Store* store = qarbin_open_store(Z_OBJ_P(ZEND_THIS), true);
    if (!store) RETURN_THROWS();
    const uint32_t dim = qarbin_php::dim(store);
    if (zend_hash_num_elements(vector) != dim) {
        qarbin_throw_vector_error(QARBIN_VECTOR_DIM, dim);
        RETURN_THROWS();
    }
    if (const char* limit = qarbin_record_limit_error(store, key, metadata ? ZSTR_LEN(metadata) : 0)) {
        qarbin_throw(limit);
        RETURN_THROWS();
    }
    if (const char* refused = text ? qarbin_text_error(store, text) : nullptr) {
        qarbin_throw(refused);
        RETURN_THROWS();
    }
    float* buf = static_cast<float*>(emalloc(sizeof(float) * dim));
    int rc = qarbin_vector_arg(vector, intern, store, dim, buf);
    if (rc != QARBIN_VECTOR_OK) {
        efree(buf);
        qarbin_throw_vector_error(rc, dim);
        RETURN_THROWS();
    }
    rc = qarbin_php::set(store, ZSTR_VAL(key), buf, metadata ? ZSTR_VAL(metadata) : nullptr,
                         metadata ? static_cast<uint32_t>(ZSTR_LEN(metadata)) : 0, text ? ZSTR_VAL(text) : nullptr,
                         text ? static_cast<uint32_t>(ZSTR_LEN(text)) : 0);
    efree(buf);
    QARBIN_RESUME_BAILOUT();
    if (rc != 0) {
        zend_throw_exception_ex(qarbin_exception_ce, 0, "Failed to set vector%s", qarbin_write_failure_cause(store));
        RETURN_THROWS();
    }
    RETURN_TRUE;
}

PHP_METHOD(QarbinStore, batchSet) {
    HashTable* batch;
    ZEND_PARSE_PARAMETERS_START(1, 1)
    Z_PARAM_ARRAY_HT(batch)
    ZEND_PARSE_PARAMETERS_END();

    qarbin_store_object* intern = thisStore(execute_data);
    qarbin::Store* store = qarbin_open_store(Z_OBJ_P(ZEND_THIS), true);
    if (!store) RETURN_THROWS();
    const uint32_t dim = qarbin_php::dim(store);
    float* buf = static_cast<float*>(emalloc(sizeof(float) * dim));
    zend_long stored = 0;
    const char* error = nullptr;
    const char* cause = "";
    bool dimMismatch = false;
    // Held for the loop: user code run by a conversion cannot move its slots.
    GC_TRY_ADDREF(batch);
    zval* elem;
    ZEND_HASH_FOREACH_VAL(batch, elem) {
        ZVAL_DEREF(elem);
        if (Z_TYPE_P(elem) != IS_ARRAY) {
            error = "Each batch element must be an array";
            break;
        }
        HashTable* record = Z_ARRVAL_P(elem);
        zval* key = zend_hash_find_known_hash(record, qarbin_str_key);
        if (key) ZVAL_DEREF(key);
        if (!key || Z_TYPE_P(key) != IS_STRING || Z_STRLEN_P(key) == 0) {
            error = "Each batch element must have a non-empty 'key' string";
            break;
        }
        zval* vec = zend_hash_find_known_hash(record, qarbin_str_vector);
        if (vec) ZVAL_DEREF(vec);
        if (!vec || Z_TYPE_P(vec) != IS_ARRAY) {
            error = "Each batch element must have a 'vector' array";
            break;
        }
        if (zend_hash_num_elements(Z_ARRVAL_P(vec)) != dim) {
            dimMismatch = true;
            break;
        }
        zval* meta = zend_hash_find_known_hash(record, qarbin_str_metadata);
        if (meta) ZVAL_DEREF(meta);
        if (meta && Z_TYPE_P(meta) != IS_STRING) meta = nullptr;
        error = qarbin_record_limit_error(store, Z_STR_P(key), meta ? Z_STRLEN_P(meta) : 0);
        if (error) break;
        zval* text = zend_hash_find_known_hash(record, qarbin_str_text);
        if (text) ZVAL_DEREF(text);
        if (text && Z_TYPE_P(text) != IS_STRING) {
            if (Z_TYPE_P(text) != IS_NULL) error = "A batch element's 'text' must be a string or null";
            text = nullptr;
        }
        if (!error && text) error = qarbin_text_error(store, Z_STR_P(text));
        if (error) break;
        // Key, metadata and text must outlive user code the conversion may run.
        zend_string* keyStr = zend_string_copy(Z_STR_P(key));
        zend_string* metaStr = meta ? zend_string_copy(Z_STR_P(meta)) : nullptr;
        zend_string* textStr = text ? zend_string_copy(Z_STR_P(text)) : nullptr;
        int rc = qarbin_vector_arg(Z_ARRVAL_P(vec), intern, store, dim, buf);
        if (rc == QARBIN_VECTOR_CLOSED) {
            error = "Store not open";
        } else if (rc == QARBIN_VECTOR_NONFINITE) {
            error = "Vector components must be finite";
        } else if (rc == QARBIN_VECTOR_NOT_NUMBER) {
            error = "Vector components must be numbers";
        } else if (rc == QARBIN_VECTOR_OK) {
            rc = qarbin_php::set(store, ZSTR_VAL(keyStr), buf, metaStr ? ZSTR_VAL(metaStr) : nullptr,
                                 metaStr ? static_cast<uint32_t>(ZSTR_LEN(metaStr)) : 0,
                                 textStr ? ZSTR_VAL(textStr) : nullptr,
                                 textStr ? static_cast<uint32_t>(ZSTR_LEN(textStr)) : 0);
            if (rc != 0) {
                error = "Failed to set vector in batch";
                cause = qarbin_write_failure_cause(store);
            }
        }
        zend_string_release(keyStr);
        if (metaStr) zend_string_release(metaStr);
        if (textStr) zend_string_release(textStr);
        if (error || rc != 0) break;
        ++stored;
    }
    ZEND_HASH_FOREACH_END();
    zend_array_release(batch);
    efree(buf);
    QARBIN_RESUME_BAILOUT();
    if (EG(exception)) RETURN_THROWS();
    if (dimMismatch) {
        qarbin_throw_vector_error(QARBIN_VECTOR_DIM, dim);
        RETURN_THROWS();
    }
    if (error) {
        zend_throw_exception_ex(qarbin_exception_ce, 0, "%s%s", error, cause);
        RETURN_THROWS();
    }
    RETURN_LONG(stored);
}

PHP_METHOD(QarbinStore, search) {
    HashTable* vector;
    zend_long topK = 10;
    double precision = 50.0;
    HashTable* filterArg = nullptr;
    double minScore = 0.0;
    bool minScoreNull = true;
    double diversity = 0.0;
    ZEND_PARSE_PARAMETERS_START(1, 6)
    Z_PARAM_ARRAY_HT(vector)
    Z_PARAM_OPTIONAL
    Z_PARAM_LONG(topK)
    Z_PARAM_DOUBLE(precision)
    Z_PARAM_ARRAY_HT_OR_NULL(filterArg)
    Z_PARAM_DOUBLE_OR_NULL(minScore, minScoreNull)
    Z_PARAM_DOUBLE(diversity)
    ZEND_PARSE_PARAMETERS_END();

    qarbin_store_object* intern = thisStore(execute_data);
    qarbin::Store* store = qarbin_open_store(Z_OBJ_P(ZEND_THIS), false);
    if (!store) RETURN_THROWS();
    qarbin::SearchRefinement how;
    if (!qarbin_refinement_arg(minScore, minScoreNull, diversity, &how)) RETURN_THROWS();
    const uint32_t dim = qarbin_php::dim(store);
    if (zend_hash_num_elements(vector) != dim) {
        qarbin_throw_vector_error(QARBIN_VECTOR_DIM, dim);
        RETURN_THROWS();
    }
    float* buf = static_cast<float*>(emalloc(sizeof(float) * dim));
    int rc = qarbin_vector_arg(vector, intern, store, dim, buf);
    if (rc != QARBIN_VECTOR_OK) {
        efree(buf);
        qarbin_throw_vector_error(rc, dim);
        RETURN_THROWS();
    }
    // Compiled after the conversion, which may run user code: from here
    // until it is released nothing can leave this frame.
    qarbin::Filter* filter = nullptr;
    if (filterArg != nullptr) {
        char error[kQarbinFilterErrorBytes];
        filter = qarbin_compile_filter(filterArg, error, sizeof error);
        if (filter == nullptr) {
            efree(buf);
            qarbin_throw(error);
            RETURN_THROWS();
        }
    }
    qarbin::Result* results = nullptr;
    // Bounded while still a zend_long: narrowing first would wrap 2^31 to a
    // negative count and 2^32 + 5 to 5.
    const int k = qarbin_capped_topk(topK);
    const bool refined = !minScoreNull || diversity > 0.0;
    int n = refined ? qarbin_php::retrieve(store, buf, k, static_cast<float>(precision), &results, filter, how)
                    : qarbin_php::search(store, buf, k, static_cast<float>(precision), &results, filter);
    qarbin_free_filter(filter);
    efree(buf);
    QARBIN_RESUME_BAILOUT();
    if (n < 0 || (n > 0 && !results)) {
        if (results) efree(results);
        qarbin_throw_search_failed(store);
        RETURN_THROWS();
    }
    qarbin_make_rows(return_value, results, n);
    if (results) efree(results);
}

PHP_METHOD(QarbinStore, delete) {
    zend_string* key;
    ZEND_PARSE_PARAMETERS_START(1, 1)
    Z_PARAM_STR(key)
    ZEND_PARSE_PARAMETERS_END();

    qarbin::Store* store = qarbin_intact_store(thisStore(execute_data));
    if (EG(exception)) RETURN_THROWS();
    if (!store) RETURN_FALSE;
    if (!qarbin_php::writable(store)) {
        qarbin_throw("Store is read-only");
        RETURN_THROWS();
    }
    int rc = qarbin_php::del(store, ZSTR_VAL(key));
    QARBIN_RESUME_BAILOUT();
    RETURN_BOOL(rc == 0);
}

PHP_METHOD(QarbinStore, get) {
    zend_string* key;
    ZEND_PARSE_PARAMETERS_START(1, 1)
    Z_PARAM_STR(key)
    ZEND_PARSE_PARAMETERS_END();

    qarbin::Store* store = qarbin_open_store(Z_OBJ_P(ZEND_THIS), false);
    if (!store) RETURN_THROWS();
    const uint32_t dim = qarbin_php::dim(store);
    float* buf = static_cast<float*>(emalloc(sizeof(float) * dim));
    char* meta = nullptr;
    uint32_t metaLen = 0;
    char* text = nullptr;
    uint32_t textLen = 0;
    int rc = qarbin_php::get(store, ZSTR_VAL(key), buf, &meta, &metaLen, &text, &textLen);
    QARBIN_RESUME_BAILOUT();
    if (rc != 0) {
        efree(buf);
        if (meta) efree(meta);
        if (text) efree(text);
        RETURN_NULL();
    }
    array_init_size(return_value, 4);
    HashTable* ht = Z_ARRVAL_P(return_value);
    zend_hash_real_init_mixed(ht);
    zval tmp;
    ZVAL_STR_COPY(&tmp, key);
    _zend_hash_append(ht, qarbin_str_key, &tmp);
    array_init_size(&tmp, dim);
    zend_hash_real_init_packed(Z_ARRVAL(tmp));
    ZEND_HASH_FILL_PACKED(Z_ARRVAL(tmp)) {
        for (uint32_t i = 0; i < dim; ++i) {
            ZEND_HASH_FILL_SET_DOUBLE(static_cast<double>(buf[i]));
            ZEND_HASH_FILL_NEXT();
        }
    }
    ZEND_HASH_FILL_END();
    _zend_hash_append(ht, qarbin_str_vector, &tmp);
    efree(buf);
    if (meta && metaLen) ZVAL_STRINGL(&tmp, meta, metaLen);
    else ZVAL_NULL(&tmp);
    if (meta) efree(meta);
    _zend_hash_append(ht, qarbin_str_metadata, &tmp);
    if (text) ZVAL_STRINGL(&tmp, text, textLen);
    else ZVAL_NULL(&tmp);
    if (text) efree(text);
    _zend_hash_append(ht, qarbin_str_text, &tmp);
}

PHP_METHOD(QarbinStore, clear) {
    ZEND_PARSE_PARAMETERS_NONE();
    qarbin::Store* store = qarbin_intact_store(thisStore(execute_data));
    if (EG(exception)) RETURN_THROWS();
    if (!store) RETURN_FALSE;
    if (!qarbin_php::writable(store)) {
        qarbin_throw("Store is read-only");
        RETURN_THROWS();
    }
    int rc = qarbin_php::clear(store);
    QARBIN_RESUME_BAILOUT();
    RETURN_BOOL(rc == 0);
}

PHP_METHOD(QarbinStore, snapshot) {
    zend_string* dir;
    ZEND_PARSE_PARAMETERS_START(1, 1)
    Z_PARAM_PATH_STR(dir)
    ZEND_PARSE_PARAMETERS_END();
    qarbin::Store* store = qarbin_intact_store(thisStore(execute_data));
    if (EG(exception)) RETURN_THROWS();
    if (!store) RETURN_FALSE;
    if (qarbin_php::mode(store) == StorageMode::Disk) {
        qarbin_throw("snapshot() is not available on disk-mode stores");
        RETURN_THROWS();
    }
    // Refused as mkdir() would refuse it: a warning and false.
    if (!qarbin_path_allowed(ZSTR_VAL(dir))) RETURN_FALSE;
    int rc = qarbin_php::snapshot(store, ZSTR_VAL(dir));
    QARBIN_RESUME_BAILOUT();
    RETURN_BOOL(rc == 0);
}

PHP_METHOD(QarbinStore, compact) {
    ZEND_PARSE_PARAMETERS_NONE();
    qarbin::Store* store = qarbin_open_store(Z_OBJ_P(ZEND_THIS), true);
    if (!store) RETURN_THROWS();
    const long reclaimed = qarbin_php::compact(store);
    QARBIN_RESUME_BAILOUT();
    if (reclaimed < 0) {
        zend_throw_exception_ex(qarbin_exception_ce, 0, "Compaction failed%s", qarbin_write_failure_cause(store));
        RETURN_THROWS();
    }
    RETURN_LONG(static_cast<zend_long>(reclaimed));
}

PHP_METHOD(QarbinStore, count) {
    ZEND_PARSE_PARAMETERS_NONE();
    qarbin::Store* store = qarbin_intact_store(thisStore(execute_data));
    if (EG(exception)) RETURN_THROWS();
    if (!store) RETURN_LONG(0);
    RETURN_LONG(static_cast<zend_long>(qarbin_php::count(store)));
}

PHP_METHOD(QarbinStore, stats) {
    ZEND_PARSE_PARAMETERS_NONE();
    qarbin::Store* store = qarbin_intact_store(thisStore(execute_data));
    if (EG(exception)) RETURN_THROWS();
    if (!store) RETURN_NULL();
    qarbin::StoreStats st;
    qarbin_php::stats(store, &st);
    const qarbin::Shape& shape = st.shape;
    array_init_size(return_value, 18);
    add_assoc_string(return_value, "storage", qarbin_storage_names[static_cast<uint32_t>(st.mode) % 3]);
    add_assoc_long(return_value, "total_count", static_cast<zend_long>(st.totalCount));
    add_assoc_long(return_value, "segment_count", static_cast<zend_long>(st.segmentCount));
    add_assoc_long(return_value, "dimensions", shape.dim);
    add_assoc_string(return_value, "distance", qarbin_distance_names[static_cast<uint32_t>(shape.metric) % 4]);
    add_assoc_string(return_value, "quantization",
                     qarbin_quantization_names[static_cast<uint32_t>(shape.quantization) % 5]);
    add_assoc_long(return_value, "bytes_per_vector", static_cast<zend_long>(st.bytesPerVector));
    if (shape.quantization == Quantization::PQ) add_assoc_long(return_value, "pq_subvectors", shape.pqSubvectors);
    add_assoc_string(return_value, "concurrency", "lock-free (C++ std::atomic)");
    add_assoc_string(return_value, "index_status", st.indexReady ? "ready" : "none");
    add_assoc_long(return_value, "unindexed_count", static_cast<zend_long>(st.unindexed));
    add_assoc_long(return_value, "dead_count", static_cast<zend_long>(st.deadCount));
    add_assoc_double(return_value, "memory_mb", st.memoryMb);
    add_assoc_long(return_value, "threads", qarbin_php::threads(store));
    add_assoc_long(return_value, "text_records", static_cast<zend_long>(st.text.records));
    add_assoc_long(return_value, "text_indexed", static_cast<zend_long>(st.text.indexed));
    add_assoc_long(return_value, "text_terms", static_cast<zend_long>(st.text.terms));
    add_assoc_long(return_value, "text_bytes", static_cast<zend_long>(st.text.bytes));
}

PHP_METHOD(QarbinStore, close) {
    ZEND_PARSE_PARAMETERS_NONE();
    qarbin_release_store(thisStore(execute_data));
}

PHP_METHOD(QarbinStore, destroy) {
    zend_string* name;
    ZEND_PARSE_PARAMETERS_START(1, 1)
    Z_PARAM_PATH_STR(name)
    ZEND_PARSE_PARAMETERS_END();
    qarbin_forget_persistent_shm(ZSTR_VAL(name));
    RETURN_BOOL(qarbin_php::destroyShm(ZSTR_VAL(name)));
}

ZEND_BEGIN_ARG_INFO_EX(arginfo_qarbin_construct, 0, 0, 0)
ZEND_ARG_INFO(0, dir)
ZEND_ARG_TYPE_INFO(0, options, IS_ARRAY, 1)
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_INFO_EX(arginfo_qarbin_set, 0, 0, 2)
ZEND_ARG_INFO(0, key)
ZEND_ARG_TYPE_INFO(0, vector, IS_ARRAY, 0)
ZEND_ARG_INFO(0, metadata)
ZEND_ARG_TYPE_INFO_WITH_DEFAULT_VALUE(0, text, IS_STRING, 1, "null")
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_INFO_EX(arginfo_qarbin_batch_set, 0, 0, 1)
ZEND_ARG_TYPE_INFO(0, batch, IS_ARRAY, 0)
ZEND_END_ARG_INFO()

// Defaults are declared so that named arguments may skip the ones before.
ZEND_BEGIN_ARG_INFO_EX(arginfo_qarbin_search, 0, 0, 1)
ZEND_ARG_TYPE_INFO(0, vector, IS_ARRAY, 0)
ZEND_ARG_INFO_WITH_DEFAULT_VALUE(0, topK, "10")
ZEND_ARG_INFO_WITH_DEFAULT_VALUE(0, precision, "50.0")
ZEND_ARG_TYPE_INFO_WITH_DEFAULT_VALUE(0, filter, IS_ARRAY, 1, "null")
ZEND_ARG_TYPE_INFO_WITH_DEFAULT_VALUE(0, minScore, IS_DOUBLE, 1, "null")
ZEND_ARG_TYPE_INFO_WITH_DEFAULT_VALUE(0, diversity, IS_DOUBLE, 0, "0.0")
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_qarbin_search_batch, 0, 1, IS_ARRAY, 0)
ZEND_ARG_TYPE_INFO(0, vectors, IS_ARRAY, 0)
ZEND_ARG_TYPE_INFO_WITH_DEFAULT_VALUE(0, topK, IS_LONG, 0, "10")
ZEND_ARG_TYPE_INFO_WITH_DEFAULT_VALUE(0, precision, IS_DOUBLE, 0, "50.0")
ZEND_ARG_TYPE_INFO_WITH_DEFAULT_VALUE(0, filter, IS_ARRAY, 1, "null")
ZEND_ARG_TYPE_INFO_WITH_DEFAULT_VALUE(0, minScore, IS_DOUBLE, 1, "null")
ZEND_ARG_TYPE_INFO_WITH_DEFAULT_VALUE(0, diversity, IS_DOUBLE, 0, "0.0")
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_qarbin_similar, 0, 1, IS_ARRAY, 1)
ZEND_ARG_TYPE_INFO(0, key, IS_STRING, 0)
ZEND_ARG_TYPE_INFO_WITH_DEFAULT_VALUE(0, topK, IS_LONG, 0, "10")
ZEND_ARG_TYPE_INFO_WITH_DEFAULT_VALUE(0, precision, IS_DOUBLE, 0, "50.0")
ZEND_ARG_TYPE_INFO_WITH_DEFAULT_VALUE(0, filter, IS_ARRAY, 1, "null")
ZEND_ARG_TYPE_INFO_WITH_DEFAULT_VALUE(0, minScore, IS_DOUBLE, 1, "null")
ZEND_ARG_TYPE_INFO_WITH_DEFAULT_VALUE(0, diversity, IS_DOUBLE, 0, "0.0")
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_qarbin_find, 0, 1, IS_ARRAY, 0)
ZEND_ARG_TYPE_INFO(0, filter, IS_ARRAY, 0)
ZEND_ARG_TYPE_INFO_WITH_DEFAULT_VALUE(0, limit, IS_LONG, 0, "100")
ZEND_ARG_TYPE_INFO_WITH_DEFAULT_VALUE(0, offset, IS_LONG, 0, "0")
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_qarbin_set_metadata, 0, 2, _IS_BOOL, 0)
ZEND_ARG_TYPE_INFO(0, key, IS_STRING, 0)
ZEND_ARG_TYPE_INFO(0, metadata, IS_STRING, 1)
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_qarbin_search_text, 0, 1, IS_ARRAY, 0)
ZEND_ARG_TYPE_INFO(0, query, IS_STRING, 0)
ZEND_ARG_TYPE_INFO_WITH_DEFAULT_VALUE(0, topK, IS_LONG, 0, "10")
ZEND_ARG_TYPE_INFO_WITH_DEFAULT_VALUE(0, filter, IS_ARRAY, 1, "null")
ZEND_ARG_TYPE_INFO_WITH_DEFAULT_VALUE(0, minScore, IS_DOUBLE, 1, "null")
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_qarbin_search_hybrid, 0, 2, IS_ARRAY, 0)
ZEND_ARG_TYPE_INFO(0, vector, IS_ARRAY, 0)
ZEND_ARG_TYPE_INFO(0, query, IS_STRING, 0)
ZEND_ARG_TYPE_INFO_WITH_DEFAULT_VALUE(0, topK, IS_LONG, 0, "10")
ZEND_ARG_TYPE_INFO_WITH_DEFAULT_VALUE(0, precision, IS_DOUBLE, 0, "50.0")
ZEND_ARG_TYPE_INFO_WITH_DEFAULT_VALUE(0, filter, IS_ARRAY, 1, "null")
ZEND_ARG_TYPE_INFO_WITH_DEFAULT_VALUE(0, textWeight, IS_DOUBLE, 0, "0.5")
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_INFO_EX(arginfo_qarbin_delete_where, 0, 0, 1)
ZEND_ARG_TYPE_INFO(0, filter, IS_ARRAY, 0)
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_INFO_EX(arginfo_qarbin_keys, 0, 0, 0)
ZEND_ARG_INFO(0, prefix)
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_qarbin_build_index, 0, 0, IS_LONG, 0)
ZEND_ARG_TYPE_INFO_WITH_DEFAULT_VALUE(0, progress, IS_CALLABLE, 1, "null")
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_qarbin_compact, 0, 0, IS_LONG, 0)
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_INFO_EX(arginfo_qarbin_key, 0, 0, 1)
ZEND_ARG_INFO(0, key)
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_INFO_EX(arginfo_qarbin_none, 0, 0, 0)
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_INFO_EX(arginfo_qarbin_snapshot, 0, 0, 1)
ZEND_ARG_INFO(0, dir)
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_INFO_EX(arginfo_qarbin_dump, 0, 0, 0)
ZEND_ARG_INFO(0, path)
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_INFO_EX(arginfo_qarbin_load, 0, 0, 1)
ZEND_ARG_INFO(0, path)
ZEND_END_ARG_INFO()

ZEND_BEGIN_ARG_INFO_EX(arginfo_qarbin_destroy, 0, 0, 1)
ZEND_ARG_INFO(0, name)
ZEND_END_ARG_INFO()

const zend_function_entry qarbin_store_methods[] = {
    PHP_ME(QarbinStore, __construct, arginfo_qarbin_construct, ZEND_ACC_PUBLIC)
    PHP_ME(QarbinStore, set, arginfo_qarbin_set, ZEND_ACC_PUBLIC)
    PHP_ME(QarbinStore, batchSet, arginfo_qarbin_batch_set, ZEND_ACC_PUBLIC)
    PHP_ME(QarbinStore, search, arginfo_qarbin_search, ZEND_ACC_PUBLIC)
    PHP_ME(QarbinStore, buildIndex, arginfo_qarbin_build_index, ZEND_ACC_PUBLIC)
    PHP_ME(QarbinStore, delete, arginfo_qarbin_key, ZEND_ACC_PUBLIC)
    PHP_ME(QarbinStore, get, arginfo_qarbin_key, ZEND_ACC_PUBLIC)
    PHP_ME(QarbinStore, clear, arginfo_qarbin_none, ZEND_ACC_PUBLIC)
    PHP_ME(QarbinStore, snapshot, arginfo_qarbin_snapshot, ZEND_ACC_PUBLIC)
    PHP_ME(QarbinStore, compact, arginfo_qarbin_compact, ZEND_ACC_PUBLIC)
    PHP_ME(QarbinStore, count, arginfo_qarbin_none, ZEND_ACC_PUBLIC)
    PHP_ME(QarbinStore, stats, arginfo_qarbin_none, ZEND_ACC_PUBLIC)
    PHP_ME(QarbinStore, close, arginfo_qarbin_none, ZEND_ACC_PUBLIC)
    PHP_ME(QarbinStore, dump, arginfo_qarbin_dump, ZEND_ACC_PUBLIC)
    PHP_ME(QarbinStore, load, arginfo_qarbin_load, ZEND_ACC_PUBLIC)
    PHP_ME(QarbinStore, destroy, arginfo_qarbin_destroy, ZEND_ACC_PUBLIC | ZEND_ACC_STATIC)
    PHP_ME(QarbinStore, deleteWhere, arginfo_qarbin_delete_where, ZEND_ACC_PUBLIC)
    PHP_ME(QarbinStore, has, arginfo_qarbin_key, ZEND_ACC_PUBLIC)
    PHP_ME(QarbinStore, keys, arginfo_qarbin_keys, ZEND_ACC_PUBLIC)
    PHP_ME(QarbinStore, searchBatch, arginfo_qarbin_search_batch, ZEND_ACC_PUBLIC)
    PHP_ME(QarbinStore, similar, arginfo_qarbin_similar, ZEND_ACC_PUBLIC)
    PHP_ME(QarbinStore, find, arginfo_qarbin_find, ZEND_ACC_PUBLIC)
    PHP_ME(QarbinStore, setMetadata, arginfo_qarbin_set_metadata, ZEND_ACC_PUBLIC)
    PHP_ME(QarbinStore, searchText, arginfo_qarbin_search_text, ZEND_ACC_PUBLIC)
    PHP_ME(QarbinStore, searchHybrid, arginfo_qarbin_search_hybrid, ZEND_ACC_PUBLIC)
    PHP_FE_END,
};
