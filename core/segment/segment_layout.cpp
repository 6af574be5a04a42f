// Size arithmetic, header set-up, pointer derivation, memory segments,
// destruction by storage kind, and file-system backing of sparse regions.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "core/math/codecs.h"
#include "core/segment/compact_layout.h"
#include "core/segment/key_index.h"
#include "core/segment/pages.h"
#include "core/segment/segment.h"

namespace qarbin {

namespace {

// Backing is requested ahead in chunks so that an add costs a system call
// only every few hundred kilobytes.
constexpr uint64_t kBackingChunk = 1u << 20;


// 0 allocated; ENOSPC etc. on failure. File systems without fallocate
// cannot be protected and count as backed: refusing every write there
// would make the segment unusable.
int allocateRange(int fd, uint64_t offset, uint64_t len) {
    if (len == 0) return 0;
    for (;;) {
        if (fallocate(fd, 0, static_cast<off_t>(offset), static_cast<off_t>(len)) == 0) return 0;
        if (errno == EINTR) continue;
        if (errno == EOPNOTSUPP || errno == ENOSYS) return 0;
        return errno;
    }
}

}  // namespace

uint64_t Segment::computeStride(uint32_t dim, Quantization q, uint32_t pqSubvectors) {
    return (encodedBytes(dim, static_cast<uint32_t>(q), pqSubvectors) + 4287) & ~uint64_t{63};
}

uint64_t Segment::codebookSize(uint32_t dim, uint32_t pqSubvectors) {
    if (pqSubvectors == 0) return 0;
    return uint64_t{pqSubvectors} * (dim / pqSubvectors) * 1024;
}

uint64_t Segment::computeMmapSize(uint64_t capacity, uint32_t dim, Quantization q, uint32_t pqSubvectors,
                                  uint64_t* poolEntriesOut) {
    const uint64_t cb = codebookSize(dim, pqSubvectors);
    const uint64_t s = computeStride(dim, q, pqSubvectors);
    uint64_t slotBytes;
    if (__builtin_mul_overflow(capacity, s, &slotBytes)) return 0;
    if (slotBytes > UINT64_MAX - 129 - cb) return 0;
    const uint64_t pool = std::max<uint64_t>(kMinPoolEntries, capacity / 4);
    uint64_t nodeBytes, poolBytes, total = 128 + cb + slotBytes;
    if (__builtin_mul_overflow(capacity, kNodeBytes, &nodeBytes)) return 0;
    if (__builtin_mul_overflow(pool, kPoolEntryBytes, &poolBytes)) return 0;
    if (__builtin_add_overflow(total, nodeBytes, &total)) return 0;
    if (__builtin_add_overflow(total, poolBytes, &total)) return 0;
    if (poolEntriesOut) *poolEntriesOut = pool;
    return total;
}

uint64_t Segment::regionBytes(const Shape& shape) {
    if (shape.format != kCompactSegmentVersion)
        return computeMmapSize(shape.capacity, shape.dim, shape.quantization, shape.pqSubvectors);
    CompactLayout l;
    if (!computeCompactLayout(shape.capacity, shape.dim, shape.quantization, shape.pqSubvectors, &l)) return 0;
    return l.regionBytes;
}

uint64_t Segment::countedRegionBytes(const Shape& shape) {
    if (shape.format != kCompactSegmentVersion) return regionBytes(shape);
    CompactLayout l;
    if (!computeCompactLayout(shape.capacity, shape.dim, shape.quantization, shape.pqSubvectors, &l)) return 0;
    return l.regionBytes - l.varCapacity - l.textCapacity;
}

uint64_t Segment::countedBytes() const {
    if (!compact() || compactHeader == nullptr) return mappedLen;
    const CompactHeaderTail& t = compactHeader->tail;
    const uint64_t used = std::min(t.varUsed.load(), t.varCapacity);
    const uint64_t reserve = t.varCapacity - used + (t.textCapacity - std::min(textUsedBytes(), t.textCapacity));
    return reserve < mappedLen ? mappedLen - reserve : mappedLen;
}

uint64_t Segment::stride() const {
    return strideBytes ? strideBytes : computeStride(dim, static_cast<Quantization>(quantization), pqSubvectors);
}

uint64_t Segment::vecBytes() const {
    return strideBytes ? vecBytesCached : encodedBytes(dim, quantization, pqSubvectors);
}

uint64_t Segment::usedSlotsClamped() const {
    const uint64_t used = counters[0].load();
    const uint64_t cap = std::min(header->capacity.load(), slotCapacity);
    return used < cap ? used : cap;
}

void Segment::initHeader(const Shape& shape) {
    if (shape.format == kCompactSegmentVersion) {
        CompactLayout l;
        if (!computeCompactLayout(shape.capacity, shape.dim, shape.quantization, shape.pqSubvectors, &l)) return;
        const NormOrder order = shape.useAvx2 ? NormOrder::EightLane : NormOrder::Sequential;
        initCompactHeader(reinterpret_cast<CompactHeader*>(base), shape, l, order);
        return;
    }
    const uint32_t dimArg = shape.dim;
    const uint64_t capacityArg = shape.capacity;
    const Quantization q = shape.quantization;
    const uint32_t m = shape.pqSubvectors;
    SegmentHeader* h = reinterpret_cast<SegmentHeader*>(base);
    const uint64_t cb = codebookSize(dimArg, m);
    const uint64_t s = computeStride(dimArg, q, m);
    h->magic = kSegmentMagic;
    h->version = kSegmentVersion;
    h->dim = dimArg;
    h->quantization = static_cast<uint32_t>(q);
    h->usedSlots.store(0);
    h->liveCount.store(0);
    h->capacity.store(capacityArg);
    h->hnswM = shape.hnswM;
    h->hnswEfConstruction = shape.efConstruction;
    h->graphOffset = 128 + cb + capacityArg * s;
    h->entryPoint = -1;
    h->maxLevel = 0;
    h->indexedCount.store(0);
    h->linkPoolOffset = h->graphOffset + capacityArg * kNodeBytes;
    h->metric = static_cast<uint32_t>(shape.metric);
    h->flags = 0;
    h->insertSeq.store(0);
    h->pqSubvectors = m;
    setHeaderCodebookOffset(h, 0);
    h->generation.store(0);
    h->graphWriter.store(0);
}

// The compact format's areas, from a header its opener checked
// (compactRegionUsable) or its creator wrote.
void Segment::mapCompact() {
    compactHeader = reinterpret_cast<CompactHeader*>(base);
    const CompactHeaderTail& t = compactHeader->tail;
    const uint64_t cb = codebookSize(dim, pqSubvectors);
    codebook = (cb != 0 && headerCodebookOffset(header) != 0) ? reinterpret_cast<float*>(base + kCompactHeaderBytes)
                                                              : nullptr;
    slots = base + t.vectorOffset;
    vectors = slots;
    rowStride = t.rowBytes;
    strideBytes = t.rowBytes;
    vecBytesCached = encodedBytes(dim, quantization, pqSubvectors);
    entries = reinterpret_cast<RecordEntry*>(base + t.entryOffset);
    slotCapacity = header->capacity.load();
    nodeArea = base + header->graphOffset;
    linkPool = base + header->linkPoolOffset;
    // The key table follows the pool: links never reach into it.
    linkPoolEntries = (t.keyTableOffset - header->linkPoolOffset) / kPoolEntryBytes;
}

void Segment::mapPointers() {
    header = reinterpret_cast<SegmentHeader*>(base);
    if (header->version == kCompactSegmentVersion) {
        metric = static_cast<DistanceMetric>(header->metric);
        counters = &header->usedSlots;
        mapCompact();
        return;
    }
    // Openers refuse other codes; a mapping read before that scores as cosine.
    metric = header->metric <= static_cast<uint32_t>(DistanceMetric::Manhattan)
                 ? static_cast<DistanceMetric>(header->metric)
                 : DistanceMetric::Cosine;
    counters = &header->usedSlots;
    const uint64_t cb = codebookSize(dim, pqSubvectors);
    codebook = (cb != 0 && headerCodebookOffset(header) != 0) ? reinterpret_cast<float*>(base + 128) : nullptr;
    slots = base + 128 + cb;
    strideBytes = computeStride(dim, static_cast<Quantization>(quantization), pqSubvectors);
    vectors = slots + kSlotHeaderBytes;
    rowStride = strideBytes;
    vecBytesCached = encodedBytes(dim, quantization, pqSubvectors);
    const uint64_t slotsStart = 128 + cb;
    const uint64_t fit = mappedLen > slotsStart ? (mappedLen - slotsStart) / strideBytes : 0;
    slotCapacity = std::min(header->capacity.load(), fit);
    if (header->graphOffset != 0 && header->graphOffset < mappedLen) nodeArea = base + header->graphOffset;
    if (header->linkPoolOffset != 0 && header->linkPoolOffset < mappedLen) {
        linkPool = base + header->linkPoolOffset;
        linkPoolEntries = (mappedLen - header->linkPoolOffset) / kPoolEntryBytes;
    }
}

Segment* Segment::createMemory(const Shape& shape) {
    if (!creationParamsValid(shape)) return nullptr;
    const uint64_t size = regionBytes(shape);
    if (size == 0) return nullptr;
    // Untouched pages cost nothing: the compact format's reserves (the
    // variable area above all) are address space until written.
    const int noReserve = shape.format == kCompactSegmentVersion ? MAP_NORESERVE : 0;
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | noReserve, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    if (shape.format != kCompactSegmentVersion) {
        adviseHugePages(p, size);
    } else {
        // A graph hop reads a node and a row at random: with 4 KiB pages
        // nearly every one is a TLB miss. The rows, entries, nodes and pool
        // fill from their starts, so huge pages there keep at most one
        // partly used page per area resident; the variable area's reserve
        // stays in small pages, backed only as it fills.
        CompactLayout l;
        if (computeCompactLayout(shape.capacity, shape.dim, shape.quantization, shape.pqSubvectors, &l))
            adviseHugePages(static_cast<uint8_t*>(p) + l.vectorOffset, l.keyTableOffset - l.vectorOffset);
    }
    Segment* seg = new (std::nothrow) Segment();
    if (!seg) {
        munmap(p, size);
        return nullptr;
    }
    seg->mode = StorageMode::Memory;
    seg->base = static_cast<uint8_t*>(p);
    seg->mappedLen = size;
    seg->writable = 1;
    seg->fd = -1;
    seg->dim = shape.dim;
    seg->quantization = static_cast<uint32_t>(shape.quantization);
    seg->pqSubvectors = shape.pqSubvectors;
    seg->useAvx2 = shape.useAvx2;
    seg->mapPointers();
    seg->initHeader(shape);
    seg->mapPointers();
    return seg;
}

bool Segment::creationParamsValid(const Shape& shape) {
    return creationParamsValid(shape.dim, shape.quantization, shape.metric, shape.pqSubvectors);
}

Shape Segment::shape() const {
    Shape s;
    s.dim = dim;
    s.metric = metric;
    s.quantization = static_cast<Quantization>(quantization);
    s.pqSubvectors = pqSubvectors;
    s.hnswM = header->hnswM;
    s.efConstruction = header->hnswEfConstruction;
    s.capacity = header->capacity.load();
    s.useAvx2 = useAvx2;
    s.format = compact() ? kCompactSegmentVersion : kSegmentVersion;
    return s;
}

ShapeProblem shapeProblem(const Shape& shape) {
    if (shape.dim < 1 || shape.dim > kMaxDim) return ShapeProblem::Dimension;
    // Only a PQ segment decodes through its sub-vectors; the codebook area of
    // any other encoding is sized by the same formula but never read, so the
    // store-wide sub-vector setting must not make such segments impossible.
    if (shape.quantization == Quantization::PQ) {
        if (shape.pqSubvectors == 0) return ShapeProblem::PqUnset;
        if (shape.dim % shape.pqSubvectors != 0) return ShapeProblem::PqNotDividing;
    }
    return ShapeProblem::None;
}

bool Segment::creationParamsValid(uint32_t dimArg, Quantization q, DistanceMetric metric, uint32_t m) {
    if (static_cast<uint32_t>(q) > static_cast<uint32_t>(Quantization::PQ)) return false;
    if (static_cast<uint32_t>(metric) > static_cast<uint32_t>(DistanceMetric::Manhattan)) return false;
    Shape shape;
    shape.dim = dimArg;
    shape.quantization = q;
    shape.pqSubvectors = m;
    return shapeProblem(shape) == ShapeProblem::None;
}

const float* Segment::trainedCodebook() const {
    if (codebook != nullptr) return codebook;
    if (header == nullptr || codebookSize(dim, pqSubvectors) == 0) return nullptr;
    const uint64_t at = compact() ? kCompactHeaderBytes : kHeaderBytes;
    if (headerCodebookOffset(header) != at) return nullptr;
    // Pairs with the trainer's publication of codebookOffset after the centroids.
    std::atomic_thread_fence(std::memory_order_acquire);
    return reinterpret_cast<const float*>(base + at);
}

void Segment::refreshCodebook() {
    if (codebook == nullptr) codebook = const_cast<float*>(trainedCodebook());
}

Segment::~Segment() {
    delete keyIndex;
    const bool mapped = base != nullptr && base != MAP_FAILED;
    if (mode == StorageMode::Disk || mode == StorageMode::Shm) {
        if (mapped) {
            if (writable && dirty) msync(base, mappedLen, MS_SYNC);
            munmap(base, mappedLen);
        }
        if (fd >= 0) close(fd);
    } else if (mode == StorageMode::Memory) {
        if (mapped) munmap(base, mappedLen);
    }
}

bool Segment::ensureBacked(uint64_t offset, uint64_t len) {
    if (mode != StorageMode::Disk && mode != StorageMode::Shm) return true;
    if (len == 0) return true;
    uint64_t end;
    if (__builtin_add_overflow(offset, len, &end) || end > mappedLen || fd < 0) return false;

    if (compact()) return ensureBackedCompact(offset, end);
    const uint64_t slotsStart = 128 + codebookSize(dim, pqSubvectors);
    if (offset < slotsStart) {
        // Header and codebook: backed when the region is created; no
        // watermark is kept for these few pages.
        return allocateRange(fd, pageDown(offset), std::min(pageUp(end), mappedLen) - pageDown(offset)) == 0;
    }

    // A clear anywhere may have punched the record area free again.
    const uint64_t gen = header->generation.load();
    if (gen != backedGeneration) {
        backedGeneration = gen;
        backedSlotsStart = backedSlotsEnd = 0;
    }
    const uint64_t graphOff = header->graphOffset;
    const uint64_t poolOff = header->linkPoolOffset;
    uint64_t* lo;
    uint64_t* hi;
    uint64_t areaEnd;
    if (offset < graphOff) {
        lo = &backedSlotsStart, hi = &backedSlotsEnd, areaEnd = graphOff;
    } else if (offset < poolOff) {
        lo = &backedNodesStart, hi = &backedNodesEnd, areaEnd = poolOff;
    } else {
        lo = &backedPoolStart, hi = &backedPoolEnd, areaEnd = mappedLen;
    }
    return backArea(offset, end, areaEnd, lo, hi);
}

// Backs [offset, end) of an area ending at areaEnd whose backed range is
// [*lo, *hi), a chunk ahead at a time.
bool Segment::backArea(uint64_t offset, uint64_t end, uint64_t areaEnd, uint64_t* lo, uint64_t* hi) {
    if (offset >= *lo && end <= *hi) return true;

    const uint64_t limit = std::min(pageUp(areaEnd), mappedLen);
    const uint64_t from = (offset >= *lo && offset <= *hi && *hi > *lo) ? pageDown(*hi) : pageDown(offset);
    const uint64_t minEnd = std::min(pageUp(end), mappedLen);
    uint64_t chunkEnd = std::max(minEnd, std::min(limit, from + kBackingChunk));
    int err = allocateRange(fd, from, chunkEnd - from);
    if (err != 0) {
        // Close to full: take only what this write needs.
        chunkEnd = minEnd;
        if (allocateRange(fd, from, chunkEnd - from) != 0) return false;
    }
    if (from >= *lo && from <= *hi && *hi > *lo) {
        *hi = std::max(*hi, chunkEnd);
    } else {
        *lo = from;
        *hi = chunkEnd;
    }
    return true;
}

}  // namespace qarbin

namespace qarbin {

// The compact format's areas each have their own watermark: rows, the
// variable area and the nodes and pool fill from their start; header,
// codebook, entries and key table are small and backed whole on demand.
bool Segment::ensureBackedCompact(uint64_t offset, uint64_t end) {
    const CompactHeaderTail& t = compactHeader->tail;
    const uint64_t gen = header->generation.load();
    if (gen != backedGeneration) {
        backedGeneration = gen;
        backedSlotsStart = backedSlotsEnd = 0;
        backedVarStart = backedVarEnd = 0;
    }
    uint64_t* lo;
    uint64_t* hi;
    uint64_t areaEnd;
    if (offset < t.vectorOffset || (offset >= t.entryOffset && offset < header->graphOffset) ||
        (offset >= t.keyTableOffset && offset < t.varOffset)) {
        return allocateRange(fd, pageDown(offset), std::min(pageUp(end), mappedLen) - pageDown(offset)) == 0;
    } else if (offset < t.entryOffset) {
        lo = &backedSlotsStart, hi = &backedSlotsEnd, areaEnd = t.entryOffset;
    } else if (offset < header->linkPoolOffset) {
        lo = &backedNodesStart, hi = &backedNodesEnd, areaEnd = header->linkPoolOffset;
    } else if (offset < t.keyTableOffset) {
        lo = &backedPoolStart, hi = &backedPoolEnd, areaEnd = t.keyTableOffset;
    } else if (t.textOffset == 0 || offset < t.textOffset) {
        lo = &backedVarStart, hi = &backedVarEnd, areaEnd = t.textOffset != 0 ? t.textOffset : mappedLen;
    } else {
        lo = &backedTextStart, hi = &backedTextEnd, areaEnd = mappedLen;
    }
    return backArea(offset, end, areaEnd, lo, hi);
}

}  // namespace qarbin
