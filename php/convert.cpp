// Conversion of PHP values into the float vectors the store takes.
#include "php/php_qarbin.h"

#include "php/store_calls.h"

namespace {

inline bool finiteFloat(float f) {
    uint32_t bits;
    memcpy(&bits, &f, sizeof bits);
    return (bits & 0x7f800000u) != 0x7f800000u;
}

// What converts to a component: numbers, numeric strings (leading and
// trailing whitespace allowed, as PHP's own arithmetic allows), bools and
// null. Other strings, arrays and objects would silently become 0 or 1.
bool numberLike(const zval* v) {
    switch (Z_TYPE_P(v)) {
        case IS_LONG:
        case IS_DOUBLE:
        case IS_TRUE:
        case IS_FALSE:
        case IS_NULL: return true;
        case IS_STRING: return is_numeric_string(Z_STRVAL_P(v), Z_STRLEN_P(v), nullptr, nullptr, false) != 0;
        default: return false;
    }
}

}  // namespace

int qarbin_convert_vector(HashTable* ht, float* out, uint32_t dim) {
    // Converting an object may run user code; holding a reference makes any
    // change it makes to this array separate a copy instead of moving the
    // slots under the loop.
    GC_TRY_ADDREF(ht);
    uint32_t i = 0;
    bool finite = true;
    int rc = QARBIN_CONVERT_OK;
    zval* zv;
    ZEND_HASH_FOREACH_VAL(ht, zv) {
        if (UNEXPECTED(i == dim)) break;
        float f;
        if (EXPECTED(Z_TYPE_P(zv) == IS_DOUBLE)) {
            f = static_cast<float>(Z_DVAL_P(zv));
        } else if (Z_TYPE_P(zv) == IS_LONG) {
            // Through double, as zval_get_double would: a direct long to
            // float conversion can round differently.
            f = static_cast<float>(static_cast<double>(Z_LVAL_P(zv)));
        } else {
            zval* e = zv;
            ZVAL_DEREF(e);
            if (!numberLike(e)) {
                rc = QARBIN_CONVERT_NOT_NUMBER;
                break;
            }
            f = static_cast<float>(zval_get_double(e));
            if (UNEXPECTED(EG(exception))) {
                rc = QARBIN_CONVERT_EXCEPTION;
                break;
            }
        }
        finite &= finiteFloat(f);
        out[i++] = f;
    }
    ZEND_HASH_FOREACH_END();
    zend_array_release(ht);
    if (rc != QARBIN_CONVERT_OK) return rc;
    // Fewer elements than counted can only follow a change made by user code.
    for (; i < dim; ++i) out[i] = 0.0f;
    return finite ? QARBIN_CONVERT_OK : QARBIN_CONVERT_NONFINITE;
}

int qarbin_vector_arg(HashTable* vector, const qarbin_store_object* intern, const qarbin::Store* store, uint32_t dim,
                      float* out) {
    int rc = qarbin_convert_vector(vector, out, dim);
    if (rc == QARBIN_CONVERT_EXCEPTION) return QARBIN_VECTOR_EXCEPTION;
    if (rc == QARBIN_CONVERT_NONFINITE) return QARBIN_VECTOR_NONFINITE;
    if (rc == QARBIN_CONVERT_NOT_NUMBER) return QARBIN_VECTOR_NOT_NUMBER;
    if (intern->store != store || intern->store->shape.dim != dim) return QARBIN_VECTOR_CLOSED;
    return QARBIN_VECTOR_OK;
}

void qarbin_throw_vector_error(int code, uint32_t dim) {
    switch (code) {
        case QARBIN_VECTOR_DIM:
            zend_throw_exception_ex(qarbin_exception_ce, 0, "Vector dim mismatch: expected %u", dim);
            break;
        case QARBIN_VECTOR_NONFINITE: qarbin_throw("Vector components must be finite"); break;
        case QARBIN_VECTOR_NOT_NUMBER: qarbin_throw("Vector components must be numbers"); break;
        case QARBIN_VECTOR_CLOSED: qarbin_throw("Store not open"); break;
        default: break;
    }
}

void qarbin_throw(const char* message) { zend_throw_exception(qarbin_exception_ce, message, 0); }

const char* qarbin_write_failure_cause(const qarbin::Store* store) {
    switch (qarbin_php::writeFailure(store)) {
        case qarbin::WriteFailure::Full: return ": store is full";
        case qarbin::WriteFailure::MemoryLimit: return ": memory limit reached";
        case qarbin::WriteFailure::NoSpace: return ": no space left on device";
        case qarbin::WriteFailure::OutOfMemory: return ": out of memory";
        case qarbin::WriteFailure::Busy: return ": another process is compacting";
        case qarbin::WriteFailure::Refused: {
            static char text[4200] = ": ";
            qarbin_refusal_cause(qarbin_php::segmentRefusal(store), qarbin_php::refusedSegment(store), text + 2,
                                 sizeof text - 2);
            return text;
        }
        default: return "";
    }
}
