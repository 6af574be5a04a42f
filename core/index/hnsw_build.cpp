// Bulk build of a segment's graph over all of its live records.
#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "core/index/hnsw_graph.h"
#include "core/math/codecs.h"
#include "core/segment/segment.h"

namespace qarbin {

// Rebuilds the graph in place from node 0 and pool entry 0. The single
// writer of this segment; searches elsewhere route around the graph while
// flags bit 1 is clear. Returns -1 when the segment is read-only or lacks
// graph areas (nothing changed), or when the build could not finish (out of
// memory, region bytes that cannot be backed): the graph is then left
// unusable with every graphNode -1, so the segment is scanned exhaustively.
int Segment::buildHnsw(DistanceMetric metric, bool useAvx2) {
    if (!writable || !header || !nodeArea || !linkPool) return -1;

    hnsw::Graph g;
    std::vector<uint32_t> live;
    hnsw::Workspace* ws = nullptr;
    uint64_t s = 0;
    uint32_t m = 0;
    uint32_t efc = 0;
    try {
        s = usedSlotsClamped();
        if (s == 0) return 0;
        if (!hnsw::makeGraph(*this, s, metric, useAvx2, &g)) return -1;
        s = std::min(s, g.slotLimit);
        live.reserve(s);
        for (uint64_t i = 0; i < s; ++i)
            if (recordLive(recordAt(i))) live.push_back(static_cast<uint32_t>(i));
        if (live.empty()) return 0;
        if (live.size() > g.nodeLimit) return -1;
        // Node p will stand for live[p].
        g.nodeSlots = live.data();
        g.nodeSlotsCount = live.size();
        m = header->hnswM ? header->hnswM : hnsw::kDefaultM;
        efc = header->hnswEfConstruction ? header->hnswEfConstruction : hnsw::kDefaultEfConstruction;
        ws = &hnsw::workspace();
        ws->prepare(live.size(), dim, efc);
    } catch (...) {
        return -1;
    }

    for (uint64_t i = 0; i < s; ++i) recordAt(i)->graphNode = -1;
    header->flags &= ~(kFlagGraphBuilt | kFlagGraphUsable);
    header->indexedCount.exchange(0);

    // A constant seed: the same records always give the same graph.
    std::mt19937 gen(42);
    hnsw::Top top;
    uint64_t made = 0;
    if (hnsw::insertNodes(*this, g, *ws, live.data(), live.size(), 0, gen, m, efc, &top, &made) != 0 ||
        made != live.size()) {
        for (uint64_t i = 0; i < s; ++i) recordAt(i)->graphNode = -1;
        header->entryPoint = -1;
        header->maxLevel = 0;
        return -1;
    }

    header->entryPoint = top.entry;
    header->maxLevel = top.maxLevel;
    header->indexedCount.exchange(made);
    header->linkPoolUsed = top.poolUsed;
    uint32_t flags = header->flags | kFlagGraphBuilt | kFlagGraphUsable;
    __atomic_store_n(&header->flags, flags, __ATOMIC_RELEASE);
    return 0;
}

}  // namespace qarbin
