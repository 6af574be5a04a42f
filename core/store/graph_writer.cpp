// The one-writer rule for a segment's graph across processes, and the
// store's way of building or extending its graphs.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "core/index/hnsw.h"
#include "core/store/store.h"
#include "core/store/store_internal.h"

namespace qarbin {

namespace {

// A killed worker stays a zombie until its parent reaps it; kill() still
// finds it then, so its state is read from /proc as well.
bool zombie(uint32_t pid) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%u/stat", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[512];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return false;
    buf[n] = '\0';
    // "pid (comm) S ...": the command may hold anything, so the state is
    // the field after the last ')'.
    const char* end = std::strrchr(buf, ')');
    if (end == nullptr || end[1] != ' ') return false;
    return end[2] == 'Z' || end[2] == 'X';
}

double monotonicNow() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

bool pastDeadline(void* ctx) { return monotonicNow() >= *static_cast<const double*>(ctx); }

}  // namespace

bool processGone(uint32_t pid) {
    // A value that is no process id at all (kill would address a process
    // group) can only be garbage left in the lock word.
    if (pid == 0 || pid > static_cast<uint32_t>(INT_MAX)) return true;
    if (kill(static_cast<pid_t>(pid), 0) == -1) return errno == ESRCH;
    return zombie(pid);
}

bool takeGraphWriter(SegmentHeader* h) {
    const uint64_t me = static_cast<uint64_t>(getpid());
    uint64_t holder = 0;
    if (h->graphWriter.compare_exchange_strong(holder, me)) return true;
    // Our own id can only be left by a dead process whose id we reuse: this
    // process never holds the word across calls.
    if (holder == me) return true;
    if (holder > UINT32_MAX || processGone(static_cast<uint32_t>(holder)))
        return h->graphWriter.compare_exchange_strong(holder, me);
    return false;
}

void releaseGraphWriter(SegmentHeader* h) {
    uint64_t me = static_cast<uint64_t>(getpid());
    h->graphWriter.compare_exchange_strong(me, 0);
}

void settleDeadExtension(Segment& seg) {
    SegmentHeader* h = seg.header;
    if (!seg.writable || h == nullptr) return;
    if ((__atomic_load_n(&h->flags, __ATOMIC_ACQUIRE) & kFlagGraphExtending) == 0) return;
    // A live writer clears the flag itself when it is done.
    if (!takeGraphWriter(h)) return;
    if ((__atomic_load_n(&h->flags, __ATOMIC_ACQUIRE) & kFlagGraphExtending) != 0) {
        __atomic_fetch_and(&h->flags, ~(kFlagGraphBuilt | kFlagGraphUsable | kFlagGraphExtending), __ATOMIC_RELEASE);
        seg.dirty = true;
    }
    releaseGraphWriter(h);
}

int indexSegment(Segment& seg, bool rebuild, const GraphStop* stop, uint32_t threads, LevelStream* levels) {
    if (!seg.writable || seg.header == nullptr) return -1;
    if (!takeGraphWriter(seg.header)) return -2;
    seg.dirty = true;
    int rc;
    // The flag still set under our writer word: the last writer died in
    // the middle of an extension.
    const uint32_t flags = __atomic_load_n(&seg.header->flags, __ATOMIC_ACQUIRE);
    if (rebuild || (flags & kFlagGraphUsable) == 0 || (flags & kFlagGraphExtending) != 0) {
        rc = buildHnsw(seg, stop, threads, levels);
    } else {
        rc = hnswInsertIncremental(seg, stop, threads, levels);
    }
    // Text unindexed is still found (from the record's text): a failure
    // here costs speed only.
    if (rc != 1) indexSegmentText(seg);
    releaseGraphWriter(seg.header);
    return rc;
}

uint64_t graphScratchPerThread(const Segment& seg) {
    return seg.capacity() * (2 * sizeof(uint32_t) + 2) + 64 * 1024;
}

uint32_t graphThreads(const Store& st, const Segment& seg) {
    const uint32_t asked = st.threads > 0 ? st.threads : 1;
    if (st.memoryLimit == 0 || asked == 1) return asked;
    uint64_t total = 0;
    for (const Segment* s : st.segments) total += s->countedBytes();
    if (total >= st.memoryLimit) return 1;
    const uint64_t extra = (st.memoryLimit - total) / graphScratchPerThread(seg);
    return static_cast<uint32_t>(1 + std::min<uint64_t>(extra, asked - 1));
}

uint64_t Store::pendingGraphRecords() const {
    uint64_t pending = 0;
    for (const Segment* seg : segments) {
        const SegmentHeader* h = seg->header;
        if (h == nullptr) continue;
        if ((__atomic_load_n(&h->flags, __ATOMIC_ACQUIRE) & kFlagGraphUsable) == 0) {
            pending += h->liveCount.load();
        } else {
            const uint64_t used = seg->usedSlotsClamped();
            const uint64_t indexed = h->indexedCount.load();
            if (used > indexed) pending += used - indexed;
        }
    }
    return pending;
}

uint64_t Store::recordsInGraphs() const {
    uint64_t in = 0;
    for (const Segment* seg : segments) {
        const SegmentHeader* h = seg->header;
        if (h == nullptr || (__atomic_load_n(&h->flags, __ATOMIC_ACQUIRE) & kFlagGraphUsable) == 0) continue;
        const uint64_t n = h->indexedCount.load();
        const uint64_t used = seg->usedSlotsClamped();
        for (uint64_t i = 0; i < used; ++i) {
            const int32_t node = seg->graphNodeAt(i);
            if (seg->liveAt(i) && node >= 0 && static_cast<uint64_t>(node) < n) ++in;
        }
    }
    return in;
}

// Each segment under its writer lock, taken and released per call so that
// the caller may run other code between calls; segments another process is
// indexing are left to it.
int Store::indexFor(double seconds, bool first) {
    if (!writable) return -1;
    if (mode == StorageMode::Shm && control != nullptr) {
        followGeneration();
        attachShmSegments();
        for (Segment* seg : segments) seg->refreshCodebook();
    }
    if (pqBuffer != nullptr && pqBuffer->count > 0) flushPQBuffer();
    double deadline = monotonicNow() + seconds;
    const GraphStop stop{pastDeadline, &deadline};
    if (first) buildLevels.clear();
    if (buildLevels.size() < segments.size()) buildLevels.resize(segments.size());
    int result = 0;
    for (size_t i = 0; i < segments.size(); ++i) {
        Segment* seg = segments[i];
        if (seg->usedSlotsClamped() == 0) continue;
        const int rc =
            indexSegment(*seg, false, seconds > 0 ? &stop : nullptr, graphThreads(*this, *seg), &buildLevels[i]);
        if (rc == 1) return 1;
        if (rc == -1) result = -1;
    }
    return result;
}

}  // namespace qarbin
