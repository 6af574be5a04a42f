#include "core/segment/key_index.h"

#include <cstring>
#include <new>

#include "core/segment/segment.h"

namespace qarbin {

namespace {

constexpr unsigned kInitialBits = 6;

uint32_t tagOf(uint64_t h) { return static_cast<uint32_t>(h ^ (h >> 32)); }

KeyHashFunction g_keyHashForTesting = nullptr;


}  // namespace

void setKeyHashForTesting(KeyHashFunction f) { g_keyHashForTesting = f; }

uint64_t keyHash(const char* key, size_t len) {
    if (g_keyHashForTesting != nullptr) return g_keyHashForTesting(key, len);
    uint64_t h = 0xcbf29ce484222325ULL;
    for (size_t i = 0; i < len; ++i) {
        h ^= static_cast<unsigned char>(key[i]);
        h *= 0x100000001b3ULL;
    }
    return h;
}

uint64_t storedKeyHash(const char* key) { return keyHash(key, strnlen(key, kMaxKeyBytes)); }

KeyIndex* KeyIndex::create(uint64_t segmentCapacity) {
    if (segmentCapacity >= kEmpty) return nullptr;
    return new (std::nothrow) KeyIndex();
}

uint64_t KeyIndex::home(uint32_t tag) const { return (uint64_t{tag} * 0x9E3779B97F4A7C15ull) >> (64 - bits_); }

void KeyIndex::reset(uint64_t generation) {
    table_.clear();
    table_.shrink_to_fit();
    mask_ = 0;
    bits_ = 0;
    size_ = 0;
    scanned_ = 0;
    generation_ = generation;
    pending_.clear();
}

void KeyIndex::grow() {
    const unsigned bits = bits_ ? bits_ + 1 : kInitialBits;
    std::vector<Entry> bigger(size_t{1} << bits, Entry{0, kEmpty});
    std::vector<Entry> old;
    old.swap(table_);
    table_.swap(bigger);
    bits_ = bits;
    mask_ = (uint64_t{1} << bits) - 1;
    size_ = 0;
    for (const Entry& e : old)
        if (e.slot != kEmpty) insert(e.tag, e.slot);
}

void KeyIndex::insert(uint32_t tag, uint32_t slot) {
    // Load at most 0.7 keeps linear probes short.
    if (table_.empty() || (size_ + 1) * 10 > table_.size() * 7) grow();
    uint64_t i = home(tag);
    while (table_[i].slot != kEmpty) i = (i + 1) & mask_;
    table_[i] = Entry{tag, slot};
    ++size_;
}

// Backward-shift deletion: later members of the probe run move up so that
// no lookup stops early at the freed bucket.
void KeyIndex::eraseAt(uint64_t pos) {
    uint64_t i = pos;
    uint64_t j = pos;
    for (;;) {
        j = (j + 1) & mask_;
        if (table_[j].slot == kEmpty) break;
        const uint64_t k = home(table_[j].tag);
        const bool stays = i <= j ? (i < k && k <= j) : (i < k || k <= j);
        if (!stays) {
            table_[i] = table_[j];
            i = j;
        }
    }
    table_[i].slot = kEmpty;
    --size_;
}

void KeyIndex::sync(const Segment& seg) {
    const uint64_t gen = seg.header->generation.load();
    const uint64_t used = seg.usedSlotsClamped();
    if (gen != generation_ || used < scanned_) reset(gen);

    for (size_t k = 0; k < pending_.size();) {
        const uint32_t s = pending_[k];
        const Record* r = seg.recordAt(s);
        if (s < used && !recordValid(r)) {
            ++k;
            continue;
        }
        if (s < used && recordReadable(r)) insert(tagOf(storedKeyHash(r->key)), s);
        pending_[k] = pending_.back();
        pending_.pop_back();
    }
    for (uint64_t s = scanned_; s < used; ++s) {
        const Record* r = seg.recordAt(s);
        if (!recordValid(r)) {
            pending_.push_back(static_cast<uint32_t>(s));
        } else if (recordReadable(r)) {
            insert(tagOf(storedKeyHash(r->key)), static_cast<uint32_t>(s));
        }
    }
    scanned_ = used;
}

size_t KeyIndex::collect(const Segment& seg, const char* key, std::vector<uint64_t>& out) {
    if (table_.empty()) return 0;
    const uint32_t tag = tagOf(storedKeyHash(key));
    const uint64_t used = seg.usedSlotsClamped();
    size_t found = 0;
    uint64_t i = home(tag);
    while (table_[i].slot != kEmpty) {
        const Entry e = table_[i];
        if (e.tag == tag) {
            const Record* r = e.slot < used ? seg.recordAt(e.slot) : nullptr;
            if (!r || !recordReadable(r)) {
                // Deleted for good (or cleared, which the next sync notices):
                // the entry can never match again.
                eraseAt(i);
                continue;
            }
            if (std::strncmp(r->key, key, kKeyFieldBytes) == 0) {
                out.push_back(e.slot);
                ++found;
            }
        }
        i = (i + 1) & mask_;
    }
    return found;
}

}  // namespace qarbin
