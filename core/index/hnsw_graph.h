// Internal pieces of the per-segment HNSW graph shared by the build, the
// incremental insert and the search. Not part of the core's public surface.
//
// Every node position, link, pool index, node slot and level read from the
// region is untrusted (another process may be rewriting the graph, a file may
// be corrupt): each is checked against the bounds of `Graph` before it is
// followed, and a bad one is skipped.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "core/math/score.h"
#include "core/segment/format.h"
#include "core/index/hnsw.h"
#include "core/segment/segment.h"

namespace qarbin {
namespace hnsw {

constexpr uint32_t kTopLevel = kMaxLevels - 1;    // levels 0..15
constexpr uint32_t kMaxBlock = kLevel0Links + 1;  // a full list plus a newcomer
constexpr uint32_t kDefaultM = 16;
constexpr uint32_t kDefaultEfConstruction = 200;

struct Pair {
    float dist;
    uint32_t node;
};

// Heap orders of the beam: candidates nearest on top, results farthest on top.
struct NearerFirst {
    bool operator()(const Pair& a, const Pair& b) const { return a.dist > b.dist; }
};
struct FartherFirst {
    bool operator()(const Pair& a, const Pair& b) const { return a.dist < b.dist; }
};

// Process-local guards of a graph that several threads extend at once: a
// spin lock per node over its link lists, and a flag per node raised once
// it is made, before any list names it. Nodes below `firstNew` exist
// already and count as made.
struct NodeLocks {
    std::unique_ptr<std::atomic<uint8_t>[]> held;
    std::unique_ptr<std::atomic<uint8_t>[]> made;
    uint64_t count = 0;
    uint64_t firstNew = 0;

    // Throws std::bad_alloc.
    NodeLocks(uint64_t count, uint64_t firstNew);
    void lock(uint64_t p) const;
    void unlock(uint64_t p) const { held[p].store(0, std::memory_order_release); }
    void markMade(uint64_t p) const { made[p].store(1, std::memory_order_release); }
    bool isMade(uint64_t p) const {
        return p < firstNew || (p < count && made[p].load(std::memory_order_acquire) != 0);
    }
};

// Holds node p's lock for a scope when there are locks at all.
struct NodeGuard {
    const NodeLocks* locks;
    uint64_t p;
    NodeGuard(const NodeLocks* l, uint64_t node) : locks(l), p(node) {
        if (locks) locks->lock(p);
    }
    ~NodeGuard() {
        if (locks) locks->unlock(p);
    }
    NodeGuard(const NodeGuard&) = delete;
    NodeGuard& operator=(const NodeGuard&) = delete;
};

// What one call may touch, taken once from the segment.
struct Graph {
    const Segment* seg = nullptr;
    uint8_t* nodes = nullptr;
    LinkPoolEntry* pool = nullptr;
    uint64_t nodeLimit = 0;  // node entries inside capacity and the mapping
    uint64_t poolLimit = 0;  // pool entries inside the mapping
    uint64_t slotLimit = 0;  // a node may name only slots below this
    uint64_t graphOffset = 0;
    uint64_t poolOffset = 0;
    uint8_t* slots = nullptr;  // slot 0
    uint64_t stride = 0;
    const uint8_t* vectors = nullptr;  // slot 0's encoded vector; slot i's lies i * stride on
    uint64_t vecBytes = 0;
    bool inPlace = false;  // 32-bit floats: vectors are scored where they lie
    bool fused = false;    // f16, int8, binary: codes are scored where they lie
    // Optional process-local copy of the nodes' slots (the build's live list,
    // the insert's snapshot), so a distance need not first read the node.
    const uint32_t* nodeSlots = nullptr;
    uint64_t nodeSlotsCount = 0;
    DistanceMetric metric = DistanceMetric::Cosine;
    bool useAvx2 = false;
    // Cosine over the norms the records keep (Segment::normsServe): only
    // dot products are summed, the score the same to the bit.
    bool storedNorms = false;
    // Set only while several threads build: lists are read and written
    // under their node's lock, and a node not yet made is not followed.
    const NodeLocks* locks = nullptr;

    bool followable(uint64_t p) const { return locks == nullptr || locks->isMade(p); }
    HnswNode* node(uint64_t p) const { return reinterpret_cast<HnswNode*>(nodes + p * kNodeBytes); }
    const uint8_t* vector(uint64_t slot) const { return vectors + slot * stride; }

    // Copies the links of node p (p < nodeLimit) on `level` into out (room for
    // 32) and returns the number of places copied, clamped to the list's
    // capacity; 0 when the node has no list on that level or its pool entry
    // lies outside the pool. Places may hold -1 or garbage: callers check.
    uint32_t readLinks(uint64_t p, uint32_t level, int32_t* out) const;

    // The writable list of node p on `level`, or null when the node has none
    // there (no pool entry, level above its own, entry outside the pool).
    int32_t* list(uint64_t p, uint32_t level, uint8_t** countField, uint32_t* capacity) const;
};

// Fills g for the segment; usedLimit bounds the slots nodes may name (the
// usedSlots the caller read). False when the graph areas are not mapped.
bool makeGraph(const Segment& seg, uint64_t usedLimit, Graph* g);

// Graph distance of a score, smaller meaning closer: 1 - score for Cosine,
// -score otherwise. The mapping is its own inverse, so it also turns a
// distance back into the score it came from.
inline float scoreToDistance(float s, DistanceMetric m) {
    switch (m) {
        case DistanceMetric::Cosine: return 1.0f - s;
        case DistanceMetric::Dot:
        case DistanceMetric::Euclidean:
        case DistanceMetric::Manhattan: return -s;
    }
    return 0.0f;
}

// Per-thread working memory reused by every graph call, so a query allocates
// nothing once the thread has run one of its size. All growth throws
// std::bad_alloc; the public entry points catch it.
struct Workspace {
    std::vector<uint32_t> marks;  // visit tags, one per node position
    std::vector<uint32_t> seen;   // slot each admitted node was scored on
    uint32_t tag = 0;
    std::vector<Pair> cand;     // min-heap on distance
    std::vector<Pair> res;      // max-heap on distance
    std::vector<Pair> layer;    // a beam's result, ascending
    std::vector<uint32_t> entries;
    float* decode = nullptr;  // 64-byte aligned: query, owner, kMaxBlock block and kMaxBlock picked vectors
    size_t decodeFloats = 0;
    uint64_t pad = 0;  // floats per decoded vector (dim rounded up to 16)

    Workspace() = default;
    ~Workspace();
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    // Marks for n positions and decode room for dim; heaps reserved for ef.
    void prepare(uint64_t n, uint32_t dim, uint32_t ef);
    // A tag no mark holds yet; clears the marks when the counter wraps.
    uint32_t nextTag();
    float* queryBuf() const { return decode; }
    float* ownerBuf() const { return decode + pad; }
    float* blockBuf() const { return decode + 2 * pad; }
    float* pickBuf() const { return decode + (2 + kMaxBlock) * pad; }
};

Workspace& workspace();

// One query's scorer plus the scratch its block decodes go to.
struct Query {
    QueryScorer scorer;
    QueryScorer dots;  // scorer.dotPart() when the graph's records keep norms
    float* block = nullptr;  // kMaxBlock vectors of `pad` floats
    uint64_t pad = 0;

    void init(const Graph& g, const float* q, const Workspace& ws);
};

// Distances from the query to nodes[0..n-1] (n <= kMaxBlock, each < nodeLimit).
// Nodes whose slot is out of bounds are dropped; for the k kept ones, kept[j]
// is the index into nodes, dist[j] the distance and, when slotOut is not
// null, slotOut[j] the slot scored. Returns k. A NaN distance is reported as
// +infinity, so it ranks farthest and keeps the heaps ordered.
uint32_t distancesOf(const Graph& g, const Query& q, const uint32_t* nodes, uint32_t n, uint32_t* kept,
                     float* dist, uint32_t* slotOut = nullptr);

// MT19937 level draw: two outputs a, b; u = (a + b*2^32) * 2^-64;
// level = trunc(-ln(u) * scale), at most 15, 0 when not finite.
uint32_t drawLevel(std::mt19937& gen, double scale);

// Creates node p (< nodeLimit) for slot s (< slotLimit) with level L, taking
// its pool entries from *poolUsed when they fit (else the level becomes 0).
// Sets the record's graphNode. Returns the level the node got.
uint32_t initNode(const Graph& g, uint32_t p, uint32_t slot, uint32_t level, uint32_t* poolUsed);

// First-improvement walk from `start` through levels top .. bottom+1; links at
// or above `bound` are not followed. start must be < bound.
uint32_t greedyDescend(const Graph& g, const Query& q, uint32_t start, uint32_t top, uint32_t bottom,
                       uint64_t bound);

// Beam search on one level from the entry list; out receives the pairs sorted
// by ascending distance, and ws.seen[node] the slot each was scored on (a
// rebuild elsewhere may change a node's slot meanwhile). Entries and links at
// or above `bound` are skipped. Uses ws.cand and ws.res.
void searchLayer(const Graph& g, const Query& q, const uint32_t* entries, size_t nEntries, uint32_t ef,
                 uint32_t level, Workspace& ws, uint32_t tag, uint64_t bound, std::vector<Pair>& out);

// Level-0 beam of a filtered search from `entry` (hnsw_filtered.cpp): the
// beam of ef nodes steers as searchLayer does, while out receives, sorted
// by ascending distance, the topK nearest nodes found whose records are
// readable and accepted by keep. Uses ws.cand and ws.res.
void searchLayerFiltered(const Graph& g, const Query& q, uint32_t entry, uint32_t ef, uint32_t topK,
                         const MetadataTest& keep, Workspace& ws, uint32_t tag, uint64_t bound, std::vector<Pair>& out);

// The vector of the record in `slot` as floats: in place for 32-bit floats,
// else decoded into buf (room for dim floats).
const float* vectorOf(const Graph& g, uint32_t slot, float* buf);

// Chooses at most `limit` neighbours from cand (sorted by ascending distance
// to the base vector), nearest first: a candidate is taken only when no
// neighbour already taken is strictly closer to it than the base is, so the
// links spread over directions instead of crowding into one cluster. out
// receives node positions; returns how many.
uint32_t selectDiverse(const Graph& g, Workspace& ws, const Pair* cand, size_t n, uint32_t limit, uint32_t* out);

// Adds x to owner's list on `level`: appends while there is room, otherwise
// chooses the list afresh by selectDiverse among its links and x.
// Returns true when the list changed.
bool addLink(const Graph& g, Workspace& ws, uint32_t owner, uint32_t x, uint32_t level);

// Links the new node p into the graph on levels min(level, top) .. 0 from the
// descent's end c, exactly as the build does for every node after the first.
// q is p's own vector. *linked is raised once any list has changed.
void connectNode(const Graph& g, Workspace& ws, const Query& q, uint32_t p, uint32_t level, uint32_t c,
                 uint32_t top, uint32_t m, uint32_t efc, uint64_t bound, bool* linked);

// Where new nodes enter the graph: the entry node (-1 while there is none),
// its level and the pool entries handed out so far.
struct Top {
    int32_t entry = -1;
    uint32_t maxLevel = 0;
    uint32_t poolUsed = 0;
};

// Makes nodes first, first+1, ... for slots[0..count) in order, each with a
// level drawn from gen just before it is made, and links it in as the bulk
// build and the incremental insert both do; top follows the new entry
// node. Stops at the capacity, or at a node whose bytes cannot be backed or
// whose working memory cannot be had (-1): a node that other nodes already
// link to is kept, one nobody names is undone. *made counts the nodes kept.
// Asks `stop` (when given) every few nodes, and returns 1 when told to stop.
int insertNodes(Segment& seg, const Graph& g, Workspace& ws, const uint32_t* slots, size_t count, uint64_t first,
                std::mt19937& gen, uint32_t m, uint32_t efc, Top* top, uint64_t* made,
                const GraphStop* stop = nullptr);

// insertNodes on `threads` threads (hnsw_parallel.cpp): the same levels,
// drawn up front in node order, and the same pool entries; every node
// made before *made is complete. Each thread has its own workspace, the
// calling thread's being ws. Stops and fails as insertNodes does, except
// that a failing node is never kept (nor are the nodes made after it).
int insertNodesParallel(Segment& seg, const Graph& g, Workspace& ws, const uint32_t* slots, size_t count,
                        uint64_t first, std::mt19937& gen, uint32_t m, uint32_t efc, Top* top, uint64_t* made,
                        const GraphStop* stop, uint32_t threads);

// The generator of a routine whose own seed is `seed` and whose first new
// node is `first`, continuing *levels when it was started at or before
// `first` (and recording the start in it otherwise).
std::mt19937 levelGenerator(uint32_t seed, uint64_t first, LevelStream* levels);

}  // namespace hnsw
}  // namespace qarbin
