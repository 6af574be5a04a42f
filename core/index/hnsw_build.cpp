// Bulk build of a segment's graph over all of its live records.
#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "core/index/hnsw.h"
#include "core/index/hnsw_graph.h"
#include "core/math/codecs.h"
#include "core/segment/segment.h"

namespace qarbin {

// The single writer of this segment; searches elsewhere route around the
// graph while flags bit 1 is clear.
int buildHnsw(Segment& seg, const GraphStop* stop, uint32_t threads, LevelStream* levels) {
    if (!seg.writable || !seg.header || !seg.nodeArea || !seg.linkPool) return -1;

    hnsw::Graph g;
    std::vector<uint32_t> live;
    hnsw::Workspace* ws = nullptr;
    uint64_t s = 0;
    uint32_t m = 0;
    uint32_t efc = 0;
    try {
        s = seg.usedSlotsClamped();
        if (s == 0) return 0;
        if (!hnsw::makeGraph(seg, s, &g)) return -1;
        s = std::min(s, g.slotLimit);
        live.reserve(s);
        for (uint64_t i = 0; i < s; ++i)
            if (seg.liveAt(i)) live.push_back(static_cast<uint32_t>(i));
        if (live.empty()) return 0;
        if (live.size() > g.nodeLimit) return -1;
        // Node p will stand for live[p].
        g.nodeSlots = live.data();
        g.nodeSlotsCount = live.size();
        m = seg.header->hnswM ? seg.header->hnswM : hnsw::kDefaultM;
        efc = seg.header->hnswEfConstruction ? seg.header->hnswEfConstruction : hnsw::kDefaultEfConstruction;
        ws = &hnsw::workspace();
        ws->prepare(live.size(), seg.dim, efc);
    } catch (...) {
        return -1;
    }

    for (uint64_t i = 0; i < s; ++i) seg.setGraphNode(i, -1);
    seg.header->flags &= ~(kFlagGraphBuilt | kFlagGraphUsable | kFlagGraphExtending);
    seg.header->indexedCount.exchange(0);

    // A constant seed: the same records always give the same levels. A
    // rebuild starts its level stream afresh.
    if (levels) *levels = LevelStream{};
    std::mt19937 gen = hnsw::levelGenerator(42, 0, levels);
    hnsw::Top top;
    uint64_t made = 0;
    const int rc = threads > 1
                       ? hnsw::insertNodesParallel(seg, g, *ws, live.data(), live.size(), 0, gen, m, efc, &top, &made,
                                                   stop, threads)
                       : hnsw::insertNodes(seg, g, *ws, live.data(), live.size(), 0, gen, m, efc, &top, &made, stop);
    if (rc < 0 || made == 0 || (rc == 0 && made != live.size())) {
        for (uint64_t i = 0; i < s; ++i) seg.setGraphNode(i, -1);
        seg.header->entryPoint = -1;
        seg.header->maxLevel = 0;
        return -1;
    }

    seg.header->entryPoint = top.entry;
    seg.header->maxLevel = top.maxLevel;
    seg.header->indexedCount.exchange(made);
    seg.header->linkPoolUsed = top.poolUsed;
    uint32_t flags = seg.header->flags | kFlagGraphBuilt | kFlagGraphUsable;
    __atomic_store_n(&seg.header->flags, flags, __ATOMIC_RELEASE);
    return rc;
}

}  // namespace qarbin
