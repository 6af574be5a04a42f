// The full-text methods of QarbinStore: searchText (BM25) and searchHybrid
// (reciprocal-rank fusion of a vector search and a text search). Method
// bodies own nothing with a destructor: any engine call may jump out.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "php/filter.h"
#include "php/store_calls.h"

namespace {

// Rank fusion's constant, and the rows each list contributes at least.
constexpr double kFusionK = 60.0;
constexpr int kFusionRows = 50;

// The text search's rows into rows (an array), or false after throwing.
bool textRows(zval* rows, qarbin::Store* store, const zend_string* query, int k, const qarbin::Filter* filter,
              double minScore) {
    qarbin::Result* results = nullptr;
    const int n = k < 1 ? 0 : qarbin_php::searchText(store, ZSTR_VAL(query), ZSTR_LEN(query), k, filter, minScore, &results);
    // The caller resumes the engine's jump once it released what it holds.
    if (UNEXPECTED(qarbin_alloc_bailed)) {
        if (results) efree(results);
        return false;
    }
    if (n < 0) {
        if (results) efree(results);
        qarbin_throw_search_failed(store);
        return false;
    }
    qarbin_make_rows(rows, results, n);
    if (results) efree(results);
    return true;
}

// A row of either list and its fused score.
struct Fused {
    zend_string* key;
    double score;
    zval* row;  // the row as the list that ranked it first gave it
};

int fusedOrder(const void* a, const void* b) {
    const Fused* x = static_cast<const Fused*>(a);
    const Fused* y = static_cast<const Fused*>(b);
    if (x->score != y->score) return x->score > y->score ? -1 : 1;
    return zend_binary_strcmp(ZSTR_VAL(x->key), ZSTR_LEN(x->key), ZSTR_VAL(y->key), ZSTR_LEN(y->key));
}

// Adds weight / (60 + rank) to each row's key in *byKey (key => index into fused).
void addRanks(HashTable* list, double weight, HashTable* byKey, Fused* fused, uint32_t* used) {
    uint32_t rank = 0;
    zval* row;
    ZEND_HASH_FOREACH_VAL(list, row) {
        ++rank;
        zval* key = zend_hash_find_known_hash(Z_ARRVAL_P(row), qarbin_str_key);
        if (key == nullptr || Z_TYPE_P(key) != IS_STRING) continue;
        const double share = weight / (kFusionK + static_cast<double>(rank));
        zval* at = zend_hash_find(byKey, Z_STR_P(key));
        if (at != nullptr) {
            fused[Z_LVAL_P(at)].score += share;
            continue;
        }
        zval index;
        ZVAL_LONG(&index, *used);
        zend_hash_add_new(byKey, Z_STR_P(key), &index);
        fused[*used] = Fused{Z_STR_P(key), share, row};
        ++*used;
    }
    ZEND_HASH_FOREACH_END();
}

}  // namespace

PHP_METHOD(QarbinStore, searchText) {
    zend_string* query;
    zend_long topK = 10;
    HashTable* filterArg = nullptr;
    double minScore = 0.0;
    bool minScoreNull = true;
    ZEND_PARSE_PARAMETERS_START(1, 4)
    Z_PARAM_STR(query)
    Z_PARAM_OPTIONAL
    Z_PARAM_LONG(topK)
    Z_PARAM_ARRAY_HT_OR_NULL(filterArg)
    Z_PARAM_DOUBLE_OR_NULL(minScore, minScoreNull)
    ZEND_PARSE_PARAMETERS_END();

    qarbin::Store* store = qarbin_open_store(Z_OBJ_P(ZEND_THIS), false);
    if (!store) RETURN_THROWS();
    if (!minScoreNull && std::isnan(minScore)) {
        qarbin_throw("minScore must not be NaN");
        RETURN_THROWS();
    }
    qarbin::Filter* filter = nullptr;
    if (!qarbin_filter_arg(filterArg, &filter)) RETURN_THROWS();
    const bool ok = textRows(return_value, store, query, qarbin_capped_topk(topK), filter,
                             minScoreNull ? -INFINITY : minScore);
    qarbin_free_filter(filter);
    QARBIN_RESUME_BAILOUT();
    if (!ok) RETURN_THROWS();
}

PHP_METHOD(QarbinStore, searchHybrid) {
    HashTable* vector;
    zend_string* query;
    zend_long topK = 10;
    double precision = 50.0;
    HashTable* filterArg = nullptr;
    double textWeight = 0.5;
    ZEND_PARSE_PARAMETERS_START(2, 6)
    Z_PARAM_ARRAY_HT(vector)
    Z_PARAM_STR(query)
    Z_PARAM_OPTIONAL
    Z_PARAM_LONG(topK)
    Z_PARAM_DOUBLE(precision)
    Z_PARAM_ARRAY_HT_OR_NULL(filterArg)
    Z_PARAM_DOUBLE(textWeight)
    ZEND_PARSE_PARAMETERS_END();

    qarbin_store_object* intern = Z_QARBIN_STORE_P(ZEND_THIS);
    qarbin::Store* store = qarbin_open_store(Z_OBJ_P(ZEND_THIS), false);
    if (!store) RETURN_THROWS();
    if (!(textWeight >= 0.0 && textWeight <= 1.0)) {
        qarbin_throw("textWeight must be between 0 and 1");
        RETURN_THROWS();
    }
    const uint32_t dim = qarbin_php::dim(store);
    if (zend_hash_num_elements(vector) != dim) {
        qarbin_throw_vector_error(QARBIN_VECTOR_DIM, dim);
        RETURN_THROWS();
    }
    float* buf = static_cast<float*>(emalloc(sizeof(float) * dim));
    const int converted = qarbin_vector_arg(vector, intern, store, dim, buf);
    if (converted != QARBIN_VECTOR_OK) {
        efree(buf);
        qarbin_throw_vector_error(converted, dim);
        RETURN_THROWS();
    }
    qarbin::Filter* filter = nullptr;
    if (!qarbin_filter_arg(filterArg, &filter)) {
        efree(buf);
        RETURN_THROWS();
    }
    const int k = qarbin_capped_topk(topK);
    const int fetch = k < 1 ? 0 : (k > kFusionRows ? k : kFusionRows);
    // Each list is copied into rows before the next search runs: a search
    // may move what the other's rows point into (a shared store's new
    // generation).
    zval vectorRows, wordRows;
    ZVAL_UNDEF(&wordRows);
    qarbin::Result* results = nullptr;
    const int n = fetch < 1 ? 0 : qarbin_php::search(store, buf, fetch, static_cast<float>(precision), &results, filter);
    efree(buf);
    bool ok = n >= 0 && !(n > 0 && !results) && !qarbin_alloc_bailed;
    if (ok) qarbin_make_rows(&vectorRows, results, n);
    if (results) efree(results);
    if (!ok) {
        qarbin_free_filter(filter);
        QARBIN_RESUME_BAILOUT();
        qarbin_throw_search_failed(store);
        RETURN_THROWS();
    }
    ok = textRows(&wordRows, store, query, fetch, filter, -INFINITY);
    qarbin_free_filter(filter);
    if (!ok) {
        zval_ptr_dtor(&vectorRows);
        QARBIN_RESUME_BAILOUT();
        RETURN_THROWS();
    }
    QARBIN_RESUME_BAILOUT();

    const uint32_t total = zend_hash_num_elements(Z_ARRVAL(vectorRows)) + zend_hash_num_elements(Z_ARRVAL(wordRows));
    Fused* fused = static_cast<Fused*>(safe_emalloc(total > 0 ? total : 1, sizeof(Fused), 0));
    HashTable byKey;
    zend_hash_init(&byKey, total, nullptr, nullptr, 0);
    uint32_t used = 0;
    addRanks(Z_ARRVAL(vectorRows), 1.0 - textWeight, &byKey, fused, &used);
    addRanks(Z_ARRVAL(wordRows), textWeight, &byKey, fused, &used);
    qsort(fused, used, sizeof(Fused), fusedOrder);
    const uint32_t keep = used < static_cast<uint32_t>(k) ? used : static_cast<uint32_t>(k);
    array_init_size(return_value, keep);
    for (uint32_t i = 0; i < keep; ++i) {
        zval row;
        ZVAL_ARR(&row, zend_array_dup(Z_ARRVAL_P(fused[i].row)));
        zval score;
        ZVAL_DOUBLE(&score, fused[i].score);
        zend_hash_update(Z_ARRVAL(row), qarbin_str_score, &score);
        add_next_index_zval(return_value, &row);
    }
    zend_hash_destroy(&byKey);
    efree(fused);
    zval_ptr_dtor(&vectorRows);
    zval_ptr_dtor(&wordRows);
}
