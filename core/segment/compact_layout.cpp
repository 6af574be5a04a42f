#include "core/segment/compact_layout.h"

#include <algorithm>

#include "core/math/codecs.h"
#include "core/segment/segment.h"

namespace qarbin {

namespace {

// a rounded up to a multiple of align (a power of two); false on overflow.
bool alignUp(uint64_t a, uint64_t align, uint64_t* out) {
    if (a > UINT64_MAX - (align - 1)) return false;
    *out = (a + align - 1) & ~(align - 1);
    return true;
}

// Appends an area of `count * size` bytes at the next page; false on overflow.
bool placeArea(uint64_t* cursor, uint64_t count, uint64_t size, uint64_t* offset) {
    uint64_t bytes, start, end;
    if (!alignUp(*cursor, kCompactAreaAlign, &start)) return false;
    if (__builtin_mul_overflow(count, size, &bytes)) return false;
    if (__builtin_add_overflow(start, bytes, &end)) return false;
    *offset = start;
    *cursor = end;
    return true;
}

// Smallest table of at least twice `capacity` buckets.
uint32_t keyTableBitsFor(uint64_t capacity) {
    uint32_t bits = kMinKeyTableBits;
    while ((uint64_t{1} << bits) < capacity * 2) ++bits;
    return bits;
}

uint64_t varCapacityFor(uint64_t capacity) {
    uint64_t reserve;
    if (__builtin_mul_overflow(capacity, kVarReservePerEntry, &reserve)) reserve = kMaxVarAreaBytes;
    return std::min(kMaxVarAreaBytes, std::max(kMinVarAreaBytes, reserve));
}

}  // namespace

uint32_t compactRowBytes(uint32_t dim, Quantization q, uint32_t pqSubvectors) {
    const uint64_t bytes = encodedBytes(dim, static_cast<uint32_t>(q), pqSubvectors);
    return static_cast<uint32_t>((bytes + kVectorRowAlign - 1) & ~(kVectorRowAlign - 1));
}

bool computeCompactLayout(uint64_t capacity, uint32_t dim, Quantization q, uint32_t pqSubvectors, CompactLayout* out) {
    // Bucket values are entry index + 1 in 32 bits.
    if (capacity == 0 || capacity >= UINT32_MAX / 2) return false;
    CompactLayout l;
    l.codebookOffset = kCompactHeaderBytes;
    l.codebookBytes = Segment::codebookSize(dim, pqSubvectors);
    l.rowBytes = compactRowBytes(dim, q, pqSubvectors);
    l.poolEntries = std::max<uint64_t>(kMinPoolEntries, capacity / 4);
    l.keyTableBits = keyTableBitsFor(capacity);
    l.varCapacity = varCapacityFor(capacity);
    uint64_t cursor = l.codebookOffset + l.codebookBytes;
    if (!placeArea(&cursor, capacity, l.rowBytes, &l.vectorOffset)) return false;
    if (!placeArea(&cursor, capacity, sizeof(RecordEntry), &l.entryOffset)) return false;
    if (!placeArea(&cursor, capacity, kNodeBytes, &l.nodeOffset)) return false;
    if (!placeArea(&cursor, l.poolEntries, kPoolEntryBytes, &l.poolOffset)) return false;
    if (!placeArea(&cursor, uint64_t{1} << l.keyTableBits, sizeof(KeyBucket), &l.keyTableOffset)) return false;
    if (!placeArea(&cursor, 1, l.varCapacity, &l.varOffset)) return false;
    // The text index is a reserve like the variable area: an index is
    // smaller than the texts it covers, with room left for merging runs.
    l.textCapacity = l.varCapacity;
    if (!placeArea(&cursor, 1, l.textCapacity, &l.textOffset)) return false;
    if (!alignUp(cursor, kCompactAreaAlign, &l.regionBytes)) return false;
    *out = l;
    return true;
}

void initCompactHeader(CompactHeader* h, const Shape& shape, const CompactLayout& layout, NormOrder order) {
    SegmentHeader& b = h->base;
    b.magic = kSegmentMagic;
    b.version = kCompactSegmentVersion;
    b.dim = shape.dim;
    b.quantization = static_cast<uint32_t>(shape.quantization);
    b.usedSlots.store(0);
    b.liveCount.store(0);
    b.capacity.store(shape.capacity);
    b.hnswM = shape.hnswM;
    b.hnswEfConstruction = shape.efConstruction;
    b.graphOffset = layout.nodeOffset;
    b.entryPoint = -1;
    b.maxLevel = 0;
    b.indexedCount.store(0);
    b.linkPoolOffset = layout.poolOffset;
    b.metric = static_cast<uint32_t>(shape.metric);
    b.flags = 0;
    b.insertSeq.store(0);
    b.pqSubvectors = shape.pqSubvectors;
    setHeaderCodebookOffset(&b, 0);
    b.linkPoolUsed = 0;
    b.generation.store(0);
    b.graphWriter.store(0);
    CompactHeaderTail& t = h->tail;
    t.vectorOffset = layout.vectorOffset;
    t.entryOffset = layout.entryOffset;
    t.keyTableOffset = layout.keyTableOffset;
    t.varOffset = layout.varOffset;
    t.varCapacity = layout.varCapacity;
    t.varUsed.store(0);
    t.rowBytes = layout.rowBytes;
    t.keyTableBits = layout.keyTableBits;
    t.normOrder = shape.metric == DistanceMetric::Cosine ? static_cast<uint32_t>(order) : 0;
    t.keyTableDirty.store(0);
    t.regionBytes = layout.regionBytes;
    t.textOffset = layout.textOffset;
    t.textCapacity = layout.textCapacity;
}

namespace {

// The variable area hands out whole units, and every entry reserved its
// bytes before it was published, so no valid entry ends past varUsed read
// after it (writers in other processes may be adding meanwhile). Only the
// newest entries are looked at: opening stays independent of the count.
bool varUsedCoversEntries(const CompactHeader* h, const CompactLayout& l, uint64_t used) {
    const auto* entries = reinterpret_cast<const RecordEntry*>(reinterpret_cast<const uint8_t*>(h) + l.entryOffset);
    constexpr uint64_t kLooked = 64;
    uint64_t furthest = 0;
    for (uint64_t i = used; i-- > 0 && used - i <= kLooked;) {
        const RecordEntry& e = entries[i];
        if (!entryValid(&e)) continue;
        const VarRef r = loadVarRef(&e);
        furthest = std::max(furthest, uint64_t{r.unit} * kVarUnit + r.keyLen() + r.metaLen() + e.textLen);
    }
    // Once full, a refused reservation leaves varUsed past the capacity.
    const uint64_t varUsed = h->tail.varUsed.load(std::memory_order_acquire);
    return varUsed % kVarUnit == 0 && furthest <= varUsed && furthest <= l.varCapacity;
}

// An entry is handed out (usedSlots raised) before it is written, so a
// valid entry right after the used ones means usedSlots lies, unless
// usedSlots read again has moved past it (a writer adding meanwhile).
bool noEntryPastUsed(const CompactHeader* h, const CompactLayout& l, uint64_t used) {
    if (used >= h->base.capacity.load()) return true;
    const auto* entries = reinterpret_cast<const RecordEntry*>(reinterpret_cast<const uint8_t*>(h) + l.entryOffset);
    return !entryValid(&entries[used]) || h->base.usedSlots.load(std::memory_order_acquire) > used;
}

}  // namespace

bool compactHeaderUsable(const CompactHeader* h, uint64_t len) {
    if (len < kCompactHeaderBytes) return false;
    const SegmentHeader& b = h->base;
    if (b.magic != kSegmentMagic || b.version != kCompactSegmentVersion) return false;
    const Quantization q = static_cast<Quantization>(b.quantization);
    if (!Segment::creationParamsValid(b.dim, q, static_cast<DistanceMetric>(b.metric), b.pqSubvectors)) return false;
    CompactLayout l;
    if (!computeCompactLayout(b.capacity.load(), b.dim, q, b.pqSubvectors, &l)) return false;
    const CompactHeaderTail& t = h->tail;
    // Laid out before the text index existed: everything up to it.
    const bool textless = t.textOffset == 0 && t.textCapacity == 0;
    if (textless) l.regionBytes = l.textOffset;
    else if (t.textOffset != l.textOffset || t.textCapacity != l.textCapacity) return false;
    if (len < l.regionBytes || t.regionBytes != l.regionBytes) return false;
    if (b.graphOffset != l.nodeOffset || b.linkPoolOffset != l.poolOffset) return false;
    if (t.vectorOffset != l.vectorOffset || t.entryOffset != l.entryOffset || t.keyTableOffset != l.keyTableOffset)
        return false;
    if (t.varOffset != l.varOffset || t.varCapacity != l.varCapacity) return false;
    if (t.rowBytes != l.rowBytes || t.keyTableBits != l.keyTableBits) return false;
    if (t.normOrder > static_cast<uint32_t>(NormOrder::EightLane)) return false;
    const uint64_t cb = headerCodebookOffset(&b);
    if (cb != 0 && cb != l.codebookOffset) return false;
    // PQ records are written only once a codebook is published.
    const uint64_t used = std::min(b.usedSlots.load(), b.capacity.load());
    return !(q == Quantization::PQ && cb == 0 && used != 0);
}

bool compactRegionUsable(const CompactHeader* h, uint64_t len) {
    if (!compactHeaderUsable(h, len)) return false;
    CompactLayout l;
    const SegmentHeader& b = h->base;
    computeCompactLayout(b.capacity.load(), b.dim, static_cast<Quantization>(b.quantization), b.pqSubvectors, &l);
    const uint64_t used = std::min(b.usedSlots.load(), b.capacity.load());
    return varUsedCoversEntries(h, l, used) && noEntryPastUsed(h, l, used);
}

}  // namespace qarbin
