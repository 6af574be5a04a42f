// The 128-byte control object "/qb_<name>" of a shared-memory store.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace qarbin {

constexpr uint32_t kShmControlMagic = 0x51425348;  // "HSBQ"
// The version says the format of the store's segments: an extension that
// knows only fixed slots refuses a compact store at its control object.
constexpr uint32_t kShmControlVersion = 6;         // fixed record slots
constexpr uint32_t kShmCompactControlVersion = 7;  // compact records

struct ShmControl {
    uint32_t magic;
    uint32_t version;
    uint32_t dim;
    uint32_t metric;
    uint32_t quantization;
    uint32_t hnswM;
    uint64_t segmentCapacity;
    // Low 16 bits: segments of the current generation; high 16 bits: the
    // generation (raised by each compaction, which names new objects
    // after it). One word, so a reader never pairs a count with the wrong
    // generation.
    std::atomic<uint32_t> segmentCount;
    std::atomic<uint32_t> createLock;  // 0 free, otherwise the holder's process id
    std::atomic<uint64_t> totalCount;
    uint32_t efConstruction;
    // 0, or the process id of the one compactor; kCompactCatchUp is set
    // while it copies the last writes and switches generations.
    std::atomic<uint32_t> compactLock;
    uint32_t creatorPid;
    uint32_t pqSubvectors;
    char name[64];
};

constexpr uint32_t kShmCountBits = 16;
constexpr uint32_t kShmCountMask = (1u << kShmCountBits) - 1;
constexpr uint32_t kCompactCatchUp = 1u << 31;  // above every process id
inline uint32_t shmCountOf(uint32_t word) { return word & kShmCountMask; }
inline uint32_t shmGenerationOf(uint32_t word) { return word >> kShmCountBits; }

static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(sizeof(ShmControl) == 128);
static_assert(offsetof(ShmControl, magic) == 0);
static_assert(offsetof(ShmControl, version) == 4);
static_assert(offsetof(ShmControl, dim) == 8);
static_assert(offsetof(ShmControl, metric) == 12);
static_assert(offsetof(ShmControl, quantization) == 16);
static_assert(offsetof(ShmControl, hnswM) == 20);
static_assert(offsetof(ShmControl, segmentCapacity) == 24);
static_assert(offsetof(ShmControl, segmentCount) == 32);
static_assert(offsetof(ShmControl, createLock) == 36);
static_assert(offsetof(ShmControl, totalCount) == 40);
static_assert(offsetof(ShmControl, efConstruction) == 48);
static_assert(offsetof(ShmControl, compactLock) == 52);
static_assert(offsetof(ShmControl, creatorPid) == 56);
static_assert(offsetof(ShmControl, pqSubvectors) == 60);
static_assert(offsetof(ShmControl, name) == 64);

}  // namespace qarbin
