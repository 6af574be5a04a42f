// Disk compaction: the new segment files are written under
// "<dir>/compact.tmp-<pid>", flushed, and committed by renaming that
// directory to "<dir>/compact.ready" (holding a file "count" with the
// number of new files). Every later step only finishes the commit: the new
// files replace seg_0000... in order, old files beyond them go from the top
// down, then compact.ready goes. A process killed before the rename leaves
// the old store and a temporary directory the next opener removes; one
// killed after it leaves a commit the next opener finishes. The scan reads
// a commit's files from compact.ready while it lasts, so no reader ever
// sees old and new files together.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/store/store.h"
#include "core/store/store_internal.h"

namespace qarbin {

namespace {

constexpr char kTempPrefix[] = "compact.tmp-";
constexpr char kReadyName[] = "compact.ready";
constexpr char kCountName[] = "count";

bool joinPath(char* out, size_t cap, const char* dir, const char* name) {
    const int n = std::snprintf(out, cap, "%s/%s", dir, name);
    return n > 0 && static_cast<size_t>(n) < cap;
}

bool syncPath(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

// Removes a directory holding only files (what a compaction writes).
void removeFlatDirectory(const char* path) {
    if (DIR* d = opendir(path)) {
        while (dirent* e = readdir(d)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
            char full[4096];
            if (joinPath(full, sizeof full, path, e->d_name)) unlink(full);
        }
        closedir(d);
    }
    rmdir(path);
}

// Temporary directories of compactors that are gone (killed before their
// commit): their files were never part of the store.
void removeAbandonedTemps(const char* dir) {
    DIR* d = opendir(dir);
    if (d == nullptr) return;
    const size_t prefix = sizeof kTempPrefix - 1;
    while (dirent* e = readdir(d)) {
        if (std::strncmp(e->d_name, kTempPrefix, prefix) != 0) continue;
        char* end = nullptr;
        const long pid = std::strtol(e->d_name + prefix, &end, 10);
        if (end == nullptr || *end != '\0' || pid <= 0) continue;
        if (pid != static_cast<long>(getpid()) && !processGone(static_cast<uint32_t>(pid))) continue;
        char full[4096];
        if (joinPath(full, sizeof full, dir, e->d_name)) removeFlatDirectory(full);
    }
    closedir(d);
}

bool writeCount(const char* path, uint32_t n) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFileMode);
    if (fd < 0) return false;
    char text[16];
    const int len = std::snprintf(text, sizeof text, "%u\n", n);
    const bool ok = write(fd, text, static_cast<size_t>(len)) == len && fsync(fd) == 0;
    close(fd);
    return ok;
}

bool readCount(const char* path, uint32_t* n) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[16] = {};
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0) return false;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (end == text || (*end != '\n' && *end != '\0') || v == 0 || v > kMaxSegmentFiles) return false;
    *n = static_cast<uint32_t>(v);
    return true;
}

bool fileExists(const char* path) {
    struct stat sb;
    return stat(path, &sb) == 0;
}

struct DiskTarget {
    const Store* store;
    const char* dir;
};

Segment* makeTempFile(void* ctx, uint32_t number) {
    const DiskTarget* t = static_cast<const DiskTarget*>(ctx);
    char path[4096];
    if (!segmentFilePath(t->dir, number, path, sizeof path)) return nullptr;
    return Segment::createDisk(path, t->store->shape, true);
}

// Records and headers on stable storage before the commit names them.
bool syncFiles(const std::vector<Segment*>& made) {
    for (const Segment* seg : made)
        if (fsync(seg->fd) != 0) return false;
    return true;
}

}  // namespace

uint32_t committedFileCount(const char* dir, char* ready, size_t cap) {
    char count[4096];
    uint32_t n = 0;
    if (!joinPath(ready, cap, dir, kReadyName) || !joinPath(count, sizeof count, ready, kCountName)) return kMaxSegmentFiles;
    return readCount(count, &n) ? n : kMaxSegmentFiles;
}

bool finishDiskCompaction(const char* dir) {
    removeAbandonedTemps(dir);
    char ready[4096], count[4096];
    if (!joinPath(ready, sizeof ready, dir, kReadyName) || !joinPath(count, sizeof count, ready, kCountName)) return false;
    if (!fileExists(ready)) return true;
    uint32_t n = 0;
    if (!readCount(count, &n)) {
        // The count goes last but one: everything is in place already.
        removeFlatDirectory(ready);
        return true;
    }
    char from[4096], to[4096];
    for (uint32_t i = 0; i < n; ++i) {
        if (!segmentFilePath(ready, i, from, sizeof from) || !segmentFilePath(dir, i, to, sizeof to)) return false;
        if (rename(from, to) != 0 && errno != ENOENT) return false;
    }
    // Old files beyond the new ones, highest first: the numbering never
    // has a gap that would hide a later file from the scan.
    uint32_t top = n;
    while (top < kMaxSegmentFiles && segmentFilePath(dir, top, to, sizeof to) && fileExists(to)) ++top;
    for (uint32_t m = top; m-- > n;) {
        if (segmentFilePath(dir, m, to, sizeof to) && unlink(to) != 0 && errno != ENOENT) return false;
    }
    syncPath(dir);
    unlink(count);
    removeFlatDirectory(ready);
    return true;
}

bool followDiskFiles(Store& st) {
    if (st.segments.empty()) return false;
    char path[4096];
    if (!segmentFilePath(st.dir, 0, path, sizeof path) || pathNamesFile(path, st.segments[0]->fd) != 0) return false;
    std::vector<Segment*> old;
    old.swap(st.segments);
    // Their names now belong to the new files: nothing of this handle's
    // view is worth a flush.
    for (Segment* seg : old) discardSegment(seg);
    delete st.keyDirectory;
    st.keyDirectory = nullptr;
    st.firstOpenSegment = 0;
    finishDiskCompaction(st.dir);
    scanSegmentFiles(&st, st.dir, true);
    if (st.segments.empty()) {
        if (Segment* first = createSegmentFile(&st)) appendSegment(&st, first);
    }
    if (!st.segments.empty()) st.firstOpenGeneration = st.segments[0]->header->generation.load();
    st.totalCount.store(liveCountOf(st.segments));
    return true;
}

long compactDisk(Store& st, bool keepRecords) {
    // A handle whose files another handle replaced would write its old view back.
    followDiskFiles(st);
    finishDiskCompaction(st.dir);
    char temp[4096], ready[4096], name[64];
    std::snprintf(name, sizeof name, "%s%ld", kTempPrefix, static_cast<long>(getpid()));
    if (!joinPath(temp, sizeof temp, st.dir, name) || !joinPath(ready, sizeof ready, st.dir, kReadyName)) return -1;
    if (mkdir(temp, kPrivateDirMode) != 0) return -1;
    if (st.shape.fileMode != 0) chmod(temp, directoryMode(st.shape.fileMode));

    DiskTarget target{&st, temp};
    CompactSink sink = compactSinkFor(st, makeTempFile, &target, kMaxSegmentFiles);
    const uint64_t before = usedSlotsOf(st.segments);
    char count[4096];
    const bool written = copyLiveRecords(st.segments, sink, keepRecords) == 0 && buildCompactedGraphs(st, sink.made) &&
                         syncFiles(sink.made) &&
                         joinPath(count, sizeof count, temp, kCountName) &&
                         writeCount(count, static_cast<uint32_t>(sink.made.size())) && syncPath(temp);
    // The commit: from here on the new files are the store.
    if (!written || rename(temp, ready) != 0) {
        for (Segment* seg : sink.made) discardSegment(seg);
        removeFlatDirectory(temp);
        return -1;
    }
    syncPath(st.dir);
    finishDiskCompaction(st.dir);
    for (uint32_t i = 0; i < sink.made.size(); ++i)
        segmentFilePath(st.dir, i, sink.made[i]->path, sizeof sink.made[i]->path);
    const uint64_t after = usedSlotsOf(sink.made);
    adoptCompacted(st, sink.made);
    return static_cast<long>(before > after ? before - after : 0);
}

}  // namespace qarbin
