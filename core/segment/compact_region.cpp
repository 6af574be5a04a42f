#include "core/segment/compact_region.h"

#include <algorithm>
#include <cstring>

namespace qarbin {

namespace {

// Entry reservation as in a version-6 segment: an add past the end gives
// its number back, so usedSlots exceeds capacity only for an instant.
int64_t reserveEntry(SegmentHeader& b, uint64_t cap) {
    const uint64_t s = b.usedSlots.fetch_add(1);
    if (s >= cap) {
        b.usedSlots.fetch_sub(1);
        return -1;
    }
    return static_cast<int64_t>(s);
}

// Offset of n fresh bytes in the variable area, or UINT64_MAX when they do
// not fit. A refused reservation stays counted: the area is then full for
// every later block, which only ends this segment a little early.
uint64_t reserveVar(CompactHeaderTail& t, uint64_t n) {
    const uint64_t size = (n + kVarUnit - 1) & ~(kVarUnit - 1);
    // Once full, the counter is not raised again: it stays far from wrapping.
    if (t.varUsed.load() > t.varCapacity) return UINT64_MAX;
    const uint64_t at = t.varUsed.fetch_add(size);
    if (at > t.varCapacity || size > t.varCapacity - at) return UINT64_MAX;
    return at;
}

}  // namespace

CompactRegion::CompactRegion(uint8_t* base, uint64_t len) : base_(base), len_(len) {
    if (base != nullptr && compactRegionUsable(reinterpret_cast<const CompactHeader*>(base), len))
        h_ = reinterpret_cast<CompactHeader*>(base);
}

bool CompactRegion::init(uint8_t* base, uint64_t len, const Shape& shape, NormOrder order) {
    CompactLayout l;
    if (base == nullptr || !Segment::creationParamsValid(shape)) return false;
    if (!computeCompactLayout(shape.capacity, shape.dim, shape.quantization, shape.pqSubvectors, &l)) return false;
    if (len < l.regionBytes) return false;
    initCompactHeader(reinterpret_cast<CompactHeader*>(base), shape, l, order);
    return true;
}

uint64_t CompactRegion::capacity() const { return h_->base.capacity.load(); }

uint64_t CompactRegion::entryCount() const { return std::min(h_->base.usedSlots.load(), capacity()); }

RecordEntry* CompactRegion::entryAt(uint64_t i) const {
    return reinterpret_cast<RecordEntry*>(base_ + h_->tail.entryOffset) + i;
}

const RecordEntry* CompactRegion::entry(uint64_t i) const { return entryAt(i); }

const uint8_t* CompactRegion::row(uint64_t i) const { return base_ + h_->tail.vectorOffset + i * h_->tail.rowBytes; }

std::atomic<uint32_t>* CompactRegion::buckets() const {
    return reinterpret_cast<std::atomic<uint32_t>*>(base_ + h_->tail.keyTableOffset);
}

uint64_t CompactRegion::homeBucket(uint64_t id) const {
    return (id * 0x9E3779B97F4A7C15ull) >> (64 - h_->tail.keyTableBits);
}

// Claims the first free bucket of id's probe run by compare-and-swap, so
// writers in several processes never take the same bucket.
bool CompactRegion::insertBucket(uint64_t id, uint32_t index) {
    std::atomic<uint32_t>* b = buckets();
    const uint64_t mask = (uint64_t{1} << h_->tail.keyTableBits) - 1;
    uint64_t pos = homeBucket(id);
    for (uint64_t n = 0; n <= mask; ++n, pos = (pos + 1) & mask) {
        uint32_t expected = 0;
        if (b[pos].load(std::memory_order_relaxed) == 0 &&
            b[pos].compare_exchange_strong(expected, index + 1, std::memory_order_release))
            return true;
    }
    return false;
}

CompactRegion CompactRegion::checked(uint8_t* base, uint64_t len) {
    CompactRegion r;
    r.base_ = base;
    r.len_ = len;
    r.h_ = reinterpret_cast<CompactHeader*>(base);
    return r;
}

CompactAdd CompactRegion::reserve(uint32_t keyLen, uint32_t metaLen, uint32_t textLen, uint64_t* entry,
                                  uint64_t* varAt) {
    if (keyLen > kCompactMaxKeyBytes) return CompactAdd::KeyTooLong;
    if (metaLen > kCompactMaxMetadataBytes) return CompactAdd::MetadataTooLong;
    if (textLen > kCompactMaxTextBytes) return CompactAdd::TextTooLong;
    const uint64_t cap = capacity();
    if (h_->base.usedSlots.load() >= cap) return CompactAdd::Full;
    const uint64_t at = reserveVar(h_->tail, uint64_t{keyLen} + metaLen + textLen);
    if (at == UINT64_MAX) return CompactAdd::Full;
    const int64_t reserved = reserveEntry(h_->base, cap);
    if (reserved < 0) return CompactAdd::Full;
    *entry = static_cast<uint64_t>(reserved);
    *varAt = at;
    return CompactAdd::Stored;
}

uint64_t CompactRegion::reserveBlock(uint64_t bytes) { return reserveVar(h_->tail, bytes); }

void CompactRegion::replaceMetadata(uint64_t i, uint64_t at, const char* meta, uint32_t metaLen) {
    RecordEntry* e = entryAt(i);
    const VarRef old = loadVarRef(e);
    const char* from = reinterpret_cast<const char*>(base_ + h_->tail.varOffset) + uint64_t{old.unit} * kVarUnit;
    char* to = reinterpret_cast<char*>(base_ + h_->tail.varOffset + at);
    std::memcpy(to, from, old.keyLen());
    if (metaLen != 0) std::memcpy(to + old.keyLen(), meta, metaLen);
    if (e->textLen != 0) std::memcpy(to + old.keyLen() + metaLen, from + old.keyLen() + old.metaLen(), e->textLen);
    storeVarRef(e, {static_cast<uint32_t>(at / kVarUnit), packLengths(old.keyLen(), metaLen)});
}

bool CompactRegion::unreserve(uint64_t entry) {
    uint64_t expected = entry + 1;
    return h_->base.usedSlots.compare_exchange_strong(expected, entry);
}

void CompactRegion::fill(uint64_t i, uint64_t at, uint64_t id, const char* key, uint32_t keyLen,
                         const uint8_t* encodedRow, float norm, const char* meta, uint32_t metaLen, TextBytes text) {
    char* var = reinterpret_cast<char*>(base_ + h_->tail.varOffset + at);
    if (keyLen != 0) std::memcpy(var, key, keyLen);
    if (metaLen != 0) std::memcpy(var + keyLen, meta, metaLen);
    const uint32_t textLen = text.data != nullptr ? text.len : 0;
    if (textLen != 0) std::memcpy(var + keyLen + metaLen, text.data, textLen);
    std::memcpy(base_ + h_->tail.vectorOffset + i * h_->tail.rowBytes, encodedRow, h_->tail.rowBytes);
    RecordEntry* e = entryAt(i);
    e->id = id;
    storeVarRef(e, {static_cast<uint32_t>(at / kVarUnit), packLengths(keyLen, metaLen)});
    e->textLen = textLen;
    e->hasText = text.data != nullptr ? 1 : 0;
    e->graphNode = -1;
    e->norm = norm;
    e->deleted = 0;
    // A bucket whose entry is not valid yet is skipped by every lookup; the
    // other order could show a valid record that no lookup finds.
    if (!insertBucket(id, static_cast<uint32_t>(i))) h_->tail.keyTableDirty.store(1);
    publishEntry(e);
    h_->base.liveCount.fetch_add(1);
}

CompactAdd CompactRegion::add(uint64_t id, const char* key, uint32_t keyLen, const uint8_t* encodedRow, float norm,
                              const char* meta, uint32_t metaLen, TextBytes text) {
    uint64_t i = 0, at = 0;
    const CompactAdd rc = reserve(keyLen, metaLen, text.data != nullptr ? text.len : 0, &i, &at);
    if (rc == CompactAdd::Stored) fill(i, at, id, key, keyLen, encodedRow, norm, meta, metaLen, text);
    return rc;
}

bool CompactRegion::markDeleted(uint64_t i) {
    if (i >= entryCount()) return false;
    RecordEntry* e = entryAt(i);
    if (!entryLive(e)) return false;
    e->deleted = 1;
    h_->base.liveCount.fetch_sub(1);
    return true;
}

bool CompactRegion::span(uint64_t i, VarSpan* out) const {
    if (i >= entryCount()) return false;
    const RecordEntry* e = entryAt(i);
    if (!entryValid(e)) return false;
    const VarRef r = loadVarRef(e);
    const uint32_t keyLen = r.keyLen();
    const uint32_t metaLen = r.metaLen();
    if (keyLen > kCompactMaxKeyBytes || metaLen > kCompactMaxMetadataBytes || e->textLen > kCompactMaxTextBytes)
        return false;
    const uint64_t used = std::min(h_->tail.varUsed.load(), h_->tail.varCapacity);
    const uint64_t at = uint64_t{r.unit} * kVarUnit;
    const uint64_t bytes = uint64_t{keyLen} + metaLen + e->textLen;
    if (at > used || bytes > used - at) return false;
    const char* var = reinterpret_cast<const char*>(base_ + h_->tail.varOffset + at);
    out->key = var;
    out->keyLen = keyLen;
    out->meta = var + keyLen;
    out->metaLen = metaLen;
    out->text = e->hasText != 0 ? var + keyLen + metaLen : nullptr;
    out->textLen = e->hasText != 0 ? e->textLen : 0;
    return true;
}

size_t CompactRegion::findLive(uint64_t id, const char* key, uint32_t keyLen, std::vector<uint64_t>& out,
                               uint64_t* visited) const {
    const size_t before = out.size();
    const std::atomic<uint32_t>* b = buckets();
    const uint64_t mask = (uint64_t{1} << h_->tail.keyTableBits) - 1;
    const uint64_t count = entryCount();
    uint64_t pos = homeBucket(id);
    for (uint64_t n = 0; n <= mask; ++n, pos = (pos + 1) & mask) {
        if (visited != nullptr) ++*visited;
        const uint32_t v = b[pos].load(std::memory_order_acquire);
        if (v == 0) break;
        const uint64_t i = v - 1;
        if (i >= count) continue;  // a corrupt bucket names nothing
        const RecordEntry* e = entryAt(i);
        VarSpan s;
        if (e->id != id || !entryLive(e) || !span(i, &s)) continue;
        if (s.keyLen == keyLen && std::memcmp(s.key, key, keyLen) == 0) out.push_back(i);
    }
    std::sort(out.begin() + static_cast<std::ptrdiff_t>(before), out.end());
    return out.size() - before;
}

bool CompactRegion::reachable(uint64_t id, uint32_t index) const {
    const std::atomic<uint32_t>* b = buckets();
    const uint64_t mask = (uint64_t{1} << h_->tail.keyTableBits) - 1;
    uint64_t pos = homeBucket(id);
    for (uint64_t n = 0; n <= mask; ++n, pos = (pos + 1) & mask) {
        const uint32_t v = b[pos].load(std::memory_order_acquire);
        if (v == 0) return false;
        if (v == index + 1) return true;
    }
    return false;
}

bool CompactRegion::keyTableSound() const {
    if (h_->tail.keyTableDirty.load() != 0) return false;
    const uint64_t count = entryCount();
    const std::atomic<uint32_t>* b = buckets();
    const uint64_t n = uint64_t{1} << h_->tail.keyTableBits;
    for (uint64_t p = 0; p < n; ++p) {
        const uint32_t v = b[p].load(std::memory_order_relaxed);
        if (v != 0 && v - 1 >= count) return false;
    }
    for (uint64_t i = 0; i < count; ++i) {
        const RecordEntry* e = entryAt(i);
        if (entryValid(e) && !reachable(e->id, static_cast<uint32_t>(i))) return false;
    }
    return true;
}

bool CompactRegion::newestEntriesReachable(uint64_t looked) const {
    const uint64_t count = entryCount();
    for (uint64_t i = count; i-- > 0 && count - i <= looked;) {
        const RecordEntry* e = entryAt(i);
        if (entryValid(e) && !reachable(e->id, static_cast<uint32_t>(i))) return false;
    }
    return true;
}

// Only buckets that hold an entry are written: a sparse table's holes read
// as empty and stay unallocated.
void CompactRegion::emptyKeyTable() {
    std::atomic<uint32_t>* b = buckets();
    const uint64_t n = uint64_t{1} << h_->tail.keyTableBits;
    for (uint64_t p = 0; p < n; ++p)
        if (b[p].load(std::memory_order_relaxed) != 0) b[p].store(0, std::memory_order_relaxed);
}

// No writer may append meanwhile (an opener runs it before anyone else
// can have the segment).
void CompactRegion::rebuildKeyTable() {
    h_->tail.keyTableDirty.store(1);
    emptyKeyTable();
    const uint64_t count = entryCount();
    bool complete = true;
    for (uint64_t i = 0; i < count; ++i) {
        const RecordEntry* e = entryAt(i);
        if (entryValid(e) && !insertBucket(e->id, static_cast<uint32_t>(i))) complete = false;
    }
    if (complete) h_->tail.keyTableDirty.store(0);
}

void CompactRegion::clearRecords() {
    CompactHeaderTail& t = h_->tail;
    SegmentHeader& b = h_->base;
    t.keyTableDirty.store(1);
    const uint64_t used = entryCount();
    std::memset(base_ + t.entryOffset, 0, used * sizeof(RecordEntry));
    std::memset(base_ + t.vectorOffset, 0, used * t.rowBytes);
    std::memset(base_ + t.varOffset, 0, std::min(t.varUsed.load(), t.varCapacity));
    emptyKeyTable();
    // An unformatted text index covers nothing; a page never written is
    // left alone, as it may not be backed.
    uint32_t* textMagic = t.textOffset != 0 ? reinterpret_cast<uint32_t*>(base_ + t.textOffset) : nullptr;
    if (textMagic != nullptr && *textMagic != 0) std::memset(textMagic, 0, kTextAreaHeaderBytes);
    b.usedSlots.store(0);
    b.liveCount.store(0);
    b.insertSeq.store(0);
    t.varUsed.store(0);
    b.flags &= ~(kFlagGraphBuilt | kFlagGraphUsable | kFlagGraphExtending);
    b.indexedCount.store(0);
    b.entryPoint = -1;
    b.maxLevel = 0;
    b.linkPoolUsed = 0;
    b.generation.fetch_add(1);
    t.keyTableDirty.store(0);
}

}  // namespace qarbin
