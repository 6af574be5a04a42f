// Compaction: the live records rewritten into fresh segments, the old
// segments dropped and their slots given back. This file holds the copy
// shared by every mode and the memory and disk switches; the shared-memory
// switch is in store_shm_compact.cpp.
#include <algorithm>
#include <cerrno>
#include <new>
#include <sys/mman.h>
#include <cstring>

#include "core/math/codecs.h"
#include "core/store/store.h"
#include "core/store/store_internal.h"

namespace qarbin {

namespace {

// Codebooks are compared byte for byte: records encoded under another
// codebook than the new segments' are decoded and encoded again.
bool sameCodebook(const Segment& a, const float* b) {
    const float* ca = a.trainedCodebook();
    if (ca == b) return true;
    if (ca == nullptr || b == nullptr) return false;
    return std::memcmp(ca, b, Segment::codebookSize(a.dim, a.pqSubvectors)) == 0;
}

// Page faults one by one are most of a copy's cost into a shared object
// (20 000 records of dimension 128: 1.7 s, populated first: 0.16 s); on
// files it measured no better. The slots are backed first, so a full
// /dev/shm still refuses instead of faulting. Failure only costs the speed.
void prefaultSlots(Segment& seg, uint64_t slots) {
    if (seg.mode != StorageMode::Shm || slots == 0) return;
    slots = std::min(slots, seg.capacity());
    const uint64_t from = static_cast<uint64_t>(seg.slots - seg.base);
    const uint64_t len = slots * seg.stride();
    if (!seg.ensureBacked(from, len)) return;
    const uint64_t start = from & ~uint64_t{4095};
#ifdef MADV_POPULATE_WRITE
    madvise(seg.base + start, from + len - start, MADV_POPULATE_WRITE);
#endif
}

Segment* nextSinkSegment(CompactSink& sink) {
    if (sink.made.size() >= sink.maxSegments) return nullptr;
    Segment* seg = sink.make(sink.ctx, static_cast<uint32_t>(sink.made.size()));
    if (seg == nullptr) return nullptr;
    if (sink.expected > sink.placed) prefaultSlots(*seg, sink.expected - sink.placed);
    if (sink.codebook != nullptr && !seg->publishCodebook(sink.codebook)) {
        discardSegment(seg);
        return nullptr;
    }
    try {
        sink.made.push_back(seg);
    } catch (...) {
        discardSegment(seg);
        return nullptr;
    }
    return seg;
}

// Places record i of src in the last new segment, or in a further one when that is full.
int placeRecord(CompactSink& sink, const Segment& src, uint64_t i) {
    if (sink.checkedSource != &src || sink.checkedCodebook != sink.codebook) {
        sink.checkedSource = &src;
        sink.checkedCodebook = sink.codebook;
        sink.sourceAsStored = sink.codebook == nullptr || sameCodebook(src, sink.codebook);
    }
    const bool asStored = sink.sourceAsStored;
    for (int attempt = 0; attempt < 2; ++attempt) {
        Segment* dst = sink.made.empty() ? nextSinkSegment(sink) : sink.made.back();
        if (dst == nullptr) return -1;
        int rc;
        if (asStored) {
            rc = dst->addCopy(src, i);
        } else {
            alignas(64) float scratch[kMaxDim];
            const float* v = decodeVector(src.vectorAt(i), src.dim, src.quantization, src.pqSubvectors,
                                          src.trainedCodebook(), scratch);
            const KeyRef k = src.keyAt(i);
            char key[kLongestKeyBytes + 1];
            std::memcpy(key, k.data, k.len);
            key[k.len] = '\0';
            const KeyRef meta = src.metadataRefAt(i);
            const uint32_t metaLen = std::min(meta.len, kLongestMetadataBytes);
            const KeyRef text = src.textRefAt(i);
            rc = dst->add(src.idAt(i), key, v, metaLen != 0 ? meta.data : nullptr, metaLen, text.data, text.len);
        }
        if (rc == 0) return 0;
        if (dst->usedSlotsClamped() < dst->capacity()) return -1;  // refused for another reason than room
        if (nextSinkSegment(sink) == nullptr) return -1;
    }
    return -1;
}

}  // namespace

void discardSegment(Segment* seg) {
    if (seg == nullptr) return;
    // Its records live on elsewhere (or were never wanted): nothing to flush.
    seg->writable = 0;
    delete seg;
}

int copyLiveRecord(CompactSink& sink, const Segment& src, uint64_t slot, CompactPlace* placed) {
    if (!src.readableAt(slot)) return 1;
    // Codes without their codebook cannot be carried over: fail rather than
    // drop a live record.
    if (src.quantization == static_cast<uint32_t>(Quantization::PQ) && src.trainedCodebook() == nullptr) return -1;
    if (placeRecord(sink, src, slot) != 0) return -1;
    ++sink.placed;
    if (placed != nullptr) {
        placed->segment = static_cast<uint32_t>(sink.made.size() - 1);
        placed->slot = sink.made.back()->usedSlotsClamped() - 1;
    }
    return 0;
}

int copyLiveRecords(const std::vector<Segment*>& from, CompactSink& sink, bool keepRecords) {
    sink.expected = keepRecords ? liveCountOf(from) : 0;
    for (const Segment* seg : from) {
        const uint64_t used = keepRecords ? seg->usedSlotsClamped() : 0;
        for (uint64_t i = 0; i < used; ++i)
            if (copyLiveRecord(sink, *seg, i, nullptr) < 0) return -1;
    }
    return ensureSinkSegment(sink) ? 0 : -1;
}

bool ensureSinkSegment(CompactSink& sink) { return !sink.made.empty() || nextSinkSegment(sink) != nullptr; }

uint64_t usedSlotsOf(const std::vector<Segment*>& segments) {
    uint64_t used = 0;
    for (const Segment* seg : segments) used += seg->usedSlotsClamped();
    return used;
}

CompactSink compactSinkFor(const Store& st, Segment* (*make)(void* ctx, uint32_t number), void* ctx,
                           uint32_t maxSegments) {
    CompactSink sink;
    sink.make = make;
    sink.ctx = ctx;
    sink.maxSegments = maxSegments;
    if (const Segment* trained = firstTrained(st.segments)) sink.codebook = trained->codebook;
    return sink;
}

uint64_t liveCountOf(const std::vector<Segment*>& segments) {
    uint64_t live = 0;
    for (const Segment* seg : segments) {
        const uint64_t n = seg->header->liveCount.load();
        const uint64_t used = seg->usedSlotsClamped();
        live += n < used ? n : used;
    }
    return live;
}

void adoptCompacted(Store& st, std::vector<Segment*>& made) {
    st.segments.swap(made);
    for (Segment* old : made) discardSegment(old);
    made.clear();
    for (Segment* seg : st.segments) seg->useAvx2 = st.shape.useAvx2;
    // The key directory and the add hint describe the old list.
    delete st.keyDirectory;
    st.keyDirectory = nullptr;
    st.firstOpenSegment = 0;
    st.firstOpenGeneration = st.segments[0]->header->generation.load();
    st.totalCount.store(liveCountOf(st.segments));
}

namespace {

struct MemoryTarget {
    Shape shape;
};

Segment* makeMemorySegment(void* ctx, uint32_t) {
    return Segment::createMemory(static_cast<MemoryTarget*>(ctx)->shape);
}

// One segment (so the store searches a single graph afterwards) with room
// for the live records and as many again, but for no more than the dead
// slots given back: never larger than what was in use, so it fits under a
// memory limit wherever the old segments did, and a store compacted at its
// limit takes as many new records as it had dead slots. At least the
// store's segment size.
long compactMemory(Store& st, bool keepRecords, bool withGraphs) {
    MemoryTarget target{st.shape};
    const uint64_t live = keepRecords ? liveCountOf(st.segments) : 0;
    const uint64_t used = usedSlotsOf(st.segments);
    const uint64_t dead = used > live ? used - live : 0;
    target.shape.capacity = std::max(st.shape.capacity, live + std::min(live, dead));
    CompactSink sink = compactSinkFor(st, makeMemorySegment, &target, UINT32_MAX);
    if (copyLiveRecords(st.segments, sink, keepRecords) != 0 || (withGraphs && !buildCompactedGraphs(st, sink.made))) {
        for (Segment* seg : sink.made) discardSegment(seg);
        return -1;
    }
    const uint64_t after = usedSlotsOf(sink.made);
    adoptCompacted(st, sink.made);
    return static_cast<long>(used > after ? used - after : 0);
}

}  // namespace

// Checked only when the last segment is full, that is when the store would
// otherwise grow: every other write pays two counter reads. The new segment
// has room for as many records again as are live, so a store rewritten in
// place settles at about twice its live records.
void compactMemoryIfMostlyDead(Store& st) {
    if (st.mode != StorageMode::Memory || st.segments.empty() || st.pqBuffer != nullptr) return;
    const Segment* last = st.segments.back();
    if (last->usedSlotsClamped() < last->capacity()) return;
    const uint64_t used = usedSlotsOf(st.segments);
    const uint64_t live = liveCountOf(st.segments);
    // The write that pays for the copy is not made to pay for a graph too:
    // automatic indexing builds it at the next search, as it did before.
    if (used - live > live) compactMemory(st, true, false);
}

long Store::compact() {
    writeFailure = WriteFailure::Unknown;
    if (!writable || segments.empty()) return -1;
    errno = 0;
    long rc = -1;
    // Whatever format the store was written in, it is rewritten compact;
    // one that stays as it was goes on in its own.
    const uint32_t format = shape.format;
    shape.format = kCompactSegmentVersion;
    try {
        if (mode == StorageMode::Memory) rc = compactMemory(*this, true, true);
        else if (mode == StorageMode::Disk) rc = compactDisk(*this, true);
        else rc = compactShm(*this);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
    }
    if (rc < 0) shape.format = format;
    if (rc < 0 && writeFailure == WriteFailure::Unknown) {
        if (errno == ENOSPC || errno == EDQUOT) writeFailure = WriteFailure::NoSpace;
        else if (errno == ENOMEM) writeFailure = WriteFailure::OutOfMemory;
    }
    return rc;
}

}  // namespace qarbin
