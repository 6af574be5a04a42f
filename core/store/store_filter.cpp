// What filtered retrieval needs beside the search itself: the choice between
// walking the graph and scanning the matching records, deletion by filter,
// and key lookups that decode nothing.
#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>
#include <sys/mman.h>

#include "core/index/hnsw.h"
#include "core/store/store.h"
#include "core/store/store_internal.h"

namespace qarbin {

namespace {

constexpr uint64_t kSampleSize = 128;
// Measured on clustered 128-dimensional data (bench/ann_bench filter): a
// walk scores about 21 fresh neighbours per node it expands, each a random
// read of a vector costing about 1.7 times what the scan spends on one
// record (a filter test and, for a match, a distance); it expands about
// 0.9 nodes per node of the ball it must cover, the nearest
// (gathered hits) / rate records.
constexpr double kWalkCostPerNode = 1.7 * 21 * 0.9;

// Matches and readable records among about kSampleSize slots spread evenly
// over every segment.
void sampleMatches(const Store& st, const MetadataTest& keep, uint64_t* seen, uint64_t* matched) {
    uint64_t used = 0;
    for (const Segment* seg : st.segments) used += seg->usedSlotsClamped();
    const uint64_t step = std::max<uint64_t>(1, used / kSampleSize);
    for (const Segment* seg : st.segments) {
        const uint64_t n = seg->usedSlotsClamped();
        for (uint64_t i = step / 2; i < n; i += step) {
            if (!seg->readableAt(i)) continue;
            ++*seen;
            const KeyRef meta = seg->metadataRefAt(i);
            if (keep.accepts(meta.data, meta.len)) ++*matched;
        }
    }
}

}  // namespace

// A walk that must gather h hits (filteredHitsKept) at match rate p covers
// about max(ef, h / p) nodes; a filtered scan tests every record and scores the
// matching ones. The cheaper estimate wins; no match in the sample means
// too few for a walk to find.
bool preferFilteredScan(const Store& st, const Filter& filter, int k, int ef, float* share) {
    *share = 1.0f;
    const MetadataTest keep = filter.test();
    if (keep.test == nullptr) return false;
    uint64_t seen = 0, matched = 0;
    sampleMatches(st, keep, &seen, &matched);
    if (seen == 0) return false;
    const double rate = static_cast<double>(matched) / static_cast<double>(seen);
    *share = static_cast<float>(rate);
    if (matched == 0) return true;
    uint64_t live = 0;
    for (const Segment* seg : st.segments) live += seg->header->liveCount.load();
    const double hits = static_cast<double>(filteredHitsKept(static_cast<uint32_t>(k), *share));
    const double walk = kWalkCostPerNode * std::max(static_cast<double>(ef), hits / rate);
    const double scan = static_cast<double>(live);
    return scan < walk;
}

long Store::deleteWhere(const Filter& filter) {
    if (!writable) return -1;
    if (mode == StorageMode::Shm) followGeneration();
    if (mode == StorageMode::Shm && control != nullptr) attachShmSegments();
    const MetadataTest keep = filter.test();
    // Keys first, deletions after: del rewrites the slots being walked.
    std::vector<std::string> doomed;
    std::unordered_set<std::string> chosen;
    if (pqBuffer != nullptr) {
        for (uint32_t i = 0; i < pqBuffer->count && i < pqBuffer->keys.size(); ++i) {
            const std::string& m = pqBuffer->metadata[i];
            if (keep.accepts(m.empty() ? nullptr : m.data(), static_cast<uint32_t>(m.size())) &&
                chosen.insert(pqBuffer->keys[i]).second)
                doomed.push_back(pqBuffer->keys[i]);
        }
    }
    for (const Segment* seg : segments) {
        const uint64_t n = seg->usedSlotsClamped();
        for (uint64_t i = 0; i < n; ++i) {
            if (!seg->readableAt(i)) continue;
            const KeyRef meta = seg->metadataRefAt(i);
            if (!keep.accepts(meta.data, meta.len)) continue;
            const KeyRef k = seg->keyAt(i);
            std::string key(k.data, k.len);
            if (!key.empty() && chosen.insert(key).second) doomed.push_back(std::move(key));
        }
    }
    long removed = 0;
    for (const std::string& key : doomed)
        if (del(key.c_str()) == 0) ++removed;
    return removed;
}

bool Store::has(const char* key) {
    if (key == nullptr || key[0] == '\0') return false;
    if (pqBuffer != nullptr && pqBuffer->count > 0 && heldBackIndex(*pqBuffer, key) >= 0) return true;
    const size_t keyLen = strnlen(key, kLongestKeyBytes + 1);
    if (keyLen > kLongestKeyBytes) return false;
    if (mode == StorageMode::Shm) followGeneration();
    if (mode == StorageMode::Shm && control != nullptr) attachShmSegments();
    Segment* seg = nullptr;
    return findNewestLive(*this, key, keyLen, &seg) >= 0;
}

void Store::keys(const char* prefix, size_t prefixLen, std::vector<std::string>* out) {
    if (mode == StorageMode::Shm) followGeneration();
    if (mode == StorageMode::Shm && control != nullptr) attachShmSegments();
    std::unordered_set<std::string> listed;
    auto take = [&](const char* key, size_t len) {
        if (len == 0 || len < prefixLen || std::memcmp(key, prefix, prefixLen) != 0) return;
        std::string k(key, len);
        if (listed.insert(k).second) out->push_back(std::move(k));
    };
    if (pqBuffer != nullptr) {
        for (uint32_t i = 0; i < pqBuffer->count && i < pqBuffer->keys.size(); ++i)
            take(pqBuffer->keys[i].data(), pqBuffer->keys[i].size());
    }
    for (const Segment* seg : segments) {
        const uint64_t n = seg->usedSlotsClamped();
        for (uint64_t i = 0; i < n; ++i) {
            if (!seg->readableAt(i)) continue;
            const KeyRef k = seg->keyAt(i);
            take(k.data, k.len);
        }
        if (mode == StorageMode::Disk) seg->adviseRecords(MADV_DONTNEED);
    }
}

}  // namespace qarbin
