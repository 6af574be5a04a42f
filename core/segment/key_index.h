// Record slots of one segment by key, in process memory. The region itself
// is the truth: the index only narrows a lookup to a few candidate slots,
// and every candidate is checked against its slot before it is reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qarbin {

class Segment;

// FNV-1a, 64 bits, over len bytes: the record id of a key and the hash of
// every key lookup.
uint64_t keyHash(const char* key, size_t len);

// Test seam: makes keyHash (and so every record id and key lookup) use f,
// so that tests can give distinct keys one id; null restores FNV-1a.
using KeyHashFunction = uint64_t (*)(const char* key, size_t len);
void setKeyHashForTesting(KeyHashFunction f);

// keyHash of a key's bytes up to its NUL, at most 63 of them: the bytes a
// slot keeps of the key.
uint64_t storedKeyHash(const char* key);

// Open addressing with linear probing over 8-byte (tag, slot) pairs, so a
// segment of millions of records costs about 12-24 bytes per record.
// Not thread-safe; a PHP process is single-threaded. Slot indices must stay
// below 2^32 - 1 (create() refuses larger segments; callers then walk).
class KeyIndex {
public:
    static KeyIndex* create(uint64_t segmentCapacity);

    // Catches up with the segment: indexes slots published since the last
    // call, re-checks slots that were still being written then, and starts
    // over when the segment was cleared (by any process) since. May throw
    // std::bad_alloc; the index must then be discarded.
    void sync(const Segment& seg);

    // Appends (unordered) the live slots whose stored key equals `key` under
    // strncmp over 64 bytes; `key` must be shorter than 64 bytes. Entries
    // whose slot turned out deleted are dropped on the way. Returns how many
    // were appended. May throw std::bad_alloc (from `out`).
    size_t collect(const Segment& seg, const char* key, std::vector<uint64_t>& out);

    size_t size() const { return size_; }

private:
    struct Entry {
        uint32_t tag;
        uint32_t slot;  // kEmpty when the bucket is free
    };
    static constexpr uint32_t kEmpty = UINT32_MAX;

    KeyIndex() = default;
    uint64_t home(uint32_t tag) const;
    void reset(uint64_t generation);
    void insert(uint32_t tag, uint32_t slot);
    void eraseAt(uint64_t pos);
    void grow();

    std::vector<Entry> table_;
    uint64_t mask_ = 0;
    unsigned bits_ = 0;
    size_t size_ = 0;
    uint64_t scanned_ = 0;     // slots [0, scanned_) have been looked at
    uint64_t generation_ = 0;  // header generation the contents belong to
    std::vector<uint32_t> pending_;  // slots not yet published when scanned
};

}  // namespace qarbin
