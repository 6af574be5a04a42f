// What every layer shares: the codes of a store's settings, the limits of a
// record, the record slot header, one search hit, and a store's shape.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace qarbin {

enum class StorageMode : uint32_t { Disk = 0, Memory = 1, Shm = 2 };
enum class Quantization : uint32_t { None = 0, F16 = 1, Int8 = 2, Binary = 3, PQ = 4 };
enum class DistanceMetric : uint32_t { Cosine = 0, Dot = 1, Euclidean = 2, Manhattan = 3 };

constexpr uint64_t kSlotHeaderBytes = 128;  // vector starts here within a slot
constexpr uint32_t kMaxKeyBytes = 63;
constexpr uint32_t kKeyFieldBytes = 64;
constexpr uint32_t kMaxMetadataBytes = 4096;
// The most any segment format holds (the compact one): what a reader of
// stored records must make room for.
constexpr uint32_t kLongestKeyBytes = 1024;
constexpr uint32_t kLongestMetadataBytes = 1048576;
constexpr uint32_t kMaxDim = 4096;
// Rows one search returns at most.
constexpr int kMaxTopK = 1000;
constexpr uint32_t kPqCentroids = 256;

// Everything that fixes how a store's records are laid out, scored and
// linked, read once from the first segment's header or the control object
// (or taken from the caller for a new store) and passed whole.
struct Shape {
    uint32_t dim = 0;
    DistanceMetric metric = DistanceMetric::Cosine;
    Quantization quantization = Quantization::None;
    uint32_t pqSubvectors = 0;  // bytes per PQ code; the codebook area's size in any encoding
    uint32_t hnswM = 16;
    uint32_t efConstruction = 200;
    uint64_t capacity = 0;  // record slots of each new segment
    bool useAvx2 = false;   // 8-lane summation order for cosine and dot
    // Permission bits given to every shared object, segment file and
    // directory this opener creates, whatever the umask; 0: 0660 less the
    // umask. Directories also get x wherever the mode has r.
    uint32_t fileMode = 0;
    // Segment format of new segments: 7 for the compact records, 6 for the
    // fixed slots of older stores. A store goes on in the format of its
    // newest segment; compaction rewrites it in the compact one.
    uint32_t format = 7;
};

// The mode a created directory gets for fileMode: x wherever r is set.
inline uint32_t directoryMode(uint32_t fileMode) { return fileMode | ((fileMode & 0444u) >> 2); }

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

// Which records a query may return, judged on their metadata bytes (null
// with length 0 when a record has none). An empty test accepts every record.
struct MetadataTest {
    bool (*test)(const void* ctx, const char* meta, uint32_t len) = nullptr;
    const void* ctx = nullptr;
    // Estimated share of records accepted (1 when unknown); a graph walk
    // covers more of the graph when it is low.
    float share = 1.0f;

    bool accepts(const char* meta, uint32_t len) const { return test == nullptr || test(ctx, meta, len); }
};

// A stored key: len bytes at data, not NUL-terminated.
struct KeyRef {
    const char* data;
    uint32_t len;
};

// One search hit.
struct Result {
    uint64_t id;
    const char* key;  // keyLen bytes into segment memory or a held-back string
    uint32_t keyLen;
    float score;
    const char* metadata;  // into segment memory or a held-back string; null when none
    uint32_t metadataLen;
    const char* text;  // likewise; null when the record has none
    uint32_t textLen;
};

}  // namespace qarbin
