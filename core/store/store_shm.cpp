// Shared-memory mode: the control object "/qb_<name>", its creation lock and
// the shared segments "/qb_<name>_sNNNN" that many processes map at once.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <immintrin.h>
#include <new>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/store/store.h"
#include "core/store/store_internal.h"

namespace qarbin {

namespace {

// How long a handle waits for another process: for the creation lock, or
// for a new control object to be published. A worker killed inside either
// must not make the others wait longer than this.
constexpr double kWaitSeconds = kShmWaitSeconds;
// A handle about to train waits this long for another that trains the
// store's codebook under the lock: training many long vectors takes seconds.
constexpr double kTrainWaitSeconds = 60.0;
// New segments a record may chase when other writers keep filling them first.
constexpr int kMaxCreateAttempts = 64;

// Longest store name whose segment names, with a generation and a
// five-digit number, still fit in 255 bytes: "/qb_" + name + "_g65535_s65535".
constexpr size_t kMaxShmNameLen = 255 - 4 - 7 - 7;

double monotonicSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// One step of a bounded wait: pause hints first, then short sleeps, so that
// waiters on a two-core machine do not starve the process they wait for.
void backoff(unsigned& round) {
    if (round < 64) {
        _mm_pause();
    } else {
        timespec ts{0, round < 256 ? 20000L : 200000L};
        nanosleep(&ts, nullptr);
    }
    ++round;
}

bool controlName(const char* name, char* out, size_t cap) {
    int n = std::snprintf(out, cap, "/qb_%s", name);
    return n > 0 && static_cast<size_t>(n) < cap;
}

}  // namespace

// Generation 0 keeps the names of stores that were never compacted.
bool shmSegmentName(const char* name, uint32_t generation, uint32_t number, char* out, size_t cap) {
    int n = generation == 0 ? std::snprintf(out, cap, "/qb_%s_s%04u", name, number)
                            : std::snprintf(out, cap, "/qb_%s_g%u_s%04u", name, generation, number);
    return n > 0 && static_cast<size_t>(n) < cap;
}

namespace {

bool validName(const char* name) {
    if (name == nullptr || name[0] == '\0') return false;
    size_t len = strnlen(name, kMaxShmNameLen + 1);
    return len <= kMaxShmNameLen && std::memchr(name, '/', len) == nullptr;
}

// True when every segment this store could create or open would be readable
// by the rest of the system. Also used on values read from a control object.
bool validParameters(const Shape& shape) {
    if (shape.capacity == 0 || !Segment::creationParamsValid(shape)) return false;
    return Segment::regionBytes(shape) != 0;
}

// The shape a published control object records; the summation order stays
// the opener's own.
Shape controlShape(const ShmControl* c, bool useAvx2) {
    Shape s;
    s.dim = c->dim;
    s.metric = static_cast<DistanceMetric>(c->metric);
    s.quantization = static_cast<Quantization>(c->quantization);
    s.pqSubvectors = c->pqSubvectors;
    s.hnswM = c->hnswM;
    s.efConstruction = c->efConstruction;
    s.capacity = c->segmentCapacity;
    s.useAvx2 = useAvx2;
    s.format = c->version == kShmCompactControlVersion ? kCompactSegmentVersion : kSegmentVersion;
    return s;
}

// Takes the creation lock: compare-exchange from 0 to this process's id.
// A holder that no longer exists is replaced by compare-exchange from its
// id. Gives up (false) after `seconds`.
}  // namespace

bool lockCreate(ShmControl* c, double seconds) {
    const uint32_t me = static_cast<uint32_t>(getpid());
    double deadline = 0;
    unsigned round = 0;
    for (;;) {
        uint32_t holder = 0;
        if (c->createLock.compare_exchange_strong(holder, me)) return true;
        // Our own id can only be left by a dead process whose id we reuse:
        // this process never takes the lock twice.
        if (holder == me) return true;
        // Checking the holder costs system calls: not on every pause.
        const bool look = round >= 64 || round % 8 == 0;
        if (look && processGone(holder) && c->createLock.compare_exchange_strong(holder, me)) return true;
        if (round == 0) {
            deadline = monotonicSeconds() + seconds;
        } else if (round >= 64 && monotonicSeconds() > deadline) {
            return false;
        }
        backoff(round);
    }
}

void unlockCreate(ShmControl* c) {
    // Only if still ours: a lock taken over from us is not ours to free.
    uint32_t me = static_cast<uint32_t>(getpid());
    c->createLock.compare_exchange_strong(me, 0, std::memory_order_release, std::memory_order_relaxed);
}

namespace {

uint64_t publishedWord(const ShmControl* c) {
    return __atomic_load_n(reinterpret_cast<const uint64_t*>(c), __ATOMIC_ACQUIRE);
}

uint64_t publishedWordFor(uint32_t version) {
    return static_cast<uint64_t>(kShmControlMagic) | (static_cast<uint64_t>(version) << 32);
}

bool isPublished(uint64_t word) {
    return word == publishedWordFor(kShmControlVersion) || word == publishedWordFor(kShmCompactControlVersion);
}

}  // namespace

void publishControl(ShmControl* c, uint32_t format) {
    const uint32_t version = format == kCompactSegmentVersion ? kShmCompactControlVersion : kShmControlVersion;
    __atomic_store_n(reinterpret_cast<uint64_t*>(c), publishedWordFor(version), __ATOMIC_RELEASE);
}

void shareLikeControl(const Store& st, const Segment& seg) {
    struct stat sb;
    if (st.sharedGroup < 0 || fstat(seg.fd, &sb) != 0 || sb.st_gid == static_cast<gid_t>(st.sharedGroup)) return;
    // Allowed to root and to members of the group; otherwise the segment
    // stays in the creator's group, as before.
    if (fchown(seg.fd, static_cast<uid_t>(-1), static_cast<gid_t>(st.sharedGroup)) != 0) return;
}

namespace {

// Creates shared segment `number` with the store's parameters and, for a PQ
// store, the first trained codebook of the list. Caller holds createLock.
Segment* createSharedSegment(Store* st, uint32_t number) {
    char seg[256];
    if (number >= kMaxShmSegments || !shmSegmentName(st->name, st->shmGeneration, number, seg, sizeof seg)) return nullptr;
    Segment* s = Segment::createShm(seg, st->shape);
    if (s == nullptr) return nullptr;
    shareLikeControl(*st, *s);
    if (st->shape.quantization == Quantization::PQ && st->shape.pqSubvectors != 0) {
        for (Segment* old : st->segments) old->refreshCodebook();
        const Segment* src = firstTrained(st->segments);
        if (src != nullptr && !s->publishCodebook(src->codebook)) {
            delete s;
            return nullptr;
        }
    }
    return s;
}

// Fills a control object this process holds the creation lock of and that
// is not published yet, creates segment 0 and publishes the object last.
void initialiseControl(Store* st, ShmControl* c) {
    c->segmentCount.exchange(0);
    c->totalCount.exchange(0);
    c->dim = st->shape.dim;
    c->metric = static_cast<uint32_t>(st->shape.metric);
    c->quantization = static_cast<uint32_t>(st->shape.quantization);
    c->hnswM = st->shape.hnswM;
    c->segmentCapacity = st->shape.capacity;
    c->efConstruction = st->shape.efConstruction;
    c->compactLock.store(0);
    c->creatorPid = static_cast<uint32_t>(getpid());
    c->pqSubvectors = st->shape.pqSubvectors;
    // At most 63 bytes: byte 127 of the object stays 0.
    std::memset(c->name, 0, sizeof c->name);
    std::memcpy(c->name, st->name, strnlen(st->name, sizeof c->name - 1));

    // Segment 0 exists before anyone can see the store, so that two first
    // openers never both create it.
    Segment* first = createSharedSegment(st, 0);
    if (first != nullptr && appendSegment(st, first)) c->segmentCount.fetch_add(1);
    publishControl(c, st->shape.format);
}

enum class ControlState { Published, Initialised, Failed };

// Maps the control object behind fd (128 bytes) into st and brings it to the
// published state: as its initialiser when this handle created the object or
// took over from a creator that died, else by waiting (bounded) for the
// creator. Failed: wrong magic or version, a failing call, or the wait ran out.
ControlState attachControl(Store* st, int fd, bool created) {
    const bool rw = st->writable;
    // Only parameters that make readable segments may initialise a store.
    const bool mayInit = rw && validParameters(st->shape);
    const double start = monotonicSeconds();
    // A creator that leaves a new object unsized or unlocked this long has
    // died before it began; writable openers then initialise it themselves.
    const double takeover = start + kWaitSeconds / 2;
    const double deadline = start + kWaitSeconds;
    unsigned round = 0;
    bool sized = false;
    for (;;) {
        if (!sized) {
            struct stat sb;
            if (fstat(fd, &sb) != 0) return ControlState::Failed;
            if (sb.st_size >= static_cast<off_t>(sizeof(ShmControl))) {
                sized = true;
            } else if (created || (mayInit && monotonicSeconds() > takeover)) {
                // Our own new object, or one whose creator died before sizing it.
                if (ftruncate(fd, sizeof(ShmControl)) != 0) return ControlState::Failed;
                sized = true;
            }
        }
        if (sized && st->control == nullptr) {
            void* m = mmap(nullptr, sizeof(ShmControl), rw ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
            if (m == MAP_FAILED) return ControlState::Failed;
            st->controlMapping = m;
            st->control = static_cast<ShmControl*>(m);
        }
        if (ShmControl* c = st->control) {
            uint64_t word = publishedWord(c);
            if (isPublished(word)) return ControlState::Published;
            // Anything but all zeros is a foreign or corrupt object: leave it.
            if (word != 0) return ControlState::Failed;
            if (mayInit) {
                const uint32_t me = static_cast<uint32_t>(getpid());
                uint32_t holder = c->createLock.load();
                bool mine = false;
                if (holder == 0 && (created || monotonicSeconds() > takeover)) {
                    mine = c->createLock.compare_exchange_strong(holder, me);
                } else if (holder != 0 && (holder == me || processGone(holder))) {
                    mine = c->createLock.compare_exchange_strong(holder, me);
                }
                if (mine) {
                    // Somebody may have published between our look and the lock.
                    if (isPublished(publishedWord(c))) {
                        unlockCreate(c);
                        return ControlState::Published;
                    }
                    initialiseControl(st, c);
                    unlockCreate(c);
                    return ControlState::Initialised;
                }
                created = false;
            }
        }
        if (monotonicSeconds() > deadline) return ControlState::Failed;
        backoff(round);
    }
}

// The group and, without a "mode" of the handle's own, the permission bits
// of the control object, for the segments this handle adopts and creates.
void adoptControlSharing(Store* st) {
    struct stat sb;
    if (fstat(st->controlFd, &sb) != 0) return;
    st->sharedGroup = static_cast<long>(sb.st_gid);
    if (st->shape.fileMode == 0) st->shape.fileMode = static_cast<uint32_t>(sb.st_mode & 0777);
}

// An existing control object, or -1 (errno EPERM when another user owns
// it or may write to it: its segment names and counts are not to be trusted).
int openOwnedControl(const char* ctl, int flags) {
    const int fd = shm_open(ctl, flags, 0);
    if (fd < 0 || ownedPrivately(fd)) return fd;
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
}

// True when segment `number` of the store exists and another user owns it
// or may write to it (planted before the store made it): the store is then
// refused rather than left without the segment.
bool foreignSegment(const Store* st, uint32_t number) {
    char seg[256];
    if (!shmSegmentName(st->name, st->shmGeneration, number, seg, sizeof seg)) return false;
    const int fd = shm_open(seg, O_RDONLY, 0);
    if (fd < 0) return false;
    const bool foreign = !ownedPrivately(fd, st->sharedGroup);
    close(fd);
    return foreign;
}

// The control object's descriptor, or -1. A writable opener with
// parameters that make readable segments creates it when it is missing;
// exclusive creation decides which opener initialises a new store
// (*created). Other parameters may still open an existing store, whose own
// parameters win.
int openControlObject(const char* ctl, const Shape& shape, bool writable, bool create, bool* created) {
    if (!writable) return openOwnedControl(ctl, O_RDONLY);
    if (!create || !validParameters(shape)) return openOwnedControl(ctl, O_RDWR);
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        fd = shm_open(ctl, O_RDWR | O_CREAT | O_EXCL, kPrivateFileMode);
        if (fd >= 0) {
            if (shape.fileMode != 0) fchmod(fd, shape.fileMode);
            *created = true;
            break;
        }
        if (errno != EEXIST) break;
        fd = openOwnedControl(ctl, O_RDWR);
        if (fd < 0 && errno != ENOENT) break;  // ENOENT: destroyed meanwhile, try again
    }
    return fd;
}

}  // namespace

Store* Store::openShm(const char* name, const Shape& shape, bool writable, int* why, bool create) {
    if (why != nullptr) *why = 0;
    if (!validName(name)) return nullptr;
    char ctl[256];
    if (!controlName(name, ctl, sizeof ctl)) return nullptr;

    Store* st = new (std::nothrow) Store();
    if (st == nullptr) return nullptr;
    st->mode = StorageMode::Shm;
    st->writable = writable;
    st->shape = shape;
    std::strncpy(st->name, name, sizeof st->name - 1);

    bool created = false;
    const int fd = openControlObject(ctl, shape, writable, create, &created);
    if (fd < 0) {
        if (why != nullptr && errno == EPERM) *why = EPERM;
        if (why != nullptr && errno == ENOENT && !create) *why = ENOENT;
        delete st;
        return nullptr;
    }
    st->controlFd = fd;

    ControlState state = attachControl(st, fd, created);
    if (state == ControlState::Failed) {
        delete st;
        return nullptr;
    }
    ShmControl* c = st->control;
    if (state == ControlState::Published) {
        const Shape stored = controlShape(c, shape.useAvx2);
        if (!validParameters(stored)) {
            delete st;
            return nullptr;
        }
        st->shape = stored;
        st->shape.fileMode = shape.fileMode;
    }
    adoptControlSharing(st);
    st->shmGeneration = shmGenerationOf(c->segmentCount.load());
    st->attachShmSegments();
    if (st->writable && st->segments.empty() && lockCreate(c)) {
        // Segment 0 could not be made when the store was created; whoever
        // comes next makes it, one at a time.
        st->shmGeneration = shmGenerationOf(c->segmentCount.load());
        st->attachShmSegments();
        if (st->segments.empty() && shmCountOf(c->segmentCount.load()) == 0) {
            Segment* first = createSharedSegment(st, 0);
            if (first != nullptr && appendSegment(st, first)) c->segmentCount.fetch_add(1);
        }
        unlockCreate(c);
    }
    if (st->segmentRefusal != 0) {
        if (why != nullptr) *why = st->segmentRefusal;
        rememberOpenRefusal(*st);
        delete st;
        return nullptr;
    }
    if (foreignSegment(st, static_cast<uint32_t>(st->segments.size()))) {
        if (why != nullptr) *why = EPERM;
        delete st;
        return nullptr;
    }
    // From the segments' own counts: the shared total can be off by a write
    // that a compaction's switch made its writer apply twice.
    st->totalCount.exchange(liveCountOf(st->segments));

    if (st->shape.quantization == Quantization::PQ && st->shape.pqSubvectors != 0) {
        for (Segment* s : st->segments) s->refreshCodebook();
        if (firstTrained(st->segments) == nullptr) {
            st->pqBuffer = new (std::nothrow) PQTrainingBuffer();
            if (st->pqBuffer == nullptr) {
                delete st;
                return nullptr;
            }
        }
    }
    return st;
}

// A segment the control object counts exists: one that does not open is
// refused, unless a compaction moved the store on meanwhile (the old
// generation's objects are removed then, and followGeneration takes over).
void Store::refuseCountedSegment(const char* segment, int err) {
    if (shmGenerationOf(control->segmentCount.load()) != shmGeneration) return;
    refuseSegment(this, err == ENOENT ? kSegmentMissing : refusalCause(err), segment);
}

void Store::attachShmSegments() {
    if (control == nullptr) return;
    segmentRefusal = 0;
    const uint32_t word = control->segmentCount.load(std::memory_order_acquire);
    // Another generation's segments are attached by followGeneration only,
    // never in the middle of an operation on this one's.
    if (shmGenerationOf(word) != shmGeneration) return;
    const uint32_t shared = std::min(shmCountOf(word), kMaxShmSegments);
    // Numbers and list positions stay equal: stop at the first number that
    // does not open (yet) and start from it again next time.
    for (size_t n = segments.size(); n < shared; ++n) {
        char seg[256];
        if (!shmSegmentName(name, shmGeneration, static_cast<uint32_t>(n), seg, sizeof seg)) return;
        Segment* s = Segment::openShm(seg, writable ? 1 : 0, sharedGroup);
        if (s == nullptr) {
            // A compaction that switched meanwhile removes this generation's
            // objects: not a refusal, the caller follows the new one.
            const int err = errno;
            if (shmGenerationOf(control->segmentCount.load(std::memory_order_acquire)) == shmGeneration)
                refuseCountedSegment(seg, err);
            return;
        }
        if (s->dim != shape.dim || s->quantization != static_cast<uint32_t>(shape.quantization) ||
            s->pqSubvectors != shape.pqSubvectors) {
            delete s;
            refuseCountedSegment(seg, EINVAL);
            return;
        }
        if (!appendSegment(this, s)) return;
    }
}

int Store::addToNewShmSegment(uint64_t id, const char* key, const float* vector, const char* metadata,
                              uint32_t metaLen, const char* text, uint32_t textLen) {
    if (control == nullptr || !writable) return -1;
    // Other writers may fill a new segment between our unlock and our add;
    // the record then simply goes on to the next new segment.
    for (int attempt = 0; attempt < kMaxCreateAttempts; ++attempt) {
        if (!lockCreate(control)) return -1;
        // A compaction switched generations while this write was on its way:
        // the caller follows and writes into the new one.
        if (shmGenerationOf(control->segmentCount.load()) != shmGeneration) {
            unlockCreate(control);
            return kGenerationMoved;
        }

        // Another process may have made room while we waited for the lock.
        size_t before = segments.size();
        attachShmSegments();
        if (segmentRefusal != 0) {
            unlockCreate(control);
            writeFailure = WriteFailure::Refused;
            return -1;
        }
        for (size_t i = before; i < segments.size(); ++i) {
            segments[i]->refreshCodebook();
            if (segments[i]->add(id, key, vector, metadata, metaLen, text, textLen) == 0) {
                unlockCreate(control);
                totalCount.fetch_add(1);
                control->totalCount.fetch_add(1);
                return 0;
            }
        }

        // A counted number that failed to attach (for instance no descriptor
        // left) is not created again: that would wipe its records.
        uint32_t number = shmCountOf(control->segmentCount.load());
        if (number != segments.size()) {
            unlockCreate(control);
            return -1;
        }
        Segment* seg = createSharedSegment(this, number);
        if (seg == nullptr || !appendSegment(this, seg)) {
            unlockCreate(control);
            return -1;
        }
        control->segmentCount.fetch_add(1);
        unlockCreate(control);

        const int rc = seg->add(id, key, vector, metadata, metaLen, text, textLen);
        if (rc == 0) {
            totalCount.fetch_add(1);
            control->totalCount.fetch_add(1);
            return 0;
        }
        if (rc == -2) return -2;
        if (seg->usedSlotsClamped() < seg->capacity()) return -1;  // refused for another reason
    }
    return -1;
}

namespace {

// Attaches new segments and, when one of them is trained, copies its
// codebook into the untrained ones. False when no segment is trained.
bool adoptTrained(Store* st) {
    st->attachShmSegments();
    for (Segment* s : st->segments) s->refreshCodebook();
    const Segment* src = firstTrained(st->segments);
    if (src == nullptr) return false;
    for (Segment* s : st->segments) {
        if (s->codebook == nullptr) s->publishCodebook(src->codebook);
    }
    return true;
}

}  // namespace

bool Store::adoptSharedCodebook() {
    if (control == nullptr) return false;
    if (adoptTrained(this)) return true;
    if (!writable || pqBuffer == nullptr || pqBuffer->count == 0) return false;

    // Workers tend to fill their buffers at the same moment. Training once
    // for the whole store, under the creation lock, keeps two handles from
    // training the same shared codebook at once: the first trains, the
    // others then find its codebook and adopt it.
    if (!lockCreate(control, kTrainWaitSeconds)) return adoptTrained(this);
    bool adopted = adoptTrained(this);
    if (!adopted) {
        Segment* first = nullptr;
        for (Segment* s : segments) {
            if (s->writable) {
                first = s;
                break;
            }
        }
        try {
            if (first != nullptr && first->trainPQCodebook(pqBuffer->vectors.data(), pqBuffer->count) == 0) {
                first->refreshCodebook();
                adopted = adoptTrained(this);
            }
        } catch (...) {
            adopted = false;
        }
    }
    unlockCreate(control);
    return adopted;
}

bool shmControlReplaced(const Store& st) {
    char ctl[256];
    if (st.controlFd < 0 || !controlName(st.name, ctl, sizeof ctl)) return true;
    const int fd = shm_open(ctl, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return true;
    struct stat named, held;
    const bool same = fstat(fd, &named) == 0 && fstat(st.controlFd, &held) == 0 && named.st_dev == held.st_dev &&
                      named.st_ino == held.st_ino;
    close(fd);
    return !same;
}

bool Store::destroyShm(const char* name) {
    if (!validName(name)) return false;
    char ctl[256];
    if (!controlName(name, ctl, sizeof ctl)) return false;
    int fd = shm_open(ctl, O_RDONLY, 0660);
    if (fd >= 0) {
        struct stat sb;
        uint32_t word = 0;
        if (fstat(fd, &sb) == 0 && sb.st_size >= static_cast<off_t>(sizeof(ShmControl))) {
            void* m = mmap(nullptr, sizeof(ShmControl), PROT_READ, MAP_SHARED, fd, 0);
            if (m != MAP_FAILED) {
                word = static_cast<const ShmControl*>(m)->segmentCount.load();
                munmap(m, sizeof(ShmControl));
            }
        }
        close(fd);
        const uint32_t generation = shmGenerationOf(word);
        const uint32_t count = shmCountOf(word);
        char seg[256];
        for (uint32_t n = 0; n < count; ++n) {
            if (shmSegmentName(name, generation, n, seg, sizeof seg)) shm_unlink(seg);
        }
        // A segment a killed worker was still creating carries the next
        // number without being counted; a killed compactor may have left
        // the generations beside the current one.
        if (shmSegmentName(name, generation, count, seg, sizeof seg)) shm_unlink(seg);
        removeShmGeneration(name, (generation + 1) & kShmCountMask);
        removeShmGeneration(name, (generation - 1) & kShmCountMask);
    }
    return shm_unlink(ctl) == 0;
}

void removeShmGeneration(const char* name, uint32_t generation) {
    char seg[256];
    for (uint32_t n = 0; n < kMaxShmSegments; ++n) {
        if (!shmSegmentName(name, generation, n, seg, sizeof seg) || shm_unlink(seg) != 0) return;
    }
}

}  // namespace qarbin
