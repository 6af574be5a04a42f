// Allocation failures during a build or an insert: each run fails the k-th
// allocation of a fresh thread (so its graph workspace starts empty) for
// k = 0, 1, 2, ... until the call succeeds, and checks what it left. Region
// bytes that cannot be backed: a shared-memory segment whose descriptor is
// withheld refuses every new node.
#include <cstdlib>
#include <new>
#include <sys/mman.h>
#include <thread>

#include "test_util.h"

#include "hnsw_fixture.h"

// The address sanitizer keeps its own operator new; replacing it there would
// pair its allocations with our free. These tests run in the plain build.
#if defined(__SANITIZE_ADDRESS__)
#define HNSW_FAILING_NEW 0
#else
#define HNSW_FAILING_NEW 1
#endif

namespace {
thread_local long allocationsLeft = -1;  // -1: never fail
}

#if HNSW_FAILING_NEW
// This operator new takes its memory from malloc, so free is the matching
// release; the compiler cannot see the pairing across the replacement.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
    if (allocationsLeft == 0) throw std::bad_alloc();
    if (allocationsLeft > 0) --allocationsLeft;
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    return p;
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

using namespace hnsw_test;

namespace {

// Runs f on a new thread whose k-th allocation fails.
template <typename F>
int failingAt(long k, F f) {
    int rc = 0;
    std::thread t([&] {
        allocationsLeft = k;
        rc = f();
        allocationsLeft = -1;
    });
    t.join();
    return rc;
}

// Every graphNode is -1 or a position the header covers, and each covered
// node names the record that names it.
void expectCovered(const Segment& seg) {
    const uint64_t n = seg.header->indexedCount.load();
    for (uint64_t i = 0; i < seg.usedSlotsClamped(); ++i) {
        int32_t gn = seg.graphNodeAt(i);
        if (gn == -1) continue;
        ASSERT_GE(gn, 0);
        ASSERT_LT(static_cast<uint64_t>(gn), n) << "slot " << i;
        EXPECT_EQ(nodeAt(seg, gn)->slot, i);
    }
    if (n > 0) {
        ASSERT_GE(seg.header->entryPoint, 0);
        EXPECT_LT(static_cast<uint64_t>(seg.header->entryPoint), n);
    }
    EXPECT_LE(seg.header->linkPoolUsed, seg.linkPoolEntries);
}

}  // namespace

TEST(HnswAlloc, AFailedBuildLeavesTheSegmentToTheExhaustiveScan) {
    if (!HNSW_FAILING_NEW) GTEST_SKIP() << "operator new is the sanitizer's";
    auto v = randomVectors(400, 8, 41);
    long failures = 0;
    for (long k = 0; k < 100000; ++k) {
        // A small beam keeps the candidate heap growing past its reserve.
        auto seg = makeSegment(8, 400, DistanceMetric::Euclidean, 16, 8);
        addRange(*seg, v, 0, 400);
        int rc = failingAt(k, [&] { return qarbin::buildHnsw(*seg); });
        if (rc == 0) {
            expectCovered(*seg);
            break;
        }
        ++failures;
        ASSERT_EQ(rc, -1);
        EXPECT_EQ(seg->header->flags & 3u, 0u);
        EXPECT_EQ(seg->header->indexedCount.load(), 0u);
        for (uint64_t i = 0; i < 400; ++i) ASSERT_EQ(seg->graphNodeAt(i), -1);
    }
    EXPECT_GT(failures, 0);
}

TEST(HnswAlloc, AFailedInsertKeepsTheHeaderConsistent) {
    if (!HNSW_FAILING_NEW) GTEST_SKIP() << "operator new is the sanitizer's";
    auto v = randomVectors(500, 8, 42);
    long failures = 0;
    for (long k = 0; k < 100000; ++k) {
        auto seg = makeSegment(8, 500, DistanceMetric::Euclidean, 16, 8);
        addRange(*seg, v, 0, 200);
        ASSERT_EQ(qarbin::buildHnsw(*seg), 0);
        addRange(*seg, v, 200, 300);
        int rc = failingAt(k, [&] { return qarbin::hnswInsertIncremental(*seg); });
        expectCovered(*seg);
        EXPECT_EQ(seg->header->flags & 3u, 3u);
        EXPECT_GE(seg->header->indexedCount.load(), 200u);
        // Whatever was left without a node is still found by the search.
        auto all = graphSearch(*seg, &v[0], 500, 500);
        std::set<std::string> keys = keysOf(all);
        for (uint64_t i = 0; i < 500; ++i) {
            if (seg->graphNodeAt(i) == -1) {
                EXPECT_TRUE(keys.count(keyOf(i))) << keyOf(i);
            }
        }
        if (rc == 0) {
            EXPECT_EQ(seg->header->indexedCount.load(), 500u);
            break;
        }
        ++failures;
        ASSERT_EQ(rc, -1);
    }
    EXPECT_GT(failures, 0);
}

TEST(HnswBacking, UnbackedNodesFailTheBuildAndStopTheInsert) {
    const std::string name = "/" + qarbin_test::uniqueShmName("hnsw");
    auto v = randomVectors(60, 8, 43);
    {
        SegPtr seg(Segment::createShm(name.c_str(), makeShape(8, 64, DistanceMetric::Cosine, 16, 50)));
        ASSERT_NE(seg, nullptr);
        addRange(*seg, v, 0, 40);
        const int fd = seg->fd;

        seg->fd = -1;
        EXPECT_EQ(qarbin::buildHnsw(*seg), -1);
        EXPECT_EQ(seg->header->flags & 3u, 0u);
        EXPECT_EQ(seg->header->indexedCount.load(), 0u);
        EXPECT_EQ(seg->header->entryPoint, -1);
        for (uint64_t i = 0; i < 40; ++i) EXPECT_EQ(seg->graphNodeAt(i), -1);

        seg->fd = fd;
        ASSERT_EQ(qarbin::buildHnsw(*seg), 0);
        addRange(*seg, v, 40, 20);
        auto before = headerBytes(*seg);
        seg->fd = -1;
        EXPECT_EQ(qarbin::hnswInsertIncremental(*seg), -1);
        EXPECT_EQ(headerBytes(*seg), before) << "no node was made";
        for (uint64_t i = 40; i < 60; ++i) EXPECT_EQ(seg->graphNodeAt(i), -1);
        // The records still count: the search scores them exactly.
        EXPECT_EQ(keysOf(graphSearch(*seg, &v[50 * 8], 1, 10)),
                  (std::set<std::string>{keyOf(50)}));
        seg->fd = fd;
        EXPECT_EQ(qarbin::hnswInsertIncremental(*seg), 0);
        EXPECT_EQ(seg->header->indexedCount.load(), 60u);
    }
    shm_unlink(name.c_str());
}
