// Allocation seam for memory the core hands to its caller (search result
// arrays, metadata copies). The PHP binding points it at the engine's
// request allocator; unit tests and tools use the C library.
#pragma once

#include <cstddef>

namespace qarbin {

struct Allocator {
    void* (*zeroed)(size_t count, size_t size);
    void* (*bytes)(size_t size);
    void (*release)(void* p);
};

void setAllocator(const Allocator& a);
void* allocZeroed(size_t count, size_t size);
void* allocBytes(size_t size);
void releaseBytes(void* p);

}  // namespace qarbin
