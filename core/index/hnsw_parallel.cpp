// Making and linking new nodes on several threads at once. What depends on
// order alone is decided up front on the calling thread: each node's level
// (the draws one thread would make), its pool entries and the backing of
// every byte the nodes will write. The threads then take node positions in
// order from one counter and link them under per-node locks; nothing they
// run can throw past them, and all are joined before this returns.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

#include "core/index/hnsw_graph.h"
#include "core/index/worker_threads.h"
#include "core/math/codecs.h"

namespace qarbin {
namespace hnsw {

namespace {

// The nodes of one call as planned: level and first pool entry of each
// (poolAt[count] is the pool count after the last).
struct Plan {
    std::vector<uint8_t> level;
    std::vector<uint32_t> poolAt;
};

void planNodes(const Graph& g, std::mt19937& gen, uint32_t m, size_t count, uint32_t poolUsed, Plan* plan) {
    const double scale = 1.0 / std::log(static_cast<double>(m));
    plan->level.resize(count);
    plan->poolAt.resize(count + 1);
    uint64_t j = poolUsed;
    for (size_t i = 0; i < count; ++i) {
        uint32_t level = drawLevel(gen, scale);
        // initNode's rule: levels the pool cannot hold become 0.
        if (level > 0 && j + level > g.poolLimit) level = 0;
        plan->level[i] = static_cast<uint8_t>(level);
        plan->poolAt[i] = static_cast<uint32_t>(j);
        j += level;
    }
    plan->poolAt[count] = static_cast<uint32_t>(j);
}

// What the threads share.
struct Shared {
    Segment* seg;
    const Graph* g;
    const uint32_t* slots;
    size_t count;
    uint64_t first;
    const Plan* plan;
    uint32_t m;
    uint32_t efc;
    const GraphStop* stop;
    std::mutex topLock;
    Top top;
    std::atomic<size_t> next{0};
    std::atomic<bool> halt{false};
    std::atomic<size_t> firstFailed{SIZE_MAX};
};

void noteFailure(Shared& sh, size_t j) {
    size_t seen = sh.firstFailed.load();
    while (j < seen && !sh.firstFailed.compare_exchange_weak(seen, j)) {
    }
    sh.halt.store(true);
}

// Makes and links node first + j. Throws std::bad_alloc.
void makeNode(Shared& sh, Workspace& ws, size_t j) {
    const Graph& g = *sh.g;
    const Segment& seg = *sh.seg;
    const uint32_t pos = static_cast<uint32_t>(sh.first + j);
    const uint32_t slot = sh.slots[j];
    uint32_t poolUsed = sh.plan->poolAt[j];
    const uint32_t level = initNode(g, pos, slot, sh.plan->level[j], &poolUsed);
    g.locks->markMade(pos);
    int32_t entry;
    uint32_t maxLevel;
    {
        std::lock_guard<std::mutex> hold(sh.topLock);
        entry = sh.top.entry;
        maxLevel = sh.top.maxLevel;
    }
    const float* q =
        decodeVector(seg.vectorAt(slot), seg.dim, seg.quantization, seg.pqSubvectors, seg.codebook, ws.queryBuf());
    Query query;
    query.init(g, q, ws);
    const uint64_t bound = sh.first + sh.count;
    uint32_t c = greedyDescend(g, query, static_cast<uint32_t>(entry), maxLevel, level, bound);
    bool linked = false;
    connectNode(g, ws, query, pos, level, c, maxLevel, sh.m, sh.efc, bound, &linked);
    if (level > maxLevel) {
        std::lock_guard<std::mutex> hold(sh.topLock);
        if (level > sh.top.maxLevel) {
            sh.top.entry = static_cast<int32_t>(pos);
            sh.top.maxLevel = level;
        }
    }
}

// One thread's share: node positions from the counter until none is left
// or the work halts. The calling thread alone asks `stop`.
void work(Shared& sh, Workspace& ws, bool asksStop) noexcept {
    size_t done = 0;
    for (;;) {
        if (sh.halt.load(std::memory_order_relaxed)) return;
        if (asksStop && sh.stop && done > 0 && done % 16 == 0 && sh.stop->stop(sh.stop->ctx)) {
            sh.halt.store(true);
            return;
        }
        const size_t j = sh.next.fetch_add(1);
        if (j >= sh.count) return;
        try {
            makeNode(sh, ws, j);
        } catch (...) {
            noteFailure(sh, j);
            return;
        }
        ++done;
    }
}

// Backs nodes first .. first+count-1 and the pool entries they take.
bool backAll(Segment& seg, const Graph& g, uint64_t first, size_t count, const Plan& plan) {
    if (!seg.ensureBacked(g.graphOffset + first * kNodeBytes, uint64_t{count} * kNodeBytes)) return false;
    const uint64_t poolFrom = plan.poolAt[0];
    const uint64_t poolTo = plan.poolAt[count];
    if (poolTo == poolFrom) return true;
    return seg.ensureBacked(g.poolOffset + poolFrom * kPoolEntryBytes, (poolTo - poolFrom) * kPoolEntryBytes);
}

// Level-0 links of node p (its count read as at most the capacity).
const int32_t* level0(const Graph& g, uint64_t p, uint32_t* n) {
    uint8_t* countField = nullptr;
    uint32_t cap = 0;
    const int32_t* list = g.list(p, 0, &countField, &cap);
    *n = list ? std::min<uint32_t>(*countField, cap) : 0;
    return list;
}

// Two threads linking near each other can each drop the other's node from
// a full list, leaving a node no list names, which no search reaches. Such
// a node gets a link back from the first of its neighbours with room, or,
// when every one is full, takes the place of a node another list names too.
// Runs after the threads are joined; nodes 0 .. count-1.
void linkUnnamed(const Graph& g, uint64_t count) {
    // How many level-0 lists name each node, saturating.
    std::vector<uint16_t> named;
    try {
        named.assign(count, 0);
    } catch (...) {
        return;
    }
    auto valid = [count](int32_t v, uint64_t self) {
        return v >= 0 && static_cast<uint64_t>(v) < count && static_cast<uint64_t>(v) != self;
    };
    for (uint64_t p = 0; p < count; ++p) {
        uint32_t n = 0;
        const int32_t* list = level0(g, p, &n);
        for (uint32_t i = 0; i < n; ++i)
            if (valid(list[i], p) && named[list[i]] != UINT16_MAX) ++named[list[i]];
    }
    // A link back from a neighbour with room; else, in a neighbour's full
    // list, the place of a node that another list names too, so that no
    // node loses its last name for it.
    auto linkBack = [&](uint64_t p, const int32_t* own, uint32_t n, bool replace) {
        for (uint32_t i = 0; i < n; ++i) {
            if (!valid(own[i], p)) continue;
            uint8_t* countField = nullptr;
            uint32_t cap = 0;
            int32_t* back = g.list(static_cast<uint64_t>(own[i]), 0, &countField, &cap);
            if (back == nullptr) continue;
            if (!replace) {
                if (*countField >= cap) continue;
                back[*countField] = static_cast<int32_t>(p);
                *countField = static_cast<uint8_t>(*countField + 1);
                return true;
            }
            const uint32_t held = std::min<uint32_t>(*countField, cap);
            for (uint32_t j = held; j-- > 0;) {
                const int32_t w = back[j];
                if (!valid(w, static_cast<uint64_t>(own[i])) || named[w] < 2) continue;
                --named[w];
                back[j] = static_cast<int32_t>(p);
                return true;
            }
        }
        return false;
    };
    for (uint64_t p = 0; p < count; ++p) {
        if (named[p] != 0) continue;
        uint32_t n = 0;
        const int32_t* own = level0(g, p, &n);
        if (linkBack(p, own, n, false) || linkBack(p, own, n, true)) named[p] = 1;
    }
}

}  // namespace

int insertNodesParallel(Segment& seg, const Graph& g, Workspace& ws, const uint32_t* slots, size_t count,
                        uint64_t first, std::mt19937& gen, uint32_t m, uint32_t efc, Top* top, uint64_t* made,
                        const GraphStop* stop, uint32_t threads) {
    *made = 0;
    const uint64_t cap = std::min<uint64_t>(seg.capacity(), g.nodeLimit);
    if (first >= cap) return 0;
    count = static_cast<size_t>(std::min<uint64_t>(count, cap - first));
    if (count == 0) return 0;

    // The first node of an empty graph has nothing to link to: made here,
    // it gives the threads an entry.
    size_t start = 0;
    if (top->entry < 0) {
        const int rc = insertNodes(seg, g, ws, slots, 1, first, gen, m, efc, top, made, nullptr);
        if (rc != 0 || *made != 1) return rc < 0 ? -1 : rc;
        start = 1;
    }
    const size_t rest = count - start;
    if (rest == 0) return 0;

    Plan plan;
    std::vector<std::unique_ptr<Workspace>> own;
    std::unique_ptr<NodeLocks> locks;
    try {
        planNodes(g, gen, m, rest, top->poolUsed, &plan);
        for (uint32_t t = 1; t < threads; ++t) {
            own.push_back(std::make_unique<Workspace>());
            own.back()->prepare(first + count, seg.dim, efc);
        }
        locks = std::make_unique<NodeLocks>(first + count, first + start);
    } catch (...) {
        return -1;
    }
    if (!backAll(seg, g, first + start, rest, plan)) return -1;

    Graph shared = g;
    shared.locks = locks.get();
    Shared sh;
    sh.seg = &seg;
    sh.g = &shared;
    sh.slots = slots + start;
    sh.count = rest;
    sh.first = first + start;
    sh.plan = &plan;
    sh.m = m;
    sh.efc = efc;
    sh.stop = stop;
    sh.top = *top;
    const Top before = *top;
    // Workers past those that could be started leave their workspace unused.
    auto run = [&](uint32_t w) { work(sh, w == 0 ? ws : *own[w - 1], w == 0); };
    runOnThreads(threads, run);

    const size_t taken = std::min(sh.next.load(), rest);
    const size_t failed = sh.firstFailed.load();
    const size_t kept = std::min(taken, failed);
    // The records of nodes past what is kept (a failure) lose their node;
    // the next extension makes them again.
    for (size_t j = kept; j < taken; ++j) seg.setGraphNode(sh.slots[j], -1);
    *made += kept;
    top->entry = sh.top.entry;
    top->maxLevel = sh.top.maxLevel;
    top->poolUsed = plan.poolAt[kept];
    // A failure past the new entry node: the entry from before the threads
    // is kept, always a made node.
    if (top->entry >= 0 && static_cast<uint64_t>(top->entry) >= sh.first + kept) {
        top->entry = before.entry;
        top->maxLevel = before.maxLevel;
    }
    linkUnnamed(g, sh.first + kept);
    if (failed != SIZE_MAX) return -1;
    return kept < rest ? 1 : 0;
}

}  // namespace hnsw
}  // namespace qarbin
