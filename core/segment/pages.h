// Page arithmetic for msync, madvise and fallocate on mapped regions.
#pragma once

#include <sys/mman.h>

#include <cstdint>

namespace qarbin {

constexpr uint64_t kPage = 4096;

inline uint64_t pageDown(uint64_t v) { return v & ~(kPage - 1); }
// Saturates instead of wrapping for offsets near the top of the range.
inline uint64_t pageUp(uint64_t v) { return v > UINT64_MAX - (kPage - 1) ? pageDown(UINT64_MAX) : pageDown(v + kPage - 1); }

// Asks for transparent huge pages on a private anonymous mapping: a scan
// then walks far fewer TLB entries. Only a hint; no byte changes, and a
// kernel without them simply declines. Small mappings are left alone: a
// huge page is zeroed and kept whole at its first touch, which a small
// store would pay for in start-up time and resident memory.
constexpr uint64_t kHugePageMinMapping = uint64_t{16} << 20;

inline void adviseHugePages(void* p, uint64_t len) {
#ifdef MADV_HUGEPAGE
    if (len >= kHugePageMinMapping) madvise(p, len, MADV_HUGEPAGE);
#else
    (void)p;
    (void)len;
#endif
}

}  // namespace qarbin
