// Shared declarations of the qarbin PHP binding.
#pragma once

extern "C" {
#include "php.h"
#include "php_ini.h"
#include "ext/standard/info.h"
#include "zend_exceptions.h"
#include "zend_smart_str_public.h"
}

#include <cstdint>

#include "core/store/store.h"

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
    zend_long threads;  // "qarbin.threads": 0 every online processor
};

extern qarbin_globals_t qarbin_globals;
extern zend_module_entry qarbin_module_entry;
extern zend_class_entry* qarbin_store_ce;
extern zend_class_entry* qarbin_exception_ce;
extern zend_object_handlers qarbin_store_handlers;

struct qarbin_store_object {
    qarbin::Store* store;
    bool persistent;  // store is kept across requests (php/persistent.cpp)
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

// Row and record keys, interned at module start.
extern zend_string* qarbin_str_key;
extern zend_string* qarbin_str_vector;
extern zend_string* qarbin_str_score;
extern zend_string* qarbin_str_metadata;
extern zend_string* qarbin_str_text;

// The option words of each code, in code order; stats() reports the same.
extern const char* const qarbin_storage_names[3];
extern const char* const qarbin_distance_names[4];
extern const char* const qarbin_quantization_names[5];

// What a constructor asks for, read from the settings and its arguments.
struct qarbin_open_request {
    qarbin::StorageMode storage;
    qarbin::Shape shape;
    bool writable;
    bool persistent;
    bool create;  // false: a missing store is refused ("Store not found: NAME")
    uint64_t memoryLimit;
    uint32_t pqTrainingSize;
    uint32_t autoIndexThreshold;
    uint32_t threads;  // as asked; 0 every online processor
    const char* where;  // directory or shm name; null for a memory store without one
};
// The threads a store may use for a count asked for (0: every online
// processor), bounded (php/options.cpp).
uint32_t qarbin_threads_for(zend_long asked);
// The value of a "threads" option or "qarbin.threads" setting, or -1 when it
// is negative or not a whole number.
zend_long qarbin_parse_threads(const zval* v);
#define QARBIN_THREADS_MESSAGE "Invalid threads (use 0 for every processor, or a positive count)"
// False after throwing the message for a bad option (php/options.cpp).
bool qarbin_parse_open_request(zval* dir, HashTable* options, qarbin_open_request* req);
// Paths and names (php/paths.cpp). qarbin_name_has_nul: true after throwing
// the engine's ValueError for argument arg. qarbin_path_allowed: false after
// the open_basedir warning. qarbin_where_allowed: the constructor's directory
// or name of req, given as dir; false after throwing.
bool qarbin_name_has_nul(const char* bytes, size_t len, uint32_t arg);
bool qarbin_path_allowed(const char* path);
bool qarbin_where_allowed(const qarbin_open_request& req, const zval* dir);
// "Failed to open disk store at: DIR", then the reason why (an errno) names.
void qarbin_throw_disk_open_error(const char* dir, int why);
// The cause of a refused segment as messages give it, written into buf:
// why is an errno or a kSegment... cause of store.h.
const char* qarbin_refusal_cause(int why, const char* segment, char* buf, size_t cap);
// "Search failed: CAUSE" when the store met a segment it cannot take
// (Store::segmentRefusal), else "Search failed (out of memory?)".
void qarbin_throw_search_failed(const qarbin::Store* store);
// The opened store, or null after throwing the mode's message.
qarbin::Store* qarbin_open_requested(const qarbin_open_request& req);

// Stores kept across requests (php/persistent.cpp). qarbin_open_persistent:
// the kept store for an equal request, brought up to date, or a newly
// opened one (*persistent false when it could not be kept); null after
// throwing, as qarbin_open_requested. qarbin_release_store: the object lets
// go of its store, closing it unless it is kept. qarbin_forget_persistent
// (_shm): the store (every kept store of that shared name) is handed out no
// more and closed once unused. qarbin_close_persistent: at process end.
qarbin::Store* qarbin_open_persistent(const qarbin_open_request& req, bool* persistent);
void qarbin_release_store(qarbin_store_object* intern);
void qarbin_forget_persistent(const qarbin::Store* store);
// After each request: idle kept stores let go of a superseded generation.
void qarbin_persistent_request_end();
void qarbin_forget_persistent_shm(const char* name);
void qarbin_close_persistent();

// Set when an engine allocation made on the core's behalf hit a fatal error
// (memory limit). The allocation then returned null to the core instead of
// jumping over its frames; QARBIN_RESUME_BAILOUT() finishes the jump from a
// binding frame once the core has returned.
extern bool qarbin_alloc_bailed;
#define QARBIN_RESUME_BAILOUT()                \
    do {                                       \
        if (UNEXPECTED(qarbin_alloc_bailed)) { \
            qarbin_alloc_bailed = false;       \
            zend_bailout();                    \
        }                                      \
    } while (0)

// Vector conversion (php/convert.cpp). out: dim floats; ht must hold
// exactly dim elements (the caller checks). Returns QARBIN_CONVERT_OK,
// QARBIN_CONVERT_NONFINITE when a component is NaN or infinite after
// narrowing, or QARBIN_CONVERT_EXCEPTION when converting an element raised
// a PHP exception (left pending).
// QARBIN_CONVERT_NOT_NUMBER: an element is a non-numeric string, an array
// or an object.
enum {
    QARBIN_CONVERT_OK = 0,
    QARBIN_CONVERT_NONFINITE = -1,
    QARBIN_CONVERT_EXCEPTION = -2,
    QARBIN_CONVERT_NOT_NUMBER = -3
};
int qarbin_convert_vector(HashTable* ht, float* out, uint32_t dim);

// Length of a key as the store sees it: bytes up to the first NUL.
static inline size_t qarbin_key_len(const zend_string* key) {
    const void* nul = memchr(ZSTR_VAL(key), 0, ZSTR_LEN(key));
    return nul ? static_cast<size_t>(static_cast<const char*>(nul) - ZSTR_VAL(key)) : ZSTR_LEN(key);
}

void qarbin_throw(const char* message);
// ": no space left on device" and the like: why the store's last write was
// refused, to append to the message; "" when it does not know.
const char* qarbin_write_failure_cause(const qarbin::Store* store);

// The store an operation works on, or null after throwing "Store not open"
// (closed object) or, when it writes, "Store is read-only" (php/store_methods.cpp).
qarbin::Store* qarbin_open_store(zend_object* object, bool writes);
// The object's store, or null: closed (nothing thrown), or after throwing
// "Segment file was truncated: PATH" when another process shortened a
// backing object under its mapping; the store is then closed without
// writing, since touching the lost pages would kill the process.
qarbin::Store* qarbin_intact_store(qarbin_store_object* intern);

// The message for a key or metadata no record of the store can hold, or
// null: the limits of the format its new segments are written in.
static inline const char* qarbin_record_limit_error(const qarbin::Store* store, const zend_string* key, size_t metaLen) {
    const bool compact = store->shape.format == qarbin::kCompactSegmentVersion;
    static_assert(qarbin::kCompactMaxKeyBytes == 1024 && qarbin::kCompactMaxMetadataBytes == 1048576 &&
                  qarbin::kMaxKeyBytes == 63 && qarbin::kMaxMetadataBytes == 4096, "messages name the limits");
    switch (qarbin::recordLimit(qarbin_key_len(key), metaLen, store->shape.format)) {
        case qarbin::RecordLimit::KeyTooLong: return compact ? "Key too long (max 1024 bytes)" : "Key too long (max 63 bytes)";
        case qarbin::RecordLimit::MetadataTooLong:
            return compact ? "Metadata too long (max 1048576 bytes)" : "Metadata too long (max 4096 bytes)";
        default: return nullptr;
    }
}

// Why a record's text cannot be stored in this store, or null.
static inline const char* qarbin_text_error(const qarbin::Store* store, const zend_string* text) {
    static_assert(qarbin::kCompactMaxTextBytes == 1048576, "the message names the limit");
    switch (qarbin::textLimit(*store, ZSTR_VAL(text), ZSTR_LEN(text))) {
        case qarbin::TextLimit::NotAllowed:
            return "Text needs a store of compact segments (this store's segments hold no text)";
        case qarbin::TextLimit::TooLong: return "Text too long (max 1048576 bytes)";
        case qarbin::TextLimit::NotUtf8: return "Text must be valid UTF-8";
        default: return nullptr;
    }
}

// A vector argument of dim elements (the caller counted them) converted for
// the store: every component finite after narrowing, and the store still
// the object's afterwards (user code run by the conversion may close or
// replace it). QARBIN_VECTOR_DIM is the caller's own count check.
enum {
    QARBIN_VECTOR_OK = 0,
    QARBIN_VECTOR_DIM,
    QARBIN_VECTOR_NONFINITE,
    QARBIN_VECTOR_EXCEPTION,
    QARBIN_VECTOR_CLOSED,
    QARBIN_VECTOR_NOT_NUMBER
};
int qarbin_vector_arg(HashTable* vector, const qarbin_store_object* intern, const qarbin::Store* store, uint32_t dim,
                      float* out);
// Throws what a code other than OK means (EXCEPTION is already pending).
void qarbin_throw_vector_error(int code, uint32_t dim);

// rows becomes the list of search rows ("key", "score", "metadata") of
// results[0..n) (php/store_methods.cpp).
void qarbin_make_rows(zval* rows, const qarbin::Result* results, int n);
// The refinement of search(), searchBatch() and similar() from their
// minScore (absent when minScoreNull) and diversity; false after throwing
// for a NaN minScore or a diversity outside 0 to 1 (php/retrieval_methods.cpp).
bool qarbin_refinement_arg(double minScore, bool minScoreNull, double diversity, qarbin::SearchRefinement* out);

// JSON string of bytes for the file form of dump(): quote, backslash and
// control bytes escaped, every other byte copied (php/dump_load.cpp).
void qarbin_json_append_string(smart_str* s, const char* bytes, size_t len);
