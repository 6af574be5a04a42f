// Conversion of PHP values into the float vectors the store takes.
#include "php/php_qarbin.h"

namespace {

inline bool finiteFloat(float f) {
    uint32_t bits;
    memcpy(&bits, &f, sizeof bits);
    return (bits & 0x7f800000u) != 0x7f800000u;
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
            f = static_cast<float>(zval_get_double(zv));
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

void qarbin_throw(const char* message) { zend_throw_exception(qarbin_exception_ce, message, 0); }
