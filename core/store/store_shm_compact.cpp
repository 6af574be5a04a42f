// Shared-memory compaction while other processes read and write.
//
// The compactor copies the live records of generation G into new objects
// named after G + 1, without stopping anybody. Then, holding the creation
// lock (so G gets no new segment) and with kCompactCatchUp set in the
// compact lock word, it copies what writers changed since (new records,
// records still unpublished during the first pass, deletions), and
// switches the segment word to G + 1 with the new count in one store. The
// objects of G are unlinked; processes that map them keep valid pages until
// they follow the generation at their next call.
//
// A writer checks, after its write, the catch-up mark and the generation.
// Neither seen: its write preceded the mark, so the catch-up copied it.
// Otherwise it waits for the switch (or for a compactor that gave up or
// died) and applies its write once more in G + 1, replacing every live
// record of the key there, so no acknowledged write is lost.
#include <cerrno>
#include <ctime>
#include <sys/mman.h>
#include <unistd.h>

#include "core/store/store.h"
#include "core/store/store_internal.h"

namespace qarbin {

namespace {

// A catch-up takes well under a second for a million records; a compactor
// that keeps the mark longer than this is treated as stuck.
constexpr double kCatchUpWaitSeconds = 60.0;
constexpr uint32_t kNotCopied = UINT32_MAX;
// Compactions one write may meet in a row before it stops writing again.
constexpr int kMaxWriteAgain = 16;

double nowSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

uint32_t myPid() { return static_cast<uint32_t>(getpid()); }

// The compact lock: from 0, or from a holder that is gone (a killed
// compactor can keep nobody out). False while another live process holds it.
bool takeCompactLock(ShmControl* c) {
    uint32_t holder = 0;
    if (c->compactLock.compare_exchange_strong(holder, myPid())) return true;
    const uint32_t pid = holder & ~kCompactCatchUp;
    if (pid == myPid() || processGone(pid)) return c->compactLock.compare_exchange_strong(holder, myPid());
    return false;
}

void releaseCompactLock(ShmControl* c) {
    uint32_t held = c->compactLock.load();
    if ((held & ~kCompactCatchUp) == myPid()) c->compactLock.compare_exchange_strong(held, 0);
}

struct ShmTarget {
    const Store* store;
    uint32_t generation;
};

Segment* makeSharedSegment(void* ctx, uint32_t number) {
    const ShmTarget* t = static_cast<const ShmTarget*>(ctx);
    char seg[256];
    if (number >= kMaxShmSegments || !shmSegmentName(t->store->name, t->generation, number, seg, sizeof seg))
        return nullptr;
    Segment* s = Segment::createShm(seg, t->store->shape);
    if (s != nullptr) shareLikeControl(*t->store, *s);
    return s;
}

// Where each slot of each old segment went, and how far each was read.
struct CopyState {
    std::vector<std::vector<CompactPlace>> placed;
    std::vector<std::vector<uint64_t>> pending;  // reserved, unpublished when read
    std::vector<uint64_t> scanned;
    std::vector<uint64_t> generations;  // of each segment when first read

    void cover(const std::vector<Segment*>& segments) {
        for (size_t i = generations.size(); i < segments.size(); ++i)
            generations.push_back(segments[i]->header->generation.load());
        if (placed.size() >= segments.size()) return;
        placed.resize(segments.size());
        pending.resize(segments.size());
        scanned.resize(segments.size(), 0);
    }

    // A segment cleared since it was read: its slots were reused, so what
    // the first pass copied no longer tells what is live.
    bool clearedSince(const std::vector<Segment*>& segments) const {
        for (size_t i = 0; i < generations.size() && i < segments.size(); ++i)
            if (segments[i]->header->generation.load() != generations[i] || segments[i]->usedSlotsClamped() < scanned[i])
                return true;
        return false;
    }
};

int copyRange(CompactSink& sink, CopyState& cs, const Segment& seg, size_t i, uint64_t end, bool notePending) {
    std::vector<CompactPlace>& placed = cs.placed[i];
    if (placed.size() < end) placed.resize(end, CompactPlace{kNotCopied, 0});
    for (uint64_t s = cs.scanned[i]; s < end; ++s) {
        if (!seg.validAt(s)) {
            if (notePending) cs.pending[i].push_back(s);
            continue;
        }
        CompactPlace p;
        const int rc = copyLiveRecord(sink, seg, s, &p);
        if (rc < 0) return -1;
        if (rc == 0) placed[s] = p;
    }
    if (end > cs.scanned[i]) cs.scanned[i] = end;
    return 0;
}

// A codebook trained by another process during the first pass.
bool adoptLateCodebook(Store& st, CompactSink& sink) {
    if (sink.codebook != nullptr) return true;
    for (Segment* s : st.segments) s->refreshCodebook();
    const Segment* src = firstTrained(st.segments);
    if (src == nullptr) return true;
    for (Segment* seg : sink.made)
        if (!seg->publishCodebook(src->codebook)) return false;
    sink.codebook = src->codebook;
    return true;
}

// Under the creation lock with the catch-up mark set: what writers changed
// since the first pass. Slots still unpublished now belong to writers that
// will see the mark and write again.
int catchUp(Store& st, CompactSink& sink, CopyState& cs) {
    st.attachShmSegments();
    // A segment left out would be unlinked with its records at the switch.
    if (st.segments.size() != shmCountOf(st.control->segmentCount.load())) return -1;
    if (cs.clearedSince(st.segments)) return -1;
    if (!adoptLateCodebook(st, sink)) return -1;
    cs.cover(st.segments);
    for (size_t i = 0; i < st.segments.size(); ++i) {
        const Segment& seg = *st.segments[i];
        for (uint64_t s : cs.pending[i]) {
            CompactPlace p;
            const int rc = copyLiveRecord(sink, seg, s, &p);
            if (rc < 0) return -1;
            if (rc == 0) cs.placed[i][s] = p;
        }
        if (copyRange(sink, cs, seg, i, seg.usedSlotsClamped(), false) != 0) return -1;
    }
    for (size_t i = 0; i < st.segments.size(); ++i) {
        const std::vector<CompactPlace>& placed = cs.placed[i];
        for (uint64_t s = 0; s < placed.size(); ++s) {
            const CompactPlace& p = placed[s];
            if (p.segment != kNotCopied && !st.segments[i]->liveAt(s))
                sink.made[p.segment]->markDeleted(p.slot);
        }
    }
    return 0;
}

void dropNewGeneration(const Store& st, CompactSink& sink, uint32_t generation) {
    for (Segment* seg : sink.made) discardSegment(seg);
    sink.made.clear();
    removeShmGeneration(st.name, generation);
}

// The switch: one store of the segment word names G + 1 and its count.
void publishGeneration(Store& st, CompactSink& sink, uint32_t next) {
    ShmControl* c = st.control;
    const uint32_t old = st.shmGeneration;
    const size_t oldCount = st.segments.size();
    c->totalCount.store(liveCountOf(sink.made));
    publishControl(c, kCompactSegmentVersion);
    c->segmentCount.store((next << kShmCountBits) | static_cast<uint32_t>(sink.made.size()), std::memory_order_release);
    c->compactLock.store(0);
    unlockCreate(c);
    char seg[256];
    // One more than counted: a segment a killed writer was still creating.
    for (size_t n = 0; n <= oldCount; ++n)
        if (shmSegmentName(st.name, old, static_cast<uint32_t>(n), seg, sizeof seg)) shm_unlink(seg);
    adoptCompacted(st, sink.made);
    st.shmGeneration = next;
}

}  // namespace

long compactShm(Store& st) {
    ShmControl* c = st.control;
    if (c == nullptr) return -1;
    if (!takeCompactLock(c)) {
        st.writeFailure = WriteFailure::Busy;
        return -1;
    }
    st.followGeneration();
    st.attachShmSegments();
    for (Segment* s : st.segments) s->refreshCodebook();
    const uint32_t next = (st.shmGeneration + 1) & kShmCountMask;
    // What compactors killed before or after their switch left behind.
    removeShmGeneration(st.name, next);
    removeShmGeneration(st.name, (st.shmGeneration - 1) & kShmCountMask);

    ShmTarget target{&st, next};
    CompactSink sink = compactSinkFor(st, makeSharedSegment, &target, kMaxShmSegments);
    sink.expected = liveCountOf(st.segments);
    CopyState cs;
    try {
        cs.cover(st.segments);
        bool ok = true;
        for (size_t i = 0; ok && i < st.segments.size(); ++i)
            ok = copyRange(sink, cs, *st.segments[i], i, st.segments[i]->usedSlotsClamped(), true) == 0;
        // The long part, while everybody goes on with the old generation;
        // under the lock only what the catch-up added is linked in.
        ok = ok && buildCompactedGraphs(st, sink.made);
        if (ok && lockCreate(c)) {
            c->compactLock.store(myPid() | kCompactCatchUp);
            if (catchUp(st, sink, cs) == 0 && ensureSinkSegment(sink) && extendCompactedGraphs(st, sink.made)) {
                const uint64_t before = usedSlotsOf(st.segments);
                const uint64_t after = usedSlotsOf(sink.made);
                publishGeneration(st, sink, next);
                return static_cast<long>(before > after ? before - after : 0);
            }
            c->compactLock.store(myPid());
            unlockCreate(c);
        }
    } catch (...) {
        unlockCreate(c);
    }
    dropNewGeneration(st, sink, next);
    releaseCompactLock(c);
    return -1;
}

namespace {

bool compactionMayHaveMissed(const Store& st, uint32_t generation) {
    const uint32_t lock = st.control->compactLock.load();
    return (lock & kCompactCatchUp) != 0 || shmGenerationOf(st.control->segmentCount.load()) != generation;
}

// Until the generation moves, or the compactor gives up or is gone.
void waitForSwitch(const Store& st, uint32_t generation) {
    ShmControl* c = st.control;
    const double deadline = nowSeconds() + kCatchUpWaitSeconds;
    for (unsigned round = 0;; ++round) {
        if (shmGenerationOf(c->segmentCount.load()) != generation) return;
        uint32_t lock = c->compactLock.load();
        if ((lock & kCompactCatchUp) == 0) return;
        if (processGone(lock & ~kCompactCatchUp)) {
            c->compactLock.compare_exchange_strong(lock, 0);
            return;
        }
        if (nowSeconds() > deadline) return;
        timespec ts{0, round < 16 ? 20000L : 200000L};
        nanosleep(&ts, nullptr);
    }
}

}  // namespace

int writeAcrossCompaction(Store& st, int (*op)(Store&, const void*, bool), const void* args, bool combineAsDelete) {
    st.followGeneration();
    uint32_t generation = st.shmGeneration;
    int rc = op(st, args, false);
    // Written again as long as a compaction may have missed the last write
    // (also one that began while the first was being written again).
    for (int round = 0; round < kMaxWriteAgain && compactionMayHaveMissed(st, generation); ++round) {
        waitForSwitch(st, generation);
        st.followGeneration();
        if (st.shmGeneration == generation) break;  // the compactor gave up: the write stands
        generation = st.shmGeneration;
        const int again = op(st, args, true);
        rc = combineAsDelete ? (rc == 0 || again == 0 ? 0 : -1) : again;
    }
    return rc;
}

bool Store::followGeneration() {
    if (mode == StorageMode::Disk) return followDiskFiles(*this);
    if (mode != StorageMode::Shm || control == nullptr) return false;
    const uint32_t generation = shmGenerationOf(control->segmentCount.load(std::memory_order_acquire));
    if (generation == shmGeneration) return false;
    std::vector<Segment*> old;
    old.swap(segments);
    shmGeneration = generation;
    attachShmSegments();
    for (Segment* seg : old) discardSegment(seg);
    for (Segment* seg : segments) seg->refreshCodebook();
    totalCount.store(liveCountOf(segments));
    return true;
}

}  // namespace qarbin
