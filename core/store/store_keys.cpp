// The store's key directory and the two key lookups built on it.
#include <algorithm>
#include <cstring>
#include <new>

#include "core/segment/key_index.h"
#include "core/store/store_internal.h"

namespace qarbin {

namespace {

// Gives up on a directory whose segments keep being cleared under its walk.
constexpr int kSyncAttempts = 3;

}  // namespace

void KeyDirectory::reset() {
    table_.clear();
    used_ = 0;
    keys_.clear();
    lists_.clear();
    freeLists_.clear();
    states_.clear();
    syncFrom_ = 0;
}

bool KeyDirectory::sync(const std::vector<Segment*>& segments) {
    if (segments.empty()) return true;
    for (int attempt = 0; attempt < kSyncAttempts; ++attempt) {
        uint64_t gen = segments[0]->header->generation.load();
        if (!started_ || gen != generation_) {
            reset();
            generation_ = gen;
            started_ = true;
        }
        if (states_.size() < segments.size()) states_.resize(segments.size());
        bool cleared = false;
        for (size_t i = syncFrom_; i < segments.size(); ++i) {
            const Segment* seg = segments[i];
            SegmentState& st = states_[i];
            if (seg->usedSlotsClamped() < st.scanned) {
                cleared = true;
                break;
            }
            syncSegment(seg, static_cast<uint32_t>(i), st);
            if (i == syncFrom_ && st.pending.empty() && st.scanned >= seg->capacity()) ++syncFrom_;
        }
        if (!cleared && segments[0]->header->generation.load() == generation_) return true;
        started_ = false;
    }
    return false;
}

void KeyDirectory::syncSegment(const Segment* seg, uint32_t index, SegmentState& st) {
    auto take = [&](uint64_t s) {
        if (!seg->readableAt(s)) return;
        const KeyRef k = seg->keyAt(s);
        insert(k.data, k.len, keyHash(k.data, k.len), index);
    };
    for (size_t j = 0; j < st.pending.size();) {
        const uint64_t s = st.pending[j];
        if (seg->validAt(s)) {
            take(s);
            st.pending[j] = st.pending.back();
            st.pending.pop_back();
        } else {
            ++j;
        }
    }
    uint64_t used = seg->usedSlotsClamped();
    for (uint64_t s = st.scanned; s < used; ++s) {
        if (seg->validAt(s)) {
            take(s);
        } else {
            st.pending.push_back(s);  // still being written by another process
        }
    }
    if (used > st.scanned) st.scanned = used;
}

bool KeyDirectory::keyEquals(const Entry& e, const char* key, size_t keyLen) const {
    const char* stored = keys_.data() + (e.keyRef - 1);
    return static_cast<unsigned char>(stored[0]) == keyLen && std::memcmp(stored + 1, key, keyLen) == 0;
}

KeyDirectory::Entry* KeyDirectory::find(const char* key, size_t keyLen, uint64_t hash) {
    if (table_.empty()) return nullptr;
    size_t mask = table_.size() - 1;
    for (size_t pos = (hash * 0x9E3779B97F4A7C15ULL) >> 32 & mask;; pos = (pos + 1) & mask) {
        Entry& e = table_[pos];
        if (e.keyRef == 0) return nullptr;
        if (e.hash == hash && keyEquals(e, key, keyLen)) return &e;
    }
}

void KeyDirectory::grow() {
    size_t size = table_.empty() ? 1024 : table_.size() * 2;
    std::vector<Entry> old(size, Entry{0, 0, kNoSegment, 0, 0});
    old.swap(table_);
    size_t mask = size - 1;
    for (const Entry& e : old) {
        if (e.keyRef == 0) continue;
        size_t pos = (e.hash * 0x9E3779B97F4A7C15ULL) >> 32 & mask;
        while (table_[pos].keyRef != 0) pos = (pos + 1) & mask;
        table_[pos] = e;
    }
}

void KeyDirectory::insert(const char* key, size_t keyLen, uint64_t hash, uint32_t seg) {
    Entry* e = find(key, keyLen, hash);
    if (e == nullptr) {
        if ((used_ + 1) * 10 > table_.size() * 7) grow();
        if (keys_.size() + 1 + keyLen >= UINT32_MAX) throw std::bad_alloc();
        uint32_t ref = static_cast<uint32_t>(keys_.size() + 1);
        keys_.push_back(static_cast<char>(keyLen));
        keys_.insert(keys_.end(), key, key + keyLen);
        size_t mask = table_.size() - 1;
        size_t pos = (hash * 0x9E3779B97F4A7C15ULL) >> 32 & mask;
        while (table_[pos].keyRef != 0) pos = (pos + 1) & mask;
        table_[pos] = Entry{hash, ref, seg, 0, 0};
        ++used_;
        return;
    }
    if (e->list != 0) {
        std::vector<uint32_t>& l = lists_[e->list - 1];
        if (l.empty() || l.back() < seg) {
            l.push_back(seg);
        } else {
            auto it = std::lower_bound(l.begin(), l.end(), seg);
            if (*it != seg) l.insert(it, seg);
        }
        return;
    }
    if (e->seg == kNoSegment) {
        e->seg = seg;
        return;
    }
    if (e->seg == seg) return;
    uint32_t idx;
    if (!freeLists_.empty()) {
        idx = freeLists_.back();
        freeLists_.pop_back();
    } else {
        lists_.emplace_back();
        idx = static_cast<uint32_t>(lists_.size() - 1);
    }
    std::vector<uint32_t>& l = lists_[idx];
    l.push_back(std::min(e->seg, seg));
    l.push_back(std::max(e->seg, seg));
    e->list = idx + 1;
}

void KeyDirectory::compact(Entry& e) {
    if (e.list == 0) return;
    std::vector<uint32_t>& l = lists_[e.list - 1];
    if (l.size() > 1) return;
    e.seg = l.empty() ? kNoSegment : l[0];
    l.clear();
    freeLists_.push_back(e.list - 1);
    e.list = 0;
}

int KeyDirectory::firstLive(const std::vector<Segment*>& segments, const char* key, size_t keyLen, uint64_t hash,
                            std::vector<uint64_t>& slots) {
    Entry* e = find(key, keyLen, hash);
    if (e == nullptr) return -1;
    if (e->list == 0) {
        uint32_t s = e->seg;
        if (s == kNoSegment) return -1;
        if (s < segments.size() && segments[s]->findLiveByKey(key, slots) > 0) return static_cast<int>(s);
        e->seg = kNoSegment;
        return -1;
    }
    std::vector<uint32_t>& l = lists_[e->list - 1];
    int found = -1;
    size_t dead = 0;
    for (; dead < l.size(); ++dead) {
        uint32_t s = l[dead];
        if (s < segments.size() && segments[s]->findLiveByKey(key, slots) > 0) {
            found = static_cast<int>(s);
            break;
        }
    }
    // Candidates before the answer hold nothing live under the key any more.
    l.erase(l.begin(), l.begin() + static_cast<std::ptrdiff_t>(dead));
    compact(*e);
    return found;
}

int64_t KeyDirectory::newestLive(const std::vector<Segment*>& segments, const char* key, size_t keyLen,
                                 uint64_t hash, Segment** segOut) {
    Entry* e = find(key, keyLen, hash);
    if (e == nullptr) return -1;
    if (e->list == 0) {
        uint32_t s = e->seg;
        if (s == kNoSegment) return -1;
        const int64_t r = s < segments.size() ? segments[s]->firstLiveByKey(key) : -1;
        if (r < 0) {
            e->seg = kNoSegment;
            return -1;
        }
        *segOut = segments[s];
        return r;
    }
    std::vector<uint32_t>& l = lists_[e->list - 1];
    int64_t found = -1;
    size_t keep = l.size();
    for (; keep > 0; --keep) {
        uint32_t s = l[keep - 1];
        const int64_t r = s < segments.size() ? segments[s]->firstLiveByKey(key) : -1;
        if (r >= 0) {
            found = r;
            *segOut = segments[s];
            break;
        }
    }
    l.resize(keep);
    compact(*e);
    return found;
}

namespace {

// Compact segments answer from their persisted key tables: no walk at all.
bool useDirectory(Store& store) {
    if (store.mode == StorageMode::Shm) return false;
    for (const Segment* seg : store.segments)
        if (seg->compact()) return false;
    if (store.keyDirectory == nullptr) store.keyDirectory = new (std::nothrow) KeyDirectory;
    return store.keyDirectory != nullptr;
}

void dropDirectory(Store& store) {
    delete store.keyDirectory;
    store.keyDirectory = nullptr;
}

}  // namespace

int findFirstLive(Store& store, const char* key, size_t keyLen, std::vector<uint64_t>& slots) {
    const size_t before = slots.size();
    if (useDirectory(store)) {
        try {
            if (store.keyDirectory->sync(store.segments))
                return store.keyDirectory->firstLive(store.segments, key, keyLen, keyHash(key, keyLen), slots);
        } catch (const std::bad_alloc&) {
        }
        dropDirectory(store);
        slots.resize(before);
    }
    for (size_t i = 0; i < store.segments.size(); ++i) {
        if (store.segments[i]->findLiveByKey(key, slots) > 0) return static_cast<int>(i);
    }
    return -1;
}

int64_t findNewestLive(Store& store, const char* key, size_t keyLen, Segment** segOut) {
    if (useDirectory(store)) {
        try {
            if (store.keyDirectory->sync(store.segments))
                return store.keyDirectory->newestLive(store.segments, key, keyLen, keyHash(key, keyLen), segOut);
        } catch (const std::bad_alloc&) {
        }
        dropDirectory(store);
    }
    for (size_t i = store.segments.size(); i-- > 0;) {
        const int64_t r = store.segments[i]->firstLiveByKey(key);
        if (r >= 0) {
            *segOut = store.segments[i];
            return r;
        }
    }
    return -1;
}

void refreshWriteHints(Store& store) {
    if (store.segments.empty()) return;
    uint64_t gen = store.segments[0]->header->generation.load();
    if (gen != store.firstOpenGeneration) {
        store.firstOpenSegment = 0;
        store.firstOpenGeneration = gen;
    }
}

}  // namespace qarbin
