// The graph writer word of a segment: one process at a time builds or
// extends a segment's graph, a holder that is gone is replaced, and a handle
// that finds the word taken searches without extending and without waiting.
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "core/segment/format.h"
#include "core/store/store.h"
#include "shm_helpers.h"

using qarbin::DistanceMetric;
using qarbin::Quantization;
using qarbin::Result;
using qarbin::Store;
using qarbin_test::ShmStoreName;

namespace {

constexpr uint32_t kDim = 16;

Store* openStore(const ShmStoreName& n) {
    return Store::openShm(n.c_str(), qarbin_test::makeShape(kDim, DistanceMetric::Euclidean, Quantization::None, 4096, false, 16, 200, 0), true);
}

void vectorOf(int worker, int i, float* v) {
    std::mt19937 gen(static_cast<uint32_t>(worker * 100003 + i));
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (uint32_t d = 0; d < kDim; ++d) v[d] = u(gen);
}

std::string keyOf(int worker, int i) { return "w" + std::to_string(worker) + "_" + std::to_string(i); }

void fill(Store& st, int worker, int from, int to) {
    float v[kDim];
    for (int i = from; i < to; ++i) {
        vectorOf(worker, i, v);
        ASSERT_EQ(st.set(keyOf(worker, i).c_str(), v, nullptr, 0), 0);
    }
}

bool foundByItsVector(Store& st, int worker, int i) {
    float v[kDim];
    vectorOf(worker, i, v);
    Result* rs = nullptr;
    int n = st.search(v, 1, 64, &rs);
    bool ok = n == 1 && keyOf(worker, i) == rs[0].key;
    qarbin::releaseBytes(rs);
    return ok;
}

// Who holds the word, whether a search of a writable handle extends the
// graph then, and what the word holds afterwards.
TEST(GraphWriter, AHandleExtendsOnlyWhenTheWordIsFreeOrItsHolderGone) {
    pid_t live = fork();
    if (live == 0) {
        for (;;) pause();
    }
    ASSERT_GT(live, 0);
    pid_t zombie = fork();
    if (zombie == 0) _exit(0);
    siginfo_t info;
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(zombie), &info, WEXITED | WNOWAIT), 0);

    struct Case {
        const char* what;
        uint64_t holder;
        bool extends;
    } cases[] = {
        {"free", 0, true},
        {"a reaped process", qarbin_test::deadPid(), true},
        {"an unreaped dead process", static_cast<uint64_t>(zombie), true},
        {"no process id at all", uint64_t{1} << 40, true},
        {"this process (a dead one's id reused)", static_cast<uint64_t>(getpid()), true},
        {"a live process", static_cast<uint64_t>(live), false},
    };
    for (const Case& c : cases) {
        ShmStoreName n("gw");
        std::unique_ptr<Store> st(openStore(n));
        ASSERT_TRUE(st);
        fill(*st, 0, 0, 200);
        ASSERT_TRUE(foundByItsVector(*st, 0, 0));  // builds the graph
        fill(*st, 0, 200, 400);
        qarbin::SegmentHeader* h = st->segments[0]->header;
        ASSERT_EQ(h->indexedCount.load(), 200u);
        h->graphWriter.store(c.holder);
        for (int i = 0; i < 400; i += 7) EXPECT_TRUE(foundByItsVector(*st, 0, i)) << c.what << " " << i;
        EXPECT_EQ(h->indexedCount.load(), c.extends ? 400u : 200u) << c.what;
        EXPECT_EQ(h->graphWriter.load(), c.extends ? 0u : c.holder) << c.what;
    }
    kill(live, SIGKILL);
    int status = 0;
    waitpid(live, &status, 0);
    waitpid(zombie, &status, 0);
}

// Workers add records and search (which extends the graph) all at once on
// one segment: every record of every worker is found by its own vector.
TEST(GraphWriter, WorkersExtendingOneGraphAtOnceLoseNoRecord) {
    ShmStoreName n("gwmany");
    std::unique_ptr<Store> watch(openStore(n));
    ASSERT_TRUE(watch);
    constexpr int kWorkers = 4;
    constexpr int kPer = 400;
    std::vector<int> statuses = qarbin_test::runWorkers(kWorkers, [&](int w) {
        Store* st = openStore(n);
        if (st == nullptr) return 1;
        float v[kDim];
        for (int i = 0; i < kPer; ++i) {
            vectorOf(w, i, v);
            if (st->set(keyOf(w, i).c_str(), v, nullptr, 0) != 0) return 2;
            if (i % 50 == 49) {
                Result* rs = nullptr;
                st->search(v, 1, 64, &rs);
                qarbin::releaseBytes(rs);
            }
        }
        delete st;
        return 0;
    });
    for (int s : statuses) ASSERT_EQ(s, 0);
    ASSERT_EQ(watch->segments.size(), 1u);
    const qarbin::Segment& seg = *watch->segments[0];
    EXPECT_EQ(seg.header->graphWriter.load(), 0u);
    // Each published node names the record that names it.
    const uint64_t nodes = seg.header->indexedCount.load();
    for (uint64_t i = 0; i < seg.usedSlotsClamped(); ++i) {
        const int32_t gn = seg.graphNodeAt(i);
        if (gn < 0 || static_cast<uint64_t>(gn) >= nodes) continue;
        const auto* nd = reinterpret_cast<const qarbin::HnswNode*>(seg.nodeArea + gn * qarbin::kNodeBytes);
        EXPECT_EQ(nd->slot, i) << "node " << gn;
    }
    // A read-only handle searches without extending (which would mend).
    std::unique_ptr<Store> reader(Store::openShm(n.c_str(), watch->shape, false));
    ASSERT_TRUE(reader);
    int lost = 0;
    for (int w = 0; w < kWorkers; ++w)
        for (int i = 0; i < kPer; ++i) lost += foundByItsVector(*reader, w, i) ? 0 : 1;
    EXPECT_EQ(lost, 0);
}

}  // namespace

namespace {

// Building in steps: a step that runs out of time leaves a usable graph
// over the records it reached, every record stays findable, and further
// steps finish the work.
TEST(GraphSteps, AStoppedStepLeavesAUsableGraphAndTheNextStepsFinish) {
    std::unique_ptr<Store> st(Store::openMemory(
        qarbin_test::makeShape(kDim, DistanceMetric::Euclidean, Quantization::None, 1024, false, 16, 200, 0), nullptr));
    ASSERT_TRUE(st);
    st->autoIndexThreshold = 0;  // searches below must not extend
    fill(*st, 0, 0, 500);
    EXPECT_EQ(st->pendingGraphRecords(), 500u);
    ASSERT_EQ(st->indexFor(1e-9), 1);
    const qarbin::SegmentHeader* h = st->segments[0]->header;
    EXPECT_NE(h->flags & qarbin::kFlagGraphUsable, 0u);
    const uint64_t first = st->recordsInGraphs();
    EXPECT_GT(first, 0u);
    EXPECT_LT(first, 500u);
    EXPECT_EQ(st->pendingGraphRecords(), 500u - first);
    for (int i = 0; i < 500; ++i) EXPECT_TRUE(foundByItsVector(*st, 0, i)) << i;
    int steps = 1;
    while (st->indexFor(1e-9) == 1) ++steps;
    EXPECT_GT(steps, 2);
    EXPECT_EQ(st->recordsInGraphs(), 500u);
    EXPECT_EQ(st->pendingGraphRecords(), 0u);
    EXPECT_EQ(h->graphWriter.load(), 0u);
    for (int i = 0; i < 500; ++i) EXPECT_TRUE(foundByItsVector(*st, 0, i)) << i;
}

}  // namespace
