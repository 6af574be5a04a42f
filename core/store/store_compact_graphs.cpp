// The graphs of a compaction's new segments, made before anybody is
// switched to them: a store is as searchable at graph speed after a
// compaction as before it, and no reader meets it without graphs. They are
// made with the store's threads, as buildIndex() makes them.
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
        if (wantsGraph(st, *seg) && buildHnsw(*seg, nullptr, graphThreads(st, *seg)) != 0) return false;
        indexSegmentText(*seg);
    }
    return true;
}

bool extendCompactedGraphs(const Store& st, const std::vector<Segment*>& made) {
    for (Segment* seg : made) {
        seg->useAvx2 = st.shape.useAvx2;
        if (!wantsGraph(st, *seg)) continue;
        const bool usable = (seg->header->flags & kFlagGraphUsable) != 0;
        const uint32_t threads = graphThreads(st, *seg);
        if ((usable ? hnswInsertIncremental(*seg, nullptr, threads) : buildHnsw(*seg, nullptr, threads)) != 0) return false;
        indexSegmentText(*seg);
    }
    return true;
}

}  // namespace qarbin
