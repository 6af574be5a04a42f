// The store object: memory-mode opener, segment rollover, count, teardown.
#include <algorithm>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/segment/key_index.h"
#include "core/store/store.h"
#include "core/store/store_internal.h"

namespace qarbin {

uint32_t maxKeyBytes(uint32_t format) { return format == kCompactSegmentVersion ? kCompactMaxKeyBytes : kMaxKeyBytes; }

uint32_t maxMetadataBytes(uint32_t format) {
    return format == kCompactSegmentVersion ? kCompactMaxMetadataBytes : kMaxMetadataBytes;
}

RecordLimit recordLimit(size_t keyLen, size_t metaLen, uint32_t format) {
    if (keyLen > maxKeyBytes(format)) return RecordLimit::KeyTooLong;
    if (metaLen > maxMetadataBytes(format)) return RecordLimit::MetadataTooLong;
    return RecordLimit::Ok;
}

uint64_t recordId(const char* key) { return keyHash(key, key != nullptr ? std::strlen(key) : 0); }

namespace {

constexpr uint64_t kMinMemoryCapacity = 16;

}  // namespace

const Segment* firstTrained(const std::vector<Segment*>& segments) {
    for (const Segment* s : segments) {
        if (s->codebook != nullptr) return s;
    }
    return nullptr;
}

// A PQ store collects its first vectors until a codebook exists. The shape
// tested is the store's own, which the first segment file decides when the
// store was opened over existing files.
void createTrainingBufferIfNeeded(Store* st) {
    if (st->shape.quantization != Quantization::PQ || st->shape.pqSubvectors == 0 || firstTrained(st->segments) != nullptr) return;
    st->pqBuffer = new (std::nothrow) PQTrainingBuffer();
}

Store::~Store() {
    if (pqBuffer != nullptr && pqBuffer->count > 0 && writable) flushPQBuffer();
    delete pqBuffer;
    pqBuffer = nullptr;
    for (Segment* seg : segments) delete seg;
    if (controlMapping != nullptr && controlMapping != MAP_FAILED) munmap(controlMapping, sizeof(ShmControl));
    if (controlFd >= 0) close(controlFd);
    delete keyDirectory;
    keyDirectory = nullptr;
}

Store* Store::openMemory(const Shape& shape, const char* dir, int* why, bool create) {
    if (why != nullptr) *why = 0;
    Store* st = new (std::nothrow) Store();
    if (st == nullptr) return nullptr;
    st->shape = shape;
    st->shape.capacity = std::max(shape.capacity, kMinMemoryCapacity);
    st->mode = StorageMode::Memory;
    st->writable = true;
    st->totalCount.exchange(0);

    if (dir != nullptr) scanSegmentFiles(st, dir, false);
    if (st->segmentRefusal != 0) {
        if (why != nullptr) *why = st->segmentRefusal;
        rememberOpenRefusal(*st);
        delete st;
        return nullptr;
    }
    if (st->segments.empty() && !create) {
        if (why != nullptr) *why = ENOENT;
        delete st;
        return nullptr;
    }
    if (st->segments.empty()) {
        Segment* seg = Segment::createMemory(st->shape);
        if (seg != nullptr) appendSegment(st, seg);
    }
    createTrainingBufferIfNeeded(st);
    return st;
}

bool appendSegment(Store* st, Segment* seg) {
    seg->useAvx2 = st->shape.useAvx2;
    settleDeadExtension(*seg);
    try {
        st->segments.push_back(seg);
        // The next segment is written like this one.
        st->shape.format = seg->compact() ? kCompactSegmentVersion : kSegmentVersion;
        return true;
    } catch (...) {
        delete seg;
        return false;
    }
}

Segment* Store::createNewSegment() {
    const uint64_t newSize = Segment::countedRegionBytes(shape);
    if (memoryLimit != 0) {
        uint64_t total = newSize;
        for (const Segment* seg : segments) {
            if (total > UINT64_MAX - seg->countedBytes()) return nullptr;
            total += seg->countedBytes();
        }
        if (total > memoryLimit) {
            writeFailure = WriteFailure::MemoryLimit;
            return nullptr;
        }
    }

    Segment* seg = nullptr;
    if (mode == StorageMode::Memory) {
        seg = Segment::createMemory(shape);
    } else if (mode == StorageMode::Disk) {
        seg = createSegmentFile(this);
    }
    if (seg == nullptr) return nullptr;

    if (shape.quantization == Quantization::PQ && shape.pqSubvectors != 0) {
        const Segment* src = firstTrained(segments);
        if (src != nullptr && !seg->publishCodebook(src->codebook)) {
            delete seg;
            return nullptr;
        }
    }
    return seg;
}

const char* Store::truncatedBacking() const {
    for (const Segment* seg : segments) {
        if (seg->backingTruncated()) return seg->mode == StorageMode::Shm ? seg->shmName : seg->path;
    }
    if (controlFd >= 0 && control != nullptr) {
        struct stat sb;
        if (fstat(controlFd, &sb) == 0 && static_cast<uint64_t>(sb.st_size) < sizeof(ShmControl)) return name;
    }
    return nullptr;
}

void Store::abandonWrites() {
    writable = false;
    for (Segment* seg : segments) seg->writable = 0;
}

uint64_t Store::count() const {
    uint64_t n = totalCount.load();
    if (pqBuffer != nullptr) n += pqBuffer->count;
    return n;
}

}  // namespace qarbin
