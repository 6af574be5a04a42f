// Byte layout of a segment region: header, record slot, graph node and
// link-pool entry. The same bytes live in private memory, in segment files
// and in shared-memory objects, so every size and offset is pinned here.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/base.h"

namespace qarbin {

constexpr uint32_t kSegmentMagic = 0x51424536;  // "6EBQ"
constexpr uint32_t kSegmentVersion = 6;
constexpr uint64_t kHeaderBytes = 128;

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
// Set while a writer links new nodes into a usable graph, cleared once it has
// published them. Left set by a writer that died: old nodes may then have
// given up links for nodes that were never published, so the graph can hide
// records and is built afresh.
constexpr uint32_t kFlagGraphExtending = 1u << 2;

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
    // 0 while nobody changes the graph, otherwise the process id of the one
    // process extending or building it (older files carry zero here).
    std::atomic<uint64_t> graphWriter;
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
static_assert(offsetof(SegmentHeader, graphWriter) == 120);

inline uint64_t headerCodebookOffset(const SegmentHeader* h) {
    uint64_t v;
    std::memcpy(&v, h->codebookOffsetBytes, sizeof v);
    return v;
}
inline void setHeaderCodebookOffset(SegmentHeader* h, uint64_t v) {
    std::memcpy(h->codebookOffsetBytes, &v, sizeof v);
}

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

}  // namespace qarbin
