// Records of a compact segment region (format_compact.h): the lock-free
// append, the reads that bound every length and offset the region holds,
// and the persisted key table. Works on a mapping it does not own, so the
// same code serves private memory, files and shared objects; backing the
// pages before they are written is the owner's business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/segment/compact_layout.h"
#include "core/segment/segment.h"

namespace qarbin {

// Why an append stored nothing.
enum class CompactAdd { Stored, Full, KeyTooLong, MetadataTooLong, TextTooLong };

// Where an entry's key and metadata lie in the variable area.
struct VarSpan {
    const char* key = nullptr;
    uint32_t keyLen = 0;
    const char* meta = nullptr;
    uint32_t metaLen = 0;
    const char* text = nullptr;  // null when the record has none
    uint32_t textLen = 0;
};

// A record's text: null for none.
struct TextBytes {
    const char* data = nullptr;
    uint32_t len = 0;
};

class CompactRegion {
public:
    // A view of base[0, len); null header when the region is not usable.
    CompactRegion(uint8_t* base, uint64_t len);
    // A view of a region whose header its opener already checked.
    static CompactRegion checked(uint8_t* base, uint64_t len);
    // Lays out a fresh, zeroed region for shape; false (nothing written)
    // when len is shorter than the layout needs.
    static bool init(uint8_t* base, uint64_t len, const Shape& shape, NormOrder order);

    bool usable() const { return h_ != nullptr; }
    const CompactHeader* header() const { return h_; }
    uint64_t capacity() const;
    // usedSlots clamped to capacity.
    uint64_t entryCount() const;
    const RecordEntry* entry(uint64_t i) const;
    const uint8_t* row(uint64_t i) const;

    // Appends a record: variable bytes reserved by one atomic add, the entry
    // by another, then key, metadata, row, norm, key-table bucket and last
    // the `valid` byte. Other processes may append, read and look up at the
    // same time. encodedRow holds rowBytes() bytes (the encoded vector).
    CompactAdd add(uint64_t id, const char* key, uint32_t keyLen, const uint8_t* encodedRow, float norm,
                   const char* meta, uint32_t metaLen, TextBytes text = {});
    // add in two steps, for an owner that backs the reserved bytes between
    // them: the entry number and variable offset, then the bytes, the key
    // table bucket and last the `valid` byte.
    CompactAdd reserve(uint32_t keyLen, uint32_t metaLen, uint32_t textLen, uint64_t* entry, uint64_t* varAt);
    void fill(uint64_t entry, uint64_t varAt, uint64_t id, const char* key, uint32_t keyLen, const uint8_t* encodedRow,
              float norm, const char* meta, uint32_t metaLen, TextBytes text = {});
    // Gives a reserved entry back when no writer reserved after it; false
    // when one did (the entry then stays unpublished, skipped by readers).
    // Offset of `bytes` fresh variable bytes, or UINT64_MAX when the area
    // has no room for them.
    uint64_t reserveBlock(uint64_t bytes);
    // Publishes entry i with a new variable block at `at` (reserved and
    // backed for its key, meta and extra bytes): the key and the extra
    // bytes are copied from the old block, which stays as it was for
    // readers still holding it.
    void replaceMetadata(uint64_t i, uint64_t at, const char* meta, uint32_t metaLen);
    bool unreserve(uint64_t entry);
    bool markDeleted(uint64_t i);
    uint32_t rowBytes() const { return h_->tail.rowBytes; }

    // The key, metadata and text of a valid entry; false when the entry is not
    // valid or its lengths or offset point outside what the variable area
    // has handed out (a corrupt region: the record is skipped).
    bool span(uint64_t i, VarSpan* out) const;

    // Appends the indices of live entries whose whole key equals key, in
    // ascending order. visited (when not null) is raised by the buckets
    // looked at.
    size_t findLive(uint64_t id, const char* key, uint32_t keyLen, std::vector<uint64_t>& out,
                    uint64_t* visited = nullptr) const;

    // The bucket a key's probe run starts at.
    uint64_t homeBucket(uint64_t id) const;
    // Whether the table can be trusted as found: not marked dirty, every
    // bucket names an entry below the entry count, and every valid entry is
    // reachable from its home bucket. Costs a walk; an opener runs it only
    // when the table is marked dirty or after a version change.
    bool keyTableSound() const;
    // The bounded check every opener makes: the newest `looked` valid
    // entries are reachable from their buckets. A table that lies about
    // them is rebuilt or bypassed rather than trusted.
    bool newestEntriesReachable(uint64_t looked) const;
    // Empties the record areas in place: the used entries, rows, variable
    // bytes and the table are zeroed, the counters and graph fields reset
    // and `generation` raised; the table is marked dirty meanwhile, so a
    // clear cut short is finished by the next open's check. Keeps the
    // codebook. No writer may append meanwhile.
    void clearRecords();
    // Empties the table and inserts every valid entry again, marked dirty
    // meanwhile so that a rebuild cut short is done again at the next open.
    void rebuildKeyTable();

private:
    CompactRegion() = default;
    uint8_t* base_ = nullptr;
    uint64_t len_ = 0;
    CompactHeader* h_ = nullptr;

    RecordEntry* entryAt(uint64_t i) const;
    std::atomic<uint32_t>* buckets() const;
    bool insertBucket(uint64_t id, uint32_t index);
    bool reachable(uint64_t id, uint32_t index) const;
    void emptyKeyTable();
};

}  // namespace qarbin
