// The write path: set, add, del and the product-shape.quantization held-back buffer.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "core/store/store.h"
#include "core/store/store_internal.h"

namespace qarbin {

namespace {

// The cause of a refused write from what the last attempt left: a memory
// limit the store hit is already noted; otherwise errno tells a full file
// system or a failed allocation, and a store at its last segment number
// or its largest region is full.
void noteWriteFailure(Store& st, int err) {
    if (st.writeFailure != WriteFailure::Unknown) return;
    if (err == ENOSPC || err == EDQUOT) st.writeFailure = WriteFailure::NoSpace;
    else if (err == ENOMEM) st.writeFailure = WriteFailure::OutOfMemory;
    else if (st.mode == StorageMode::Disk && st.segments.size() >= kMaxSegmentFiles) st.writeFailure = WriteFailure::Full;
}

// Memory mode when the last segment cannot grow: a further segment.
int addToNewMemorySegment(Store& st, uint64_t id, const char* key, const float* vector, const char* metadata,
                           uint32_t metaLen, const char* text, uint32_t textLen) {
    try {
        Segment* seg = st.createNewSegment();
        if (seg == nullptr) return -1;
        try {
            st.segments.push_back(seg);
        } catch (const std::bad_alloc&) {
            delete seg;
            st.writeFailure = WriteFailure::OutOfMemory;
            return -1;
        }
        if (seg->add(id, key, vector, metadata, metaLen, text, textLen) != 0) return -1;
        st.totalCount.fetch_add(1);
        return 0;
    } catch (const std::bad_alloc&) {
        st.writeFailure = WriteFailure::OutOfMemory;
        return -1;
    }
}

template <class V>
void roomFor(V& v, size_t extra) {
    if (v.capacity() - v.size() < extra) v.reserve(std::max(v.size() + extra, v.capacity() * 2));
}

// Appends one entry to the buffer; all or nothing (std::bad_alloc leaves it as it was).
void holdBack(Store& st, uint64_t id, const char* key, const float* vector, const char* metadata, uint32_t metaLen,
              const char* text, uint32_t textLen) {
    PQTrainingBuffer& b = *st.pqBuffer;
    std::string k(key != nullptr ? key : "");
    std::string m = metadata != nullptr ? std::string(metadata, metaLen) : std::string();
    std::string t = text != nullptr ? std::string(text, textLen) : std::string();
    roomFor(b.vectors, st.shape.dim);
    roomFor(b.ids, 1);
    roomFor(b.keys, 1);
    roomFor(b.metadata, 1);
    roomFor(b.texts, 1);
    roomFor(b.hasText, 1);
    b.vectors.insert(b.vectors.end(), vector, vector + st.shape.dim);
    b.ids.push_back(id);
    b.keys.push_back(std::move(k));
    b.metadata.push_back(std::move(m));
    b.texts.push_back(std::move(t));
    b.hasText.push_back(text != nullptr ? 1 : 0);
    ++b.count;
}

// Swap-removal: the last entry takes the place of entry i.
void removeHeld(Store& st, uint32_t i) {
    PQTrainingBuffer& b = *st.pqBuffer;
    const uint32_t last = b.count - 1;
    if (i != last) {
        b.ids[i] = b.ids[last];
        b.keys[i].swap(b.keys[last]);
        b.metadata[i].swap(b.metadata[last]);
        b.texts[i].swap(b.texts[last]);
        b.hasText[i] = b.hasText[last];
        std::copy_n(b.vectors.begin() + static_cast<std::ptrdiff_t>(static_cast<size_t>(last) * st.shape.dim), st.shape.dim,
                    b.vectors.begin() + static_cast<std::ptrdiff_t>(static_cast<size_t>(i) * st.shape.dim));
    }
    b.count = last;
    b.ids.resize(last);
    b.keys.resize(last);
    b.metadata.resize(last);
    b.texts.resize(last);
    b.hasText.resize(last);
    b.vectors.resize(static_cast<size_t>(last) * st.shape.dim);
}

// Marks the given slots of seg deleted and lowers the counts by the number
// that were still live.
uint64_t markSlots(Store& st, Segment* seg, const std::vector<uint64_t>& slots) {
    uint64_t marked = 0;
    for (uint64_t slot : slots)
        if (seg->markDeleted(slot)) ++marked;
    if (marked != 0) {
        st.totalCount.fetch_sub(marked);
        if (st.mode == StorageMode::Shm && st.control != nullptr) st.control->totalCount.fetch_sub(marked);
    }
    return marked;
}

struct WriteArgs {
    const char* key;
    const float* vector;
    const char* metadata;
    uint32_t metaLen;
    const char* text;
    uint32_t textLen;
};

// Marks the slots found by liveEverywhere: every live record under a key in
// every segment (a compaction that met a write in flight may have left two).
uint64_t markEverywhere(Store& st, const std::vector<std::vector<uint64_t>>& found) {
    uint64_t marked = 0;
    for (size_t i = 0; i < found.size() && i < st.segments.size(); ++i)
        if (!found[i].empty()) marked += markSlots(st, st.segments[i], found[i]);
    return marked;
}

std::vector<std::vector<uint64_t>> liveEverywhere(Store& st, const char* key) {
    std::vector<std::vector<uint64_t>> found(st.segments.size());
    for (size_t i = 0; i < st.segments.size(); ++i) st.segments[i]->findLiveByKey(key, found[i]);
    return found;
}

// The old record is marked only once the new one is stored, so a set that
// fails leaves the key as it was. Not when the add followed a compaction
// into another generation: the slots found belong to the old one, and the
// caller writes again.
int setOnce(Store& st, const void* a, bool replay) {
    const WriteArgs& w = *static_cast<const WriteArgs*>(a);
    const uint64_t id = recordId(w.key);
    const uint32_t generation = st.shmGeneration;
    if (replay) {
        const std::vector<std::vector<uint64_t>> found = liveEverywhere(st, w.key);
        const int rc = st.add(id, w.key, w.vector, w.metadata, w.metaLen, w.text, w.textLen);
        if (rc == 0 && st.shmGeneration == generation) markEverywhere(st, found);
        return rc;
    }
    std::vector<uint64_t> slots;
    const int old = findFirstLive(st, w.key, strnlen(w.key, kLongestKeyBytes + 1), slots);
    const int rc = st.add(id, w.key, w.vector, w.metadata, w.metaLen, w.text, w.textLen);
    if (rc != 0 || old < 0 || st.shmGeneration != generation) return rc;
    markSlots(st, st.segments[static_cast<size_t>(old)], slots);
    return 0;
}

int delOnce(Store& st, const void* a, bool replay) {
    const char* key = static_cast<const WriteArgs*>(a)->key;
    if (replay) return markEverywhere(st, liveEverywhere(st, key)) != 0 ? 0 : -1;
    std::vector<uint64_t> slots;
    const int s = findFirstLive(st, key, strnlen(key, kLongestKeyBytes + 1), slots);
    if (s < 0) return -1;
    return markSlots(st, st.segments[static_cast<size_t>(s)], slots) != 0 ? 0 : -1;
}

}  // namespace

// A key or metadata a segment would cut could never be fetched or deleted
// again, or would come back shortened: such records are refused whole.
bool overLimit(const Store& st, const char* key, const char* metadata, uint32_t metaLen, const char* text,
               uint32_t textLen) {
    const size_t keyLen = key != nullptr ? strnlen(key, kLongestKeyBytes + 1) : 0;
    if (text != nullptr && (!st.textAllowed() || textLen > kCompactMaxTextBytes)) return true;
    return recordLimit(keyLen, metadata != nullptr ? metaLen : 0, st.shape.format) != RecordLimit::Ok;
}

// A compact memory segment backs its variable area as records fill it:
// the memory limit is checked for each record's key, metadata and text bytes.
bool overMemoryLimit(Store& st, const char* key, const char* metadata, uint32_t metaLen, uint32_t textLen) {
    if (st.mode != StorageMode::Memory || st.memoryLimit == 0 || st.segments.empty() || !st.segments.back()->compact())
        return false;
    uint64_t total = 0;
    for (const Segment* seg : st.segments) total += seg->countedBytes();
    const uint64_t keyLen = key != nullptr ? strnlen(key, kLongestKeyBytes + 1) : 0;
    const uint64_t bytes = (keyLen + (metadata != nullptr ? metaLen : 0) + textLen + kVarUnit - 1) & ~(kVarUnit - 1);
    if (total <= st.memoryLimit && bytes <= st.memoryLimit - total) return false;
    st.writeFailure = WriteFailure::MemoryLimit;
    return true;
}

// vector: shape.dim floats; metadata: metaLen bytes or null. Replaces what is
// stored under key. -1 (nothing changed) for a null, empty or over-long key,
// over-long metadata or when no segment can take the record.
int Store::set(const char* key, const float* vector, const char* metadata, uint32_t metaLen, const char* text,
               uint32_t textLen) {
    if (key == nullptr || key[0] == '\0') return -1;
    // Refused before anything is removed: the held-back path deletes first.
    if (vector == nullptr || segments.empty()) return -1;
    if (overLimit(*this, key, metadata, metaLen, text, textLen)) return -1;
    const uint64_t id = recordId(key);
    if (pqBuffer != nullptr) {
        del(key);
        return add(id, key, vector, metadata, metaLen, text, textLen);
    }
    try {
        if (mode == StorageMode::Memory) compactMemoryIfMostlyDead(*this);
        const WriteArgs args{key, vector, metadata, metaLen, text, textLen};
        if (mode == StorageMode::Shm && control != nullptr) return writeAcrossCompaction(*this, setOnce, &args, false);
        return setOnce(*this, &args, false);
    } catch (const std::bad_alloc&) {
        writeFailure = WriteFailure::OutOfMemory;
        return -1;
    }
}

// vector: shape.dim floats; metadata: metaLen bytes or null. Other processes may
// add to shared segments and files meanwhile; slots are reserved atomically.
int Store::add(uint64_t id, const char* key, const float* vector, const char* metadata, uint32_t metaLen,
               const char* text, uint32_t textLen) {
    writeFailure = WriteFailure::Unknown;
    if (segments.empty() || vector == nullptr) return -1;
    if (text == nullptr) textLen = 0;
    if (overLimit(*this, key, metadata, metaLen, text, textLen)) return -1;
    try {
        if (pqBuffer != nullptr) {
            holdBack(*this, id, key, vector, metadata, metaLen, text, textLen);
            if (pqBuffer->count >= pqTrainingSize) flushPQBuffer();
            return 0;
        }

        if (overMemoryLimit(*this, key, metadata, metaLen, textLen)) return -1;

        // Segments before the hint are full and stay full until a clear, so
        // starting there places every record where a walk from the first
        // would. Shared segments fill from other processes too: walk them all.
        const bool hinted = mode != StorageMode::Shm;
        size_t first = 0;
        if (hinted) {
            refreshWriteHints(*this);
            first = static_cast<size_t>(std::min<uint64_t>(firstOpenSegment, segments.size()));
        }
        for (size_t i = first; i < segments.size(); ++i) {
            Segment* seg = segments[i];
            const int rc = seg->add(id, key, vector, metadata, metaLen, text, textLen);
            if (rc == -2) return -2;
            if (rc == 0) {
                totalCount.fetch_add(1);
                if (mode == StorageMode::Shm && control != nullptr) control->totalCount.fetch_add(1);
                return 0;
            }
            if (hinted && i == firstOpenSegment && seg->usedSlotsClamped() >= seg->capacity()) firstOpenSegment = i + 1;
        }

        errno = 0;
        int rc;
        if (mode == StorageMode::Shm && control != nullptr) {
            rc = addToNewShmSegment(id, key, vector, metadata, metaLen, text, textLen);
            // A compaction switched generations: the record goes into the new one.
            if (rc == kGenerationMoved)
                rc = followGeneration() ? add(id, key, vector, metadata, metaLen, text, textLen) : -1;
        } else if (mode == StorageMode::Disk) {
            rc = addToNewDiskSegment(this, id, key, vector, metadata, metaLen, text, textLen);
        } else if (growLastSegment(this)) {
            rc = segments.back()->add(id, key, vector, metadata, metaLen, text, textLen);
            if (rc == 0) totalCount.fetch_add(1);
        } else {
            rc = addToNewMemorySegment(*this, id, key, vector, metadata, metaLen, text, textLen);
        }
        if (rc == -1) noteWriteFailure(*this, errno);
        return rc;
    } catch (const std::bad_alloc&) {
        writeFailure = WriteFailure::OutOfMemory;
        return -1;
    }
}


long heldBackIndex(const PQTrainingBuffer& b, const char* key) {
    const size_t len = std::strlen(key);
    for (uint32_t i = 0; i < b.count; ++i)
        if (b.keys[i].size() == len && std::memcmp(b.keys[i].data(), key, len) == 0) return i;
    return -1;
}

int Store::del(const char* key) {
    if (key == nullptr || key[0] == '\0') return -1;
    try {
        if (pqBuffer != nullptr && pqBuffer->count > 0) {
            const long i = heldBackIndex(*pqBuffer, key);
            if (i >= 0) {
                removeHeld(*this, static_cast<uint32_t>(i));
                return 0;
            }
        }
        if (strnlen(key, kLongestKeyBytes + 1) > kLongestKeyBytes) return -1;  // no record can hold it
        const WriteArgs args{key, nullptr, nullptr, 0, nullptr, 0};
        if (mode == StorageMode::Shm && control != nullptr) {
            // The record may lie in a segment another process created since.
            attachShmSegments();
            return writeAcrossCompaction(*this, delOnce, &args, true);
        }
        return delOnce(*this, &args, false);
    } catch (const std::bad_alloc&) {
        return -1;
    }
}

void Store::flushPQBuffer() {
    if (pqBuffer == nullptr || pqBuffer->count == 0) return;
    PQTrainingBuffer* b = pqBuffer;
    // Another process may already have trained a shared segment; its codebook
    // then serves every segment and the held-back vectors just get stored.
    const bool adopted = mode == StorageMode::Shm && control != nullptr && adoptSharedCodebook();
    if (!adopted) {
        for (Segment* seg : segments) seg->trainPQCodebook(b->vectors.data(), b->count);
        // Training that failed (out of memory) would make every segment
        // refuse the records: keep holding them back instead.
        if (firstTrained(segments) == nullptr) return;
    }
    pqBuffer = nullptr;
    for (uint32_t i = 0; i < b->count; ++i) {
        const std::string& meta = b->metadata[i];
        const bool hasText = i < b->hasText.size() && b->hasText[i] != 0;
        add(b->ids[i], b->keys[i].c_str(), b->vectors.data() + static_cast<size_t>(i) * shape.dim,
            meta.empty() ? nullptr : meta.data(), static_cast<uint32_t>(meta.size()),
            hasText ? b->texts[i].data() : nullptr, hasText ? static_cast<uint32_t>(b->texts[i].size()) : 0);
    }
    delete b;
}

}  // namespace qarbin
