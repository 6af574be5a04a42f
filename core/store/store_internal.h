// Pieces shared by the store's own source files; not part of its interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/index/hnsw.h"
#include "core/segment/segment.h"
#include "core/store/store.h"

namespace qarbin {

// For each key, the segments that may hold a live record under it, so that
// a write or a fetch visits those instead of every segment. Process-local,
// used by memory and disk stores. The segments stay the truth: the lists are
// a superset, every candidate is checked against its slots (findLiveByKey,
// getByKey) and dropped when it holds no live record of the key.
//
// sync() reads the slots published since its last call. Only a segment with
// room can receive records (also from another process mapping the same
// file), so a full segment is read once and not revisited; a clear of the
// store raises segment 0's generation, and the directory then starts over.
// Any method may throw std::bad_alloc; the directory must then be discarded.
class KeyDirectory {
public:
    // Catches up with `segments`. False when the segments changed under the
    // walk too often to finish (another process clearing); discard it then.
    bool sync(const std::vector<Segment*>& segments);

    // Index of the first segment (list order) holding a live record under
    // key, whose slots findLiveByKey appended to `slots`; -1 when none.
    // key: NUL-terminated, keyLen (< 64) bytes.
    int firstLive(const std::vector<Segment*>& segments, const char* key, size_t keyLen, uint64_t hash,
                  std::vector<uint64_t>& slots);
    // The first live record under key in the newest segment that has one.
    // Its slot, or -1.
    int64_t newestLive(const std::vector<Segment*>& segments, const char* key, size_t keyLen, uint64_t hash,
                       Segment** segOut);

    size_t keys() const { return used_; }

private:
    static constexpr uint32_t kNoSegment = UINT32_MAX;
    struct Entry {
        uint64_t hash;
        uint32_t keyRef;  // 1 + offset of the key (length byte, bytes) in keys_; 0: free bucket
        uint32_t seg;     // the only candidate, or kNoSegment; unused while list != 0
        uint32_t list;    // 1 + index into lists_ when there are several candidates
        uint32_t pad;
    };
    struct SegmentState {
        bool seen = false;
        uint64_t scanned = 0;           // slots [0, scanned) were read
        std::vector<uint64_t> pending;  // reserved but not yet published when read
    };

    void reset();
    void syncSegment(const Segment* seg, uint32_t index, SegmentState& st);
    void insert(const char* key, size_t keyLen, uint64_t hash, uint32_t seg);
    Entry* find(const char* key, size_t keyLen, uint64_t hash);
    bool keyEquals(const Entry& e, const char* key, size_t keyLen) const;
    void grow();
    // Brings a list entry back to the single form once it holds one candidate or none.
    void compact(Entry& e);

    std::vector<Entry> table_;
    size_t used_ = 0;
    std::vector<char> keys_;
    std::vector<std::vector<uint32_t>> lists_;
    std::vector<uint32_t> freeLists_;
    std::vector<SegmentState> states_;
    size_t syncFrom_ = 0;  // segments before it are full and read completely
    uint64_t generation_ = 0;
    bool started_ = false;
};

// The first segment in list order with a live record under key (what del
// marks), its slots appended to `slots`; -1 when none. Uses the directory in
// memory and disk mode and walks every segment otherwise or when the
// directory cannot be kept. keyLen < 64. May throw std::bad_alloc.
int findFirstLive(Store& store, const char* key, size_t keyLen, std::vector<uint64_t>& slots);

// What get returns: the first live record under key in the newest segment
// holding one: its slot in *segOut, or -1. Never throws.
int64_t findNewestLive(Store& store, const char* key, size_t keyLen, Segment** segOut);

// Drops the directory and the add hint when segment 0 was cleared since
// they were taken (clear of the whole store, by any process).
void refreshWriteHints(Store& store);

// The segment-file scan: appends seg_NNNN from the list's length on (seg_0000
// for a new store), seg_0001, ... of
// dir to the store (mapped shared and writable when `mapFiles`, copied into
// private memory otherwise), stopping at the first missing, unreadable or
// mismatching file. The first file decides the store's shape. Returns the
// number of files taken.
// A file that exists but cannot be taken, or a missing number with a later
// file, is refused (Store::segmentRefusal, also *refused when given).
size_t scanSegmentFiles(Store* store, const char* dir, bool mapFiles, int* refused = nullptr);

// Refusals (store_refusal.cpp). refusalCause: the cause for the errno a
// segment opener left (ENODATA: truncated, EINVAL: not a segment).
int refusalCause(int err);
void refuseSegment(Store* store, int cause, const char* segment);
// Keeps the refused segment's name for the opener's caller.
void rememberOpenRefusal(const Store& store);
// Whether dir holds seg_NNNN.qbseg with a number above `number`.
bool laterSegmentFileExists(const char* dir, uint32_t number);

// The next segment file of a disk store, "<dir>/seg_NNNN.qbseg" with
// NNNN = the number of segments; null when it exists already, the number
// reaches 10000 or the file cannot be created.
Segment* createSegmentFile(Store* store);

// Disk mode, the last step of add when every segment of the list refused
// the record: attaches the files other processes on the same directory
// created since (the scan goes on from the list's length) and offers the
// record to them, then creates the next file. When another process creates
// that number first, the exclusive create fails with EEXIST and the record
// goes on to the next number. 0 stored, -1 refused, -2 untrained.
int addToNewDiskSegment(Store* st, uint64_t id, const char* key, const float* vector, const char* metadata,
                        uint32_t metaLen, const char* text = nullptr, uint32_t textLen = 0);
constexpr int kMaxDiskCreateAttempts = 64;

// Whether the name a long-lived handle opened now stands for other bytes
// than it holds: the control object was destroyed (and maybe made again),
// or the first segment file was removed or replaced.
bool shmControlReplaced(const Store& st);
// 1 when path names the file open as fd, 0 when it names another file, -1
// when it names none (or fd is not open).
int pathNamesFile(const char* path, int fd);
bool diskFilesReplaced(const Store& st);

// Creates the empty PQ training buffer when the store encodes with PQ, has a
// sub-vector count and no segment carries a trained codebook.
void createTrainingBufferIfNeeded(Store* store);

// The first segment of the list with a trained codebook, or null.
const Segment* firstTrained(const std::vector<Segment*>& segments);

// Index of the first held-back entry whose key equals key byte for byte, or -1.
long heldBackIndex(const PQTrainingBuffer& buffer, const char* key);

// Memory mode: replaces the full last segment by a copy of twice its
// capacity (records, graph and codebook kept), within the memory limit
// counted with both regions. False (nothing changed) when it cannot.
bool growLastSegment(Store* store);

// Appends seg to the store's list; false (seg deleted) when the list cannot grow.
bool appendSegment(Store* store, Segment* seg);

// True when no process has this id any more (or only a zombie does).
bool processGone(uint32_t pid);

// The segment's graph writer word: taken by compare-exchange from 0, or
// from a holder that is gone; false (nothing waited for) while another
// live process holds it. Released by the process that took it.
bool takeGraphWriter(SegmentHeader* h);
void releaseGraphWriter(SegmentHeader* h);

// A segment whose last graph writer died while extending its graph: the
// graph is marked unusable (searches then score its records exactly) and the
// next build makes it afresh. Nothing happens while a live writer holds it,
// nor for a segment opened read-only.
void settleDeadExtension(Segment& seg);

// Builds (when `rebuild`, no usable graph or a dead writer's extension) or extends seg's graph under
// its writer word. -2 when another process holds it (nothing done),
// otherwise what buildHnsw or hnswInsertIncremental returned. threads: how
// many threads make the nodes (1: the calling thread alone); levels: the
// segment's level stream across the steps of one build, or null.
int indexSegment(Segment& seg, bool rebuild, const GraphStop* stop, uint32_t threads = 1,
                 LevelStream* levels = nullptr);

// Extends seg's text index (store_text.cpp) over the records published
// since it was last extended; formats it first when it is new, was left
// mid-rewrite by a killed writer or is damaged. The caller holds the
// segment's graph writer word. 0 done (or nothing to do), -1 when the area
// could not be backed or is full (the records are then scored from their
// text).
int indexSegmentText(Segment& seg);

// Scratch of each thread but the caller's in a build of seg: a visit mark
// and a slot per node, a lock and a made flag per node, a decode block.
uint64_t graphScratchPerThread(const Segment& seg);
// The threads a build of seg may use: st.threads, fewer when their scratch
// would pass st.memoryLimit together with the segments; at least 1.
uint32_t graphThreads(const Store& st, const Segment& seg);

// One query over every segment and the held-back vectors, the preparation
// of Store::prepareSearch done: results (room for k) filled and sorted best
// first; returns how many. Only reads the store, so several threads may run
// it at once. dropPages: a disk store's record pages are let go after each
// segment.
int searchPrepared(const Store& st, const float* query, int k, int ef, const MetadataTest& keep, bool dropPages,
                   Result* results);

// Compaction (store_compact.cpp). New segments made on demand by `make`
// (number: 0, 1, ... in the order made), each given `codebook` when set.
struct CompactSink {
    Segment* (*make)(void* ctx, uint32_t number) = nullptr;
    void* ctx = nullptr;
    const float* codebook = nullptr;
    uint32_t maxSegments = UINT32_MAX;
    // Records expected and placed so far: the pages a new shared segment
    // will receive are faulted in with one call, not one by one.
    uint64_t expected = 0;
    uint64_t placed = 0;
    std::vector<Segment*> made;
    // Whether the last source segment's records can be copied as stored
    // (its codebook is the new segments'): judged once per segment.
    const Segment* checkedSource = nullptr;
    const float* checkedCodebook = nullptr;
    bool sourceAsStored = true;
};
// A sink making segments through make(ctx, number), up to maxSegments, each
// given the store's trained codebook when it has one.
CompactSink compactSinkFor(const Store& st, Segment* (*make)(void* ctx, uint32_t number), void* ctx,
                           uint32_t maxSegments);
// Where a copied record landed: index into `made` and slot.
struct CompactPlace {
    uint32_t segment;
    uint64_t slot;
};
// Deletes a segment without flushing it.
void discardSegment(Segment* seg);
// Copies the record in `slot` of src when it is live: 0 copied (*placed
// filled when given), 1 not live, -1 no new segment could take it (or its
// codes have no codebook to read them by).
int copyLiveRecord(CompactSink& sink, const Segment& src, uint64_t slot, CompactPlace* placed);
// Every live record of `from` in order (none unless keepRecords); at least
// one segment is made. 0, or -1 (the caller discards sink.made).
int copyLiveRecords(const std::vector<Segment*>& from, CompactSink& sink, bool keepRecords);
// A store always has a segment to write into: makes the first when none.
bool ensureSinkSegment(CompactSink& sink);
uint64_t usedSlotsOf(const std::vector<Segment*>& segments);
uint64_t liveCountOf(const std::vector<Segment*>& segments);
// Puts `made` in place of the store's segments (which are discarded) and
// starts the process-local helpers and the count over. made is left empty.
void adoptCompacted(Store& st, std::vector<Segment*>& made);

// Memory mode: compacts the store when it is full and more of its slots
// are dead than live (a set calls it before anything else).
void compactMemoryIfMostlyDead(Store& st);

// Disk mode (store_disk_compact.cpp): the live records (none unless
// keepRecords) written under a temporary directory, committed by one
// rename, then moved in place. Slots reclaimed, or -1 (store unchanged).
long compactDisk(Store& st, bool keepRecords);
// When seg_0000 of the directory is no longer the file this handle mapped
// (another handle compacted or cleared the store), drops the old list and
// scans the directory again. True when it did.
bool followDiskFiles(Store& st);
// Completes a committed compaction of dir (also one a killed process left
// half done) and removes what a killed compactor left before its commit.
// False when the committed state could not be put in place.
bool finishDiskCompaction(const char* dir);
// The number of files a committed but unfinished compaction of dir keeps,
// or kMaxSegmentFiles when there is none; *ready receives its directory.
uint32_t committedFileCount(const char* dir, char* ready, size_t cap);

// Shared-memory mode (store_shm.cpp, store_shm_compact.cpp).
// Segment numbers read from the control object are untrusted; the count
// has 16 bits.
constexpr uint32_t kMaxShmSegments = kShmCountMask;
// How long a handle waits for another process holding a lock.
constexpr double kShmWaitSeconds = 5.0;
// An add in shm mode found the generation switched under it (nothing stored).
constexpr int kGenerationMoved = -3;
// "/qb_<name>_sNNNN" in generation 0, "/qb_<name>_g<G>_sNNNN" after.
bool shmSegmentName(const char* name, uint32_t generation, uint32_t number, char* out, size_t cap);
// Unlinks the objects of one generation, from number 0 to the first missing.
void removeShmGeneration(const char* name, uint32_t generation);
// The creation lock: taken from 0 or from a holder that is gone; false
// after `seconds`. Released only by its holder.
bool lockCreate(ShmControl* c, double seconds = kShmWaitSeconds);
void unlockCreate(ShmControl* c);
// Publishes the control object as a store of segments in `format`.
void publishControl(ShmControl* c, uint32_t format);
long compactShm(Store& st);
// Puts a shared segment this handle created into the control object's
// group (Store::sharedGroup) where the system allows it.
void shareLikeControl(const Store& st, const Segment& seg);

// Graphs of a compaction's new segments (store_compact_graphs.cpp), for each
// one automatic indexing would index: built from scratch, or extended with
// the records a catch-up added. False when one could not be made.
bool buildCompactedGraphs(const Store& st, const std::vector<Segment*>& made);
bool extendCompactedGraphs(const Store& st, const std::vector<Segment*>& made);
// set and del in shm mode: the write in this handle's generation and, when
// a compaction may have copied that generation before the write landed,
// once more in the generation it switched to. op(st, replay) is the write.
// A record the store's format cannot hold whole (over recordLimit).
// Text too: refused when the store's format holds none or it is too long.
bool overLimit(const Store& st, const char* key, const char* metadata, uint32_t metaLen, const char* text = nullptr,
               uint32_t textLen = 0);
// True (writeFailure MemoryLimit) when a compact memory segment's new
// variable bytes for this key and metadata would pass memory_limit.
bool overMemoryLimit(Store& st, const char* key, const char* metadata, uint32_t metaLen, uint32_t textLen = 0);
int writeAcrossCompaction(Store& st, int (*op)(Store&, const void*, bool), const void* args, bool combineAsDelete);

// The scan reads seg_0000 to seg_9999; no store or snapshot writes a file it
// could not read back.
constexpr uint32_t kMaxSegmentFiles = 10000;

// "<dir>/seg_NNNN.qbseg" into out (cap bytes); false when it does not fit.
bool segmentFilePath(const char* dir, uint32_t number, char* out, size_t cap);

}  // namespace qarbin
