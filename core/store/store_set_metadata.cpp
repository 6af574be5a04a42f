// Replacing the metadata of a stored record in place.
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "core/store/store.h"
#include "core/store/store_internal.h"

namespace qarbin {

namespace {

struct MetadataArgs {
    const char* key;
    const char* metadata;
    uint32_t metaLen;
};

constexpr int kReplaced = 0;
constexpr int kNotStored = 1;
constexpr int kRewrite = 2;  // the record's segment cannot take it in place

// In a shared store run again in a compaction's new generation, like any
// write, so the compacted copy of the record gets the new metadata too.
int replaceOnce(Store& st, const void* a, bool) {
    const MetadataArgs& w = *static_cast<const MetadataArgs*>(a);
    Segment* seg = nullptr;
    const int64_t slot = findNewestLive(st, w.key, strnlen(w.key, kLongestKeyBytes + 1), &seg);
    if (slot < 0) return kNotStored;
    if (!seg->compact()) return kRewrite;
    return seg->replaceMetadata(static_cast<uint64_t>(slot), w.metadata, w.metaLen) ? kReplaced : kRewrite;
}

// A fixed-slot segment, or a compact one whose variable area is full: the
// record is written again as set() writes it, with its decoded vector.
int rewrite(Store& st, const char* key, const char* metadata, uint32_t metaLen) {
    std::vector<float> vector(st.shape.dim);
    if (st.get(key, vector.data(), nullptr, nullptr) != 0) return kNotStored;
    return st.set(key, vector.data(), metadata, metaLen) == 0 ? kReplaced : -1;
}

}  // namespace

int Store::setMetadata(const char* key, const char* metadata, uint32_t metaLen) {
    writeFailure = WriteFailure::Unknown;
    if (key == nullptr || key[0] == '\0' || segments.empty()) return 0;
    if (strnlen(key, kLongestKeyBytes + 1) > kLongestKeyBytes) return 0;  // no record can hold it
    if (metadata == nullptr) metaLen = 0;
    if (overLimit(*this, key, metadata, metaLen)) return -1;
    try {
        if (pqBuffer != nullptr) {
            const long i = heldBackIndex(*pqBuffer, key);
            if (i >= 0) {
                pqBuffer->metadata[static_cast<size_t>(i)].assign(metadata != nullptr ? metadata : "", metaLen);
                return 1;
            }
        }
        if (overMemoryLimit(*this, key, metadata, metaLen)) return -1;
        const MetadataArgs args{key, metadata, metaLen};
        int rc = mode == StorageMode::Shm && control != nullptr ? writeAcrossCompaction(*this, replaceOnce, &args, false)
                                                                : replaceOnce(*this, &args, false);
        if (rc == kRewrite) rc = rewrite(*this, key, metadata, metaLen);
        return rc == kReplaced ? 1 : rc == kNotStored ? 0 : -1;
    } catch (const std::bad_alloc&) {
        writeFailure = WriteFailure::OutOfMemory;
        return -1;
    }
}

}  // namespace qarbin
