// Graph primitives: bounds, per-thread workspace, level draw, node creation,
// greedy descent, beam search on one level and link insertion.
#include "core/index/hnsw_graph.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "core/math/codecs.h"

namespace qarbin {
namespace hnsw {

namespace {

constexpr NearerFirst nearerFirst{};
constexpr FartherFirst fartherFirst{};

template <typename T>
inline T loadRelaxed(const T* p) {
    return __atomic_load_n(p, __ATOMIC_RELAXED);
}

}  // namespace

bool makeGraph(const Segment& seg, uint64_t usedLimit, Graph* g) {
    if (!seg.header || !seg.base || !seg.slots || !seg.nodeArea || !seg.linkPool) return false;
    if (seg.dim == 0 || seg.dim > kMaxDim) return false;  // decode scratch holds kMaxDim floats
    const uint8_t* begin = seg.base;
    const uint8_t* end = seg.base + seg.mappedLen;
    if (seg.nodeArea <= seg.slots || seg.nodeArea >= end || seg.linkPool < begin || seg.linkPool >= end)
        return false;
    uint64_t stride = seg.stride();
    if (stride == 0) return false;

    uint64_t cap = seg.header->capacity.load();
    uint64_t nodeRoom = static_cast<uint64_t>(end - seg.nodeArea) / kNodeBytes;
    if (seg.linkPool > seg.nodeArea)
        nodeRoom = std::min<uint64_t>(nodeRoom, static_cast<uint64_t>(seg.linkPool - seg.nodeArea) / kNodeBytes);
    // Links are int32 positions.
    uint64_t nodeLimit = std::min<uint64_t>({cap, nodeRoom, static_cast<uint64_t>(INT32_MAX)});
    uint64_t poolRoom = static_cast<uint64_t>(end - seg.linkPool) / kPoolEntryBytes;
    uint64_t poolLimit = std::min<uint64_t>({seg.linkPoolEntries, poolRoom, static_cast<uint64_t>(INT32_MAX)});
    uint64_t slotRoom = static_cast<uint64_t>(seg.nodeArea - seg.slots) / stride;

    g->seg = &seg;
    g->nodes = seg.nodeArea;
    g->pool = reinterpret_cast<LinkPoolEntry*>(seg.linkPool);
    g->nodeLimit = nodeLimit;
    g->poolLimit = poolLimit;
    g->slotLimit = std::min<uint64_t>({usedLimit, cap, slotRoom, static_cast<uint64_t>(UINT32_MAX)});
    g->graphOffset = static_cast<uint64_t>(seg.nodeArea - begin);
    g->poolOffset = static_cast<uint64_t>(seg.linkPool - begin);
    g->slots = seg.slots;
    g->stride = stride;
    g->vectors = seg.vectorAt(0);
    g->vecBytes = seg.vecBytes();
    g->inPlace = seg.quantization == static_cast<uint32_t>(Quantization::None) ||
                 seg.quantization > static_cast<uint32_t>(Quantization::PQ);
    g->fused = QueryScorer::scoresCodes(seg.quantization);
    g->metric = seg.metric;
    g->useAvx2 = seg.useAvx2;
    g->storedNorms = seg.normsServe(seg.useAvx2);
    return true;
}

NodeLocks::NodeLocks(uint64_t n, uint64_t first)
    : held(new std::atomic<uint8_t>[n]), made(new std::atomic<uint8_t>[n]), count(n), firstNew(first) {
    for (uint64_t i = 0; i < n; ++i) {
        held[i].store(0, std::memory_order_relaxed);
        made[i].store(0, std::memory_order_relaxed);
    }
}

void NodeLocks::lock(uint64_t p) const {
    // Held only over one list copy or one list rewrite: spinning is cheaper
    // than sleeping.
    while (held[p].exchange(1, std::memory_order_acquire) != 0)
        while (held[p].load(std::memory_order_relaxed) != 0) __builtin_ia32_pause();
}

uint32_t Graph::readLinks(uint64_t p, uint32_t level, int32_t* out) const {
    NodeGuard guard(locks, p);
    const HnswNode* nd = node(p);
    if (level == 0) {
        uint32_t n = loadRelaxed(&nd->linkCount);
        if (n > kLevel0Links) n = kLevel0Links;
        std::memcpy(out, nd->links, n * sizeof(int32_t));
        return n;
    }
    int32_t first = loadRelaxed(&nd->poolFirst);
    uint32_t top = loadRelaxed(&nd->level);
    if (top > kTopLevel) top = kTopLevel;
    if (first < 0 || top < level) return 0;
    uint64_t k = static_cast<uint64_t>(first) + level - 1;
    if (k >= poolLimit) return 0;
    const LinkPoolEntry* e = pool + k;
    uint32_t n = loadRelaxed(&e->linkCount);
    if (n > kUpperLinks) n = kUpperLinks;
    std::memcpy(out, e->links, n * sizeof(int32_t));
    return n;
}

int32_t* Graph::list(uint64_t p, uint32_t level, uint8_t** countField, uint32_t* capacity) const {
    HnswNode* nd = node(p);
    if (level == 0) {
        *countField = &nd->linkCount;
        *capacity = kLevel0Links;
        return nd->links;
    }
    uint32_t top = nd->level;
    if (top > kTopLevel) top = kTopLevel;
    if (nd->poolFirst < 0 || top < level) return nullptr;
    uint64_t k = static_cast<uint64_t>(nd->poolFirst) + level - 1;
    if (k >= poolLimit) return nullptr;
    LinkPoolEntry* e = pool + k;
    *countField = &e->linkCount;
    *capacity = kUpperLinks;
    return e->links;
}

Workspace::~Workspace() { std::free(decode); }

void Workspace::prepare(uint64_t n, uint32_t dim, uint32_t ef) {
    if (marks.size() < n) marks.resize(n, 0);
    if (seen.size() < n) seen.resize(n, 0);
    uint64_t p = (static_cast<uint64_t>(dim) + 15) & ~uint64_t{15};
    if (p == 0) p = 16;
    size_t need = static_cast<size_t>(p) * (2 + 2 * kMaxBlock);
    if (need > decodeFloats) {
        void* mem = std::aligned_alloc(64, need * sizeof(float));
        if (!mem) throw std::bad_alloc();
        std::free(decode);
        decode = static_cast<float*>(mem);
        decodeFloats = need;
    }
    pad = p;
    size_t want = static_cast<size_t>(std::min<uint64_t>(ef, n)) + kMaxBlock + 1;
    if (cand.capacity() < want) cand.reserve(want);
    if (res.capacity() < want) res.reserve(want);
    if (layer.capacity() < want) layer.reserve(want);
    if (entries.capacity() < want) entries.reserve(want);
}

uint32_t Workspace::nextTag() {
    if (++tag == 0) {
        std::fill(marks.begin(), marks.end(), 0u);
        tag = 1;
    }
    return tag;
}

Workspace& workspace() {
    static thread_local Workspace ws;
    return ws;
}

void Query::init(const Graph& g, const float* q, const Workspace& ws) {
    scorer.init(q, g.seg->dim, g.metric, g.useAvx2);
    if (g.storedNorms) dots = scorer.dotPart();
    block = ws.blockBuf();
    pad = ws.pad;
}

namespace {

// dist[j] = the score of the encoded vector recs[j]: floats and
// lane-decoded codes where they lie, PQ codes decoded into the query's block
// first.
void scoreRecords(const Graph& g, const QueryScorer& scorer, const Query& q, const uint8_t* const* recs, uint32_t k,
                  float* dist) {
    const Segment& seg = *g.seg;
    if (g.fused) {
        scorer.scoreCodes(recs, k, seg.quantization, dist);
        return;
    }
    const float* vecs[kMaxBlock];
    if (g.inPlace) {
        for (uint32_t j = 0; j < k; ++j) vecs[j] = reinterpret_cast<const float*>(recs[j]);
    } else {
        for (uint32_t j = 0; j < k; ++j)
            vecs[j] = decodeVector(recs[j], seg.dim, seg.quantization, seg.pqSubvectors, seg.codebook,
                                   q.block + j * q.pad);
    }
    scorer.scoreBlock(vecs, k, dist);
}

}  // namespace

uint32_t distancesOf(const Graph& g, const Query& q, const uint32_t* nodes, uint32_t n, uint32_t* kept,
                     float* dist, uint32_t* slotOut) {
    // Node headers first, then the vectors they name: every miss of a block
    // is in flight at once.
    if (g.nodeSlotsCount == 0)
        for (uint32_t i = 0; i < n; ++i) __builtin_prefetch(g.node(nodes[i]));

    const uint8_t* recs[kMaxBlock];
    uint32_t slots[kMaxBlock];
    uint32_t k = 0;
    const uint64_t lines = std::min<uint64_t>((g.vecBytes + 63) / 64, 16);
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t slot = nodes[i] < g.nodeSlotsCount ? g.nodeSlots[nodes[i]] : loadRelaxed(&g.node(nodes[i])->slot);
        if (slot >= g.slotLimit) continue;
        const uint8_t* v = g.vector(slot);
        for (uint64_t l = 0; l < lines; ++l) __builtin_prefetch(v + 64 * l);
        if (g.storedNorms) __builtin_prefetch(g.seg->entries + slot);
        recs[k] = v;
        slots[k] = slot;
        kept[k] = i;
        if (slotOut) slotOut[k] = slot;
        ++k;
    }
    if (k == 0) return 0;

    if (g.storedNorms) {
        scoreRecords(g, q.dots, q, recs, k, dist);
        for (uint32_t j = 0; j < k; ++j) dist[j] = q.scorer.cosineWithNorm(dist[j], g.seg->normAt(slots[j]));
    } else {
        scoreRecords(g, q.scorer, q, recs, k, dist);
    }
    for (uint32_t j = 0; j < k; ++j) {
        float d = scoreToDistance(dist[j], g.metric);
        dist[j] = std::isnan(d) ? std::numeric_limits<float>::infinity() : d;
    }
    return k;
}

uint32_t drawLevel(std::mt19937& gen, double scale) {
    uint32_t a = static_cast<uint32_t>(gen());
    uint32_t b = static_cast<uint32_t>(gen());
    double u = (static_cast<double>(a) + static_cast<double>(b) * 4294967296.0) * 0x1p-64;
    double x = -std::log(u) * scale;
    if (!std::isfinite(x)) return 0;
    if (x >= static_cast<double>(kTopLevel)) return kTopLevel;
    return static_cast<uint32_t>(x);
}

uint32_t initNode(const Graph& g, uint32_t p, uint32_t slot, uint32_t level, uint32_t* poolUsed) {
    HnswNode* nd = g.node(p);
    std::memset(nd, 0, sizeof *nd);
    nd->slot = slot;
    nd->level = static_cast<uint8_t>(level);
    nd->linkCount = 0;
    nd->poolFirst = -1;
    for (uint32_t i = 0; i < kLevel0Links; ++i) nd->links[i] = -1;
    if (level > 0) {
        uint64_t j = *poolUsed;
        if (j + level <= g.poolLimit) {
            nd->poolFirst = static_cast<int32_t>(j);
            for (uint32_t l = 1; l <= level; ++l) {
                LinkPoolEntry* e = g.pool + j + l - 1;
                e->node = p;
                e->level = static_cast<uint8_t>(l);
                e->linkCount = 0;
                for (uint32_t i = 0; i < kUpperLinks; ++i) e->links[i] = -1;
            }
            *poolUsed = static_cast<uint32_t>(j + level);
        } else {
            // The pool cannot hold this node's levels; a later node with a
            // smaller level may still fit.
            nd->level = 0;
            level = 0;
        }
    }
    g.seg->setGraphNode(slot, static_cast<int32_t>(p));
    return level;
}

uint32_t greedyDescend(const Graph& g, const Query& q, uint32_t start, uint32_t top, uint32_t bottom,
                       uint64_t bound) {
    uint32_t c = start;
    if (top <= bottom) return c;
    bound = std::min(bound, g.nodeLimit);
    if (start >= bound) return c;
    uint32_t kept[kMaxBlock];
    float dist[kMaxBlock];
    if (distancesOf(g, q, &c, 1, kept, dist) == 0) return c;
    float d = dist[0];
    if (top > kTopLevel) top = kTopLevel;
    for (uint32_t l = top; l > bottom; --l) {
        for (;;) {
            int32_t links[kLevel0Links];
            uint32_t n = g.readLinks(c, l, links);
            uint32_t cand[kMaxBlock];
            uint32_t m = 0;
            for (uint32_t i = 0; i < n; ++i) {
                int32_t x = links[i];
                if (x < 0 || static_cast<uint64_t>(x) >= bound || !g.followable(static_cast<uint64_t>(x))) continue;
                cand[m++] = static_cast<uint32_t>(x);
            }
            if (m == 0) break;
            // Scored together, taken in place order: the first strictly
            // closer link wins, a tie never moves the walk.
            uint32_t k = distancesOf(g, q, cand, m, kept, dist);
            bool moved = false;
            for (uint32_t j = 0; j < k; ++j) {
                if (dist[j] < d) {
                    c = cand[kept[j]];
                    d = dist[j];
                    moved = true;
                    break;
                }
            }
            if (!moved) break;
        }
    }
    return c;
}

namespace {

// Scores every entry below bound not yet marked with tag and pushes it onto
// both heaps of ws; W is not trimmed here, so it may start above ef.
void seedBeam(const Graph& g, const Query& q, const uint32_t* entries, size_t nEntries, Workspace& ws, uint32_t tag,
              uint64_t bound) {
    uint32_t fresh[kMaxBlock];
    uint32_t kept[kMaxBlock];
    uint32_t slotOf[kMaxBlock];
    float dist[kMaxBlock];
    size_t i = 0;
    while (i < nEntries) {
        uint32_t nf = 0;
        for (; i < nEntries && nf < kLevel0Links; ++i) {
            uint32_t e = entries[i];
            if (e >= bound || ws.marks[e] == tag || !g.followable(e)) continue;
            ws.marks[e] = tag;
            fresh[nf++] = e;
        }
        uint32_t k = distancesOf(g, q, fresh, nf, kept, dist, slotOf);
        for (uint32_t j = 0; j < k; ++j) {
            Pair pr{dist[j], fresh[kept[j]]};
            ws.seen[pr.node] = slotOf[j];
            ws.cand.push_back(pr);
            std::push_heap(ws.cand.begin(), ws.cand.end(), nearerFirst);
            ws.res.push_back(pr);
            std::push_heap(ws.res.begin(), ws.res.end(), fartherFirst);
        }
    }
}

}  // namespace

void searchLayer(const Graph& g, const Query& q, const uint32_t* entries, size_t nEntries, uint32_t ef,
                 uint32_t level, Workspace& ws, uint32_t tag, uint64_t bound, std::vector<Pair>& out) {
    std::vector<Pair>& C = ws.cand;
    std::vector<Pair>& W = ws.res;
    C.clear();
    W.clear();
    out.clear();
    if (ef < 1) ef = 1;
    bound = std::min<uint64_t>({bound, ws.marks.size(), ws.seen.size(), g.nodeLimit});
    uint32_t* marks = ws.marks.data();
    uint32_t* seen = ws.seen.data();

    uint32_t fresh[kMaxBlock];
    uint32_t kept[kMaxBlock];
    uint32_t slotOf[kMaxBlock];
    float dist[kMaxBlock];

    seedBeam(g, q, entries, nEntries, ws, tag, bound);

    int32_t links[kLevel0Links];
    while (!C.empty()) {
        Pair c = C.front();
        std::pop_heap(C.begin(), C.end(), nearerFirst);
        C.pop_back();
        if (c.dist > W.front().dist) break;
        uint32_t n = g.readLinks(c.node, level, links);
        uint32_t nf = 0;
        for (uint32_t j = 0; j < n; ++j) {
            int32_t x = links[j];
            if (x < 0 || static_cast<uint64_t>(x) >= bound) continue;
            uint32_t ux = static_cast<uint32_t>(x);
            if (marks[ux] == tag || !g.followable(ux)) continue;
            marks[ux] = tag;
            fresh[nf++] = ux;
        }
        if (nf == 0) continue;
        // Scoring the fresh neighbours as one block gives the same distances
        // as one at a time; admission below keeps the place order.
        uint32_t k = distancesOf(g, q, fresh, nf, kept, dist, slotOf);
        for (uint32_t j = 0; j < k; ++j) {
            float dx = dist[j];
            if (W.size() < ef || dx < W.front().dist) {
                Pair pr{dx, fresh[kept[j]]};
                seen[pr.node] = slotOf[j];
                // Its links are read when it is expanded.
                const char* nd = reinterpret_cast<const char*>(g.node(pr.node));
                __builtin_prefetch(nd + 64);
                __builtin_prefetch(nd + kNodeBytes - 1);
                C.push_back(pr);
                std::push_heap(C.begin(), C.end(), nearerFirst);
                W.push_back(pr);
                std::push_heap(W.begin(), W.end(), fartherFirst);
                if (W.size() > ef) {
                    std::pop_heap(W.begin(), W.end(), fartherFirst);
                    W.pop_back();
                }
            }
        }
    }

    out.assign(W.begin(), W.end());
    // Ties by position: the neighbour choice reads the whole beam in order,
    // and the same graph state must always choose the same.
    std::sort(out.begin(), out.end(),
              [](const Pair& a, const Pair& b) { return a.dist < b.dist || (a.dist == b.dist && a.node < b.node); });
}

const float* vectorOf(const Graph& g, uint32_t slot, float* buf) {
    const uint8_t* v = g.vector(slot);
    if (g.inPlace) return reinterpret_cast<const float*>(v);
    const Segment& seg = *g.seg;
    return decodeVector(v, seg.dim, seg.quantization, seg.pqSubvectors, seg.codebook, buf);
}

namespace {

constexpr uint32_t kGroup = 8;

// Drops from alive[0..n) every candidate that `by` is strictly closer to
// than its base distance; vecs and dist are the candidates'. Returns how
// many stay.
uint32_t rejectCloserTo(const Graph& g, const QueryScorer& by, const float* const* vecs, const float* dist,
                        uint32_t* alive, uint32_t n) {
    const float* block[kGroup] = {};
    float score[kGroup];
    for (uint32_t t = 0; t < n; ++t) block[t] = vecs[alive[t]];
    by.scoreBlock(block, n, score);
    uint32_t kept = 0;
    for (uint32_t t = 0; t < n; ++t)
        if (!(scoreToDistance(score[t], g.metric) < dist[alive[t]])) alive[kept++] = alive[t];
    return kept;
}

}  // namespace

uint32_t selectDiverse(const Graph& g, Workspace& ws, const Pair* cand, size_t n, uint32_t limit, uint32_t* out) {
    if (limit > kMaxBlock) limit = kMaxBlock;
    const uint32_t dim = g.seg->dim;
    // Each chosen neighbour is a query against the candidates, which are
    // taken eight at a time: the nearer neighbours reject most of a group
    // in one block, and the walk in candidate order then decides between
    // the survivors exactly as one candidate at a time would.
    QueryScorer picked[kMaxBlock];
    float* room = ws.pickBuf();
    float* groupRoom = ws.blockBuf();
    uint32_t count = 0;
    size_t i = 0;
    while (i < n && count < limit) {
        const float* vecs[kGroup];
        float dist[kGroup];
        uint32_t nodes[kGroup];
        uint32_t m = 0;
        for (; i < n && m < kGroup; ++i) {
            uint32_t node = cand[i].node;
            uint32_t slot = node < g.nodeSlotsCount ? g.nodeSlots[node] : loadRelaxed(&g.node(node)->slot);
            if (slot >= g.slotLimit) continue;
            vecs[m] = vectorOf(g, slot, groupRoom + m * ws.pad);
            dist[m] = cand[i].dist;
            nodes[m++] = node;
        }
        uint32_t alive[kGroup];
        uint32_t left = m;
        for (uint32_t t = 0; t < m; ++t) alive[t] = t;
        for (uint32_t j = 0; j < count && left > 0; ++j) left = rejectCloserTo(g, picked[j], vecs, dist, alive, left);
        for (uint32_t a = 0; a < left && count < limit;) {
            uint32_t t = alive[a];
            const float* v = vecs[t];
            if (!g.inPlace) {
                float* keep = room + count * ws.pad;
                std::memcpy(keep, v, dim * sizeof(float));
                v = keep;
            }
            picked[count].init(v, dim, g.metric, g.useAvx2);
            out[count++] = nodes[t];
            // The rest of the group must also keep their distance from it.
            uint32_t rest = left - a - 1;
            if (rest > 0 && count < limit) rest = rejectCloserTo(g, picked[count - 1], vecs, dist, alive + a + 1, rest);
            left = a + 1 + rest;
            ++a;
        }
    }
    return count;
}

bool addLink(const Graph& g, Workspace& ws, uint32_t owner, uint32_t x, uint32_t level) {
    NodeGuard guard(g.locks, owner);
    uint8_t* countField = nullptr;
    uint32_t cap = 0;
    int32_t* list = g.list(owner, level, &countField, &cap);
    if (!list) return false;
    uint32_t n = *countField;
    if (n < cap) {
        list[n] = static_cast<int32_t>(x);
        *countField = static_cast<uint8_t>(n + 1);
        return true;
    }

    // Full (a count above capacity reads as full): choose the owner's links
    // afresh among the current ones and the newcomer, by the rule a new node
    // chooses its own.
    uint32_t slot = g.node(owner)->slot;
    if (slot >= g.slotLimit) return false;
    const float* v = vectorOf(g, slot, ws.ownerBuf());
    Query oq;
    oq.init(g, v, ws);

    uint32_t nodes[kMaxBlock];
    uint32_t m = 0;
    nodes[m++] = x;
    for (uint32_t i = 0; i < cap; ++i) {
        int32_t y = list[i];
        if (y < 0 || static_cast<uint64_t>(y) >= g.nodeLimit || static_cast<uint32_t>(y) == x) continue;
        nodes[m++] = static_cast<uint32_t>(y);
    }
    uint32_t kept[kMaxBlock];
    float dist[kMaxBlock];
    uint32_t k = distancesOf(g, oq, nodes, m, kept, dist);
    if (k == 0 || kept[0] != 0) return false;  // the newcomer itself names a bad slot
    Pair cand[kMaxBlock];
    for (uint32_t j = 0; j < k; ++j) cand[j] = Pair{dist[j], nodes[kept[j]]};
    // Ties by position, so the same graph state always chooses the same.
    std::sort(cand, cand + k, [](const Pair& a, const Pair& b) {
        return a.dist < b.dist || (a.dist == b.dist && a.node < b.node);
    });
    uint32_t chosen[kMaxBlock];
    uint32_t c = selectDiverse(g, ws, cand, k, cap, chosen);
    // Readers elsewhere skip -1 and bound every place, so a list rewritten
    // under them reads as some mix of old and new links.
    for (uint32_t i = 0; i < cap; ++i) list[i] = i < c ? static_cast<int32_t>(chosen[i]) : -1;
    *countField = static_cast<uint8_t>(c);
    return true;
}

void connectNode(const Graph& g, Workspace& ws, const Query& q, uint32_t p, uint32_t level, uint32_t c,
                 uint32_t top, uint32_t m, uint32_t efc, uint64_t bound, bool* linked) {
    ws.entries.clear();
    ws.entries.push_back(c);
    uint32_t start = std::min(level, top);
    for (uint32_t l = start + 1; l-- > 0;) {
        uint32_t tag = ws.nextTag();
        searchLayer(g, q, ws.entries.data(), ws.entries.size(), efc, l, ws, tag, bound, ws.layer);
        // Other threads may have linked p already, so a beam can meet p.
        if (g.locks)
            ws.layer.erase(std::remove_if(ws.layer.begin(), ws.layer.end(), [p](const Pair& pr) { return pr.node == p; }),
                           ws.layer.end());
        uint32_t want = (l == 0) ? 2 * m : m;
        uint32_t chosen[kMaxBlock];
        uint32_t k = selectDiverse(g, ws, ws.layer.data(), ws.layer.size(), want, chosen);
        for (uint32_t i = 0; i < k; ++i) {
            uint32_t x = chosen[i];
            if (addLink(g, ws, p, x, l)) *linked = true;
            if (addLink(g, ws, x, p, l)) *linked = true;
        }
        ws.entries.clear();
        for (const Pair& pr : ws.layer) ws.entries.push_back(pr.node);
    }
}

}  // namespace hnsw
}  // namespace qarbin
