// Incremental insert: refusals, pending records, level draws continued from
// the node count, determinism and the quality of an extended graph.
#include "hnsw_fixture.h"

using namespace hnsw_test;

TEST(HnswInsert, RefusesAGraphThatIsNotUsable) {
    auto seg = makeSegment(4, 32);
    auto v = randomVectors(10, 4, 21);
    addRange(*seg, v, 0, 10);
    auto before = headerBytes(*seg);
    EXPECT_EQ(qarbin::hnswInsertIncremental(*seg), -1);
    EXPECT_EQ(headerBytes(*seg), before);
    EXPECT_EQ(seg->recordAt(0)->graphNode, -1);
}

TEST(HnswInsert, NoPendingRecordsLeavesTheHeaderAlone) {
    auto seg = makeSegment(4, 32);
    auto v = randomVectors(12, 4, 22);
    addRange(*seg, v, 0, 10);
    ASSERT_EQ(qarbin::buildHnsw(*seg), 0);
    auto before = headerBytes(*seg);
    EXPECT_EQ(qarbin::hnswInsertIncremental(*seg), 0);
    EXPECT_EQ(headerBytes(*seg), before);
    // A record deleted before it was indexed is not pending either.
    addRange(*seg, v, 10, 1);
    ASSERT_EQ(deleteKey(*seg, keyOf(10)), 1);
    before = headerBytes(*seg);
    EXPECT_EQ(qarbin::hnswInsertIncremental(*seg), 0);
    EXPECT_EQ(headerBytes(*seg), before);
    EXPECT_EQ(seg->recordAt(10)->graphNode, -1);
}

TEST(HnswInsert, PendingRecordsGetTheNextPositionsInSlotOrder) {
    auto seg = makeSegment(6, 64, DistanceMetric::Euclidean);
    auto v = randomVectors(40, 6, 23);
    addRange(*seg, v, 0, 30);
    ASSERT_EQ(deleteKey(*seg, keyOf(2)), 1);  // slot 2: gone before the build
    ASSERT_EQ(qarbin::buildHnsw(*seg), 0);
    ASSERT_EQ(seg->header->indexedCount.load(), 29u);
    addRange(*seg, v, 30, 10);
    ASSERT_EQ(deleteKey(*seg, keyOf(33)), 1);  // slot 33: gone before the insert
    ASSERT_EQ(qarbin::hnswInsertIncremental(*seg), 0);

    EXPECT_EQ(seg->header->indexedCount.load(), 38u);
    EXPECT_EQ(seg->header->flags & 3u, 3u);
    int32_t p = 29;
    for (uint32_t s = 30; s < 40; ++s) {
        if (s == 33) {
            EXPECT_EQ(seg->recordAt(s)->graphNode, -1);
            continue;
        }
        EXPECT_EQ(seg->recordAt(s)->graphNode, p);
        EXPECT_EQ(nodeAt(*seg, p)->slot, s);
        EXPECT_GE(nodeAt(*seg, p)->linkCount, 1u);
        ++p;
    }
    EXPECT_EQ(seg->recordAt(2)->graphNode, -1);
    // Every inserted node can be reached: each is linked from some older node.
    for (int32_t q = 29; q < 38; ++q) {
        bool named = false;
        for (int32_t o = 0; o < 38 && !named; ++o) {
            const HnswNode* nd = nodeAt(*seg, o);
            for (uint32_t i = 0; i < nd->linkCount; ++i) named |= (nd->links[i] == q);
        }
        EXPECT_TRUE(named) << "node " << q;
    }
}

TEST(HnswInsert, LevelsContinueFromTheNodeCount) {
    auto seg = makeSegment(8, 256);
    auto v = randomVectors(110, 8, 24);
    addRange(*seg, v, 0, 100);
    ASSERT_EQ(qarbin::buildHnsw(*seg), 0);
    const int32_t ep = seg->header->entryPoint;
    const uint32_t maxL = seg->header->maxLevel;
    const uint32_t pool = seg->header->linkPoolUsed;
    addRange(*seg, v, 100, 10);
    ASSERT_EQ(qarbin::hnswInsertIncremental(*seg), 0);

    const uint32_t want[10] = {0, 0, 0, 2, 0, 0, 0, 0, 0, 0};
    for (uint32_t j = 0; j < 10; ++j) EXPECT_EQ(nodeAt(*seg, 100 + j)->level, want[j]) << "node " << 100 + j;
    EXPECT_EQ(nodeAt(*seg, 103)->poolFirst, static_cast<int32_t>(pool));
    EXPECT_EQ(seg->header->linkPoolUsed, pool + 2);
    // Node 103 takes over the entry only when it rises above the old top.
    if (maxL < 2) {
        EXPECT_EQ(seg->header->entryPoint, 103);
        EXPECT_EQ(seg->header->maxLevel, 2u);
    } else {
        EXPECT_EQ(seg->header->entryPoint, ep);
        EXPECT_EQ(seg->header->maxLevel, maxL);
    }
}

TEST(HnswInsert, ANewNodeOnTheTopLevelDoesNotTakeTheEntry) {
    // The build's only node has level 0 (first seed-42 draw); the insert's
    // first draw (seed 2) is level 0 as well, a tie with the top level.
    auto seg = makeSegment(4, 16);
    auto v = randomVectors(3, 4, 25);
    addRange(*seg, v, 0, 1);
    ASSERT_EQ(qarbin::buildHnsw(*seg), 0);
    ASSERT_EQ(seg->header->maxLevel, 0u);
    addRange(*seg, v, 1, 1);
    ASSERT_EQ(qarbin::hnswInsertIncremental(*seg), 0);
    ASSERT_EQ(nodeAt(*seg, 1)->level, 0u);  // first draw from seed 2
    EXPECT_EQ(seg->header->entryPoint, 0);
}

TEST(HnswInsert, SameStateAndRecordsGiveTheSameGraph) {
    auto v = randomVectors(500, 16, 26);
    SegPtr segs[2] = {makeSegment(16, 512, DistanceMetric::Manhattan, 12, 60, Quantization::None, false),
                      makeSegment(16, 512, DistanceMetric::Manhattan, 12, 60, Quantization::None, false)};
    for (SegPtr& s : segs) {
        addRange(*s, v, 0, 250);
        ASSERT_EQ(qarbin::buildHnsw(*s), 0);
        addRange(*s, v, 250, 150);
        ASSERT_EQ(qarbin::hnswInsertIncremental(*s), 0);
        addRange(*s, v, 400, 100);
        ASSERT_EQ(qarbin::hnswInsertIncremental(*s), 0);
    }
    ASSERT_EQ(segs[0]->header->indexedCount.load(), 500u);
    EXPECT_EQ(headerBytes(*segs[0]), headerBytes(*segs[1]));
    EXPECT_EQ(graphBytes(*segs[0]), graphBytes(*segs[1]));
}

TEST(HnswInsert, AnExtendedGraphKeepsItsRecall) {
    const uint32_t dim = 24;
    auto v = randomVectors(2000, dim, 27);
    auto seg = makeSegment(dim, 2000, DistanceMetric::Euclidean, 16, 100);
    addRange(*seg, v, 0, 500);
    ASSERT_EQ(qarbin::buildHnsw(*seg), 0);
    for (size_t from = 500; from < 2000; from += 500) {
        addRange(*seg, v, from, 500);
        ASSERT_EQ(qarbin::hnswInsertIncremental(*seg), 0);
    }
    ASSERT_EQ(seg->header->indexedCount.load(), 2000u);
    auto queries = randomVectors(60, dim, 28);
    size_t hit = 0;
    for (size_t i = 0; i < 60; ++i) {
        auto truth = keysOf(exactSearch(*seg, &queries[i * dim], 10));
        for (const std::string& k : keysOf(graphSearch(*seg, &queries[i * dim], 10, 100)))
            hit += truth.count(k);
    }
    EXPECT_GE(hit, static_cast<size_t>(0.95 * 600));
}
