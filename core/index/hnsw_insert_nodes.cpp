// The loop that makes and links new nodes, shared by the bulk build and the
// incremental insert.
#include <cmath>

#include "core/index/hnsw_graph.h"
#include "core/math/codecs.h"

namespace qarbin {
namespace hnsw {

namespace {

// Backs node p and the pool entries a node of `level` would take.
bool backNode(Segment& seg, const Graph& g, uint64_t p, uint32_t level, uint32_t poolUsed) {
    if (!seg.ensureBacked(g.graphOffset + p * kNodeBytes, kNodeBytes)) return false;
    if (level == 0 || uint64_t{poolUsed} + level > g.poolLimit) return true;
    return seg.ensureBacked(g.poolOffset + uint64_t{poolUsed} * kPoolEntryBytes, uint64_t{level} * kPoolEntryBytes);
}

}  // namespace

std::mt19937 levelGenerator(uint32_t seed, uint64_t first, LevelStream* levels) {
    if (levels == nullptr) return std::mt19937(seed);
    if (levels->started && levels->first <= first) {
        std::mt19937 gen(levels->seed);
        // Two outputs per level drawn since the stream began.
        gen.discard(2 * (first - levels->first));
        return gen;
    }
    *levels = LevelStream{true, seed, first};
    return std::mt19937(seed);
}

int insertNodes(Segment& seg, const Graph& g, Workspace& ws, const uint32_t* slots, size_t count, uint64_t first,
                std::mt19937& gen, uint32_t m, uint32_t efc, Top* top, uint64_t* made, const GraphStop* stop) {
    const double scale = 1.0 / std::log(static_cast<double>(m));
    const uint64_t cap = seg.capacity();
    *made = 0;
    for (size_t j = 0; j < count; ++j) {
        const uint64_t p = first + j;
        if (p >= cap || p >= g.nodeLimit) return 0;
        // A clock read per node would cost more than it tells.
        if (stop && j > 0 && j % 16 == 0 && stop->stop(stop->ctx)) return 1;
        const uint32_t slot = slots[j];
        uint32_t level = drawLevel(gen, scale);
        if (!backNode(seg, g, p, level, top->poolUsed)) return -1;
        const uint32_t poolBefore = top->poolUsed;
        const uint32_t pos = static_cast<uint32_t>(p);
        level = initNode(g, pos, slot, level, &top->poolUsed);
        if (top->entry < 0) {
            top->entry = static_cast<int32_t>(pos);
            top->maxLevel = level;
            ++*made;
            continue;
        }
        bool linked = false;
        try {
            const float* q = decodeVector(seg.vectorAt(slot), seg.dim, seg.quantization, seg.pqSubvectors,
                                          seg.codebook, ws.queryBuf());
            Query query;
            query.init(g, q, ws);
            const uint64_t bound = p + 1;
            uint32_t c = greedyDescend(g, query, static_cast<uint32_t>(top->entry), top->maxLevel, level, bound);
            connectNode(g, ws, query, pos, level, c, top->maxLevel, m, efc, bound, &linked);
        } catch (...) {
            if (linked) {
                ++*made;
            } else {
                seg.setGraphNode(slot, -1);
                top->poolUsed = poolBefore;
            }
            return -1;
        }
        ++*made;
        if (level > top->maxLevel) {
            top->entry = static_cast<int32_t>(pos);
            top->maxLevel = level;
        }
    }
    return 0;
}

}  // namespace hnsw
}  // namespace qarbin
