// Record operations: append, delete, lookup by key, exhaustive top-K scan,
// and clearing the record area in place.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "core/math/codecs.h"
#include "core/math/pq_bound.h"
#include "core/math/score.h"
#include "core/segment/key_index.h"
#include "core/segment/pages.h"
#include "core/segment/segment.h"
#include "core/segment/top_k.h"

namespace qarbin {

namespace {

// Records scored per block call. PQ records decode into a shared scratch
// of 8 * 4096 floats; the other encodings are scored where they lie.
constexpr uint32_t kMaxBatch = 32;
constexpr uint32_t kScratchFloats = 8 * kMaxDim;

// Requests, while slot i is read, the flags line of a slot `distance`
// ahead and the first lines of each run of its vector inside one 4 KiB
// page. Every slot starts on a page of its own and the hardware prefetcher
// does not cross pages, so each such run would otherwise start cold; from
// its first lines on, the prefetcher carries it. (Requesting every line of
// the vector was slower: the requests crowd out the loads.)
constexpr uint64_t kStreamLines = 8;
constexpr uint64_t kStreamSlots = 32;

struct ScanStream {
    const Segment& seg;
    uint64_t n;
    uint64_t distance;
    uint64_t bytes;
    ScanStream(const Segment& s, uint64_t used) : seg(s), n(used), distance(kStreamSlots), bytes(s.vecBytes()) {}
    void request(uint64_t i) const {
        // Packed rows are one stream the hardware follows by itself.
        if (i + distance >= n || seg.compact()) return;
        const char* p = reinterpret_cast<const char*>(seg.recordAt(i + distance));
        _mm_prefetch(p + 64, _MM_HINT_T0);  // valid, deleted, metaLen
        const char* v = p + kSlotHeaderBytes;
        const char* end = v + bytes;
        while (v < end) {
            const char* page = reinterpret_cast<const char*>((reinterpret_cast<uintptr_t>(v) | (kPage - 1)) + 1);
            const char* stop = std::min(end, std::min(page, v + 64 * kStreamLines));
            for (const char* l = v; l < stop; l += 64) _mm_prefetch(l, _MM_HINT_T0);
            v = page;
        }
    }
};

// Below this many slots a PQ scan scores every record: the per-query tables
// cost about what scoring a few hundred records does.
constexpr uint64_t kPqBoundMinSlots = 1024;

// A PQ scan that scores exactly only the records whose proven upper bound
// still lets them enter the top K, decoding as many at a time as the
// scratch holds; hits are offered in slot order, as in every scan, and a
// record left out could not have entered, so the results are the same.
void scanPqBounded(const Segment& seg, const QueryScorer& scorer, const PqBounds& bounds, TopK& top,
                   const MetadataTest* keep, uint64_t n) {
    alignas(64) float scratch[kScratchFloats];
    const uint64_t perBuffer = (uint64_t{seg.dim} + 15) & ~uint64_t{15};
    const uint32_t fit = static_cast<uint32_t>(std::min<uint64_t>(kMaxBatch, kScratchFloats / perBuffer));
    const uint8_t* codes[kMaxBatch];
    uint64_t recs[kMaxBatch];
    uint64_t chosen[kMaxBatch];
    const float* vecs[kMaxBatch];
    double ub[kMaxBatch];
    float scores[kMaxBatch];
    const ScanStream stream(seg, n);
    uint64_t i = 0;
    while (i < n) {
        uint32_t batch = 0;
        for (; i < n && batch < kMaxBatch; ++i) {
            stream.request(i);
            if (!seg.readableAt(i)) continue;
            if (keep != nullptr) {
                const KeyRef meta = seg.metadataRefAt(i);
                if (!keep->accepts(meta.data, meta.len)) continue;
            }
            codes[batch] = seg.vectorAt(i);
            recs[batch++] = i;
        }
        if (batch == 0) break;
        bounds.upperBounds(codes, batch, ub);
        for (uint32_t k = 0; k < batch;) {
            uint32_t take = 0;
            for (; k < batch && take < fit; ++k)
                if (top.mayEnter(ub[k])) chosen[take++] = recs[k];
            for (uint32_t j = 0; j < take; ++j)
                vecs[j] = decodeVector(seg.vectorAt(chosen[j]), seg.dim, seg.quantization, seg.pqSubvectors,
                                       seg.codebook, scratch + j * perBuffer);
            scorer.scoreBlock(vecs, take, scores);
            for (uint32_t j = 0; j < take; ++j) top.offer(seg, chosen[j], scores[j]);
        }
    }
}

// Keys of 64 bytes or more can never equal a stored key (63 bytes at most).
bool keyMatchable(const char* key) { return key != nullptr && strnlen(key, kKeyFieldBytes) < kKeyFieldBytes; }

// The index if it can be brought up to date, else null (the caller then
// walks the slots). Memory trouble discards the index; it is rebuilt later.
KeyIndex* syncedKeyIndex(const Segment& seg) {
    try {
        if (!seg.keyIndex) seg.keyIndex = KeyIndex::create(seg.slotCapacity);
        if (!seg.keyIndex) return nullptr;
        seg.keyIndex->sync(seg);
        return seg.keyIndex;
    } catch (...) {
        delete seg.keyIndex;
        seg.keyIndex = nullptr;
        return nullptr;
    }
}

// Reserves the next slot of seg, backed before usedSlots covers it: once it
// does, readers look at its `valid` byte, and on tmpfs even reading an
// unbacked page of a full file system raises SIGBUS. The slot index, or -1
// when the segment is full or the slot cannot be backed (usedSlots as
// before, except when a concurrent writer reserved after this one: that
// slot then stays unpublished and every reader skips it).
int64_t reserveSlot(Segment& seg) {
    const uint64_t cap = std::min(seg.header->capacity.load(), seg.slotCapacity);
    const uint64_t st = seg.stride();
    const uint64_t slotsOffset = static_cast<uint64_t>(seg.slots - seg.base);
    const uint64_t next = seg.counters[0].load();
    if (next < cap && !seg.ensureBacked(slotsOffset + next * st, st)) return -1;
    const uint64_t s = seg.counters[0].fetch_add(1);
    if (s >= cap) {
        seg.counters[0].fetch_sub(1);
        return -1;
    }
    const uint64_t slotOffset = slotsOffset + s * st;
    if (s != next && !seg.ensureBacked(slotOffset, st)) {
        // Give the slot back if nobody reserved after it; otherwise at
        // least its header is made readable.
        uint64_t expected = s + 1;
        if (!seg.counters[0].compare_exchange_strong(expected, s)) seg.ensureBacked(slotOffset, kSlotHeaderBytes);
        return -1;
    }
    return static_cast<int64_t>(s);
}

}  // namespace

// vector: dim floats; metadata: metaLen bytes or null. A key or metadata
// longer than a slot holds is refused (-1), never cut. Lock-free: other processes may add, delete and search the
// same region meanwhile. -2 (nothing touched) while a PQ codebook is
// missing; -1 when full, read-only, or when the file system cannot back the
// slot (see reserveSlot).
int Segment::add(uint64_t id, const char* key, const float* vector, const char* metadata, uint32_t metaLen,
                 const char* text, uint32_t textLen) {
    if (quantization == static_cast<uint32_t>(Quantization::PQ) && codebook == nullptr) return -2;
    if (!writable) return -1;
    if (compact()) return addEncoded(key, vector, metadata, metaLen, text, textLen);
    if (text != nullptr) return -1;  // a slot has no room for text
    if ((key != nullptr && strnlen(key, kKeyFieldBytes) > kMaxKeyBytes) || (metadata != nullptr && metaLen > kMaxMetadataBytes))
        return -1;
    const int64_t reserved = reserveSlot(*this);
    if (reserved < 0) return -1;
    dirty = true;
    const uint64_t s = static_cast<uint64_t>(reserved);
    const uint64_t st = stride();
    const uint64_t slotOffset = static_cast<uint64_t>(slots - base) + s * st;

    Record* r = recordAt(s);
    const uint32_t n = std::min(metaLen, kMaxMetadataBytes);
    r->id = id;
    r->dim = static_cast<uint16_t>(dim);
    r->metaLen = n;
    r->graphNode = -1;
    r->reserved2 = 0;
    r->seq = static_cast<uint32_t>(header->insertSeq.fetch_add(1));
    if (key) {
        std::strncpy(r->key, key, kMaxKeyBytes);
    } else {
        r->key[0] = '\0';
    }
    uint8_t* vec = reinterpret_cast<uint8_t*>(r) + kSlotHeaderBytes;
    encodeVector(vec, vector, dim, quantization, pqSubvectors, codebook);
    if (metadata && n) std::memcpy(vec + vecBytes(), metadata, n);
    r->deleted = 0;
    publishRecord(r);
    header->liveCount.fetch_add(1);

    if (mode == StorageMode::Disk) {
        const uint64_t from = pageDown(slotOffset);
        const uint64_t to = std::min(pageUp(slotOffset + st), mappedLen);
        msync(base + from, to - from, MS_ASYNC);
        msync(base, kHeaderBytes, MS_ASYNC);
    }
    return 0;
}

int Segment::addCopy(const Segment& src, uint64_t slot) {
    if (!writable || src.dim != dim || src.quantization != quantization || src.pqSubvectors != pqSubvectors) return -1;
    if (compact()) return addCopyCompact(src, slot);
    if (src.hasTextAt(slot)) return -1;  // a slot has no room for text
    const KeyRef key = src.keyAt(slot);
    const KeyRef meta = src.metadataRefAt(slot);
    const uint32_t n = meta.len;
    if (key.len > kMaxKeyBytes || n > kMaxMetadataBytes) return -1;  // a slot holds no more
    const int64_t reserved = reserveSlot(*this);
    if (reserved < 0) return -1;
    dirty = true;
    Record* r = recordAt(static_cast<uint64_t>(reserved));
    r->id = src.idAt(slot);
    std::memset(r->key, 0, kKeyFieldBytes);
    std::memcpy(r->key, key.data, key.len);
    r->dim = static_cast<uint16_t>(dim);
    r->metaLen = n;
    r->graphNode = -1;
    r->reserved2 = 0;
    r->seq = static_cast<uint32_t>(header->insertSeq.fetch_add(1));
    uint8_t* vec = reinterpret_cast<uint8_t*>(r) + kSlotHeaderBytes;
    std::memcpy(vec, src.vectorAt(slot), vecBytes());
    if (n != 0) std::memcpy(vec + vecBytes(), meta.data, n);
    r->deleted = 0;
    publishRecord(r);
    header->liveCount.fetch_add(1);
    return 0;
}

bool Segment::markDeleted(uint64_t slot) {
    if (!writable || slot >= usedSlotsClamped()) return false;
    if (compact()) {
        if (!markDeletedCompact(slot)) return false;
        if (mode == StorageMode::Disk) msync(base, kCompactHeaderBytes, MS_ASYNC);
        return true;
    }
    Record* r = recordAt(slot);
    if (!recordLive(r)) return false;
    dirty = true;
    r->deleted = 1;
    header->liveCount.fetch_sub(1);
    return true;
}

size_t Segment::findLiveByKey(const char* key, std::vector<uint64_t>& out) const {
    if (compact()) return key != nullptr ? findLiveCompact(key, static_cast<uint32_t>(std::strlen(key)), out) : 0;
    if (!keyMatchable(key)) return 0;
    const size_t before = out.size();
    if (KeyIndex* ix = syncedKeyIndex(*this)) {
        try {
            ix->collect(*this, key, out);
            std::sort(out.begin() + static_cast<std::ptrdiff_t>(before), out.end());
            return out.size() - before;
        } catch (...) {
            out.resize(before);
        }
    }
    const uint64_t n = usedSlotsClamped();
    try {
        for (uint64_t i = 0; i < n; ++i) {
            if (readableAt(i) && std::strncmp(recordAt(i)->key, key, kKeyFieldBytes) == 0) out.push_back(i);
        }
    } catch (...) {
        // Out of memory even for the answer: report what fitted.
    }
    return out.size() - before;
}

int64_t Segment::firstLiveByKey(const char* key) const {
    if (compact()) {
        std::vector<uint64_t> hits;
        try {
            if (key == nullptr || findLiveCompact(key, static_cast<uint32_t>(std::strlen(key)), hits) == 0) return -1;
        } catch (...) {
            return -1;
        }
        return static_cast<int64_t>(hits.front());
    }
    if (!keyMatchable(key)) return -1;
    if (KeyIndex* ix = syncedKeyIndex(*this)) {
        try {
            std::vector<uint64_t> hits;
            if (ix->collect(*this, key, hits) == 0) return -1;
            return static_cast<int64_t>(*std::min_element(hits.begin(), hits.end()));
        } catch (...) {
        }
    }
    const uint64_t n = usedSlotsClamped();
    for (uint64_t i = 0; i < n; ++i)
        if (readableAt(i) && std::strncmp(recordAt(i)->key, key, kKeyFieldBytes) == 0) return static_cast<int64_t>(i);
    return -1;
}

Record* Segment::getByKey(const char* key) const {
    if (compact()) return nullptr;
    const int64_t i = firstLiveByKey(key);
    return i < 0 ? nullptr : recordAt(static_cast<uint64_t>(i));
}

// Contract: query holds dim floats; results holds topK entries of which the
// first *count are filled (0 <= *count <= topK). Reads slots that other
// processes may be adding meanwhile; records published after the scan
// started may be missed. Allocates nothing but a PQ query's bound tables
// (without them, when memory is short, every record is scored).
int Segment::search(const float* query, int topK, Result* results, int* count, const MetadataTest* keep) const {
    if (topK <= 0 || *count < 0) return 0;
    if (keep != nullptr && keep->test == nullptr) keep = nullptr;
    TopK top(results, topK, count);

    QueryScorer scorer;
    scorer.init(query, dim, metric, useAvx2);
    const uint64_t n = usedSlotsClamped();
    if (quantization == static_cast<uint32_t>(Quantization::PQ) && n >= kPqBoundMinSlots) {
        std::unique_ptr<PqBounds> bounds(PqBounds::create(scorer, codebook, pqSubvectors));
        if (bounds) {
            scanPqBounded(*this, scorer, *bounds, top, keep, n);
            return 0;
        }
    }
    // Floats are scored in place and f16, int8 and binary codes decoded
    // inside the sums; only PQ decodes, one buffer per record of a batch,
    // each a multiple of 64 bytes.
    alignas(64) float scratch[kScratchFloats];
    const uint64_t perBuffer = (uint64_t{dim} + 15) & ~uint64_t{15};
    const bool inPlace = quantization == static_cast<uint32_t>(Quantization::None) ||
                         quantization > static_cast<uint32_t>(Quantization::PQ);
    const bool fused = QueryScorer::scoresCodes(quantization);
    // Small decoded vectors: more of them per call, about 32 KB of scratch.
    const uint32_t batchMax =
        inPlace || fused
            ? kMaxBatch
            : static_cast<uint32_t>(std::max<uint64_t>(8, std::min<uint64_t>(kMaxBatch, 8192 / perBuffer)));
    const float* vecs[kMaxBatch];
    const uint8_t* codes[kMaxBatch];
    uint64_t recs[kMaxBatch];
    float scores[kMaxBatch];
    // A compact segment keeps each vector's cosine norm: when it was summed
    // in this scorer's order, only the dot products are summed here, and the
    // score is bit for bit the one the full scorer gives.
    const bool normed = normsServe(useAvx2);
    const QueryScorer dots = normed ? scorer.dotPart() : scorer;

    const ScanStream stream(*this, n);
    uint64_t i = 0;
    while (i < n) {
        uint32_t batch = 0;
        for (; i < n && batch < batchMax; ++i) {
            stream.request(i);
            if (!readableAt(i)) continue;
            if (keep != nullptr) {
                const KeyRef meta = metadataRefAt(i);
                if (!keep->accepts(meta.data, meta.len)) continue;
            }
            if (fused) {
                codes[batch] = vectorAt(i);
            } else {
                float* out = inPlace ? scratch : scratch + batch * perBuffer;
                vecs[batch] = decodeVector(vectorAt(i), dim, quantization, pqSubvectors, codebook, out);
            }
            recs[batch++] = i;
        }
        if (batch == 0) break;
        if (fused)
            dots.scoreCodes(codes, batch, quantization, scores);
        else
            dots.scoreBlock(vecs, batch, scores);
        if (normed)
            for (uint32_t k = 0; k < batch; ++k) scores[k] = scorer.cosineWithNorm(scores[k], entries[recs[k]].norm);

        // Merged in slot order, exactly as a one-at-a-time scan would.
        for (uint32_t k = 0; k < batch; ++k) top.offer(*this, recs[k], scores[k]);
    }
    return 0;
}

void Segment::clearRecords() {
    if (!writable) return;
    dirty = true;
    if (compact()) {
        clearCompact();
        return;
    }
    const uint64_t used = usedSlotsClamped();
    const uint64_t from = static_cast<uint64_t>(slots - base);
    const uint64_t to = from + used * stride();
    if (used != 0) {
        bool zeroed = false;
        if (mode == StorageMode::Disk || mode == StorageMode::Shm) {
            // Whole pages are handed back to the file system: that zeroes
            // them without touching (or needing space for) every page. The
            // partial page at the start shares its block with bytes before
            // the record area, which are backed; the one at the end is
            // zeroed only when it can be backed, and then holds just the
            // tail of the last slot, which the next add of that slot
            // rewrites as far as any reader looks.
            const uint64_t innerFrom = pageUp(from);
            const uint64_t innerTo = pageDown(to);
            if (innerFrom < innerTo) {
                int rc;
                do {
                    rc = fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(innerFrom),
                                   static_cast<off_t>(innerTo - innerFrom));
                } while (rc != 0 && errno == EINTR);
                if (rc == 0) {
                    std::memset(base + from, 0, innerFrom - from);
                    if (to > innerTo && ensureBacked(innerTo, to - innerTo)) std::memset(base + innerTo, 0, to - innerTo);
                    zeroed = true;
                }
            }
        }
        if (!zeroed) std::memset(base + from, 0, to - from);
    }
    counters[0].exchange(0);
    header->liveCount.exchange(0);
    header->insertSeq.exchange(0);
    header->flags &= ~(kFlagGraphBuilt | kFlagGraphUsable | kFlagGraphExtending);
    header->indexedCount.exchange(0);
    header->entryPoint = -1;
    header->maxLevel = 0;
    header->generation.fetch_add(1);
    delete keyIndex;
    keyIndex = nullptr;
}

}  // namespace qarbin
