// Queries: top-K search over every segment and the held-back vectors,
// automatic and explicit graph building, fetch by key.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <sys/mman.h>

#include "core/alloc.h"
#include "core/math/codecs.h"
#include "core/index/hnsw.h"
#include "core/math/score.h"
#include "core/segment/top_k.h"
#include "core/store/store.h"
#include "core/store/store_internal.h"

namespace qarbin {

namespace {

// Held-back vectors are raw floats, scored in the sequential order whatever
// the store's summation order, and merged by the rule of every search.
void scoreHeldBack(const Store& st, const float* query, int k, Result* results, int* count, const MetadataTest& keep) {
    const PQTrainingBuffer& b = *st.pqBuffer;
    const uint32_t dim = st.shape.dim;
    TopK top(results, k, count);
    for (uint32_t i = 0; i < b.count; ++i) {
        const std::string& meta = b.metadata[i];
        if (!keep.accepts(meta.empty() ? nullptr : meta.data(), static_cast<uint32_t>(meta.size()))) continue;
        const float sc = computeScore(query, b.vectors.data() + static_cast<size_t>(i) * dim, dim, st.shape.metric, false);
        const bool hasText = i < b.hasText.size() && b.hasText[i] != 0;
        top.offer(b.ids[i], b.keys[i].data(), b.keys[i].size(), sc, meta.empty() ? nullptr : meta.data(),
                  static_cast<uint32_t>(meta.size()), hasText ? b.texts[i].data() : nullptr,
                  static_cast<uint32_t>(b.texts[i].size()));
    }
}

uint64_t liveInSegments(const std::vector<Segment*>& segments) {
    uint64_t live = 0;
    for (const Segment* seg : segments) live += seg->header->liveCount.load();
    return live;
}

// NaN scores sort last, so that the order stays a strict weak ordering.
float sortKey(float s) { return std::isnan(s) ? -INFINITY : s; }

void dropRecordPages(const Store& st, const Segment* seg) {
    if (st.mode == StorageMode::Disk) seg->adviseRecords(MADV_DONTNEED);
}

// Metadata copy through the allocation seam; 0 ok, -1 when it cannot be had.
int copyMetadata(const char* src, uint32_t len, char** metaOut, uint32_t* lenOut) {
    char* copy = nullptr;
    if (len != 0 && metaOut != nullptr) {
        copy = static_cast<char*>(allocBytes(len));
        if (copy == nullptr) return -1;
        std::memcpy(copy, src, len);
    }
    if (metaOut != nullptr) *metaOut = copy;
    if (lenOut != nullptr) *lenOut = copy != nullptr ? len : 0;
    return 0;
}

// A text copy with a NUL after it, so that an empty text is not null.
int copyText(const char* src, uint32_t len, bool has, char** textOut, uint32_t* lenOut) {
    if (textOut == nullptr) return 0;
    *textOut = nullptr;
    if (lenOut != nullptr) *lenOut = 0;
    if (!has) return 0;
    char* copy = static_cast<char*>(allocBytes(size_t{len} + 1));
    if (copy == nullptr) return -1;
    if (len != 0) std::memcpy(copy, src, len);
    copy[len] = '\0';
    *textOut = copy;
    if (lenOut != nullptr) *lenOut = len;
    return 0;
}

}  // namespace

int searchPrepared(const Store& st, const float* query, int k, int ef, const MetadataTest& keep, bool dropPages,
                   Result* results) {
    int n = 0;
    const bool filtered = keep.test != nullptr;
    for (const Segment* seg : st.segments) {
        if (ef > 0 && (seg->header->flags & kFlagGraphUsable) != 0) {
            hnswSearch(*seg, query, k, ef, results, &n, filtered ? &keep : nullptr);
        } else {
            seg->search(query, k, results, &n, filtered ? &keep : nullptr);
        }
        if (dropPages) dropRecordPages(st, seg);
    }
    // A beam crowded by deleted nodes, or a graph part no beam reaches, can
    // leave the answer short while more records are stored: they are then
    // all scored, so a search never returns fewer rows than it could. A
    // filtered walk left short does not know how many records match, so it
    // is always redone as a filtered scan.
    if (ef > 0 && n < k && (filtered || static_cast<uint64_t>(n) < liveInSegments(st.segments))) {
        n = 0;
        for (const Segment* seg : st.segments) {
            seg->search(query, k, results, &n, filtered ? &keep : nullptr);
            if (dropPages) dropRecordPages(st, seg);
        }
    }
    if (st.pqBuffer != nullptr && st.pqBuffer->count > 0) scoreHeldBack(st, query, k, results, &n, keep);

    std::sort(results, results + n,
              [](const Result& a, const Result& b) { return sortKey(a.score) > sortKey(b.score); });
    return n;
}

int Store::prepareSearch(int k, float precision, const Filter* filter, MetadataTest* keep) {
    int ef = 0;
    if (precision >= static_cast<float>(INT_MAX)) {
        ef = INT_MAX;
    } else if (precision >= 1.0f) {
        ef = static_cast<int>(precision);
    }
    if (ef >= 1) {
        // A beam narrower than the answer could never fill it.
        ef = std::max(ef, k);
        maybeAutoIndex();
    }
    *keep = filter != nullptr ? filter->test() : MetadataTest{};
    // Few matching records: scoring just those is both exact and cheaper
    // than a walk that passes over most records to find them.
    if (ef > 0 && keep->test != nullptr && preferFilteredScan(*this, *filter, k, ef, &keep->share)) ef = 0;
    return ef;
}

// query: shape.dim floats. *out receives min(topK, maxRows) results of which the
// returned number are filled, best first; untouched when 0 is returned
// because of a null query or topK < 1.
// The result array comes from the allocation seam, which in PHP may jump out
// of this frame on the engine's memory limit: it is allocated before any
// object that would need its destructor run.
int Store::search(const float* query, int topK, float precision, Result** out, const Filter* filter, int maxRows) {
    if (query == nullptr || topK < 1 || out == nullptr) return 0;
    const int k = topK > maxRows ? maxRows : topK;
    if (!catchUpForReading()) return -1;
    Result* results = static_cast<Result*>(allocZeroed(static_cast<size_t>(k), sizeof(Result)));
    if (results == nullptr) return 0;
    MetadataTest keep;
    const int ef = prepareSearch(k, precision, filter, &keep);
    const int n = searchPrepared(*this, query, k, ef, keep, true, results);
    *out = results;
    return n;
}

bool Store::catchUpForReading() {
    if (mode != StorageMode::Shm || control == nullptr) return true;
    // A compaction may switch while this handle attaches: it follows again.
    for (int round = 0; round < 3; ++round) {
        followGeneration();
        attachShmSegments();
        if (shmGenerationOf(control->segmentCount.load(std::memory_order_acquire)) == shmGeneration) break;
    }
    if (segmentRefusal != 0) return false;
    // Records other processes encoded since this handle mapped a segment
    // decode only with the codebook they trained meanwhile.
    for (Segment* seg : segments) seg->refreshCodebook();
    return true;
}

void Store::maybeAutoIndex() {
    if (!writable || autoIndexThreshold == 0) return;
    if (pqBuffer != nullptr && pqBuffer->count > 0) flushPQBuffer();
    const uint64_t threshold = autoIndexThreshold;
    for (Segment* seg : segments) {
        const uint64_t used = seg->usedSlotsClamped();
        if (used < threshold) continue;
        if ((seg->header->flags & kFlagGraphUsable) != 0) {
            const uint64_t indexed = seg->header->indexedCount.load();
            if (used - indexed >= threshold) indexSegment(*seg, false, nullptr);
        } else {
            indexSegment(*seg, false, nullptr);
        }
    }
}

int Store::buildIndex() {
    if (!writable) return -1;
    if (mode == StorageMode::Shm) followGeneration();
    if (pqBuffer != nullptr && pqBuffer->count > 0) flushPQBuffer();
    for (Segment* seg : segments)
        if (indexSegment(*seg, true, nullptr, graphThreads(*this, *seg)) != 0) return -1;
    return 0;
}

// vecOut: shape.dim floats. *metaOut: a copy through the allocation seam, or null
// when the record has no metadata. -1 with the outputs untouched when no
// live record is stored under key.
int Store::get(const char* key, float* vecOut, char** metaOut, uint32_t* lenOut, char** textOut,
               uint32_t* textLenOut) {
    if (textOut != nullptr) *textOut = nullptr;
    if (key == nullptr || key[0] == '\0' || vecOut == nullptr) return -1;
    // A record another process wrote into a segment it created since.
    if (!catchUpForReading()) return -1;
    if (pqBuffer != nullptr && pqBuffer->count > 0) {
        const long i = heldBackIndex(*pqBuffer, key);
        if (i >= 0) {
            const size_t at = static_cast<size_t>(i);
            const std::string& meta = pqBuffer->metadata[at];
            if (copyMetadata(meta.data(), static_cast<uint32_t>(meta.size()), metaOut, lenOut) != 0) return -1;
            const bool has = at < pqBuffer->hasText.size() && pqBuffer->hasText[at] != 0;
            const std::string& text = pqBuffer->texts[at];
            if (copyText(text.data(), static_cast<uint32_t>(text.size()), has, textOut, textLenOut) != 0) return -1;
            std::memcpy(vecOut, pqBuffer->vectors.data() + at * shape.dim, sizeof(float) * shape.dim);
            return 0;
        }
    }
    const size_t keyLen = strnlen(key, kLongestKeyBytes + 1);
    if (keyLen > kLongestKeyBytes || shape.dim > kMaxDim) return -1;

    Segment* seg = nullptr;
    const int64_t found = findNewestLive(*this, key, keyLen, &seg);
    if (found < 0) return -1;
    const uint64_t r = static_cast<uint64_t>(found);
    if (seg->dim != shape.dim || seg->quantization != static_cast<uint32_t>(shape.quantization) || seg->pqSubvectors != shape.pqSubvectors)
        return -1;  // never decode a segment with another shape than its own
    const float* codebook = seg->trainedCodebook();
    if (shape.quantization == Quantization::PQ && codebook == nullptr) return -1;
    alignas(64) float scratch[kMaxDim];
    const float* v = decodeVector(seg->vectorAt(r), shape.dim, static_cast<uint32_t>(shape.quantization),
                                  shape.pqSubvectors, codebook, scratch);
    const KeyRef meta = seg->metadataRefAt(r);
    if (copyMetadata(meta.data, std::min<uint32_t>(meta.len, kLongestMetadataBytes), metaOut, lenOut) != 0) return -1;
    const KeyRef text = seg->textRefAt(r);
    if (copyText(text.data, text.len, text.data != nullptr, textOut, textLenOut) != 0) return -1;
    std::memcpy(vecOut, v, sizeof(float) * shape.dim);
    dropRecordPages(*this, seg);
    return 0;
}

}  // namespace qarbin
