// Searches refined for retrieval: a score floor, a record left out (more
// like this), rows chosen for diversity, and listing by filter in pages.
#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <vector>

#include "core/alloc.h"
#include "core/math/codecs.h"
#include "core/store/mmr.h"
#include "core/store/store.h"
#include "core/store/store_internal.h"

namespace qarbin {

namespace {

// Candidates a diverse search chooses from when it scans (no beam width).
constexpr int kScanCandidates = 50;

// The rows a diverse search chooses among: the beam, which is never
// narrower than topK.
int candidatesFor(int k, float precision) {
    int ef = kScanCandidates;
    if (precision >= static_cast<float>(INT_MAX)) ef = INT_MAX;
    else if (precision >= 1.0f) ef = static_cast<int>(precision);
    return std::min(std::max(ef, k), kMaxTopK);
}

bool sameKey(const Result& r, const char* key) {
    return std::strlen(key) == r.keyLen && std::memcmp(r.key, key, r.keyLen) == 0;
}

// Drops the rows under key and those below the floor; rows stay best first.
int dropRows(Result* rows, int n, const SearchRefinement& how) {
    int kept = 0;
    for (int i = 0; i < n; ++i) {
        if (how.excludeKey != nullptr && sameKey(rows[i], how.excludeKey)) continue;
        // Also drops NaN scores, which sort last.
        if (!(static_cast<double>(rows[i].score) >= how.minScore)) continue;
        if (kept != i) rows[kept] = rows[i];
        ++kept;
    }
    return kept;
}

// The vector stored under a row's key into out (dim floats); zeros when the
// record went away meanwhile (another process deleted it).
void rowVector(Store& st, const Result& row, float* out) {
    const uint32_t dim = st.shape.dim;
    const std::string key(row.key, row.keyLen);
    if (st.pqBuffer != nullptr && st.pqBuffer->count > 0) {
        const long i = heldBackIndex(*st.pqBuffer, key.c_str());
        if (i >= 0) {
            std::memcpy(out, st.pqBuffer->vectors.data() + static_cast<size_t>(i) * dim, sizeof(float) * dim);
            return;
        }
    }
    Segment* seg = nullptr;
    const int64_t r = findNewestLive(st, key.c_str(), key.size(), &seg);
    const float* codebook = r >= 0 ? seg->trainedCodebook() : nullptr;
    const bool readable = r >= 0 && seg->dim == dim &&
                          seg->quantization == static_cast<uint32_t>(st.shape.quantization) &&
                          (st.shape.quantization != Quantization::PQ || codebook != nullptr);
    if (!readable) {
        std::fill(out, out + dim, 0.0f);
        return;
    }
    alignas(64) float scratch[kMaxDim];
    const float* v = decodeVector(seg->vectorAt(static_cast<uint64_t>(r)), dim,
                                  static_cast<uint32_t>(st.shape.quantization), st.shape.pqSubvectors, codebook, scratch);
    std::memcpy(out, v, sizeof(float) * dim);
}

int diversify(Store& st, Result* rows, int n, int k, double diversity) {
    const uint32_t dim = st.shape.dim;
    if (n <= 1 || dim == 0 || dim > kMaxDim) return std::min(n, k);
    std::vector<float> vectors(static_cast<size_t>(n) * dim);
    for (int i = 0; i < n; ++i) rowVector(st, rows[i], vectors.data() + static_cast<size_t>(i) * dim);
    return chooseDiverse(rows, vectors.data(), n, k, diversity, dim, st.shape.metric, st.shape.useAvx2);
}

}  // namespace

// The plain search with a few more rows when some are to be dropped or
// chosen among; the graph walk is the plain search's, since the beam is
// never narrower than the rows asked for. A floor therefore keeps every row
// at or above it that the plain search returns, and an exact scan returns
// exactly the rows at or above it (up to topK).
int Store::retrieve(const float* query, int topK, float precision, Result** out, const Filter* filter,
                    const SearchRefinement& how) {
    if (query == nullptr || topK < 1 || out == nullptr) return 0;
    const int k = std::min(topK, kMaxTopK);
    const bool diverse = how.diversity > 0.0;
    int rows = diverse ? candidatesFor(k, precision) : k;
    if (how.excludeKey != nullptr) ++rows;
    Result* results = nullptr;
    int n = search(query, rows, precision, &results, filter, kMaxTopK + 1);
    if (results == nullptr) return n;
    n = dropRows(results, n, how);
    if (diverse) n = diversify(*this, results, n, k, how.diversity);
    *out = results;
    return std::min(n, k);
}

int Store::similar(const char* key, int topK, float precision, Result** out, const Filter* filter,
                   SearchRefinement how) {
    if (key == nullptr || key[0] == '\0' || shape.dim == 0 || shape.dim > kMaxDim) return -1;
    alignas(64) float query[kMaxDim];
    if (get(key, query, nullptr, nullptr) != 0) return -1;
    how.excludeKey = key;
    return retrieve(query, topK, precision, out, filter, how);
}

long Store::find(const Filter* filter, uint64_t offset, uint64_t limit, Result** out) {
    if (out == nullptr || limit == 0) return 0;
    if (!catchUpForReading()) return -1;
    const MetadataTest keep = filter != nullptr ? filter->test() : MetadataTest{};
    // Room for the page, but never more than the records stored.
    uint64_t room = pqBuffer != nullptr ? pqBuffer->count : 0;
    for (const Segment* seg : segments) room += seg->usedSlotsClamped();
    room = std::min(room, limit);
    if (room == 0) return 0;
    Result* rows = static_cast<Result*>(allocZeroed(static_cast<size_t>(room), sizeof(Result)));
    if (rows == nullptr) return -1;
    uint64_t n = 0;
    uint64_t skipped = 0;
    auto take = [&](const char* key, size_t keyLen, const char* meta, uint32_t metaLen, const char* text = nullptr,
                    uint32_t textLen = 0) {
        if (keyLen == 0 || !keep.accepts(meta, metaLen)) return;
        if (skipped < offset) {
            ++skipped;
            return;
        }
        Result& row = rows[n++];
        row.key = key;
        row.keyLen = static_cast<uint32_t>(keyLen);
        row.metadata = metaLen != 0 ? meta : nullptr;
        row.metadataLen = metaLen;
        row.text = text;
        row.textLen = text != nullptr ? textLen : 0;
    };
    if (pqBuffer != nullptr) {
        for (uint32_t i = 0; i < pqBuffer->count && i < pqBuffer->keys.size() && n < room; ++i) {
            const std::string& m = pqBuffer->metadata[i];
            const bool hasText = i < pqBuffer->hasText.size() && pqBuffer->hasText[i] != 0;
            take(pqBuffer->keys[i].data(), pqBuffer->keys[i].size(), m.empty() ? nullptr : m.data(),
                 static_cast<uint32_t>(m.size()), hasText ? pqBuffer->texts[i].data() : nullptr,
                 static_cast<uint32_t>(pqBuffer->texts[i].size()));
        }
    }
    for (const Segment* seg : segments) {
        if (n >= room) break;
        const uint64_t used = seg->usedSlotsClamped();
        for (uint64_t i = 0; i < used && n < room; ++i) {
            if (!seg->readableAt(i)) continue;
            const KeyRef k = seg->keyAt(i);
            const KeyRef meta = seg->metadataRefAt(i);
            const KeyRef text = seg->textRefAt(i);
            take(k.data, k.len, meta.len != 0 ? meta.data : nullptr, meta.len, text.data, text.len);
        }
        // As a search does: the rows stay readable, the pages come back from the file.
        if (mode == StorageMode::Disk) seg->adviseRecords(MADV_DONTNEED);
    }
    *out = rows;
    return static_cast<long>(n);
}

}  // namespace qarbin
