// The constructor's half that reads settings and options into a request,
// and the half that opens the store it asks for.
#include "php/php_qarbin.h"

#include <strings.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <cstdlib>
#include <unistd.h>

#include "php/store_calls.h"

using qarbin::DistanceMetric;
using qarbin::Quantization;
using qarbin::StorageMode;

const char* const qarbin_storage_names[3] = {"disk", "memory", "shm"};
const char* const qarbin_distance_names[4] = {"cosine", "dot", "euclidean", "manhattan"};
const char* const qarbin_quantization_names[5] = {"none", "f16", "int8", "binary", "pq"};

namespace {

constexpr uint64_t kDefaultFileCapacity = 10000000;
// More threads than this only add scratch memory and switching.
constexpr zend_long kMaxThreads = 256;

// Index of the matching word (any case), or -1; only strings can match.
int matchWord(const zval* v, const char* const* words, int count) {
    if (Z_TYPE_P(v) != IS_STRING) return -1;
    for (int i = 0; i < count; ++i)
        if (strcasecmp(Z_STRVAL_P(v), words[i]) == 0) return i;
    return -1;
}

zend_long optionLong(zval* v) { return Z_TYPE_P(v) == IS_LONG ? Z_LVAL_P(v) : zval_get_long(v); }

// Bytes as an int, or a string of digits with one optional K, M or G;
// false for anything else that claims to be a size (a negative int, "abc",
// "1 GB"). Other types mean no limit, as they always have.
bool parseMemoryLimit(const zval* v, uint64_t* out) {
    *out = 0;
    if (Z_TYPE_P(v) == IS_LONG) {
        *out = static_cast<uint64_t>(Z_LVAL_P(v));
        return Z_LVAL_P(v) >= 0;
    }
    if (Z_TYPE_P(v) != IS_STRING) return true;
    const char* s = Z_STRVAL_P(v);
    char* end = nullptr;
    errno = 0;
    const uint64_t n = s[0] >= '0' && s[0] <= '9' ? strtoull(s, &end, 10) : 0;
    if (!end || errno != 0) return false;
    int shift = 0;
    switch (*end) {
        case 'K': case 'k': shift = 10; ++end; break;
        case 'M': case 'm': shift = 20; ++end; break;
        case 'G': case 'g': shift = 30; ++end; break;
        default: break;
    }
    if (static_cast<size_t>(end - s) != Z_STRLEN_P(v) || (shift && n > (UINT64_MAX >> shift))) return false;
    *out = n << shift;
    return true;
}

// The keys readOptions knows; any other raises a warning naming it.
const char* const kOptionKeys[] = {"storage",  "dimensions",   "distance", "quantization", "segment_size",
                                   "writable", "memory_limit", "mode",     "persistent", "create",
                                   "threads"};

// False when a warning handler threw.
bool warnUnknownOptions(HashTable* options) {
    zend_string* key;
    zend_ulong index;
    ZEND_HASH_FOREACH_KEY(options, index, key) {
        bool known = false;
        for (const char* k : kOptionKeys) known |= key && zend_string_equals_cstr(key, k, strlen(k));
        if (known) continue;
        char valid[160] = "";
        for (const char* k : kOptionKeys) {
            if (valid[0]) strncat(valid, ", ", sizeof valid - strlen(valid) - 1);
            strncat(valid, k, sizeof valid - strlen(valid) - 1);
        }
        if (key)
            php_error_docref(nullptr, E_WARNING, "Unknown option \"%s\" ignored (valid options: %s)", ZSTR_VAL(key), valid);
        else
            php_error_docref(nullptr, E_WARNING, "Unknown option " ZEND_ULONG_FMT " ignored (valid options: %s)", index,
                             valid);
        if (EG(exception)) return false;
    }
    ZEND_HASH_FOREACH_END();
    return true;
}

// Sets *out to the word's index when the option is there; false after
// throwing when it names none of the words.
bool wordOption(HashTable* options, const char* name, size_t nameLen, const char* const* words, int count,
                const char* message, int* out) {
    zval* v = zend_hash_str_find_deref(options, name, nameLen);
    if (!v) return true;
    int w = matchWord(v, words, count);
    if (w < 0) {
        qarbin_throw(message);
        return false;
    }
    *out = w;
    return true;
}

// Reads the options array over the defaults in req; false after throwing.
bool readOptions(HashTable* options, qarbin_open_request* req, zend_long* dimension, zend_long* segmentSize) {
    int storage = static_cast<int>(req->storage);
    int metric = 0;
    int quant = 0;
    if (!wordOption(options, ZEND_STRL("storage"), qarbin_storage_names, 3,
                    "Invalid storage (use 'disk', 'memory', 'shm')", &storage))
        return false;
    zval* v;
    if ((v = zend_hash_str_find_deref(options, ZEND_STRL("dimensions")))) {
        *dimension = optionLong(v);
        if (EG(exception)) return false;
    }
    if (!wordOption(options, ZEND_STRL("distance"), qarbin_distance_names, 4,
                    "Invalid distance (use 'cosine', 'dot', 'euclidean', 'manhattan')", &metric) ||
        !wordOption(options, ZEND_STRL("quantization"), qarbin_quantization_names, 5,
                    "Invalid quantization (use 'none', 'f16', 'int8', 'binary', 'pq')", &quant))
        return false;
    if ((v = zend_hash_str_find_deref(options, ZEND_STRL("segment_size")))) {
        *segmentSize = optionLong(v);
        if (EG(exception)) return false;
    }
    if ((v = zend_hash_str_find_deref(options, ZEND_STRL("writable")))) {
        req->writable = zend_is_true(v);
        if (EG(exception)) return false;
    }
    if ((v = zend_hash_str_find_deref(options, ZEND_STRL("create")))) {
        req->create = zend_is_true(v);
        if (EG(exception)) return false;
    }
    if ((v = zend_hash_str_find_deref(options, ZEND_STRL("persistent")))) {
        req->persistent = zend_is_true(v);
        if (EG(exception)) return false;
    }
    if ((v = zend_hash_str_find_deref(options, ZEND_STRL("memory_limit"))) &&
        !parseMemoryLimit(v, &req->memoryLimit)) {
        qarbin_throw("Invalid memory_limit (use bytes as an int, or a string such as '512M', '64k', '2g')");
        return false;
    }
    if ((v = zend_hash_str_find_deref(options, ZEND_STRL("mode")))) {
        const zend_long mode = optionLong(v);
        if (EG(exception)) return false;
        // Objects others may write are refused by every later open, and the
        // owner needs read and write to use the store at all.
        if (mode < 1 || mode > 0777 || (mode & 02) != 0 || (mode & 0600) != 0600) {
            qarbin_throw("Invalid mode (use permission bits such as 0660)");
            return false;
        }
        req->shape.fileMode = static_cast<uint32_t>(mode);
    }
    if ((v = zend_hash_str_find_deref(options, ZEND_STRL("threads")))) {
        const zend_long threads = qarbin_parse_threads(v);
        if (threads < 0) {
            qarbin_throw(QARBIN_THREADS_MESSAGE);
            return false;
        }
        req->threads = static_cast<uint32_t>(std::min<zend_long>(threads, kMaxThreads));
    }
    req->storage = static_cast<StorageMode>(storage);
    req->shape.metric = static_cast<DistanceMetric>(metric);
    req->shape.quantization = static_cast<Quantization>(quant);
    return true;
}

// False after throwing the message for a shape no store can have.
bool shapeAccepted(const qarbin::Shape& shape) {
    switch (qarbin::shapeProblem(shape)) {
        case qarbin::ShapeProblem::None: return true;
        case qarbin::ShapeProblem::Dimension: qarbin_throw("dim must be 1-4096"); break;
        case qarbin::ShapeProblem::PqUnset: qarbin_throw("PQ quantization requires qarbin.pq_subvectors INI setting"); break;
        case qarbin::ShapeProblem::PqNotDividing:
            zend_throw_exception_ex(qarbin_exception_ce, 0,
                                    "dimensions (%u) must be divisible by qarbin.pq_subvectors (%u)", shape.dim,
                                    shape.pqSubvectors);
            break;
    }
    return false;
}

}  // namespace

zend_long qarbin_parse_threads(const zval* v) {
    if (Z_TYPE_P(v) == IS_LONG) return Z_LVAL_P(v) >= 0 ? Z_LVAL_P(v) : -1;
    if (Z_TYPE_P(v) != IS_STRING) return -1;
    zend_long n = 0;
    double d = 0;
    // Digits only, as an INI file or an option string writes them.
    if (is_numeric_string(Z_STRVAL_P(v), Z_STRLEN_P(v), &n, &d, false) != IS_LONG) return -1;
    for (size_t i = 0; i < Z_STRLEN_P(v); ++i)
        if (Z_STRVAL_P(v)[i] < '0' || Z_STRVAL_P(v)[i] > '9') return -1;
    return n;
}

uint32_t qarbin_threads_for(zend_long asked) {
    if (asked < 0) return 1;
    if (asked == 0) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        asked = online > 0 ? online : 1;
    }
    return static_cast<uint32_t>(std::min<zend_long>(asked, kMaxThreads));
}

bool qarbin_parse_open_request(zval* dir, HashTable* options, qarbin_open_request* req) {
    req->storage = dir ? StorageMode::Disk : StorageMode::Memory;
    req->shape = qarbin::Shape();
    req->shape.hnswM = static_cast<uint32_t>(qarbin_globals.hnsw_max_connections);
    req->shape.efConstruction = static_cast<uint32_t>(qarbin_globals.hnsw_construction_ef);
    req->shape.pqSubvectors = static_cast<uint32_t>(qarbin_globals.pq_subvectors);
    req->shape.useAvx2 = qarbin_globals.use_avx2;
    req->writable = true;
    req->persistent = false;
    req->create = true;
    req->memoryLimit = 0;
    req->where = nullptr;
    // Every setting is read before any option: converting an option may run
    // user code, which could change them.
    req->pqTrainingSize = static_cast<uint32_t>(qarbin_globals.pq_training_size);
    req->autoIndexThreshold = static_cast<uint32_t>(qarbin_globals.auto_index_threshold);
    req->threads = static_cast<uint32_t>(std::min<zend_long>(std::max<zend_long>(qarbin_globals.threads, 0), kMaxThreads));
    const uint64_t memCapacity = static_cast<uint64_t>(qarbin_globals.mem_initial_capacity);

    zend_long dimension = qarbin_globals.default_dim;
    zend_long segmentSize = 0;
    if (options && (!warnUnknownOptions(options) || !readOptions(options, req, &dimension, &segmentSize))) return false;
    req->shape.dim = static_cast<uint32_t>(dimension);
    if (!shapeAccepted(req->shape)) return false;

    const bool dirUsable = dir && Z_TYPE_P(dir) == IS_STRING && Z_STRLEN_P(dir) > 0;
    if (req->storage == StorageMode::Disk && !dirUsable) {
        qarbin_throw("Disk mode requires a non-empty directory path");
        return false;
    }
    if (req->storage == StorageMode::Shm && !dirUsable) {
        qarbin_throw("Shm mode requires a non-empty store name");
        return false;
    }
    if (dirUsable) req->where = Z_STRVAL_P(dir);
    if (!qarbin_where_allowed(*req, dir)) return false;
    const uint64_t fallback = req->storage == StorageMode::Memory ? memCapacity : kDefaultFileCapacity;
    req->shape.capacity = segmentSize != 0 ? static_cast<uint64_t>(segmentSize) : fallback;
    return true;
}

qarbin::Store* qarbin_open_requested(const qarbin_open_request& req) {
    qarbin::Store* store = nullptr;
    int why = 0;
    errno = 0;
    switch (req.storage) {
        case StorageMode::Disk: store = qarbin_php::openDisk(req.where, req.shape, &why, req.create); break;
        case StorageMode::Shm: store = qarbin_php::openShm(req.where, req.shape, req.writable, &why, req.create); break;
        default: store = qarbin_php::openMemory(req.shape, req.where, &why, req.create); break;
    }
    // The reason worth telling: another user's store this one may not open,
    // or a segment that exists but cannot be taken.
    const int cause = why != 0 ? why : errno;
    char text[4200] = ": ";
    if (cause == EACCES || why != 0)
        qarbin_refusal_cause(cause, qarbin_php::lastRefusedSegment(), text + 2, sizeof text - 2);
    else
        text[0] = '\0';
    QARBIN_RESUME_BAILOUT();
    if (!store) {
        if (!req.create && why == ENOENT)
            zend_throw_exception_ex(qarbin_exception_ce, 0, "Store not found: %s",
                                    req.where ? req.where : "a memory store without a directory");
        else if (req.storage == StorageMode::Disk)
            qarbin_throw_disk_open_error(req.where, why);
        else if (req.storage == StorageMode::Shm && why == EPERM)
            zend_throw_exception_ex(qarbin_exception_ce, 0, "Shared store %s is owned by another user", req.where);
        else if (req.storage == StorageMode::Shm)
            zend_throw_exception_ex(qarbin_exception_ce, 0, "Failed to open shm store: %s%s", req.where, text);
        else if (why != 0)
            zend_throw_exception_ex(qarbin_exception_ce, 0, "Failed to load segment files from: %s%s", req.where, text);
        else
            qarbin_throw("Failed to allocate memory store (out of memory?)");
        return nullptr;
    }
    qarbin_php::tune(store, req.pqTrainingSize, req.autoIndexThreshold, req.memoryLimit);
    return store;
}
