// Graph search of one segment, plus an exact pass over records that have no
// node yet, merged into the caller's shared top-K array.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/index/hnsw.h"
#include "core/index/hnsw_graph.h"
#include "core/math/codecs.h"
#include "core/math/score.h"
#include "core/segment/top_k.h"
#include "core/segment/segment.h"

namespace qarbin {

namespace {

float exactScore(const Segment& seg, const float* query, uint64_t slot) {
    alignas(64) float scratch[kMaxDim];
    const float* v = decodeVector(seg.vectorAt(slot), seg.dim, seg.quantization, seg.pqSubvectors, seg.codebook, scratch);
    return computeScore(query, v, seg.dim, seg.metric, seg.useAvx2);
}

// Slots that lie inside the record area of the mapping.
uint64_t slotsInMapping(const Segment& seg, uint64_t used) {
    if (seg.nodeArea && seg.nodeArea > seg.slots) {
        uint64_t stride = seg.stride();
        if (stride) used = std::min<uint64_t>(used, static_cast<uint64_t>(seg.nodeArea - seg.slots) / stride);
    }
    return used;
}

}  // namespace

// query: dim floats; results: topK entries of which *count are in use (read
// and updated). Read-only and lock-free: builds and inserts may run in other
// processes. Graph hits are offered farthest first, then every live record
// the graph cannot cover (no node, or a node at or beyond the count read at
// the start) is scored exactly. An entry point outside that count (a racing
// rebuild or a corrupt file), an unreadable entry node or a failure to get
// working memory does not hide records: the segment's live records are then
// all scored exactly instead. A graph with no nodes or no entry point (-1)
// contributes nothing, unindexed records included. Always returns 0.
int hnswSearch(const Segment& seg, const float* query, int topK, int ef, Result* results, int* count,
               const MetadataTest* keep) {
    const bool filtered = keep != nullptr && keep->test != nullptr;
    if (!seg.header || !query || !results || !count || topK < 1 || seg.dim > kMaxDim) return 0;
    if ((__atomic_load_n(&seg.header->flags, __ATOMIC_ACQUIRE) & kFlagGraphUsable) == 0) return 0;
    uint64_t n = seg.header->indexedCount.load();
    if (n == 0) return 0;
    int32_t ep = seg.header->entryPoint;
    if (ep == -1) return 0;
    uint32_t top = seg.header->maxLevel;
    if (top > hnsw::kTopLevel) top = hnsw::kTopLevel;
    if (ef < 1) ef = 1;

    TopK offer(results, topK, count);
    bool scanAll = true;
    hnsw::Graph g;
    if (hnsw::makeGraph(seg, seg.usedSlotsClamped(), &g)) {
        n = std::min(n, g.nodeLimit);
        if (ep >= 0 && static_cast<uint64_t>(ep) < n) {
            try {
                hnsw::Workspace& ws = hnsw::workspace();
                ws.prepare(n, seg.dim, static_cast<uint32_t>(ef));
                hnsw::Query q;
                q.init(g, query, ws);
                // The descent is bounded by the count too: a node an insert
                // elsewhere is still creating is never entered.
                uint32_t c = hnsw::greedyDescend(g, q, static_cast<uint32_t>(ep), top, 0, n);
                uint32_t tag = ws.nextTag();
                if (filtered) {
                    hnsw::searchLayerFiltered(g, q, c, static_cast<uint32_t>(ef), static_cast<uint32_t>(topK), *keep,
                                              ws, tag, n, ws.layer);
                    // No hit is no proof of an unreadable entry here.
                    scanAll = false;
                } else {
                    hnsw::searchLayer(g, q, &c, 1, static_cast<uint32_t>(ef), 0, ws, tag, n, ws.layer);
                    // An empty beam means the entry itself was unreadable.
                    scanAll = ws.layer.empty();
                }
                for (size_t i = ws.layer.size(); i-- > 0;) {
                    const hnsw::Pair& pr = ws.layer[i];
                    // The slot the distance was taken on, not the node's
                    // slot now: a rebuild elsewhere may have moved it.
                    const uint64_t r = ws.seen[pr.node];
                    // A node whose record does not name it back (a rebuild
                    // elsewhere, a corrupt file) would duplicate or misplace
                    // a record: the pass below finds such records instead.
                    if (!seg.readableAt(r) || seg.graphNodeAt(r) != static_cast<int32_t>(pr.node)) continue;
                    float score = hnsw::scoreToDistance(pr.dist, seg.metric);
                    // The beam ranks a NaN distance as +infinity; the exact
                    // score tells the two apart.
                    if (std::isinf(pr.dist) && pr.dist > 0) score = exactScore(seg, query, r);
                    offer.offer(seg, r, score);
                }
            } catch (...) {
                scanAll = true;  // nothing was offered yet
            }
        }
    }

    uint64_t s = slotsInMapping(seg, seg.usedSlotsClamped());
    // n nodes stand for n distinct seg.slots below usedSlots: when they are as
    // many as the used seg.slots, every slot has a node and none is left to score.
    if (!scanAll && s <= n) return 0;
    alignas(64) float scratch[kMaxDim];
    // Equal to computeScore bit for bit, with the query's part done once.
    QueryScorer scorer;
    scorer.init(query, seg.dim, seg.metric, seg.useAvx2);
    const uint64_t step = seg.stride();
    for (uint64_t i = 0; i < s; ++i) {
        // The flags of each slot lie a seg.stride apart, too far for the
        // hardware to guess.
        if (i + 8 < s) __builtin_prefetch(seg.slots + (i + 8) * step + 64);
        if (!seg.readableAt(i)) continue;
        // Records outside the nodes this search could reach: none yet, or
        // one an insert elsewhere has not published (or a corrupt value).
        int32_t gn = seg.graphNodeAt(i);
        if (!scanAll && gn >= 0 && static_cast<uint64_t>(gn) < n) continue;
        if (filtered) {
            const KeyRef meta = seg.metadataRefAt(i);
            if (!keep->accepts(meta.data, meta.len)) continue;
        }
        const float* v = decodeVector(seg.vectorAt(i), seg.dim, seg.quantization, seg.pqSubvectors, seg.codebook, scratch);
        offer.offer(seg, i, scorer.score(v));
    }
    return 0;
}

}  // namespace qarbin
