// The retrieval methods of QarbinStore built on search: searchBatch,
// similar and find, and the score floor and diversity that search shares
// with them. Method bodies own nothing with a destructor: any engine call
// may jump out.
#include <algorithm>
#include <cmath>

#include "php/filter.h"
#include "php/store_calls.h"

namespace {

// Queries searched together before their rows are copied.
constexpr uint32_t kBatchChunk = 256;

// Throws what a failed conversion of the query at `index` means.
void throwQueryError(int code, uint32_t index, uint32_t dim) {
    switch (code) {
        case QARBIN_VECTOR_DIM:
            zend_throw_exception_ex(qarbin_exception_ce, 0, "Vector dim mismatch at index %u: expected %u", index, dim);
            break;
        case QARBIN_VECTOR_NONFINITE:
            zend_throw_exception_ex(qarbin_exception_ce, 0, "Vector components must be finite at index %u", index);
            break;
        case QARBIN_VECTOR_NOT_NUMBER:
            zend_throw_exception_ex(qarbin_exception_ce, 0, "Vector components must be numbers at index %u", index);
            break;
        case QARBIN_VECTOR_CLOSED: qarbin_throw("Store not open"); break;
        default: break;  // an exception of user code is pending
    }
}

// Converts every query of `vectors` into bufs (room for count x dim floats);
// the number converted, or -1 after throwing for the first bad one.
long convertQueries(HashTable* vectors, const qarbin_store_object* intern, const qarbin::Store* store, uint32_t dim,
                    uint32_t count, float* bufs) {
    uint32_t index = 0;
    int rc = QARBIN_VECTOR_OK;
    bool notArray = false;
    // Held for the loop: user code run by a conversion cannot move its slots.
    GC_TRY_ADDREF(vectors);
    zval* elem;
    ZEND_HASH_FOREACH_VAL(vectors, elem) {
        if (index == count) break;
        ZVAL_DEREF(elem);
        if (Z_TYPE_P(elem) != IS_ARRAY) {
            notArray = true;
            break;
        }
        if (zend_hash_num_elements(Z_ARRVAL_P(elem)) != dim) {
            rc = QARBIN_VECTOR_DIM;
            break;
        }
        rc = qarbin_vector_arg(Z_ARRVAL_P(elem), intern, store, dim, bufs + static_cast<size_t>(index) * dim);
        if (rc != QARBIN_VECTOR_OK) break;
        ++index;
    }
    ZEND_HASH_FOREACH_END();
    zend_array_release(vectors);
    if (notArray) {
        zend_throw_exception_ex(qarbin_exception_ce, 0, "Query vector must be an array at index %u", index);
        return -1;
    }
    if (rc != QARBIN_VECTOR_OK) {
        throwQueryError(rc, index, dim);
        return -1;
    }
    return index;
}

void throwSearchFailed(zval* return_value, const qarbin::Store* store) {
    zval_ptr_dtor(return_value);
    ZVAL_NULL(return_value);
    qarbin_throw_search_failed(store);
}

// The unrefined searches of searchBatch at once, on the store's threads:
// the list of row lists into return_value, or an exception. The rows are
// copied only after every search ended.
void searchAll(zval* return_value, qarbin::Store* store, const float* bufs, uint32_t queries, int k,
               double precision, const qarbin::Filter* filter) {
    array_init_size(return_value, queries);
    if (k < 1) {
        for (uint32_t i = 0; i < queries; ++i) {
            zval rows;
            array_init(&rows);
            add_next_index_zval(return_value, &rows);
        }
        return;
    }
    // In chunks, so the rows waiting to be copied stay few whatever the batch.
    const uint32_t chunk = std::min<uint32_t>(queries, kBatchChunk);
    auto* results = static_cast<qarbin::Result*>(ecalloc(static_cast<size_t>(chunk) * static_cast<size_t>(k),
                                                         sizeof(qarbin::Result)));
    int* counts = static_cast<int*>(ecalloc(chunk, sizeof(int)));
    for (uint32_t from = 0; from < queries; from += chunk) {
        const uint32_t n = std::min(chunk, queries - from);
        const int rc = qarbin_php::searchMany(store, bufs + static_cast<size_t>(from) * qarbin_php::dim(store), n, k,
                                              static_cast<float>(precision), filter, results, counts);
        if (rc < 0 || qarbin_alloc_bailed) {
            efree(counts);
            efree(results);
            if (!qarbin_alloc_bailed) throwSearchFailed(return_value, store);
            return;
        }
        for (uint32_t i = 0; i < n; ++i) {
            zval rows;
            qarbin_make_rows(&rows, results + static_cast<size_t>(i) * k, counts[i]);
            add_next_index_zval(return_value, &rows);
        }
    }
    efree(counts);
    efree(results);
}

}  // namespace

bool qarbin_refinement_arg(double minScore, bool minScoreNull, double diversity, qarbin::SearchRefinement* out) {
    *out = qarbin::SearchRefinement{};
    if (!minScoreNull) {
        if (std::isnan(minScore)) {
            qarbin_throw("minScore must not be NaN");
            return false;
        }
        out->minScore = minScore;
    }
    if (!(diversity >= 0.0 && diversity <= 1.0)) {
        qarbin_throw("diversity must be between 0 and 1");
        return false;
    }
    out->diversity = diversity;
    return true;
}

PHP_METHOD(QarbinStore, searchBatch) {
    HashTable* vectors;
    zend_long topK = 10;
    double precision = 50.0;
    HashTable* filterArg = nullptr;
    double minScore = 0.0;
    bool minScoreNull = true;
    double diversity = 0.0;
    ZEND_PARSE_PARAMETERS_START(1, 6)
    Z_PARAM_ARRAY_HT(vectors)
    Z_PARAM_OPTIONAL
    Z_PARAM_LONG(topK)
    Z_PARAM_DOUBLE(precision)
    Z_PARAM_ARRAY_HT_OR_NULL(filterArg)
    Z_PARAM_DOUBLE_OR_NULL(minScore, minScoreNull)
    Z_PARAM_DOUBLE(diversity)
    ZEND_PARSE_PARAMETERS_END();

    qarbin_store_object* intern = Z_QARBIN_STORE_P(ZEND_THIS);
    qarbin::Store* store = qarbin_open_store(Z_OBJ_P(ZEND_THIS), false);
    if (!store) RETURN_THROWS();
    qarbin::SearchRefinement how;
    if (!qarbin_refinement_arg(minScore, minScoreNull, diversity, &how)) RETURN_THROWS();
    const uint32_t dim = qarbin_php::dim(store);
    const uint32_t count = zend_hash_num_elements(vectors);
    if (count == 0) RETURN_EMPTY_ARRAY();
    // Every query is checked before the first is searched, so a bad one
    // returns nothing.
    float* bufs = static_cast<float*>(safe_emalloc(count, sizeof(float) * dim, 0));
    const long queries = convertQueries(vectors, intern, store, dim, count, bufs);
    qarbin::Filter* filter = nullptr;
    if (queries < 0 || !qarbin_filter_arg(filterArg, &filter)) {
        efree(bufs);
        RETURN_THROWS();
    }
    const int k = qarbin_capped_topk(topK);
    const bool refined = !minScoreNull || diversity > 0.0;
    if (!refined) {
        searchAll(return_value, store, bufs, static_cast<uint32_t>(queries), k, precision, filter);
        qarbin_free_filter(filter);
        efree(bufs);
        QARBIN_RESUME_BAILOUT();
        return;
    }
    array_init_size(return_value, static_cast<uint32_t>(queries));
    // The filter is held across the row building of each query: should
    // that hit the memory limit, it leaks rather than a destructor being
    // jumped over.
    for (long i = 0; i < queries; ++i) {
        const float* query = bufs + static_cast<size_t>(i) * dim;
        qarbin::Result* results = nullptr;
        const int n = refined ? qarbin_php::retrieve(store, query, k, static_cast<float>(precision), &results, filter, how)
                              : qarbin_php::search(store, query, k, static_cast<float>(precision), &results, filter);
        if (UNEXPECTED(qarbin_alloc_bailed)) {
            qarbin_free_filter(filter);
            efree(bufs);
            QARBIN_RESUME_BAILOUT();
        }
        if (n < 0 || (n > 0 && !results)) {
            if (results) efree(results);
            qarbin_free_filter(filter);
            efree(bufs);
            throwSearchFailed(return_value, store);
            RETURN_THROWS();
        }
        // Copied now: the rows point into the store, which the next search
        // may change (graph building, a shared store's new generation).
        zval rows;
        qarbin_make_rows(&rows, results, n);
        if (results) efree(results);
        add_next_index_zval(return_value, &rows);
    }
    qarbin_free_filter(filter);
    efree(bufs);
}

PHP_METHOD(QarbinStore, similar) {
    zend_string* key;
    zend_long topK = 10;
    double precision = 50.0;
    HashTable* filterArg = nullptr;
    double minScore = 0.0;
    bool minScoreNull = true;
    double diversity = 0.0;
    ZEND_PARSE_PARAMETERS_START(1, 6)
    Z_PARAM_STR(key)
    Z_PARAM_OPTIONAL
    Z_PARAM_LONG(topK)
    Z_PARAM_DOUBLE(precision)
    Z_PARAM_ARRAY_HT_OR_NULL(filterArg)
    Z_PARAM_DOUBLE_OR_NULL(minScore, minScoreNull)
    Z_PARAM_DOUBLE(diversity)
    ZEND_PARSE_PARAMETERS_END();

    qarbin::Store* store = qarbin_open_store(Z_OBJ_P(ZEND_THIS), false);
    if (!store) RETURN_THROWS();
    qarbin::SearchRefinement how;
    if (!qarbin_refinement_arg(minScore, minScoreNull, diversity, &how)) RETURN_THROWS();
    qarbin::Filter* filter = nullptr;
    if (!qarbin_filter_arg(filterArg, &filter)) RETURN_THROWS();
    qarbin::Result* results = nullptr;
    const int n = qarbin_php::similar(store, ZSTR_VAL(key), qarbin_capped_topk(topK), static_cast<float>(precision), &results,
                                      filter, how);
    qarbin_free_filter(filter);
    QARBIN_RESUME_BAILOUT();
    if (n == -2) RETURN_NULL();
    if (n < 0 || (n > 0 && !results)) {
        if (results) efree(results);
        qarbin_throw_search_failed(store);
        RETURN_THROWS();
    }
    qarbin_make_rows(return_value, results, n);
    if (results) efree(results);
}

PHP_METHOD(QarbinStore, find) {
    HashTable* filterArg;
    zend_long limit = 100;
    zend_long offset = 0;
    ZEND_PARSE_PARAMETERS_START(1, 3)
    Z_PARAM_ARRAY_HT(filterArg)
    Z_PARAM_OPTIONAL
    Z_PARAM_LONG(limit)
    Z_PARAM_LONG(offset)
    ZEND_PARSE_PARAMETERS_END();

    qarbin::Store* store = qarbin_open_store(Z_OBJ_P(ZEND_THIS), false);
    if (!store) RETURN_THROWS();
    if (limit < 0) {
        qarbin_throw("limit must not be negative");
        RETURN_THROWS();
    }
    if (offset < 0) {
        qarbin_throw("offset must not be negative");
        RETURN_THROWS();
    }
    qarbin::Filter* filter = nullptr;
    if (!qarbin_filter_arg(filterArg, &filter)) RETURN_THROWS();
    qarbin::Result* rows = nullptr;
    const long n = qarbin_php::find(store, filter, static_cast<uint64_t>(offset), static_cast<uint64_t>(limit), &rows);
    qarbin_free_filter(filter);
    QARBIN_RESUME_BAILOUT();
    if (n < 0 || (n > 0 && !rows)) {
        if (rows) efree(rows);
        const int why = qarbin_php::segmentRefusal(store);
        char cause[4200];
        if (why == 0) qarbin_throw("find failed (out of memory?)");
        else zend_throw_exception_ex(qarbin_exception_ce, 0, "find failed: %s",
                                     qarbin_refusal_cause(why, qarbin_php::refusedSegment(store), cause, sizeof cause));
        RETURN_THROWS();
    }
    array_init_size(return_value, static_cast<uint32_t>(n));
    for (long i = 0; i < n; ++i) {
        const qarbin::Result& r = rows[i];
        zval row, tmp;
        array_init_size(&row, 2);
        ZVAL_STRINGL(&tmp, r.key, r.keyLen);
        zend_hash_add_new(Z_ARRVAL(row), qarbin_str_key, &tmp);
        if (r.metadata && r.metadataLen) ZVAL_STRINGL(&tmp, r.metadata, r.metadataLen);
        else ZVAL_NULL(&tmp);
        zend_hash_add_new(Z_ARRVAL(row), qarbin_str_metadata, &tmp);
        add_next_index_zval(return_value, &row);
    }
    if (rows) efree(rows);
}

PHP_METHOD(QarbinStore, setMetadata) {
    zend_string* key;
    zend_string* metadata;
    ZEND_PARSE_PARAMETERS_START(2, 2)
    Z_PARAM_STR(key)
    Z_PARAM_STR_OR_NULL(metadata)
    ZEND_PARSE_PARAMETERS_END();

    qarbin::Store* store = qarbin_open_store(Z_OBJ_P(ZEND_THIS), true);
    if (!store) RETURN_THROWS();
    if (const char* limit = qarbin_record_limit_error(store, key, metadata ? ZSTR_LEN(metadata) : 0)) {
        qarbin_throw(limit);
        RETURN_THROWS();
    }
    const int rc = qarbin_php::setMetadata(store, ZSTR_VAL(key), metadata ? ZSTR_VAL(metadata) : nullptr,
                                           metadata ? static_cast<uint32_t>(ZSTR_LEN(metadata)) : 0);
    QARBIN_RESUME_BAILOUT();
    if (rc < 0) {
        zend_throw_exception_ex(qarbin_exception_ce, 0, "Failed to set metadata%s", qarbin_write_failure_cause(store));
        RETURN_THROWS();
    }
    RETURN_BOOL(rc == 1);
}
