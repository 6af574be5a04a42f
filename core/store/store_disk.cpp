// Disk mode: a directory of segment files seg_0000.qbseg, seg_0001.qbseg, ...
// and the scan that opens them (also used to load a memory store).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
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

size_t scanSegmentFiles(Store* st, const char* dir, bool mapFiles, int* refused) {
    char path[4096];
    size_t taken = 0;
    if (dir == nullptr || dir[0] == '\0') return 0;
    st->segmentRefusal = 0;
    // While a committed compaction is being put in place, its files are
    // the store: those not moved yet are read where they wait.
    char ready[4096];
    const uint32_t limit = committedFileCount(dir, ready, sizeof ready);
    for (uint32_t n = static_cast<uint32_t>(st->segments.size()); n < limit; ++n) {
        if (!segmentFilePath(dir, n, path, sizeof path)) break;
        char waiting[4096];
        struct stat sb;
        if (limit != kMaxSegmentFiles && segmentFilePath(ready, n, waiting, sizeof waiting) && stat(waiting, &sb) == 0)
            std::memcpy(path, waiting, sizeof path);
        // A missing file fails to open like a broken one: no stat first.
        errno = 0;
        Segment* seg = mapFiles ? Segment::openDisk(path, 1) : Segment::loadFromFile(path);
        if (seg == nullptr) {
            const int err = errno;
            // The end of the store, unless a later file exists.
            if (err == ENOENT && !laterSegmentFileExists(dir, n)) break;
            refuseSegment(st, err == ENOENT ? kSegmentMissing : refusalCause(err), path);
            if (refused != nullptr) *refused = st->segmentRefusal;
            break;
        }
        const SegmentHeader* h = seg->header;
        const Shape found = seg->shape();
        // Every segment of a store is read with the store's dimension and
        // encoding, so a file of another shape ends the scan like a broken one.
        bool fits = n == 0 ? Segment::creationParamsValid(found)
                           : found.dim == st->shape.dim && found.quantization == st->shape.quantization &&
                                 found.pqSubvectors == st->shape.pqSubvectors;
        if (!fits) {
            delete seg;
            refuseSegment(st, kSegmentNotOfStore, path);
            if (refused != nullptr) *refused = kSegmentNotOfStore;
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

namespace {

// mkdir -p: every missing directory of path, owner-only unless the store
// was given a mode. 0 or an errno.
int makeDirectories(const char* path, uint32_t fileMode) {
    char partial[sizeof(Store::dir)];
    const size_t len = strnlen(path, sizeof partial);
    if (len == 0 || len >= sizeof partial) return ENAMETOOLONG;
    std::memcpy(partial, path, len + 1);
    for (size_t i = 1; i <= len; ++i) {
        if (partial[i] != '/' && partial[i] != '\0') continue;
        const char saved = partial[i];
        partial[i] = '\0';
        if (mkdir(partial, kPrivateDirMode) == 0) {
            if (fileMode != 0) chmod(partial, directoryMode(fileMode));
        } else if (errno != EEXIST) {
            return errno;
        }
        partial[i] = saved;
    }
    return 0;
}

// 0 when dir is a directory this user owns privately, else an errno.
int adoptableDirectory(const char* dir) {
    const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int err = ownedPrivately(fd) ? 0 : errno;
    close(fd);
    return err;
}

}  // namespace

int addToNewDiskSegment(Store* st, uint64_t id, const char* key, const float* vector, const char* metadata,
                        uint32_t metaLen, const char* text, uint32_t textLen) {
    for (int attempt = 0; attempt < kMaxDiskCreateAttempts; ++attempt) {
        const size_t before = st->segments.size();
        scanSegmentFiles(st, st->dir, true);
        if (st->segmentRefusal != 0) {
            st->writeFailure = WriteFailure::Refused;
            return -1;
        }
        for (size_t i = before; i < st->segments.size(); ++i) {
            const int rc = st->segments[i]->add(id, key, vector, metadata, metaLen, text, textLen);
            if (rc == 0) {
                st->totalCount.fetch_add(1);
                return 0;
            }
            if (rc == -2) return -2;
        }
        errno = 0;
        Segment* seg = st->createNewSegment();
        if (seg == nullptr) {
            // Another process took the number first: attach its file.
            if (errno == EEXIST) continue;
            return -1;
        }
        if (!appendSegment(st, seg)) return -1;
        const int rc = seg->add(id, key, vector, metadata, metaLen, text, textLen);
        if (rc == 0) {
            st->totalCount.fetch_add(1);
            return 0;
        }
        if (rc == -2) return -2;
        // Filled by other processes as soon as it appeared: go on.
        if (seg->usedSlotsClamped() < seg->capacity()) return -1;
    }
    return -1;
}

int pathNamesFile(const char* path, int fd) {
    struct stat named, held;
    if (fd < 0 || stat(path, &named) != 0 || fstat(fd, &held) != 0) return -1;
    return named.st_dev == held.st_dev && named.st_ino == held.st_ino ? 1 : 0;
}

bool diskFilesReplaced(const Store& st) {
    return !st.segments.empty() && pathNamesFile(st.segments[0]->path, st.segments[0]->fd) != 1;
}

Store* Store::openDisk(const char* dir, const Shape& shape, int* why, bool create) {
    if (why != nullptr) *why = 0;
    Store* st = new (std::nothrow) Store();
    if (st == nullptr) return nullptr;
    st->shape = shape;
    st->mode = StorageMode::Disk;
    st->writable = true;
    st->totalCount.exchange(0);
    std::snprintf(st->dir, sizeof st->dir, "%s", dir != nullptr ? dir : "");

    int err = create ? makeDirectories(st->dir, st->shape.fileMode) : 0;
    if (err == 0) err = adoptableDirectory(st->dir);
    // A compaction a killed process committed is finished before anything is read.
    if (err == 0 && !finishDiskCompaction(st->dir)) err = errno != 0 ? errno : EIO;
    if (err == 0) {
        scanSegmentFiles(st, st->dir, true, &err);
        if (err == 0 && st->segments.empty() && !create) err = ENOENT;
        if (err == 0 && st->segments.empty()) {
            errno = 0;
            Segment* seg = createSegmentFile(st);
            if (seg == nullptr) err = errno != 0 ? errno : EINVAL;
            else if (!appendSegment(st, seg)) err = ENOMEM;
        }
    }
    if (err != 0) {
        if (why != nullptr) *why = err;
        if (st->segmentRefusal != 0) rememberOpenRefusal(*st);
        delete st;
        return nullptr;
    }
    createTrainingBufferIfNeeded(st);
    return st;
}

}  // namespace qarbin
