// Byte layout of the compact segment format, version 7, in which space
// follows data: vectors packed at their encoded size, a 32-byte entry per
// record, keys and metadata in a variable-length area sized by what is
// stored, and the key table persisted in the region. Every size and offset
// is pinned here. Every opener reads both versions; a segment is created
// in this one when its shape asks for it (Shape::format).
//
//   header (256 B) | codebook | vectors | entries | nodes | link pool | key table | variable area | text index
//
// - The first 128 header bytes are a version-6 `SegmentHeader` with the
//   same meaning (usedSlots counts entries handed out); `CompactHeaderTail`
//   follows with the offsets of the new areas and their counters.
// - Every area starts on a page, so backing, hole punching and advice work
//   per area; the variable area and the text index are the largest
//   reserves, and only their used prefixes are ever backed. The text index
//   (core/text/text_format.h) comes last, so a region written before it
//   existed (textOffset 0) keeps every other offset and opens as one whose
//   records are scored from their text.
// - Vector row i lies at vectorOffset + i * rowBytes, rowBytes being the
//   encoded size rounded up to 32 bytes (the kernels' aligned loads): a scan
//   streams one dense area, and a graph hop finds a neighbour's row from its
//   node's slot by one multiplication, so it can be requested ahead.
// - An entry's `valid` byte is stored last with release ordering, after its
//   vector, its variable bytes and its key-table bucket, so a reader that
//   sees it valid sees the whole record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/segment/format.h"

namespace qarbin {

constexpr uint32_t kCompactSegmentVersion = 7;
static_assert(Shape{}.format == kCompactSegmentVersion, "new stores are compact");
constexpr uint64_t kCompactHeaderBytes = 256;
constexpr uint64_t kCompactAreaAlign = 4096;
constexpr uint64_t kVectorRowAlign = 32;

// Limits of a record in the compact format.
constexpr uint32_t kCompactMaxKeyBytes = 1024;
constexpr uint32_t kCompactMaxMetadataBytes = 1048576;
constexpr uint32_t kCompactMaxTextBytes = 1048576;
// The text index's header (TextIndexHeader in core/text/text_format.h):
// its first word is 0 until the index is formatted; it records the area's
// capacity and the writer's append mark at these offsets (its offsets are
// all from the area's start, so its used bytes move as they are).
constexpr uint64_t kTextAreaHeaderBytes = 64;
constexpr uint64_t kTextAreaCapacityAt = 8;
constexpr uint64_t kTextAreaUsedAt = 16;

// Variable blocks start on 8 bytes; entries name them in such units, so a
// segment's variable area is at most 2^32 * 8 bytes (32 GiB).
constexpr uint64_t kVarUnit = 8;
constexpr uint64_t kMaxVarAreaBytes = (uint64_t{1} << 32) * kVarUnit;
// The variable area's reserve per entry (address space and file size only:
// it is backed as it fills), and its floor, which always fits one record at
// both limits.
constexpr uint64_t kVarReservePerEntry = 8192;
constexpr uint64_t kMinVarAreaBytes = uint64_t{4} << 20;

// How an entry's norm was summed; recorded per segment so that a process
// scoring in another order recomputes it instead of trusting it.
enum class NormOrder : uint32_t { None = 0, Sequential = 1, EightLane = 2 };

// Header bytes 128..255 of a compact segment.
struct CompactHeaderTail {
    uint64_t vectorOffset;
    uint64_t entryOffset;
    uint64_t keyTableOffset;
    uint64_t varOffset;
    uint64_t varCapacity;          // bytes the variable area may hold
    std::atomic<uint64_t> varUsed; // bytes reserved so far, by atomic add
    uint32_t rowBytes;
    uint32_t keyTableBits;         // the table has 1 << keyTableBits buckets
    uint32_t normOrder;            // NormOrder
    // 0 while the key table holds every valid entry; set by a clear or a
    // rebuild before it starts and reset when it ends, and by an append
    // that found no free bucket (only a corrupt table is full), so an
    // opener that finds it set rebuilds the table.
    std::atomic<uint32_t> keyTableDirty;
    uint64_t regionBytes;          // total length the layout needs
    // The text index's area; both 0 in a region laid out without one.
    uint64_t textOffset;
    uint64_t textCapacity;
    uint8_t reserved[40];
};

static_assert(sizeof(CompactHeaderTail) == 128, "header tail is 128 bytes");
static_assert(offsetof(CompactHeaderTail, vectorOffset) == 0);
static_assert(offsetof(CompactHeaderTail, entryOffset) == 8);
static_assert(offsetof(CompactHeaderTail, keyTableOffset) == 16);
static_assert(offsetof(CompactHeaderTail, varOffset) == 24);
static_assert(offsetof(CompactHeaderTail, varCapacity) == 32);
static_assert(offsetof(CompactHeaderTail, varUsed) == 40);
static_assert(offsetof(CompactHeaderTail, rowBytes) == 48);
static_assert(offsetof(CompactHeaderTail, keyTableBits) == 52);
static_assert(offsetof(CompactHeaderTail, normOrder) == 56);
static_assert(offsetof(CompactHeaderTail, keyTableDirty) == 60);
static_assert(offsetof(CompactHeaderTail, regionBytes) == 64);
static_assert(offsetof(CompactHeaderTail, textOffset) == 72);
static_assert(offsetof(CompactHeaderTail, textCapacity) == 80);
static_assert(std::atomic<uint32_t>::is_always_lock_free && sizeof(std::atomic<uint32_t>) == 4);

struct CompactHeader {
    SegmentHeader base;
    CompactHeaderTail tail;
};

static_assert(sizeof(CompactHeader) == kCompactHeaderBytes);
static_assert(offsetof(CompactHeader, tail) == kHeaderBytes);

// A key's and its metadata's lengths in one word: 11 bits hold 0..1024 and
// 21 bits hold 0..1048576.
constexpr uint32_t kKeyLenBits = 11;
constexpr uint32_t kMetaLenBits = 21;
static_assert(kCompactMaxKeyBytes < (1u << kKeyLenBits));
static_assert(kCompactMaxKeyBytes == kLongestKeyBytes && kCompactMaxMetadataBytes == kLongestMetadataBytes);
static_assert(kCompactMaxMetadataBytes < (1u << kMetaLenBits));
static_assert(kKeyLenBits + kMetaLenBits == 32);

// One record. Its variable block, at varUnit * 8 in the variable area,
// holds the key, the metadata and then `textLen` bytes of its text, back
// to back; `hasText` tells an empty text from none.
struct RecordEntry {
    uint64_t id;        // FNV-1a of the key; the whole key decides identity
    uint32_t varUnit;
    uint32_t lengths;   // keyLen | metaLen << 11
    uint32_t textLen;
    int32_t graphNode;  // -1 when the record is not in the graph
    float norm;         // cosine: the stored vector's norm (normOrder); else 0
    uint8_t valid;      // published last, with release ordering
    uint8_t deleted;    // tombstone
    uint8_t hasText;
    uint8_t reserved;
};

static_assert(sizeof(RecordEntry) == 32, "two entries per cache line");
static_assert(offsetof(RecordEntry, id) == 0);
static_assert(offsetof(RecordEntry, varUnit) == 8);
static_assert(offsetof(RecordEntry, lengths) == 12);
static_assert(offsetof(RecordEntry, textLen) == 16);
static_assert(offsetof(RecordEntry, graphNode) == 20);
static_assert(offsetof(RecordEntry, norm) == 24);
static_assert(offsetof(RecordEntry, valid) == 28);
static_assert(offsetof(RecordEntry, deleted) == 29);
static_assert(offsetof(RecordEntry, hasText) == 30);

inline uint32_t packLengths(uint32_t keyLen, uint32_t metaLen) { return keyLen | (metaLen << kKeyLenBits); }
inline uint32_t entryKeyLen(const RecordEntry& e) { return e.lengths & ((1u << kKeyLenBits) - 1); }
inline uint32_t entryMetaLen(const RecordEntry& e) { return e.lengths >> kKeyLenBits; }

// varUnit and lengths are one aligned 64-bit word: a record's metadata is
// replaced by writing a new block and storing the word once, so a reader
// that loads it once never pairs one block with another's lengths.
struct VarRef {
    uint32_t unit;
    uint32_t lengths;
    uint32_t keyLen() const { return lengths & ((1u << kKeyLenBits) - 1); }
    uint32_t metaLen() const { return lengths >> kKeyLenBits; }
};
static_assert(offsetof(RecordEntry, varUnit) % 8 == 0 && offsetof(RecordEntry, lengths) == offsetof(RecordEntry, varUnit) + 4);
inline VarRef loadVarRef(const RecordEntry* e) {
    const uint64_t w = __atomic_load_n(reinterpret_cast<const uint64_t*>(&e->varUnit), __ATOMIC_ACQUIRE);
    return {static_cast<uint32_t>(w), static_cast<uint32_t>(w >> 32)};
}
inline void storeVarRef(RecordEntry* e, VarRef r) {
    const uint64_t w = uint64_t{r.unit} | (uint64_t{r.lengths} << 32);
    __atomic_store_n(reinterpret_cast<uint64_t*>(&e->varUnit), w, __ATOMIC_RELEASE);
}

inline bool entryValid(const RecordEntry* e) { return __atomic_load_n(&e->valid, __ATOMIC_ACQUIRE) != 0; }
inline bool entryLive(const RecordEntry* e) { return entryValid(e) && e->deleted == 0; }
inline void publishEntry(RecordEntry* e) { __atomic_store_n(&e->valid, uint8_t{1}, __ATOMIC_RELEASE); }

// A key-table bucket: 0 when free, else the entry index + 1. Buckets are
// claimed by compare-and-swap and never freed (a deleted entry's bucket
// stays, skipped by lookups); the table has at least twice as many buckets
// as the segment has entries, so it is never more than half full.
using KeyBucket = uint32_t;
static_assert(sizeof(KeyBucket) == 4 && std::atomic<uint32_t>::is_always_lock_free);
constexpr uint32_t kMinKeyTableBits = 6;

}  // namespace qarbin
