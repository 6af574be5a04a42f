// A segment: one fixed-size mapped region holding a header, record slots,
// a codebook area and the two graph areas (layout in format.h).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/segment/format_compact.h"

namespace qarbin {

class KeyIndex;

// Why no segment can have a shape: a dimension outside 1..4096, or a PQ
// encoding without a sub-vector count or with one not dividing it.
enum class ShapeProblem { None, Dimension, PqUnset, PqNotDividing };
ShapeProblem shapeProblem(const Shape& shape);

// Modes of everything a store creates: only the owner may read or write, so
// that no other user can read the records or plant changes.
constexpr unsigned kPrivateFileMode = 0600;
constexpr unsigned kPrivateDirMode = 0700;

// True when the open file, directory or shared object behind fd belongs to
// this process's effective user and nobody else may write to it; false with
// errno EPERM otherwise. A store adopts nothing else: another user could
// have planted it to read or rewrite the records.
// sharedGroup, when not -1, is accepted like one of this process's groups:
// the group a trusted control object shares its store with.
bool ownedPrivately(int fd, long sharedGroup = -1);

class Segment {
public:
    StorageMode mode = StorageMode::Memory;
    std::atomic<uint64_t>* counters = nullptr;  // usedSlots, liveCount, capacity
    uint8_t* slots = nullptr;                   // slot 0
    uint32_t dim = 0;
    uint32_t quantization = 0;
    uint32_t pqSubvectors = 0;
    float* codebook = nullptr;  // region + 128 once trained, else null
    uint32_t writable = 0;
    int fd = -1;
    uint8_t* base = nullptr;
    uint64_t mappedLen = 0;
    char path[4096] = {};
    SegmentHeader* header = nullptr;
    char shmName[256] = {};
    uint8_t* nodeArea = nullptr;
    uint8_t* linkPool = nullptr;
    uint64_t linkPoolEntries = 0;
    // How this segment scores: the metric its header records, and the
    // summation order its owner asks for.
    DistanceMetric metric = DistanceMetric::Cosine;
    bool useAvx2 = false;

    // Process-local helpers, never stored in the region.
    // Set by every write of this process into the mapping: only then does
    // the destructor flush a file, so closing a store that was only read
    // costs no synchronous flush per file.
    bool dirty = false;
    bool keyTableBypassed = false;  // a read-only opener found the key table lying
    mutable KeyIndex* keyIndex = nullptr;  // slots by key, built lazily (key_index.h)
    uint64_t backedSlotsEnd = 0;   // region offsets known to be backed by the
    uint64_t backedNodesEnd = 0;   // file system (disk and shm), per area
    uint64_t backedPoolEnd = 0;
    uint64_t backedSlotsStart = 0;  // each area's backed range is [start, end)
    uint64_t backedNodesStart = 0;
    uint64_t backedPoolStart = 0;
    uint64_t backedVarStart = 0;    // the compact format's variable area
    uint64_t backedVarEnd = 0;
    uint64_t backedTextStart = 0;   // the compact format's text index
    uint64_t backedTextEnd = 0;
    uint64_t backedGeneration = 0;  // header generation the slot range was seen under
    uint64_t strideBytes = 0;       // set by mapPointers
    uint64_t vecBytesCached = 0;
    uint64_t slotCapacity = 0;      // slots that fit in the mapping (set by mapPointers)
    // Set by mapPointers: row 0's encoded vector, the distance between rows,
    // and for the compact format (version 7) its header and record entries.
    const uint8_t* vectors = nullptr;
    uint64_t rowStride = 0;
    CompactHeader* compactHeader = nullptr;
    RecordEntry* entries = nullptr;

    Segment() = default;
    ~Segment();
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;

    // Size arithmetic (pure).
    static uint64_t computeStride(uint32_t dim, Quantization q, uint32_t pqSubvectors);
    static uint64_t codebookSize(uint32_t dim, uint32_t pqSubvectors);
    // Total region length, or 0 when it does not fit in 64 bits.
    static uint64_t computeMmapSize(uint64_t capacity, uint32_t dim, Quantization q, uint32_t pqSubvectors,
                                    uint64_t* poolEntriesOut = nullptr);

    uint64_t stride() const;
    uint64_t vecBytes() const;
    Record* recordAt(uint64_t i) const { return reinterpret_cast<Record*>(slots + i * stride()); }
    const char* metadataPtr(const Record* r) const {
        return reinterpret_cast<const char*>(r) + kSlotHeaderBytes + vecBytes();
    }
    bool compact() const { return compactHeader != nullptr; }
    // Whether a cosine score in the order useAvx2 selects may take the
    // stored norm: a compact segment whose norms were summed in that order.
    bool normsServe(bool useAvx2) const {
        const NormOrder order = useAvx2 ? NormOrder::EightLane : NormOrder::Sequential;
        return compact() && metric == DistanceMetric::Cosine &&
               compactHeader->tail.normOrder == static_cast<uint32_t>(order);
    }
    float normAt(uint64_t i) const { return entries[i].norm; }
    // Where the codebook area starts: right after the header.
    uint64_t codebookOffset() const { return compact() ? kCompactHeaderBytes : kHeaderBytes; }

    // Record i (below usedSlotsClamped) read the same way whatever the
    // segment's format; callers hold no pointer to a slot header.
    bool validAt(uint64_t i) const { return compact() ? entryValid(entries + i) : recordValid(recordAt(i)); }
    bool liveAt(uint64_t i) const { return compact() ? entryLive(entries + i) : recordLive(recordAt(i)); }
    // Live, with lengths and offsets inside what the format allows: a corrupt
    // region may hold anything, and such a record is skipped, never trusted.
    bool readableAt(uint64_t i) const {
        return compact() ? entryLive(entries + i) && varInside(entries[i]) : recordReadable(recordAt(i));
    }
    uint64_t idAt(uint64_t i) const { return compact() ? entries[i].id : recordAt(i)->id; }
    // The key of a readable record.
    KeyRef keyAt(uint64_t i) const {
        if (compact()) {
            const VarRef r = loadVarRef(entries + i);
            return {varBytes(r), r.keyLen()};
        }
        const Record* r = recordAt(i);
        return {r->key, static_cast<uint32_t>(strnlen(r->key, kMaxKeyBytes))};
    }
    // The encoded vector (vecBytes bytes).
    const uint8_t* vectorAt(uint64_t i) const { return vectors + i * rowStride; }
    // A readable record's metadata, its bytes and length read together:
    // another process may replace it meanwhile (replaceMetadata).
    KeyRef metadataRefAt(uint64_t i) const {
        if (!compact()) return {metadataPtr(recordAt(i)), recordAt(i)->metaLen};
        const VarRef r = loadVarRef(entries + i);
        return {varBytes(r) + r.keyLen(), r.metaLen()};
    }
    const char* metadataAt(uint64_t i) const { return metadataRefAt(i).data; }
    uint32_t metadataLenAt(uint64_t i) const { return metadataRefAt(i).len; }
    // A readable record's text (only the compact format holds one): null
    // data when it has none. Read from one snapshot of its block, like the
    // metadata; a metadata replacement carries the text along.
    KeyRef textRefAt(uint64_t i) const {
        if (!compact() || entries[i].hasText == 0) return {nullptr, 0};
        const VarRef r = loadVarRef(entries + i);
        return {varBytes(r) + r.keyLen() + r.metaLen(), entries[i].textLen};
    }
    bool hasTextAt(uint64_t i) const { return compact() && entries[i].hasText != 0; }
    const char* textAt(uint64_t i) const { return textRefAt(i).data; }
    uint32_t textLenAt(uint64_t i) const { return compact() ? entries[i].textLen : 0; }
    // The text index's area (core/text/text_index.h), or null when the
    // region has none; textUsedBytes: what its writer has handed out.
    uint8_t* textArea() const {
        return compact() && compactHeader->tail.textOffset != 0 ? base + compactHeader->tail.textOffset : nullptr;
    }
    uint64_t textCapacity() const { return textArea() != nullptr ? compactHeader->tail.textCapacity : 0; }
    uint64_t textUsedBytes() const;
    int32_t graphNodeAt(uint64_t i) const { return compact() ? entries[i].graphNode : recordAt(i)->graphNode; }
    // Writes into the mapping, as every graph writer does through a const view.
    void setGraphNode(uint64_t i, int32_t node) const {
        if (compact())
            entries[i].graphNode = node;
        else
            recordAt(i)->graphNode = node;
    }
    uint64_t capacity() const { return header->capacity.load(); }
    // usedSlots limited to capacity: a refused add raises usedSlots above
    // capacity for an instant, and a corrupt file may hold anything.
    uint64_t usedSlotsClamped() const;

    // Parameters a region can be created with and opened again: dim 1..4096,
    // a known encoding and metric; for PQ, m > 0 dividing dim.
    static bool creationParamsValid(uint32_t dim, Quantization q, DistanceMetric metric, uint32_t pqSubvectors);
    static bool creationParamsValid(const Shape& shape);
    // The shape this segment's header records (capacity its own).
    Shape shape() const;

    void initHeader(const Shape& shape);
    void mapPointers();

    // Bytes a region of shape takes in its format (shape.format), or 0 when
    // that does not fit in 64 bits.
    static uint64_t regionBytes(const Shape& shape);
    // What a store's memory limit counts of a fresh region of shape, and of
    // this segment: the whole mapping, except the part of a compact
    // region's variable area not yet handed out (a sparse reserve that
    // takes no memory).
    static uint64_t countedRegionBytes(const Shape& shape);
    uint64_t countedBytes() const;

    // Factories: an owned segment or null; on failure nothing stays open or
    // mapped, and errno tells why (EPERM: an existing file or object is not
    // ownedPrivately, so it was refused; for the openers of an existing
    // region ENODATA: shorter than a header or than the layout its header
    // describes, EINVAL: not a segment).
    // A new region of shape.capacity slots; the segment scores in shape's order.
    static Segment* createMemory(const Shape& shape);
    // exclusive: refuse (null) when the file already exists instead of truncating it.
    static Segment* createDisk(const char* path, const Shape& shape, bool exclusive = false);
    static Segment* openDisk(const char* path, int writable);
    static Segment* loadFromFile(const char* path);
    static Segment* createShm(const char* name, const Shape& shape);
    // sharedGroup: as for ownedPrivately.
    static Segment* openShm(const char* name, int writable, long sharedGroup = -1);
    // A memory segment of newCapacity slots holding this one's records and
    // graph unchanged; null when it cannot be made.
    Segment* grownCopy(uint64_t newCapacity) const;
    void adviseRecords(int advice) const;
    // True when the file or shared-memory object behind the mapping is now
    // shorter than the mapping (another process truncated it): touching
    // the lost pages would raise SIGBUS. Always false for memory.
    bool backingTruncated() const;

    // Makes sure region bytes [offset, offset + len) are backed by the file
    // system before they are first written, so that a full disk or /dev/shm
    // refuses the write instead of raising SIGBUS. Always true for memory.
    bool ensureBacked(uint64_t offset, uint64_t len);

    // Record operations. add: 0 stored, -1 full (or refused), -2 PQ codebook
    // untrained. A compact segment takes keyHash(key) as the id, whatever id says.
    // text: textLen bytes, or null for none; a version-6 slot holds none
    // and refuses (-1) a record with text.
    int add(uint64_t id, const char* key, const float* vector, const char* metadata, uint32_t metaLen,
            const char* text = nullptr, uint32_t textLen = 0);
    // Appends record slot of src, a segment of the same dimension and
    // encoding, with its encoded vector and metadata as stored (no decoding,
    // so it scores exactly as before). Nothing is flushed. 0 stored, -1
    // full, read-only or not backed.
    int addCopy(const Segment& src, uint64_t slot);
    // The first live slot under key in slot order, or -1.
    int64_t firstLiveByKey(const char* key) const;
    // The same as a slot header; version 6 only (null in a compact segment).
    Record* getByKey(const char* key) const;
    // Appends the slot indices of every live record whose key equals `key`
    // (over at most 64 bytes), in ascending slot order; returns how many.
    size_t findLiveByKey(const char* key, std::vector<uint64_t>& out) const;
    // Tombstones a live slot and decrements liveCount; false when not live.
    bool markDeleted(uint64_t slot);
    // A compact segment's record `slot` takes new metadata in place: same
    // entry, vector and graph node, a new variable block published in one
    // store. False (nothing changed) for a fixed-slot segment, a record
    // that is not readable, or no room left in the variable area.
    bool replaceMetadata(uint64_t slot, const char* meta, uint32_t metaLen);
    // Exhaustive top-K scan merged into results (topK entries, *count in use).
    // keep: when not null, only records it accepts are scored.
    int search(const float* query, int topK, Result* results, int* count, const MetadataTest* keep = nullptr) const;
    // Empties the record area in place: zeroes the used slots, resets the
    // counters and graph fields, raises `generation`. Keeps the codebook.
    void clearRecords();

    // The trained codebook as the header shows it, or null. Another process
    // may have trained a shared segment after this one mapped it, which only
    // the header tells; refreshCodebook() adopts that into `codebook`.
    const float* trainedCodebook() const;
    void refreshCodebook();

    // Product-quantization codebook: trains it from n vectors of dim floats
    // (0, or -1 with nothing changed), or publishes a copy of src (256 * dim
    // floats): bytes first, flushed on disk, then the header's mark.
    int trainPQCodebook(const float* vectors, uint32_t n);
    bool publishCodebook(const float* src);

    // Key-table buckets and entries looked at by lookups of this process in
    // a compact segment (what an opening costs, counted).
    mutable uint64_t keySlotsVisited = 0;

private:
    void mapCompact();
    int addCompact(uint64_t id, const char* key, uint32_t keyLen, const uint8_t* row, float norm, const char* meta,
                   uint32_t metaLen, const char* text, uint32_t textLen);
    int addEncoded(const char* key, const float* vector, const char* metadata, uint32_t metaLen, const char* text,
                   uint32_t textLen);
    int addCopyCompact(const Segment& src, uint64_t slot);
    bool markDeletedCompact(uint64_t slot);
    bool backKeyBuckets(uint64_t id);
    size_t findLiveCompact(const char* key, uint32_t keyLen, std::vector<uint64_t>& out) const;
    void clearCompact();
    void copyCompactRecords(Segment& g, uint64_t used) const;
    bool ensureBackedCompact(uint64_t offset, uint64_t end);
    bool backArea(uint64_t offset, uint64_t end, uint64_t areaEnd, uint64_t* lo, uint64_t* hi);
    const char* varBytes(VarRef r) const {
        return reinterpret_cast<const char*>(base + compactHeader->tail.varOffset) + uint64_t{r.unit} * kVarUnit;
    }
    // The entry's key, metadata and extra bytes lie in what the variable
    // area has handed out.
    bool varInside(const RecordEntry& e) const {
        const VarRef r = loadVarRef(&e);
        const uint32_t keyLen = r.keyLen();
        const uint32_t metaLen = r.metaLen();
        if (keyLen > kCompactMaxKeyBytes || metaLen > kCompactMaxMetadataBytes || e.textLen > kCompactMaxTextBytes)
            return false;
        const CompactHeaderTail& t = compactHeader->tail;
        const uint64_t used = std::min(t.varUsed.load(std::memory_order_acquire), t.varCapacity);
        const uint64_t at = uint64_t{r.unit} * kVarUnit;
        const uint64_t bytes = uint64_t{keyLen} + metaLen + e.textLen;
        return at <= used && bytes <= used - at;
    }
};

}  // namespace qarbin
