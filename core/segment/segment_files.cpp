// Segments in files and POSIX shared-memory objects, a private copy of a
// segment file, and the checks that keep a corrupt region from being read
// outside its mapping.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/segment/compact_region.h"
#include "core/segment/pages.h"
#include "core/segment/segment.h"

namespace qarbin {

namespace {

bool inOurGroups(gid_t gid) {
    if (gid == getegid()) return true;
    gid_t groups[256];
    const int n = getgroups(256, groups);
    for (int i = 0; i < n; ++i)
        if (groups[i] == gid) return true;
    return false;
}

}  // namespace

bool ownedPrivately(int fd, long sharedGroup) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    // Nobody outside owner and group may write. Its owner may always open
    // it (root's cron job on a store shared with www-data, say). Another
    // user's only when the group is one of ours: a store shared on purpose
    // (its "mode" gave the group access, as a deploy user does for the web
    // server's group), which no stranger can plant in.
    const bool ownedByUs = st.st_uid == geteuid();
    const bool ourGroup = inOurGroups(st.st_gid) || (sharedGroup >= 0 && st.st_gid == static_cast<gid_t>(sharedGroup));
    if ((st.st_mode & 002) == 0 && (ownedByUs || ourGroup)) return true;
    errno = EPERM;
    return false;
}

namespace {

// Closes fd keeping errno: the caller reports why it gave up, not the close.
void closeKeepingErrno(int fd) {
    const int saved = errno;
    close(fd);
    errno = saved;
}

// Creates a new shared-memory object exclusively. A leftover of this user
// under the name (a creator killed before the object was counted) is
// removed and the name created again; one of anybody else is refused.
int createSharedObject(const char* name) {
    int fd = shm_open(name, O_RDWR | O_CREAT | O_EXCL, kPrivateFileMode);
    if (fd >= 0 || errno != EEXIST) return fd;
    const int old = shm_open(name, O_RDONLY, 0);
    if (old < 0) return -1;
    if (!ownedPrivately(old)) {
        closeKeepingErrno(old);
        return -1;
    }
    close(old);
    shm_unlink(name);
    return shm_open(name, O_RDWR | O_CREAT | O_EXCL, kPrivateFileMode);
}

// True when a region of `len` bytes starting with header `h` can be used by
// every reader: its layout fields are exactly those its parameters give and
// the region is long enough to hold all areas they describe. Counters such
// as usedSlots are not judged here; every reader clamps them.
// headerOnly: only the header bytes are at h yet.
bool regionUsable(const SegmentHeader* h, uint64_t len, bool headerOnly = false) {
    if (len < kHeaderBytes) return false;
    if (h->magic == kSegmentMagic && h->version == kCompactSegmentVersion) {
        const auto* c = reinterpret_cast<const CompactHeader*>(h);
        return headerOnly ? compactHeaderUsable(c, len) : compactRegionUsable(c, len);
    }
    if (h->magic != kSegmentMagic || h->version != kSegmentVersion) return false;
    const uint32_t dim = h->dim;
    const uint32_t m = h->pqSubvectors;
    if (!Segment::creationParamsValid(dim, static_cast<Quantization>(h->quantization),
                                      static_cast<DistanceMetric>(h->metric), m))
        return false;
    const Quantization q = static_cast<Quantization>(h->quantization);
    const uint64_t capacity = h->capacity.load();
    const uint64_t need = Segment::computeMmapSize(capacity, dim, q, m);
    if (need == 0 || len < need) return false;
    // computeMmapSize succeeded, so these products cannot overflow.
    const uint64_t graphOffset = 128 + Segment::codebookSize(dim, m) + capacity * Segment::computeStride(dim, q, m);
    if (h->graphOffset != graphOffset) return false;
    if (h->linkPoolOffset != graphOffset + capacity * kNodeBytes) return false;
    const uint64_t cbOffset = headerCodebookOffset(h);
    if (cbOffset != 0 && cbOffset != 128) return false;
    return true;
}

// Sets errno to why a region of `len` bytes cannot be used: ENODATA when it
// is shorter than a header or than the layout its header describes (a file
// cut short), EINVAL when it is no segment at all. h may be null when len
// is below a header.
void setUnusableCause(const SegmentHeader* h, uint64_t len) {
    errno = EINVAL;
    if (len < kHeaderBytes || h == nullptr) {
        errno = ENODATA;
        return;
    }
    if (h->magic != kSegmentMagic || (h->version != kSegmentVersion && h->version != kCompactSegmentVersion)) return;
    const Quantization q = static_cast<Quantization>(h->quantization);
    if (!Segment::creationParamsValid(h->dim, q, static_cast<DistanceMetric>(h->metric), h->pqSubvectors)) return;
    uint64_t need = 0;
    CompactLayout layout;
    if (h->version == kSegmentVersion) {
        need = Segment::computeMmapSize(h->capacity.load(), h->dim, q, h->pqSubvectors);
    } else if (computeCompactLayout(h->capacity.load(), h->dim, q, h->pqSubvectors, &layout)) {
        need = layout.regionBytes;
        // A region laid out before the text index ends where it begins.
        if (len >= kCompactHeaderBytes && reinterpret_cast<const CompactHeader*>(h)->tail.textOffset == 0)
            need = layout.textOffset;
    }
    if (need != 0 && len < need) errno = ENODATA;
}

// Copies the name into a fixed buffer; false when it does not fit.
bool copyName(char* dst, size_t size, const char* src) {
    const size_t n = strnlen(src, size);
    if (n >= size) return false;
    std::memcpy(dst, src, n + 1);
    return true;
}

// Header and codebook of a region of shape: backed when it is created.
uint64_t headBytes(const Shape& shape) {
    const uint64_t head = shape.format == kCompactSegmentVersion ? kCompactHeaderBytes : kHeaderBytes;
    return head + Segment::codebookSize(shape.dim, shape.pqSubvectors);
}

bool onTmpfs(int fd) {
    struct statfs fs;
    return fd >= 0 && fstatfs(fd, &fs) == 0 && fs.f_type == TMPFS_MAGIC;
}

uint64_t keyTableBytes(const Segment& seg) {
    return (uint64_t{1} << seg.compactHeader->tail.keyTableBits) * sizeof(KeyBucket);
}

// A table an earlier writer left marked dirty (a crash, a clear cut short),
// or one that loses the newest records, is built again by a writable
// opener; a read-only one, or one that shares the region with writers
// appending meanwhile (shared memory), looks every key up the long way.
void repairKeyTable(Segment& seg, bool mayRebuild = true) {
    if (!seg.compact()) return;
    CompactRegion region(seg.base, seg.mappedLen);
    if (!region.usable()) return;
    constexpr uint64_t kNewestChecked = 64;
    const bool marked = seg.compactHeader->tail.keyTableDirty.load() != 0;
    if (!marked && region.newestEntriesReachable(kNewestChecked)) return;
    if (!seg.writable || !mayRebuild) {
        // Lookups walk the entries of a marked table anyway.
        if (!marked) seg.keyTableBypassed = true;
        return;
    }
    // The rebuild writes buckets anywhere in the table: rare enough to back it whole.
    if (!seg.ensureBacked(seg.compactHeader->tail.keyTableOffset, keyTableBytes(seg))) {
        seg.keyTableBypassed = true;
        return;
    }
    region.rebuildKeyTable();
    seg.dirty = true;
}

// Fills a freshly mapped region as createMemory does and backs the pages
// that hold the header and the codebook, which are written without further
// checks. Takes ownership of fd and the mapping; null on failure (both
// released then).
Segment* adoptNewRegion(StorageMode mode, int fd, void* map, uint64_t size, const Shape& shape) {
    Segment* seg = new (std::nothrow) Segment();
    if (!seg) {
        munmap(map, size);
        close(fd);
        return nullptr;
    }
    seg->mode = mode;
    seg->fd = fd;
    seg->base = static_cast<uint8_t*>(map);
    seg->mappedLen = size;
    seg->writable = 1;
    seg->dirty = true;
    seg->dim = shape.dim;
    seg->quantization = static_cast<uint32_t>(shape.quantization);
    seg->pqSubvectors = shape.pqSubvectors;
    seg->useAvx2 = shape.useAvx2;
    if (!seg->ensureBacked(0, headBytes(shape))) {
        seg->writable = 0;  // nothing of worth to flush
        delete seg;
        return nullptr;
    }
    seg->initHeader(shape);
    seg->mapPointers();
    // On a disk file system the key table stays sparse: a lookup reads a
    // hole as an empty bucket, and each append backs its key's buckets
    // first (backKeyBuckets). tmpfs (shared memory, or a directory on it)
    // allocates a page even to read a hole, which a full one answers with
    // SIGBUS: there the table is backed whole, as the lookups will touch it.
    // The text index's header is read by every count of the segment's size.
    const CompactHeaderTail* t = seg->compact() ? &seg->compactHeader->tail : nullptr;
    const bool backed = t == nullptr ||
                        ((!onTmpfs(fd) || seg->ensureBacked(t->keyTableOffset, keyTableBytes(*seg))) &&
                         (t->textOffset == 0 || seg->ensureBacked(t->textOffset, kTextAreaHeaderBytes)));
    if (!backed) {
        seg->writable = 0;
        delete seg;
        return nullptr;
    }
    return seg;
}

// Maps an existing file or shared-memory object whole and checks it.
// Takes ownership of fd; null on failure (fd closed, nothing mapped).
Segment* adoptExistingRegion(StorageMode mode, int fd, int writable) {
    struct stat st;
    const bool known = fstat(fd, &st) == 0;
    if (!known || st.st_size < static_cast<off_t>(kHeaderBytes)) {
        if (known) setUnusableCause(nullptr, 0);
        closeKeepingErrno(fd);
        return nullptr;
    }
    const uint64_t len = static_cast<uint64_t>(st.st_size);
    const int prot = writable ? PROT_READ | PROT_WRITE : PROT_READ;
    void* map = mmap(nullptr, len, prot, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        close(fd);
        return nullptr;
    }
    const SegmentHeader* h = static_cast<const SegmentHeader*>(map);
    const bool usable = regionUsable(h, len);
    if (!usable) setUnusableCause(h, len);
    Segment* seg = usable ? new (std::nothrow) Segment() : nullptr;
    if (!seg) {
        if (usable) errno = ENOMEM;
        munmap(map, len);
        closeKeepingErrno(fd);
        return nullptr;
    }
    seg->mode = mode;
    seg->fd = fd;
    seg->base = static_cast<uint8_t*>(map);
    seg->mappedLen = len;
    seg->writable = writable ? 1 : 0;
    seg->dim = h->dim;
    seg->quantization = h->quantization;
    seg->pqSubvectors = h->pqSubvectors;
    seg->mapPointers();
    return seg;
}

// Removes temporary files "<path>.tmp-<pid>" that creators of `path`
// killed before they finished left behind; a file whose process still
// lives may be in the making and stays.
void removeDeadCreatorsFiles(const char* path) {
    const char* slash = std::strrchr(path, '/');
    const char* base = slash != nullptr ? slash + 1 : path;
    char dir[sizeof(Segment::path)] = ".";
    if (slash == path) {
        std::strcpy(dir, "/");
    } else if (slash != nullptr) {
        std::memcpy(dir, path, static_cast<size_t>(slash - path));
        dir[slash - path] = '\0';
    }
    const size_t baseLen = std::strlen(base);
    DIR* d = opendir(dir);
    if (d == nullptr) return;
    while (dirent* e = readdir(d)) {
        if (std::strncmp(e->d_name, base, baseLen) != 0 || std::strncmp(e->d_name + baseLen, ".tmp-", 5) != 0) continue;
        char* end = nullptr;
        const long pid = std::strtol(e->d_name + baseLen + 5, &end, 10);
        if (end == nullptr || *end != '\0' || pid <= 0) continue;
        if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        char full[sizeof(Segment::path) + 300];
        std::snprintf(full, sizeof full, "%s/%s", dir, e->d_name);
        unlink(full);
    }
    closedir(d);
}

}  // namespace

// The file is built under a temporary name beside `path` and appears under
// `path` only once its header is written, so a creator killed half-way, or
// one that runs out of space, never leaves a file without a header under a
// segment's name (which would end every later scan of the directory and
// refuse every exclusive create after it). Exclusive creation moves it in
// with link(), which refuses an existing name; otherwise rename() replaces it.
Segment* Segment::createDisk(const char* path, const Shape& shape, bool exclusive) {
    if (!path || !creationParamsValid(shape)) return nullptr;
    if (strnlen(path, sizeof(Segment::path)) >= sizeof(Segment::path)) return nullptr;
    const uint64_t size = regionBytes(shape);
    if (size == 0 || size > static_cast<uint64_t>(INT64_MAX)) return nullptr;
    if (exclusive) removeDeadCreatorsFiles(path);
    char tmp[sizeof(Segment::path) + 32];
    std::snprintf(tmp, sizeof tmp, "%s.tmp-%ld", path, static_cast<long>(getpid()));
    // Exclusive: a file or link planted under the temporary name is never
    // written through. One left by an earlier process of this id is ours.
    int fd = open(tmp, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFileMode);
    if (fd < 0 && errno == EEXIST) {
        struct stat old;
        if (lstat(tmp, &old) == 0 && S_ISREG(old.st_mode) && old.st_uid == geteuid()) {
            unlink(tmp);
            fd = open(tmp, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFileMode);
        } else {
            errno = EPERM;
        }
    }
    if (fd < 0) return nullptr;
    if (shape.fileMode != 0) fchmod(fd, shape.fileMode);
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        close(fd);
        unlink(tmp);
        return nullptr;
    }
    void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        close(fd);
        unlink(tmp);
        return nullptr;
    }
    Segment* seg = adoptNewRegion(StorageMode::Disk, fd, map, size, shape);
    if (!seg) {
        unlink(tmp);
        return nullptr;
    }
    msync(seg->base, kHeaderBytes, MS_SYNC);
    bool placed;
    if (exclusive) {
        placed = link(tmp, path) == 0;
        const int saved = errno;
        unlink(tmp);
        errno = saved;
    } else {
        placed = rename(tmp, path) == 0;
        if (!placed) unlink(tmp);
    }
    if (!placed) {
        const int saved = errno;  // EEXIST tells the caller another process took the name
        seg->writable = 0;        // nothing of worth to flush
        delete seg;
        errno = saved;
        return nullptr;
    }
    copyName(seg->path, sizeof seg->path, path);
    seg->adviseRecords(MADV_SEQUENTIAL);
    return seg;
}

Segment* Segment::openDisk(const char* path, int writable) {
    if (!path || strnlen(path, sizeof(Segment::path)) >= sizeof(Segment::path)) return nullptr;
    const int fd = open(path, (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) return nullptr;
    if (!ownedPrivately(fd)) {
        closeKeepingErrno(fd);
        return nullptr;
    }
    Segment* seg = adoptExistingRegion(StorageMode::Disk, fd, writable);
    if (!seg) return nullptr;
    copyName(seg->path, sizeof seg->path, path);
    if (seg->writable) seg->ensureBacked(0, seg->codebookOffset() + codebookSize(seg->dim, seg->pqSubvectors));
    repairKeyTable(*seg);
    seg->adviseRecords(MADV_SEQUENTIAL);
    return seg;
}

Segment* Segment::loadFromFile(const char* path) {
    if (!path) return nullptr;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(kHeaderBytes)) {
        setUnusableCause(nullptr, 0);
        closeKeepingErrno(fd);
        return nullptr;
    }
    const uint64_t len = static_cast<uint64_t>(st.st_size);

    // Interrupted reads are retried; a short read means the file changed
    // under us and is refused.
    auto readFully = [fd](uint8_t* dst, uint64_t n, uint64_t at) {
        uint64_t done = 0;
        while (done < n) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(n - done, 1u << 30));
            const ssize_t got = pread(fd, dst + done, want, static_cast<off_t>(at + done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            done += static_cast<uint64_t>(got);
        }
        return true;
    };

    alignas(8) uint8_t head[kCompactHeaderBytes] = {};
    const uint64_t headLen = std::min<uint64_t>(len, kCompactHeaderBytes);
    const bool headRead = len >= kHeaderBytes && readFully(head, headLen, 0);
    if (!headRead || !regionUsable(reinterpret_cast<const SegmentHeader*>(head), len, true)) {
        setUnusableCause(headRead ? reinterpret_cast<const SegmentHeader*>(head) : nullptr, headRead ? len : 0);
        closeKeepingErrno(fd);
        return nullptr;
    }
    const int noReserve = reinterpret_cast<const SegmentHeader*>(head)->version == kCompactSegmentVersion ? MAP_NORESERVE : 0;
    void* map = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | noReserve, -1, 0);
    if (map == MAP_FAILED) {
        close(fd);
        return nullptr;
    }
    adviseHugePages(map, len);
    // Only the file's data is read: its holes (a segment file is sparse
    // past its used slots) are already zero in the fresh mapping, so a
    // large, mostly empty file costs neither reads nor resident memory.
    // File systems without hole reporting show the whole file as data.
    bool ok = true;
    for (uint64_t at = 0; ok && at < len;) {
        const off_t data = lseek(fd, static_cast<off_t>(at), SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) break;  // nothing but a hole up to the end
            ok = readFully(static_cast<uint8_t*>(map) + at, len - at, at);
            break;
        }
        const off_t hole = lseek(fd, data, SEEK_HOLE);
        const uint64_t from = static_cast<uint64_t>(data);
        const uint64_t to = hole < 0 ? len : std::min(static_cast<uint64_t>(hole), len);
        if (from >= len) break;
        ok = to > from && readFully(static_cast<uint8_t*>(map) + from, to - from, from);
        at = to;
    }
    close(fd);
    // The file may have been rewritten between the two reads.
    if (!ok || !regionUsable(static_cast<const SegmentHeader*>(map), len)) {
        munmap(map, len);
        return nullptr;
    }
    Segment* seg = new (std::nothrow) Segment();
    if (!seg) {
        munmap(map, len);
        return nullptr;
    }
    const SegmentHeader* h = static_cast<const SegmentHeader*>(map);
    seg->mode = StorageMode::Memory;
    seg->base = static_cast<uint8_t*>(map);
    seg->mappedLen = len;
    seg->writable = 1;
    seg->fd = -1;
    seg->dim = h->dim;
    seg->quantization = h->quantization;
    seg->pqSubvectors = h->pqSubvectors;
    seg->mapPointers();
    repairKeyTable(*seg);
    return seg;
}

Segment* Segment::createShm(const char* name, const Shape& shape) {
    if (!name || !creationParamsValid(shape)) return nullptr;
    if (strnlen(name, sizeof(Segment::shmName)) >= sizeof(Segment::shmName)) return nullptr;
    const uint64_t size = regionBytes(shape);
    if (size == 0 || size > static_cast<uint64_t>(INT64_MAX)) return nullptr;
    const int fd = createSharedObject(name);
    if (fd < 0) return nullptr;
    if (shape.fileMode != 0) fchmod(fd, shape.fileMode);
    // Segments are created under the store's creation lock, before they are
    // counted, so no other process uses this object yet: on failure (a full
    // /dev/shm) it is removed rather than left behind.
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        close(fd);
        shm_unlink(name);
        return nullptr;
    }
    void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        close(fd);
        shm_unlink(name);
        return nullptr;
    }
    Segment* seg = adoptNewRegion(StorageMode::Shm, fd, map, size, shape);
    if (!seg) {
        shm_unlink(name);
        return nullptr;
    }
    copyName(seg->shmName, sizeof seg->shmName, name);
    return seg;
}

Segment* Segment::openShm(const char* name, int writable, long sharedGroup) {
    if (!name || strnlen(name, sizeof(Segment::shmName)) >= sizeof(Segment::shmName)) return nullptr;
    const int fd = shm_open(name, writable ? O_RDWR : O_RDONLY, 0);
    if (fd < 0) return nullptr;
    if (!ownedPrivately(fd, sharedGroup)) {
        closeKeepingErrno(fd);
        return nullptr;
    }
    Segment* seg = adoptExistingRegion(StorageMode::Shm, fd, writable);
    if (!seg) return nullptr;
    copyName(seg->shmName, sizeof seg->shmName, name);
    if (seg->writable) seg->ensureBacked(0, seg->codebookOffset() + codebookSize(seg->dim, seg->pqSubvectors));
    repairKeyTable(*seg, false);
    return seg;
}

bool Segment::backingTruncated() const {
    if ((mode != StorageMode::Disk && mode != StorageMode::Shm) || fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    return static_cast<uint64_t>(st.st_size) < mappedLen;
}

void Segment::adviseRecords(int advice) const {
    if (base == nullptr || base == MAP_FAILED || header == nullptr) return;
    // Dropping pages of a private mapping would zero the records.
    if (mode == StorageMode::Memory && (advice == MADV_DONTNEED || advice == MADV_FREE)) return;
    const uint64_t cap = std::min(header->capacity.load(), slotCapacity);
    const uint64_t len = cap * stride();
    if (len == 0) return;
    const uint64_t from = static_cast<uint64_t>(slots - base);
    const uint64_t start = pageDown(from);
    const uint64_t end = std::min(pageUp(from + len), pageUp(mappedLen));
    madvise(base + start, end - start, advice);
}

}  // namespace qarbin
