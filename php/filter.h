// Compiling a PHP filter array into the core's Filter (php/filter.cpp).
#pragma once

#include <cstddef>

#include "php/php_qarbin.h"

// An owned filter for the array, or null with the message in error (room
// for errorCap bytes). Reads the array only: no user code runs, nothing is
// thrown. Release with qarbin_free_filter.
qarbin::Filter* qarbin_compile_filter(HashTable* filter, char* error, size_t errorCap);
void qarbin_free_filter(qarbin::Filter* filter);

// Room for any message of qarbin_compile_filter.
constexpr size_t kQarbinFilterErrorBytes = 256;

// The owned filter for a method's filter argument (null when none is
// given), or false after throwing its message.
bool qarbin_filter_arg(HashTable* filterArg, qarbin::Filter** out);

// A method's topK, bounded while still a zend_long: below 1 gives 0, above
// the most rows a search returns gives that many.
inline int qarbin_capped_topk(zend_long topK) {
    return topK < 1 ? 0 : static_cast<int>(topK > qarbin::kMaxTopK ? qarbin::kMaxTopK : topK);
}
