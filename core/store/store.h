// A store: an ordered list of segments seen as one keyed collection, in
// private memory, a directory of segment files or POSIX shared memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/filter/filter.h"
#include "core/index/hnsw.h"
#include "core/segment/segment.h"
#include "core/store/shm_control.h"

namespace qarbin {

class KeyDirectory;

// Vectors held back while a product-quantization codebook is untrained.
struct PQTrainingBuffer {
    std::vector<float> vectors;  // dim floats per entry, arrival order
    std::vector<uint64_t> ids;
    std::vector<std::string> keys;
    std::vector<std::string> metadata;  // empty string: no metadata
    std::vector<std::string> texts;
    std::vector<uint8_t> hasText;
    uint32_t count = 0;
};

// What stats() reports of full text (Store::textStats).
struct TextStats {
    uint64_t records = 0;  // live records with text
    uint64_t indexed = 0;  // of them, those the segments' text indexes cover
    uint64_t terms = 0;    // terms of the indexes (a term in two runs or segments counts each time)
    uint64_t bytes = 0;    // bytes the indexes take
};

// What stats() reports, gathered in one pass over the segment list.
struct StoreStats {
    StorageMode mode;
    uint64_t totalCount;
    uint64_t segmentCount;
    Shape shape;
    uint64_t bytesPerVector;  // encoded size of one stored vector
    bool indexReady;          // some segment has a usable graph
    uint64_t unindexed;  // live records without a graph node
    uint64_t deadCount;  // used slots whose record was deleted or replaced
    double memoryMb;     // mapped size of every segment
    TextStats text;
};

// Called for each record a dump writes: key (NUL-terminated, at most
// kLongestKeyBytes, never empty), dim floats (finite: see forEachRecord), metadata or
// null with its length, text or null (none) with its length. Returns false
// to stop the walk.
typedef bool (*RecordVisitor)(void* ctx, const char* key, const float* vec, const char* meta, uint32_t metaLen,
                              const char* text, uint32_t textLen);

// Why a record cannot be stored: its key (the bytes up to the first NUL)
// or its metadata is longer than a record of the format holds (a store's
// new segments decide: Shape.format).
enum class RecordLimit { Ok, KeyTooLong, MetadataTooLong };
uint32_t maxKeyBytes(uint32_t format);
uint32_t maxMetadataBytes(uint32_t format);
RecordLimit recordLimit(size_t keyLen, size_t metaLen, uint32_t format);

class Store;

// Why a record's text cannot be stored: the store writes version-6 slots,
// which hold no text; longer than kCompactMaxTextBytes; not UTF-8.
enum class TextLimit { Ok, NotAllowed, TooLong, NotUtf8 };
TextLimit textLimit(const Store& st, const char* text, size_t len);

// Whether a filtered search of k results with beam ef should scan the
// matching records rather than walk the graph: judged from the match rate
// of an evenly spaced sample of the stored records, which *share receives
// (1 when nothing could be sampled) (store_filter.cpp).
bool preferFilteredScan(const Store& st, const Filter& filter, int k, int ef, float* share);

// FNV-1a, 64 bits, over the key's bytes up to its NUL.
uint64_t recordId(const char* key);

// What the retrieval calls add to a search (store_retrieve.cpp).
struct SearchRefinement {
    // Rows scoring below it, and rows whose score is NaN, are dropped; the
    // default keeps every row.
    double minScore = -std::numeric_limits<double>::infinity();
    // 0 to 1: rows are chosen by maximal marginal relevance among the
    // beam's candidates (mmr.h); 0 keeps the search's own rows and order.
    double diversity = 0.0;
    // The record left out (NUL-terminated key), or null.
    const char* excludeKey = nullptr;
};

// Why the last write was refused, where the store knows it.
// Refused: a segment that exists could not be taken (Store::segmentRefusal).
enum class WriteFailure { Unknown, Full, MemoryLimit, NoSpace, OutOfMemory, Busy, Refused };

// Why a segment that exists could not be taken, beside errno values such as
// EACCES or EPERM: negative, so never an errno.
constexpr int kSegmentTruncated = -1;   // shorter than its header says (or than a header)
constexpr int kSegmentMissing = -2;     // a number missing while a later one exists
constexpr int kSegmentNotOfStore = -3;  // not a segment, or one of another shape
// The segment (path or shared name) the last opener that refused one named.
const char* lastRefusedSegment();

class Store {
public:
    std::vector<Segment*> segments;
    StorageMode mode = StorageMode::Memory;
    // Dimension, metric, encoding, graph settings, the capacity of each new
    // segment and the summation order; an existing store's come from its
    // first segment or its control object.
    Shape shape;
    char dir[4096] = {};
    char name[256] = {};
    std::atomic<uint64_t> totalCount{0};
    bool writable = true;
    PQTrainingBuffer* pqBuffer = nullptr;
    uint32_t pqTrainingSize = 256;
    uint32_t autoIndexThreshold = 100;
    uint64_t memoryLimit = 0;
    // Threads the explicit long calls may use (buildIndex, the graphs of
    // compact, searchBatch); automatic indexing always runs on the caller.
    uint32_t threads = 1;
    // The level stream of each segment across the steps of one explicit
    // build (indexFor), so that where the steps are cut does not matter.
    std::vector<LevelStream> buildLevels;
    ShmControl* control = nullptr;
    // Shared memory: the generation the attached segments belong to.
    uint32_t shmGeneration = 0;
    void* controlMapping = nullptr;
    int controlFd = -1;
    // Shared memory: the control object's group. Segments in it are adopted
    // as the control object is, and segments this handle creates get it
    // (with the control object's permission bits when no "mode" was given),
    // so a store shared with a group stays shared whoever adds to it.
    long sharedGroup = -1;
    // Process-local write helpers (memory and disk mode). Segments before
    // firstOpenSegment are full; clear() sets it back to 0. keyDirectory maps
    // keys to the segments that may hold them (store_internal.h).
    uint64_t firstOpenSegment = 0;
    uint64_t firstOpenGeneration = 0;  // generation of segment 0 the hint belongs to
    KeyDirectory* keyDirectory = nullptr;
    // Set by a set, add or compact that returns -1 (Unknown when the cause
    // is none of the others; Busy: another process is compacting).
    WriteFailure writeFailure = WriteFailure::Unknown;
    // Set when an open, attach, scan or catch-up met a segment that exists
    // but cannot be taken: why (an errno or a kSegment... cause) and which.
    // The segments after it stay unattached, so the store must not answer.
    int segmentRefusal = 0;
    char refusedSegment[4096] = {};

    Store() = default;
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Openers: an owned store, or null (see each mode for when).
    // dir: segment files to load first (never written), or null.
    // why, when given, receives the errno of a failure the store can name
    // (EPERM: a directory, file or object another user owns or may write;
    // ENOTDIR, EACCES, ENOSPC, ... from the system), else 0.
    // Null, *why set, also when a segment file of dir exists but cannot be
    // loaded (Store::segmentRefusal).
    // create false: refused (*why = ENOENT) unless dir holds segment files.
    static Store* openMemory(const Shape& shape, const char* dir, int* why = nullptr, bool create = true);
    // Creates missing directories of dir (as mkdir -p does) and refuses one
    // it cannot create, open, or own privately, and a store without a
    // segment file it could create.
    // create false: a directory without segment files, or a shared store
    // without its control object, is refused with *why = ENOENT and nothing
    // is created.
    static Store* openDisk(const char* dir, const Shape& shape, int* why = nullptr, bool create = true);
    static Store* openShm(const char* name, const Shape& shape, bool writable, int* why = nullptr, bool create = true);
    static bool destroyShm(const char* name);

    // One further segment with the store's parameters, not yet appended; null when none.
    Segment* createNewSegment();
    uint64_t count() const;

    // Write path. 0 stored (or held back), -1 rejected (also a record over
    // recordLimit, or with text a store of version-6 segments cannot hold:
    // textAllowed), -2 PQ codebook untrained. text: textLen bytes of
    // well-formed UTF-8 (the caller checks), or null for none.
    int set(const char* key, const float* vector, const char* metadata, uint32_t metaLen, const char* text = nullptr,
            uint32_t textLen = 0);
    int add(uint64_t id, const char* key, const float* vector, const char* metadata, uint32_t metaLen,
            const char* text = nullptr, uint32_t textLen = 0);
    // Whether new records may carry text: the store writes compact segments.
    bool textAllowed() const { return shape.format == kCompactSegmentVersion; }
    int del(const char* key);
    // Replaces the metadata (metaLen bytes, or none when null) of the record
    // stored under key and keeps its vector, its graph node and its place:
    // 1 replaced, 0 no record under key, -1 refused (over recordLimit or
    // memory_limit) or failed. In a compact segment the new bytes are
    // published at once for every process; a record of a fixed-slot
    // segment is written again as set() writes it.
    int setMetadata(const char* key, const char* metadata, uint32_t metaLen);
    void flushPQBuffer();

    // Queries. search allocates *out through the allocation seam (k results,
    // n filled, best first) and returns n; the caller releases it.
    // filter: when not null and not empty, only records it matches are
    // returned (the walk or a filtered scan, chosen by preferFilteredScan).
    // maxRows: the cap of topK (callers that drop rows afterwards ask for
    // a few more than the rows a search returns). -1 (nothing allocated)
    // when a segment another process created cannot be taken
    // (segmentRefusal).
    int search(const float* query, int topK, float precision, Result** out, const Filter* filter = nullptr,
               int maxRows = kMaxTopK);
    // What every search does before it reads a segment: automatic indexing
    // and the choice between walk and scan. Returns the beam (0: a scan)
    // and the filter's test in *keep.
    int prepareSearch(int k, float precision, const Filter* filter, MetadataTest* keep);
    // `count` searches of the queries (count x shape.dim floats) on up to
    // `threads` threads, the same rows as search gives each: query i's
    // rows at results + i * k (k = topK capped), their number in counts[i].
    // results (count x k) and counts come from the caller. 0, or -1 when a
    // thread failed (out of memory) or a segment cannot be taken.
    int searchMany(const float* queries, uint32_t count, int topK, float precision, const Filter* filter,
                   uint32_t threads, Result* results, int* counts);
    // search refined by `how` (store_retrieve.cpp): the same rows cut at
    // minScore, without the excluded record, chosen for diversity.
    int retrieve(const float* query, int topK, float precision, Result** out, const Filter* filter,
                 const SearchRefinement& how);
    // retrieve with the vector of the record stored under key as the query,
    // that record left out; -1 (nothing allocated) when none is stored.
    int similar(const char* key, int topK, float precision, Result** out, const Filter* filter,
                SearchRefinement how);
    // Live records the filter matches (null: all), in store order
    // (held-back records first), skipping the first `offset` of them: at
    // most `limit` rows with key and metadata (score 0), allocated through
    // the seam into *out (untouched when 0 is returned). Reads no vector.
    // -1 when the rows cannot be allocated or a segment cannot be taken.
    long find(const Filter* filter, uint64_t offset, uint64_t limit, Result** out);
    void maybeAutoIndex();
    // Rebuilds every segment's graph from scratch; -1 when one could not be
    // built (or another process was changing it).
    int buildIndex();
    // Builds or extends every segment's graph, stopping once `seconds` have
    // passed (0: no limit). 1 when stopped with work left (the graphs made
    // so far are usable), 0 when done, -1 when a segment failed. Segments
    // another process is indexing are left to it.
    // `first`: the first step of a build (the level streams begin anew).
    int indexFor(double seconds, bool first = true);
    // Roughly how many records still need a graph node (for progress).
    uint64_t pendingGraphRecords() const;
    // Live records a published graph node stands for.
    uint64_t recordsInGraphs() const;
    // vecOut: dim floats; *metaOut allocated through the seam when non-null.
    // *textOut (when textOut is given): the record's text, allocated
    // through the seam with a NUL after its *textLenOut bytes, or null when
    // it has none.
    int get(const char* key, float* vecOut, char** metaOut, uint32_t* lenOut, char** textOut = nullptr,
            uint32_t* textLenOut = nullptr);

    // Deletes every live record the filter matches, as del() would, and
    // returns how many; -1 when the store is read-only.
    long deleteWhere(const Filter& filter);
    // Whether a live record is stored under key.
    bool has(const char* key);
    // The distinct live keys starting with prefix (prefixLen bytes), in
    // store order (held-back records first).
    void keys(const char* prefix, size_t prefixLen, std::vector<std::string>* out);

    void clear();
    int snapshot(const char* dir) const;
    // Rewrites the live records (encoded vectors as stored, held-back PQ
    // records and the codebook untouched) into fresh segments, drops the
    // old ones and returns the slots given back; -1 (store unchanged) when
    // the new segments cannot be made. Graphs are left to automatic
    // indexing or buildIndex(). Disk: the new files replace the old ones
    // atomically (a crash leaves one or the other). Shared memory: other
    // processes go on reading and writing; see followGeneration().
    long compact();

    // Another process may shorten a segment file or shared object under the
    // mapping. truncatedBacking names the first backing object (segment
    // path, shared segment or control object) shorter than its mapping, or
    // returns null: one fstat per object. abandonWrites then makes the store
    // and its segments read-only, so that closing it writes nothing.
    const char* truncatedBacking() const;
    void abandonWrites();

    // For a handle kept open across requests, before it serves again: false
    // when what it opened is gone or was replaced (destroyed, its files
    // removed, a backing object shortened), so the caller opens anew; else
    // it takes in what other processes did meanwhile (new shared segments
    // and files, the record count) and returns true. Records written into
    // segments it holds are found without this, as for any open handle.
    bool catchUp();

    // BM25 as SQLite FTS5's bm25() ranks (larger is better here), the
    // query's words joined by OR, statistics over every live record with
    // text in the store: at most topK rows (capped at kMaxTopK) scoring at
    // least minScore, best first, ties by key, with their key, metadata,
    // text and score, allocated through the seam into *out (which the
    // caller releases when set). A query without words gives no rows. -1
    // when a segment another process created cannot be taken.
    int searchText(const char* query, size_t queryLen, int topK, const Filter* filter, double minScore, Result** out);
    void textStats(TextStats* out) const;

    // Whole-store readers.
    void stats(StoreStats* out) const;
    // Held-back records first, then the live slots of each segment in
    // order, decoded into scratch (at least 4096 floats); non-finite decoded
    // components become the largest float of their sign, NaN 0. The walk
    // owns nothing across a visit, so a visitor may leave by a long jump.
    void forEachRecord(float* scratch, RecordVisitor visit, void* ctx);

    // When another process or handle compacted the store since this handle
    // attached its segments, drops them (mappings of removed objects stay
    // valid until then, so nothing faults) and attaches the new ones, with
    // the count taken from them. True when it switched. Shared memory:
    // every call of the store runs it first (one atomic read). Disk: one
    // stat of seg_0000, run only by compact() and clear() and by whoever
    // keeps a handle across requests (at the start of each); a handle that
    // wrote into replaced files meanwhile has lost those writes.
    bool followGeneration();
    // Shared-memory mode.
    void attachShmSegments();
    // What a reading call does first in a shared store: follow a
    // compaction, attach the segments others created and adopt a codebook
    // they trained. False when a segment that exists cannot be taken
    // (segmentRefusal): no answer may come from the segments before it.
    bool catchUpForReading();
    void refuseCountedSegment(const char* segment, int err);
    // Last step of add in shm mode when every attached segment refused the
    // record: creates the next shared segment under the control lock.
    int addToNewShmSegment(uint64_t id, const char* key, const float* vector, const char* metadata,
                           uint32_t metaLen, const char* text = nullptr, uint32_t textLen = 0);
    // Before held-back vectors are trained: attach new segments and, when one
    // already carries a trained codebook, copy it into every untrained
    // segment. When none does, train the first segment from the held-back
    // vectors under the creation lock (so handles that fill their buffers at
    // once end with one codebook) and copy it likewise. True when every
    // segment now has the store's codebook (then no further training).
    bool adoptSharedCodebook();
};

}  // namespace qarbin
