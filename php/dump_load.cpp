// dump() and load(): records as JSON Lines, in a file or a string.
#include "php/php_qarbin.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

extern "C" {
#include "ext/json/php_json.h"
#include "zend_smart_str.h"
}

#include "php/store_calls.h"

namespace {

constexpr size_t kIoBuffer = 65536;
constexpr uint32_t kScratchFloats = 4096;

struct DumpContext {
    FILE* fp;          // file form; null for the string form
    smart_str line;    // file form: one line, reused
    smart_str out;     // string form: the whole text
    uint32_t dim;
    zend_long written;
};

void appendComponents(smart_str* s, const float* vec, uint32_t dim) {
    char num[32];
    for (uint32_t i = 0; i < dim; ++i) {
        if (i) smart_str_appendc(s, ',');
        int len = ap_php_snprintf(num, sizeof num, "%g", static_cast<double>(vec[i]));
        if (len < 0) len = 0;
        if (static_cast<size_t>(len) >= sizeof num) len = sizeof num - 1;
        smart_str_appendl(s, num, static_cast<size_t>(len));
    }
}

// A record's text is written only when it has one, so the lines of records
// without text stay as they were.
bool dumpFileRecord(DumpContext* ctx, const char* key, const float* vec, const char* meta, uint32_t metaLen,
                    const char* text, uint32_t textLen) {
    smart_str* line = &ctx->line;
    if (line->s) ZSTR_LEN(line->s) = 0;
    smart_str_appendl(line, "{\"key\":", 7);
    qarbin_json_append_string(line, key, strlen(key));
    smart_str_appendl(line, ",\"vector\":[", 11);
    appendComponents(line, vec, ctx->dim);
    if (meta && metaLen) {
        smart_str_appendl(line, "],\"metadata\":", 13);
        qarbin_json_append_string(line, meta, metaLen);
    } else {
        smart_str_appendl(line, "],\"metadata\":null", 17);
    }
    if (text) {
        smart_str_appendl(line, ",\"text\":", 8);
        qarbin_json_append_string(line, text, textLen);
    }
    smart_str_appendl(line, "}\n", 2);
    fwrite(ZSTR_VAL(line->s), 1, ZSTR_LEN(line->s), ctx->fp);
    ctx->written++;
    return true;
}

bool dumpStringRecord(DumpContext* ctx, const char* key, const float* vec, const char* meta, uint32_t metaLen,
                      const char* text, uint32_t textLen) {
    zval rec, tmp;
    array_init_size(&rec, 4);
    HashTable* ht = Z_ARRVAL(rec);
    zend_hash_real_init_mixed(ht);
    ZVAL_STRING(&tmp, key);
    _zend_hash_append(ht, qarbin_str_key, &tmp);
    array_init_size(&tmp, ctx->dim);
    zend_hash_real_init_packed(Z_ARRVAL(tmp));
    ZEND_HASH_FILL_PACKED(Z_ARRVAL(tmp)) {
        for (uint32_t i = 0; i < ctx->dim; ++i) {
            ZEND_HASH_FILL_SET_DOUBLE(static_cast<double>(vec[i]));
            ZEND_HASH_FILL_NEXT();
        }
    }
    ZEND_HASH_FILL_END();
    _zend_hash_append(ht, qarbin_str_vector, &tmp);
    if (meta && metaLen) ZVAL_STRINGL(&tmp, meta, metaLen);
    else ZVAL_NULL(&tmp);
    _zend_hash_append(ht, qarbin_str_metadata, &tmp);
    if (text) {
        ZVAL_STRINGL(&tmp, text, textLen);
        _zend_hash_append(ht, qarbin_str_text, &tmp);
    }

    // A key or metadata that is not valid UTF-8 makes the plain encoding
    // fail part way; the record is then encoded again with such bytes
    // replaced by U+FFFD, so that every line is complete JSON. Valid records
    // get exactly the plain encoding.
    size_t mark = ctx->out.s ? ZSTR_LEN(ctx->out.s) : 0;
    bool ok = php_json_encode(&ctx->out, &rec, PHP_JSON_UNESCAPED_UNICODE) == SUCCESS;
    if (!ok) {
        if (ctx->out.s) ZSTR_LEN(ctx->out.s) = mark;
        ok = php_json_encode(&ctx->out, &rec, PHP_JSON_UNESCAPED_UNICODE | PHP_JSON_INVALID_UTF8_SUBSTITUTE) ==
             SUCCESS;
    }
    zval_ptr_dtor(&rec);
    if (!ok) {
        if (ctx->out.s) ZSTR_LEN(ctx->out.s) = mark;
        return true;
    }
    smart_str_appendc(&ctx->out, '\n');
    ctx->written++;
    return true;
}

bool visitRecord(void* p, const char* key, const float* vec, const char* meta, uint32_t metaLen, const char* text,
                 uint32_t textLen) {
    DumpContext* ctx = static_cast<DumpContext*>(p);
    return ctx->fp ? dumpFileRecord(ctx, key, vec, meta, metaLen, text, textLen)
                   : dumpStringRecord(ctx, key, vec, meta, metaLen, text, textLen);
}

struct LoadContext {
    FILE* fp;
    char* line;  // getline's buffer
    size_t cap;
    float* vec;
    zval decoded;
    uint32_t dim;
    zend_long lineNo;
    zend_long stored;
};

// The longest line load decodes: the longest record dump writes, each key
// and metadata byte escaped as \u00XX at worst, with room to spare.
// Decoding a far longer line could exhaust the engine's memory limit, which
// ends the request instead of throwing. A slot store's records (63-byte
// keys, 4096 bytes of metadata, 4096 components) take about 130 KB.
constexpr size_t kMaxSlotLineBytes = size_t{1} << 20;
constexpr size_t kMaxCompactLineBytes = size_t{16} << 20;
static_assert(kMaxCompactLineBytes > 6 * (size_t{qarbin::kCompactMaxMetadataBytes} + qarbin::kCompactMaxKeyBytes +
                                          qarbin::kCompactMaxTextBytes) +
                                         4096 * 32,
              "a dumped record always loads");

size_t maxLineBytes(const qarbin::Store* store) {
    return store->shape.format == qarbin::kCompactSegmentVersion ? kMaxCompactLineBytes : kMaxSlotLineBytes;
}

// Spaces and tabs only (a line end already cut off): skipped like an empty line.
bool blankLine(const char* line, size_t len) {
    for (size_t i = 0; i < len; ++i)
        if (line[i] != ' ' && line[i] != '\t' && line[i] != '\r') return false;
    return true;
}

void throwAtLine(const char* message, zend_long lineNo) {
    zend_throw_exception_ex(qarbin_exception_ce, 0, "%s at line " ZEND_LONG_FMT, message, lineNo);
}

// Reads every line; throws and returns at the first bad one.
void loadLines(LoadContext* ctx, qarbin::Store* store) {
    ssize_t got;
    while ((got = getline(&ctx->line, &ctx->cap, ctx->fp)) != -1) {
        ctx->lineNo++;
        size_t len = static_cast<size_t>(got);
        if (len && ctx->line[len - 1] == '\n') --len;
        if (len && ctx->line[len - 1] == '\r') --len;
        if (blankLine(ctx->line, len)) continue;
        if (len > maxLineBytes(store)) {
            zend_throw_exception_ex(qarbin_exception_ce, 0, "Line too long (max %zu bytes) at line " ZEND_LONG_FMT,
                                    maxLineBytes(store), ctx->lineNo);
            return;
        }
        zval* decoded = &ctx->decoded;
        php_json_decode_ex(decoded, ctx->line, len, PHP_JSON_OBJECT_AS_ARRAY, 3);
        const char* error = nullptr;
        bool dimMismatch = false;
        if (Z_TYPE_P(decoded) != IS_ARRAY) {
            error = "Invalid JSON";
        } else {
            HashTable* ht = Z_ARRVAL_P(decoded);
            zval* key = zend_hash_find_known_hash(ht, qarbin_str_key);
            zval* vec = key ? zend_hash_find_known_hash(ht, qarbin_str_vector) : nullptr;
            zval* meta = nullptr;
            zval* text = nullptr;
            if (!key || Z_TYPE_P(key) != IS_STRING || Z_STRLEN_P(key) == 0) {
                error = "Missing or empty 'key'";
            } else if (!vec || Z_TYPE_P(vec) != IS_ARRAY) {
                error = "Missing 'vector' array";
            } else if (zend_hash_num_elements(Z_ARRVAL_P(vec)) != ctx->dim) {
                dimMismatch = true;
            } else {
                meta = zend_hash_find_known_hash(ht, qarbin_str_metadata);
                if (meta && Z_TYPE_P(meta) != IS_STRING) meta = nullptr;
                text = zend_hash_find_known_hash(ht, qarbin_str_text);
                if (text && Z_TYPE_P(text) != IS_STRING) text = nullptr;
                error = qarbin_record_limit_error(store, Z_STR_P(key), meta ? Z_STRLEN_P(meta) : 0);
                if (!error && text) error = qarbin_text_error(store, Z_STR_P(text));
                if (!error) {
                    const int rc = qarbin_convert_vector(Z_ARRVAL_P(vec), ctx->vec, ctx->dim);
                    if (rc == QARBIN_CONVERT_NOT_NUMBER) error = "Vector components must be numbers";
                    else if (rc != QARBIN_CONVERT_OK) error = "Vector components must be finite";
                }
                if (!error && qarbin_php::set(store, Z_STRVAL_P(key), ctx->vec, meta ? Z_STRVAL_P(meta) : nullptr,
                                              meta ? static_cast<uint32_t>(Z_STRLEN_P(meta)) : 0,
                                              text ? Z_STRVAL_P(text) : nullptr,
                                              text ? static_cast<uint32_t>(Z_STRLEN_P(text)) : 0) != 0)
                    error = "Failed to set vector";
            }
        }
        zval_ptr_dtor(decoded);
        ZVAL_UNDEF(decoded);
        QARBIN_RESUME_BAILOUT();
        if (dimMismatch) {
            zend_throw_exception_ex(qarbin_exception_ce, 0, "Vector dim mismatch at line " ZEND_LONG_FMT ": expected %u",
                                    ctx->lineNo, ctx->dim);
            return;
        }
        if (error) {
            throwAtLine(error, ctx->lineNo);
            return;
        }
        ctx->stored++;
    }
}

}  // namespace

void qarbin_json_append_string(smart_str* s, const char* bytes, size_t len) {
    smart_str_appendc(s, '"');
    size_t run = 0;
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        if (i > run) smart_str_appendl(s, bytes + run, i - run);
        run = i + 1;
        switch (c) {
            case '"': smart_str_appendl(s, "\\\"", 2); break;
            case '\\': smart_str_appendl(s, "\\\\", 2); break;
            case '\b': smart_str_appendl(s, "\\b", 2); break;
            case '\t': smart_str_appendl(s, "\\t", 2); break;
            case '\n': smart_str_appendl(s, "\\n", 2); break;
            case '\f': smart_str_appendl(s, "\\f", 2); break;
            case '\r': smart_str_appendl(s, "\\r", 2); break;
            default: {
                char esc[8];
                int n = ap_php_snprintf(esc, sizeof esc, "\\u%04x", c);
                smart_str_appendl(s, esc, static_cast<size_t>(n));
                break;
            }
        }
    }
    if (len > run) smart_str_appendl(s, bytes + run, len - run);
    smart_str_appendc(s, '"');
}

PHP_METHOD(QarbinStore, dump) {
    zend_string* path = nullptr;
    ZEND_PARSE_PARAMETERS_START(0, 1)
    Z_PARAM_OPTIONAL
    Z_PARAM_PATH_STR_OR_NULL(path)
    ZEND_PARSE_PARAMETERS_END();

    qarbin::Store* store = qarbin_open_store(Z_OBJ_P(ZEND_THIS), false);
    if (!store) RETURN_THROWS();
    FILE* fp = nullptr;
    if (path) {
        if (!qarbin_path_allowed(ZSTR_VAL(path))) {
            zend_throw_exception_ex(qarbin_exception_ce, 0,
                                    "Cannot open file for writing: %s: open_basedir restriction in effect", ZSTR_VAL(path));
            RETURN_THROWS();
        }
        fp = fopen(ZSTR_VAL(path), "w");
        if (!fp) {
            zend_throw_exception_ex(qarbin_exception_ce, 0, "Cannot open file for writing: %s", ZSTR_VAL(path));
            RETURN_THROWS();
        }
        setvbuf(fp, nullptr, _IOFBF, kIoBuffer);
    }
    // On the heap, so that a bailout out of the walk finds the file and the
    // buffers where it left them.
    DumpContext* ctx = static_cast<DumpContext*>(ecalloc(1, sizeof(DumpContext)));
    ctx->fp = fp;
    ctx->dim = qarbin_php::dim(store);
    float* scratch = static_cast<float*>(emalloc(sizeof(float) * kScratchFloats));
    bool bailed = false;
    zend_try { qarbin_php::forEachRecord(store, scratch, visitRecord, ctx); }
    zend_catch { bailed = true; }
    zend_end_try();
    efree(scratch);
    smart_str_free(&ctx->line);
    if (ctx->fp) fclose(ctx->fp);
    if (bailed) {
        smart_str_free(&ctx->out);
        efree(ctx);
        zend_bailout();
    }
    if (path) {
        RETVAL_LONG(ctx->written);
    } else {
        RETVAL_STR(smart_str_extract(&ctx->out));
    }
    efree(ctx);
}

PHP_METHOD(QarbinStore, load) {
    zend_string* path;
    ZEND_PARSE_PARAMETERS_START(1, 1)
    Z_PARAM_PATH_STR(path)
    ZEND_PARSE_PARAMETERS_END();

    qarbin::Store* store = qarbin_open_store(Z_OBJ_P(ZEND_THIS), true);
    if (!store) RETURN_THROWS();
    if (!qarbin_path_allowed(ZSTR_VAL(path))) {
        zend_throw_exception_ex(qarbin_exception_ce, 0,
                                "Cannot open file for reading: %s: open_basedir restriction in effect", ZSTR_VAL(path));
        RETURN_THROWS();
    }
    FILE* fp = fopen(ZSTR_VAL(path), "r");
    // A directory opens for reading but yields no line; refuse it as unreadable.
    struct stat st;
    if (fp && fstat(fileno(fp), &st) == 0 && S_ISDIR(st.st_mode)) {
        fclose(fp);
        fp = nullptr;
    }
    if (!fp) {
        zend_throw_exception_ex(qarbin_exception_ce, 0, "Cannot open file for reading: %s", ZSTR_VAL(path));
        RETURN_THROWS();
    }
    setvbuf(fp, nullptr, _IOFBF, kIoBuffer);
    LoadContext* ctx = static_cast<LoadContext*>(ecalloc(1, sizeof(LoadContext)));
    ctx->fp = fp;
    ctx->dim = qarbin_php::dim(store);
    ctx->vec = static_cast<float*>(emalloc(sizeof(float) * ctx->dim));
    ZVAL_UNDEF(&ctx->decoded);
    bool bailed = false;
    zend_try { loadLines(ctx, store); }
    zend_catch { bailed = true; }
    zend_end_try();
    free(ctx->line);
    fclose(ctx->fp);
    efree(ctx->vec);
    zend_long stored = ctx->stored;
    efree(ctx);
    if (bailed) zend_bailout();
    if (EG(exception)) RETURN_THROWS();
    RETURN_LONG(stored);
}
