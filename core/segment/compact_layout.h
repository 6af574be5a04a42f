// Where each area of a compact segment lies (format_compact.h), from the
// shape alone, and the check that a header read from a region agrees.
#pragma once

#include <cstdint>

#include "core/segment/format_compact.h"

namespace qarbin {

struct CompactLayout {
    uint64_t codebookOffset = 0;
    uint64_t codebookBytes = 0;
    uint64_t vectorOffset = 0;
    uint32_t rowBytes = 0;
    uint64_t entryOffset = 0;
    uint64_t nodeOffset = 0;
    uint64_t poolOffset = 0;
    uint64_t poolEntries = 0;
    uint64_t keyTableOffset = 0;
    uint32_t keyTableBits = 0;
    uint64_t varOffset = 0;
    uint64_t varCapacity = 0;
    uint64_t textOffset = 0;
    uint64_t textCapacity = 0;
    uint64_t regionBytes = 0;
};

// The encoded vector rounded up to the kernels' alignment.
uint32_t compactRowBytes(uint32_t dim, Quantization q, uint32_t pqSubvectors);

// False when the capacity is 0, does not fit the key table's 32-bit
// entry numbers, or the region would not fit in 64 bits.
bool computeCompactLayout(uint64_t capacity, uint32_t dim, Quantization q, uint32_t pqSubvectors, CompactLayout* out);

// Writes a fresh header and tail for shape into a zeroed region of at
// least layout.regionBytes bytes.
void initCompactHeader(CompactHeader* h, const Shape& shape, const CompactLayout& layout, NormOrder order);

// True when a region of len bytes starting with h is a compact segment
// whose every offset is the one its own shape gives and whose length
// holds all of it; counters are not judged (readers clamp them).
bool compactRegionUsable(const CompactHeader* h, uint64_t len);
// The same judged from the header alone (the region's other bytes not read
// yet): its fields and the length, not the newest entries.
bool compactHeaderUsable(const CompactHeader* h, uint64_t len);

}  // namespace qarbin
