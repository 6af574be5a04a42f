#include "core/alloc.h"

#include <cstdlib>

namespace qarbin {

namespace {
Allocator current = {std::calloc, std::malloc, std::free};
}

void setAllocator(const Allocator& a) { current = a; }
void* allocZeroed(size_t count, size_t size) { return current.zeroed(count, size); }
void* allocBytes(size_t size) { return current.bytes(size); }
void releaseBytes(void* p) { current.release(p); }

}  // namespace qarbin
