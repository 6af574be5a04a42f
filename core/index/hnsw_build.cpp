// Bulk build of a segment's graph over all of its live records.
#include <algorithm>
#include <cmath>
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
    std::vector<uint8_t> levels;
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
        levels.resize(live.size());
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

    double scale = 1.0 / std::log(static_cast<double>(m));
    std::mt19937 gen(42);
    for (size_t k = 0; k < live.size(); ++k) levels[k] = static_cast<uint8_t>(hnsw::drawLevel(gen, scale));

    int32_t ep = -1;
    uint32_t maxL = 0;
    uint32_t poolUsed = 0;
    bool ok = true;
    try {
        for (uint32_t p = 0; p < live.size(); ++p) {
            uint32_t slot = live[p];
            uint32_t level = levels[p];
            if (!ensureBacked(g.graphOffset + uint64_t{p} * kNodeBytes, kNodeBytes)) {
                ok = false;
                break;
            }
            if (level > 0 && uint64_t{poolUsed} + level <= g.poolLimit &&
                !ensureBacked(g.poolOffset + uint64_t{poolUsed} * kPoolEntryBytes, uint64_t{level} * kPoolEntryBytes)) {
                ok = false;
                break;
            }
            level = hnsw::initNode(g, p, slot, level, &poolUsed);
            if (ep < 0) {
                ep = static_cast<int32_t>(p);
                maxL = level;
                continue;
            }
            const float* q =
                getVecFloat32(recordAt(slot), dim, quantization, pqSubvectors, codebook, ws->queryBuf());
            hnsw::Query query;
            query.init(g, q, *ws);
            uint64_t bound = uint64_t{p} + 1;
            uint32_t c = hnsw::greedyDescend(g, query, static_cast<uint32_t>(ep), maxL, level, bound);
            bool linked = false;
            hnsw::connectNode(g, *ws, query, p, level, c, maxL, m, efc, bound, &linked);
            if (level > maxL) {
                ep = static_cast<int32_t>(p);
                maxL = level;
            }
        }
    } catch (...) {
        ok = false;
    }

    if (!ok) {
        for (uint64_t i = 0; i < s; ++i) recordAt(i)->graphNode = -1;
        header->entryPoint = -1;
        header->maxLevel = 0;
        return -1;
    }

    header->entryPoint = ep;
    header->maxLevel = maxL;
    header->indexedCount.exchange(live.size());
    header->linkPoolUsed = poolUsed;
    uint32_t flags = header->flags | kFlagGraphBuilt | kFlagGraphUsable;
    __atomic_store_n(&header->flags, flags, __ATOMIC_RELEASE);
    return 0;
}

}  // namespace qarbin
