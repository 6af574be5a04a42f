// The graphs of a compaction's new segments, made before anybody is
// switched to them: a store is as searchable at graph speed after a
// compaction as before it, and no reader meets it without graphs.
#include "core/index/hnsw.h"
#include "core/store/store.h"
#include "core/store/store_internal.h"

namespace qarbin {

namespace {

// What automatic indexing would index: as many used slots as its threshold.
bool wantsGraph(const Store& st, const Segment& seg) {
    return st.autoIndexThreshold != 0 && seg.usedSlotsClamped() >= st.autoIndexThreshold;
}

}  // namespace

bool buildCompactedGraphs(const Store& st, const std::vector<Segment*>& made) {
    for (Segment* seg : made) {
        seg->useAvx2 = st.shape.useAvx2;
        if (wantsGraph(st, *seg) && buildHnsw(*seg) != 0) return false;
    }
    return true;
}

bool extendCompactedGraphs(const Store& st, const std::vector<Segment*>& made) {
    for (Segment* seg : made) {
        seg->useAvx2 = st.shape.useAvx2;
        if (!wantsGraph(st, *seg)) continue;
        const bool usable = (seg->header->flags & kFlagGraphUsable) != 0;
        if ((usable ? hnswInsertIncremental(*seg) : buildHnsw(*seg)) != 0) return false;
    }
    return true;
}

}  // namespace qarbin
