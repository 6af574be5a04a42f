// Page arithmetic for msync, madvise and fallocate on mapped regions.
#pragma once

#include <cstdint>

namespace qarbin {

constexpr uint64_t kPage = 4096;

inline uint64_t pageDown(uint64_t v) { return v & ~(kPage - 1); }
// Saturates instead of wrapping for offsets near the top of the range.
inline uint64_t pageUp(uint64_t v) { return v > UINT64_MAX - (kPage - 1) ? pageDown(UINT64_MAX) : pageDown(v + kPage - 1); }

}  // namespace qarbin
