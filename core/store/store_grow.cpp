// Memory mode: the last segment grows instead of being followed by another,
// so a store searches one graph however many records it holds.
#include <algorithm>

#include "core/store/store.h"
#include "core/store/store_internal.h"

namespace qarbin {

namespace {

// Node positions are int32 links; far below that, a region this size is
// already more than the kernel hands out without swap.
constexpr uint64_t kMaxGrownCapacity = uint64_t{1} << 30;

uint64_t mappedTotal(const std::vector<Segment*>& segments) {
    uint64_t total = 0;
    for (const Segment* seg : segments) total += seg->countedBytes();
    return total;
}

}  // namespace

bool growLastSegment(Store* st) {
    if (st->mode != StorageMode::Memory || st->segments.empty()) return false;
    Segment* last = st->segments.back();
    if (last->mode != StorageMode::Memory || !last->writable) return false;
    const uint64_t cap = last->capacity();
    if (cap == 0 || cap >= kMaxGrownCapacity) return false;
    const uint64_t newCap = std::min(cap * 2, kMaxGrownCapacity);
    Shape grownShape = last->shape();
    grownShape.capacity = newCap;
    uint64_t size = Segment::countedRegionBytes(grownShape);
    if (size == 0) return false;
    // The copy also holds the keys and metadata stored so far.
    const uint64_t lastFresh = Segment::countedRegionBytes(last->shape());
    size += last->countedBytes() - std::min(last->countedBytes(), lastFresh);
    // Both regions exist while the records move, and both count.
    if (st->memoryLimit != 0) {
        const uint64_t total = mappedTotal(st->segments);
        if (total > st->memoryLimit || size > st->memoryLimit - total) {
            st->writeFailure = WriteFailure::MemoryLimit;
            return false;
        }
    }
    Segment* grown = last->grownCopy(newCap);
    if (grown == nullptr) return false;
    st->segments.back() = grown;
    delete last;
    // The key directory read the old segment as full and stopped there.
    delete st->keyDirectory;
    st->keyDirectory = nullptr;
    st->firstOpenSegment = st->segments.size() - 1;
    return true;
}

}  // namespace qarbin
