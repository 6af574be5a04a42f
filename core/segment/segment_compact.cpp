// Record operations of a compact segment (format_compact.h): the append
// with its bytes backed before they are written, the copy from either
// format, deletion, lookups through the persisted key table and the clear.
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/math/codecs.h"
#include "core/segment/compact_copy.h"
#include "core/segment/compact_region.h"
#include "core/segment/key_index.h"
#include "core/segment/pages.h"
#include "core/segment/segment.h"

namespace qarbin {

namespace {

CompactRegion regionOf(const Segment& seg) { return CompactRegion::checked(seg.base, seg.mappedLen); }

// Flushes the pages of [offset, offset + len) of a disk segment ahead.
void flushAhead(const Segment& seg, uint64_t offset, uint64_t len) {
    if (len == 0) return;
    const uint64_t from = pageDown(offset);
    const uint64_t to = std::min(pageUp(offset + len), seg.mappedLen);
    msync(seg.base + from, to - from, MS_ASYNC);
}

}  // namespace

// Reserves, backs and writes one record. Entry and row of the next number
// are backed before the reservation (usedSlots then covers them and readers
// look at the entry), the variable bytes once their offset is known. -1
// (nothing visible) when full or not backed.
int Segment::addCompact(uint64_t id, const char* key, uint32_t keyLen, const uint8_t* row, float norm,
                        const char* meta, uint32_t metaLen, const char* text, uint32_t textLen) {
    if (text == nullptr) textLen = 0;
    const uint64_t varLen = uint64_t{keyLen} + metaLen + textLen;
    const CompactHeaderTail& t = compactHeader->tail;
    if (!backKeyBuckets(id)) return -1;
    const uint64_t next = counters[0].load();
    if (next < slotCapacity && (!ensureBacked(t.entryOffset + next * sizeof(RecordEntry), sizeof(RecordEntry)) ||
                                !ensureBacked(t.vectorOffset + next * t.rowBytes, t.rowBytes)))
        return -1;
    CompactRegion region = regionOf(*this);
    uint64_t i = 0, at = 0;
    if (region.reserve(keyLen, metaLen, textLen, &i, &at) != CompactAdd::Stored) return -1;
    dirty = true;
    const uint64_t entryAt = t.entryOffset + i * sizeof(RecordEntry);
    const bool backed = (i == next || (ensureBacked(entryAt, sizeof(RecordEntry)) &&
                                       ensureBacked(t.vectorOffset + i * t.rowBytes, t.rowBytes))) &&
                        ensureBacked(t.varOffset + at, varLen);
    if (!backed) {
        // Give the entry back if nobody reserved after it; otherwise at
        // least its entry is made readable. Its variable bytes stay counted.
        if (!region.unreserve(i)) ensureBacked(entryAt, sizeof(RecordEntry));
        return -1;
    }
    region.fill(i, at, id, key, keyLen, row, norm, meta, metaLen, TextBytes{text, textLen});
    if (mode == StorageMode::Disk) {
        flushAhead(*this, t.varOffset + at, varLen);
        flushAhead(*this, t.vectorOffset + i * t.rowBytes, t.rowBytes);
        flushAhead(*this, entryAt, sizeof(RecordEntry));
        msync(base, kCompactHeaderBytes, MS_ASYNC);
    }
    return 0;
}

// A key's bucket is claimed where its probe run lands: the page of its
// home bucket, and the next one (the first, where the table wraps) when the
// run may reach it, are backed before the append, so a full file system
// refuses the record instead of faulting in the write. A run longer than
// kProbeReach is the rare case a half-empty table leaves unbacked. The
// table stays sparse otherwise; private memory needs no backing.
bool Segment::backKeyBuckets(uint64_t id) {
    if (mode == StorageMode::Memory) return true;
    constexpr uint64_t kProbeReach = 64 * sizeof(KeyBucket);
    const CompactHeaderTail& t = compactHeader->tail;
    const uint64_t tableBytes = (uint64_t{1} << t.keyTableBits) * sizeof(KeyBucket);
    const uint64_t home = regionOf(*this).homeBucket(id) * sizeof(KeyBucket);
    const uint64_t page = pageDown(home);
    if (!ensureBacked(t.keyTableOffset + page, std::min(kPage, tableBytes - page))) return false;
    if (home + kProbeReach < page + kPage) return true;
    const uint64_t next = page + kPage < tableBytes ? page + kPage : 0;
    return ensureBacked(t.keyTableOffset + next, std::min(kPage, tableBytes - next));
}

// The id is the key's hash whatever the caller passed: the key table files
// every entry under it, and a lookup knows only the key.
int Segment::addEncoded(const char* key, const float* vector, const char* metadata, uint32_t metaLen, const char* text,
                        uint32_t textLen) {
    std::vector<uint8_t> row(rowStride, 0);
    encodeVector(row.data(), vector, dim, quantization, pqSubvectors, codebook);
    std::vector<float> scratch(dim);
    const float norm = compactNorm(*compactHeader, row.data(), codebook, scratch.data());
    const uint32_t keyLen = key != nullptr ? static_cast<uint32_t>(strnlen(key, kCompactMaxKeyBytes + 1)) : 0;
    return addCompact(keyHash(key, keyLen), key, keyLen, row.data(), norm, metadata, metadata != nullptr ? metaLen : 0,
                      text, textLen);
}

// From either format, with the encoded vector as stored; the norm is taken
// again (a version-6 slot has none) in this segment's order, and the id is
// the key's hash (a version-6 file written by hand may hold any id).
int Segment::addCopyCompact(const Segment& src, uint64_t slot) {
    std::vector<uint8_t> row(rowStride, 0);
    std::memcpy(row.data(), src.vectorAt(slot), std::min<uint64_t>(src.vecBytes(), row.size()));
    std::vector<float> scratch(dim);
    const float norm = compactNorm(*compactHeader, row.data(), src.codebook, scratch.data());
    const KeyRef k = src.keyAt(slot);
    const KeyRef meta = src.metadataRefAt(slot);
    const KeyRef text = src.textRefAt(slot);
    return addCompact(keyHash(k.data, k.len), k.data, k.len, row.data(), norm, meta.data, meta.len, text.data, text.len);
}

// The new block is backed before it is published; the old one is left to
// readers that still hold it and comes back at the next compaction.
bool Segment::replaceMetadata(uint64_t slot, const char* meta, uint32_t metaLen) {
    if (!compact() || !writable || slot >= usedSlotsClamped() || !readableAt(slot) || metaLen > kCompactMaxMetadataBytes)
        return false;
    const CompactHeaderTail& t = compactHeader->tail;
    const VarRef old = loadVarRef(entries + slot);
    const uint64_t bytes = uint64_t{old.keyLen()} + metaLen + entries[slot].textLen;
    CompactRegion region = regionOf(*this);
    const uint64_t at = region.reserveBlock(bytes);
    if (at == UINT64_MAX || !ensureBacked(t.varOffset + at, bytes)) return false;
    region.replaceMetadata(slot, at, meta, metaLen);
    dirty = true;
    if (mode == StorageMode::Disk) {
        flushAhead(*this, t.varOffset + at, bytes);
        flushAhead(*this, t.entryOffset + slot * sizeof(RecordEntry), sizeof(RecordEntry));
    }
    return true;
}

bool Segment::markDeletedCompact(uint64_t slot) {
    CompactRegion region = regionOf(*this);
    if (!region.markDeleted(slot)) return false;
    dirty = true;
    return true;
}

// The table answers unless it is marked dirty (a rebuild or clear running
// elsewhere, or one cut short): then every entry is looked at.
size_t Segment::findLiveCompact(const char* key, uint32_t keyLen, std::vector<uint64_t>& out) const {
    const size_t before = out.size();
    const uint64_t id = keyHash(key, keyLen);
    if (compactHeader->tail.keyTableDirty.load() == 0 && !keyTableBypassed) {
        regionOf(*this).findLive(id, key, keyLen, out, &keySlotsVisited);
        return out.size() - before;
    }
    const uint64_t n = usedSlotsClamped();
    for (uint64_t i = 0; i < n; ++i) {
        ++keySlotsVisited;
        if (!readableAt(i) || entries[i].id != id) continue;
        const KeyRef k = keyAt(i);
        if (k.len == keyLen && std::memcmp(k.data, key, keyLen) == 0) out.push_back(i);
    }
    return out.size() - before;
}

uint64_t Segment::textUsedBytes() const {
    const uint8_t* area = textArea();
    if (area == nullptr || __atomic_load_n(reinterpret_cast<const uint32_t*>(area), __ATOMIC_ACQUIRE) == 0) return 0;
    return __atomic_load_n(reinterpret_cast<const uint64_t*>(area + kTextAreaUsedAt), __ATOMIC_ACQUIRE);
}

// Every used byte was backed when it was written, so zeroing it in place
// needs no space.
void Segment::clearCompact() {
    regionOf(*this).clearRecords();
    backedVarStart = backedVarEnd = 0;
}

}  // namespace qarbin
