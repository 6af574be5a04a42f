// Disk mode: a directory of segment files seg_0000.qbseg, seg_0001.qbseg, ...
// and the scan that opens them (also used to load a memory store).
#include <cstdio>
#include <new>
#include <sys/stat.h>
#include <sys/types.h>

#include "core/store/store.h"
#include "core/store/store_internal.h"

namespace qarbin {

bool segmentFilePath(const char* dir, uint32_t number, char* out, size_t cap) {
    int n = std::snprintf(out, cap, "%s/seg_%04u.qbseg", dir, number);
    // A cut path would name another file.
    return n > 0 && static_cast<size_t>(n) < cap;
}

size_t scanSegmentFiles(Store* st, const char* dir, bool mapFiles) {
    char path[4096];
    size_t taken = 0;
    if (dir == nullptr || dir[0] == '\0') return 0;
    for (uint32_t n = 0; n < kMaxSegmentFiles; ++n) {
        if (!segmentFilePath(dir, n, path, sizeof path)) break;
        struct stat sb;
        if (stat(path, &sb) != 0) break;
        Segment* seg = mapFiles ? Segment::openDisk(path, 1) : Segment::loadFromFile(path);
        if (seg == nullptr) break;
        const SegmentHeader* h = seg->header;
        const Shape found = seg->shape();
        // Every segment of a store is read with the store's dimension and
        // encoding, so a file of another shape ends the scan like a broken one.
        bool fits = n == 0 ? Segment::creationParamsValid(found)
                           : found.dim == st->shape.dim && found.quantization == st->shape.quantization &&
                                 found.pqSubvectors == st->shape.pqSubvectors;
        if (!fits) {
            delete seg;
            break;
        }
        if (!appendSegment(st, seg)) break;
        // The first file decides the shape; new segments keep the caller's
        // capacity and every segment the caller's summation order.
        if (n == 0) {
            const uint64_t capacity = st->shape.capacity;
            const bool useAvx2 = st->shape.useAvx2;
            const uint32_t fileMode = st->shape.fileMode;
            st->shape = found;
            st->shape.capacity = capacity;
            st->shape.useAvx2 = useAvx2;
            st->shape.fileMode = fileMode;
        }
        // A header may claim more live records than it has slots in use.
        uint64_t live = h->liveCount.load();
        uint64_t used = seg->usedSlotsClamped();
        st->totalCount.fetch_add(live < used ? live : used);
        ++taken;
    }
    return taken;
}

Segment* createSegmentFile(Store* st) {
    const size_t number = st->segments.size();
    // A segment without slots would take a file per refused record.
    if (number >= kMaxSegmentFiles || st->dir[0] == '\0' || st->shape.capacity == 0) return nullptr;
    char path[4096];
    if (!segmentFilePath(st->dir, static_cast<uint32_t>(number), path, sizeof path)) return nullptr;
    // Exclusive: a file left behind a gap in the numbering is never truncated.
    return Segment::createDisk(path, st->shape, true);
}

Store* Store::openDisk(const char* dir, const Shape& shape) {
    Store* st = new (std::nothrow) Store();
    if (st == nullptr) return nullptr;
    st->shape = shape;
    st->mode = StorageMode::Disk;
    st->writable = true;
    st->totalCount.exchange(0);
    std::snprintf(st->dir, sizeof st->dir, "%s", dir != nullptr ? dir : "");

    scanSegmentFiles(st, st->dir, true);
    if (st->segments.empty()) {
        if (mkdir(st->dir, 0770) == 0 && st->shape.fileMode != 0) chmod(st->dir, directoryMode(st->shape.fileMode));
        Segment* seg = createSegmentFile(st);
        if (seg != nullptr) appendSegment(st, seg);
    }
    createTrainingBufferIfNeeded(st);
    return st;
}

}  // namespace qarbin
