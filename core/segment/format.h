// Byte layout of a segment region: header, record slot, graph node and
// link-pool entry. The same bytes live in private memory, in segment files
// and in shared-memory objects, so every size and offset is pinned here.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qarbin {

enum class StorageMode : uint32_t { Disk = 0, Memory = 1, Shm = 2 };
enum class Quantization : uint32_t { None = 0, F16 = 1, Int8 = 2, Binary = 3, PQ = 4 };
enum class DistanceMetric : uint32_t { Cosine = 0, Dot = 1, Euclidean = 2, Manhattan = 3 };

constexpr uint32_t kSegmentMagic = 0x51424536;  // "6EBQ"
constexpr uint32_t kSegmentVersion = 6;
constexpr uint64_t kHeaderBytes = 128;
constexpr uint64_t kSlotHeaderBytes = 128;  // vector starts here within a slot
constexpr uint32_t kMaxKeyBytes = 63;
constexpr uint32_t kKeyFieldBytes = 64;
constexpr uint32_t kMaxMetadataBytes = 4096;
constexpr uint32_t kMaxDim = 4096;
constexpr uint32_t kPqCentroids = 256;

constexpr uint64_t kNodeBytes = 144;
constexpr uint64_t kPoolEntryBytes = 72;
constexpr uint32_t kLevel0Links = 32;
constexpr uint32_t kUpperLinks = 16;
constexpr uint32_t kMaxLevels = 16;  // levels 0..15
constexpr uint64_t kMinPoolEntries = 256;

// Header `flags` bits: set together when a build completes; bit 1 is the
// one readers test.
constexpr uint32_t kFlagGraphBuilt = 1u << 0;
constexpr uint32_t kFlagGraphUsable = 1u << 1;

static_assert(std::atomic<uint64_t>::is_always_lock_free, "cross-process counters need lock-free 64-bit atomics");
static_assert(sizeof(std::atomic<uint64_t>) == 8, "atomic counters must be plain 64-bit words in the region");

struct SegmentHeader {
    uint32_t magic;
    uint32_t version;
    uint32_t dim;
    uint32_t quantization;
    std::atomic<uint64_t> usedSlots;
    std::atomic<uint64_t> liveCount;
    std::atomic<uint64_t> capacity;
    uint32_t hnswM;
    uint32_t hnswEfConstruction;
    uint64_t graphOffset;
    int32_t entryPoint;
    uint32_t maxLevel;
    std::atomic<uint64_t> indexedCount;
    uint64_t linkPoolOffset;
    uint32_t metric;
    uint32_t flags;
    std::atomic<uint64_t> insertSeq;
    uint32_t pqSubvectors;
    uint8_t codebookOffsetBytes[8];  // uint64 at offset 100, not 8-byte aligned
    uint32_t linkPoolUsed;
    // Raised by every clear of the record area, so that processes holding a
    // key index over this segment notice a clear the counters cannot show.
    // Zero in a fresh region; older files carry zero here too.
    std::atomic<uint64_t> generation;
    uint8_t reserved[8];
};

static_assert(sizeof(SegmentHeader) == 128, "header is 128 bytes");
static_assert(offsetof(SegmentHeader, magic) == 0);
static_assert(offsetof(SegmentHeader, version) == 4);
static_assert(offsetof(SegmentHeader, dim) == 8);
static_assert(offsetof(SegmentHeader, quantization) == 12);
static_assert(offsetof(SegmentHeader, usedSlots) == 16);
static_assert(offsetof(SegmentHeader, liveCount) == 24);
static_assert(offsetof(SegmentHeader, capacity) == 32);
static_assert(offsetof(SegmentHeader, hnswM) == 40);
static_assert(offsetof(SegmentHeader, hnswEfConstruction) == 44);
static_assert(offsetof(SegmentHeader, graphOffset) == 48);
static_assert(offsetof(SegmentHeader, entryPoint) == 56);
static_assert(offsetof(SegmentHeader, maxLevel) == 60);
static_assert(offsetof(SegmentHeader, indexedCount) == 64);
static_assert(offsetof(SegmentHeader, linkPoolOffset) == 72);
static_assert(offsetof(SegmentHeader, metric) == 80);
static_assert(offsetof(SegmentHeader, flags) == 84);
static_assert(offsetof(SegmentHeader, insertSeq) == 88);
static_assert(offsetof(SegmentHeader, pqSubvectors) == 96);
static_assert(offsetof(SegmentHeader, codebookOffsetBytes) == 100);
static_assert(offsetof(SegmentHeader, linkPoolUsed) == 108);
static_assert(offsetof(SegmentHeader, generation) == 112);

inline uint64_t headerCodebookOffset(const SegmentHeader* h) {
    uint64_t v;
    std::memcpy(&v, h->codebookOffsetBytes, sizeof v);
    return v;
}
inline void setHeaderCodebookOffset(SegmentHeader* h, uint64_t v) {
    std::memcpy(h->codebookOffsetBytes, &v, sizeof v);
}

// One record slot; the encoded vector follows at offset 128 and the
// metadata right after the vector. The slot size is Segment::computeStride.
struct Record {
    uint64_t id;
    char key[kKeyFieldBytes];  // NUL-terminated; byte 63 always 0
    uint16_t dim;
    uint8_t reserved0;
    uint8_t valid;    // published last, with release ordering
    uint8_t deleted;  // tombstone
    uint8_t reserved1[3];
    uint32_t metaLen;
    int32_t graphNode;
    uint32_t reserved2;
    uint32_t seq;
    uint8_t reserved3[32];
};

static_assert(sizeof(Record) == 128, "slot header is 128 bytes");
static_assert(offsetof(Record, id) == 0);
static_assert(offsetof(Record, key) == 8);
static_assert(offsetof(Record, dim) == 72);
static_assert(offsetof(Record, valid) == 75);
static_assert(offsetof(Record, deleted) == 76);
static_assert(offsetof(Record, metaLen) == 80);
static_assert(offsetof(Record, graphNode) == 84);
static_assert(offsetof(Record, reserved2) == 88);
static_assert(offsetof(Record, seq) == 92);

// A slot is readable once `valid` is seen with acquire ordering.
inline bool recordValid(const Record* r) { return __atomic_load_n(&r->valid, __ATOMIC_ACQUIRE) != 0; }
inline bool recordLive(const Record* r) { return recordValid(r) && r->deleted == 0; }
// Live, and with a metadata length inside the slot: a corrupt file may hold
// any metaLen, and such a record is skipped rather than trusted.
inline bool recordReadable(const Record* r) { return recordLive(r) && r->metaLen <= kMaxMetadataBytes; }
inline void publishRecord(Record* r) { __atomic_store_n(&r->valid, uint8_t{1}, __ATOMIC_RELEASE); }

// Graph node, one per record slot, in the node area at `graphOffset`.
struct HnswNode {
    uint32_t slot;
    uint8_t level;
    uint8_t linkCount;
    uint8_t reserved0[2];
    int32_t poolFirst;
    uint8_t reserved1[4];
    int32_t links[kLevel0Links];
};

static_assert(sizeof(HnswNode) == kNodeBytes);
static_assert(offsetof(HnswNode, slot) == 0);
static_assert(offsetof(HnswNode, level) == 4);
static_assert(offsetof(HnswNode, linkCount) == 5);
static_assert(offsetof(HnswNode, poolFirst) == 8);
static_assert(offsetof(HnswNode, links) == 16);

// Links of one node on one level above 0, in the pool at `linkPoolOffset`.
struct LinkPoolEntry {
    uint32_t node;
    uint8_t level;
    uint8_t linkCount;
    uint8_t reserved[2];
    int32_t links[kUpperLinks];
};

static_assert(sizeof(LinkPoolEntry) == kPoolEntryBytes);
static_assert(offsetof(LinkPoolEntry, node) == 0);
static_assert(offsetof(LinkPoolEntry, level) == 4);
static_assert(offsetof(LinkPoolEntry, linkCount) == 5);
static_assert(offsetof(LinkPoolEntry, links) == 8);

// One search hit.
struct Result {
    uint64_t id;
    char key[kKeyFieldBytes];
    float score;
    const char* metadata;  // into segment memory or a held-back string; null when none
    uint32_t metadataLen;
};

}  // namespace qarbin
