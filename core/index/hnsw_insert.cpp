// Incremental insert: extends a usable graph with the live records that
// have no published node yet.
#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "core/index/hnsw.h"
#include "core/index/hnsw_graph.h"
#include "core/math/codecs.h"
#include "core/segment/segment.h"

namespace qarbin {

namespace {

// A live record needs a node unless a published node (below n) names it
// back. A writer stopped between giving a record a node and publishing the
// count leaves graphNode at or beyond n, and the positions past n are made
// anew by the next extension: such a record, and one whose node was since
// given to another record, is added again.
bool needsNode(const hnsw::Graph& g, uint64_t slot, uint64_t n) {
    if (!g.seg->liveAt(slot)) return false;
    const int32_t gn = g.seg->graphNodeAt(slot);
    if (gn < 0 || static_cast<uint64_t>(gn) >= n) return true;
    return g.node(static_cast<uint64_t>(gn))->slot != slot;
}

}  // namespace

// The single writer of this segment; searches may run meanwhile, since each
// new node is complete before indexedCount grows over it. Returns -1 when
// the segment is read-only, lacks graph areas, has no usable graph or a graph
// header naming positions outside its areas (nothing changed then), and
// when it had to stop early (out of memory, bytes that cannot be backed):
// the nodes made so far are published and no record keeps a graphNode that
// indexedCount does not cover. 0 otherwise, also when there was nothing to add.
int hnswInsertIncremental(Segment& seg, const GraphStop* stop, uint32_t threads, LevelStream* levels) {
    if (!seg.writable || !seg.header || !seg.nodeArea || !seg.linkPool) return -1;
    if ((seg.header->flags & kFlagGraphUsable) == 0) return -1;

    hnsw::Graph g;
    std::vector<uint32_t> pending;
    std::vector<uint32_t> nodeSlots;
    hnsw::Workspace* ws = nullptr;
    uint64_t n0 = 0;
    int32_t ep = -1;
    uint32_t maxL = 0;
    uint32_t poolUsed = 0;
    uint32_t m = 0;
    uint32_t efc = 0;
    try {
        uint64_t s = seg.usedSlotsClamped();
        if (s == 0) return 0;
        if (!hnsw::makeGraph(seg, s, &g)) return -1;
        s = std::min(s, g.slotLimit);
        n0 = seg.header->indexedCount.load();
        if (n0 > g.nodeLimit) return -1;
        for (uint64_t i = 0; i < s; ++i)
            if (needsNode(g, i, n0)) pending.push_back(static_cast<uint32_t>(i));
        if (pending.empty()) return 0;

        ep = seg.header->entryPoint;
        maxL = seg.header->maxLevel;
        poolUsed = seg.header->linkPoolUsed;
        if (n0 > g.nodeLimit || poolUsed > g.poolLimit) return -1;
        if (n0 == 0) {
            ep = -1;
            maxL = 0;
        } else if (ep < 0 || static_cast<uint64_t>(ep) >= n0) {
            return -1;
        }
        if (maxL > hnsw::kTopLevel) maxL = hnsw::kTopLevel;
        m = seg.header->hnswM ? seg.header->hnswM : hnsw::kDefaultM;
        efc = seg.header->hnswEfConstruction ? seg.header->hnswEfConstruction : hnsw::kDefaultEfConstruction;
        ws = &hnsw::workspace();
        ws->prepare(std::min<uint64_t>(n0 + pending.size(), g.nodeLimit), seg.dim, efc);
        // The slots of the existing nodes do not change while this single
        // writer runs; the new nodes take the pending slots in order. (Values
        // read here are still bounded where they are used.)
        nodeSlots.resize(n0 + pending.size());
        for (uint64_t p = 0; p < n0; ++p) nodeSlots[p] = g.node(p)->slot;
        std::copy(pending.begin(), pending.end(), nodeSlots.begin() + n0);
        g.nodeSlots = nodeSlots.data();
        g.nodeSlotsCount = nodeSlots.size();
    } catch (...) {
        return -1;
    }

    // Seeded by the node count: each call draws anew, and a given graph
    // state always extends the same way (a call continuing a stream goes
    // on as the call that began it would have).
    std::mt19937 gen = hnsw::levelGenerator(static_cast<uint32_t>(n0 + 1), n0, levels);
    hnsw::Top top;
    top.entry = ep;
    top.maxLevel = maxL;
    top.poolUsed = poolUsed;
    uint64_t made = 0;
    __atomic_fetch_or(&seg.header->flags, kFlagGraphExtending, __ATOMIC_SEQ_CST);
    int rc = threads > 1 ? hnsw::insertNodesParallel(seg, g, *ws, pending.data(), pending.size(), n0, gen, m, efc,
                                                     &top, &made, stop, threads)
                         : hnsw::insertNodes(seg, g, *ws, pending.data(), pending.size(), n0, gen, m, efc, &top, &made,
                                             stop);

    seg.header->entryPoint = top.entry;
    seg.header->maxLevel = top.maxLevel;
    seg.header->indexedCount.exchange(n0 + made);
    seg.header->linkPoolUsed = top.poolUsed;
    __atomic_fetch_and(&seg.header->flags, ~kFlagGraphExtending, __ATOMIC_RELEASE);
    return rc;
}

}  // namespace qarbin
