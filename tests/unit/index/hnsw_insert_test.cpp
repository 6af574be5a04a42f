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
    EXPECT_EQ(seg->graphNodeAt(0), -1);
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
    EXPECT_EQ(seg->graphNodeAt(10), -1);
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
            EXPECT_EQ(seg->graphNodeAt(s), -1);
            continue;
        }
        EXPECT_EQ(seg->graphNodeAt(s), p);
        EXPECT_EQ(nodeAt(*seg, p)->slot, s);
        EXPECT_GE(nodeAt(*seg, p)->linkCount, 1u);
        ++p;
    }
    EXPECT_EQ(seg->graphNodeAt(2), -1);
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

// A writer stopped after giving records nodes but before publishing the
// count: the header still holds what it read, the records name positions at
// or beyond it. Searches score them exactly, and the next extension (which
// reuses those positions) gives them nodes again.
TEST(HnswInsert, AnExtensionStoppedBeforePublishingLosesNothing) {
    auto seg = makeSegment(8, 512);
    auto v = randomVectors(300, 8, 31);
    addRange(*seg, v, 0, 150);
    ASSERT_EQ(qarbin::buildHnsw(*seg), 0);
    const int32_t ep = seg->header->entryPoint;
    const uint32_t maxL = seg->header->maxLevel;
    const uint32_t pool = seg->header->linkPoolUsed;
    addRange(*seg, v, 150, 60);
    ASSERT_EQ(qarbin::hnswInsertIncremental(*seg), 0);
    // The kill: none of the graph figures reached the header.
    seg->header->entryPoint = ep;
    seg->header->maxLevel = maxL;
    seg->header->linkPoolUsed = pool;
    seg->header->indexedCount.store(150);
    ASSERT_GE(seg->graphNodeAt(150), 150);

    for (size_t i = 150; i < 210; ++i) {
        auto hits = graphSearch(*seg, &v[i * 8], 1, 64);
        ASSERT_EQ(hits.size(), 1u);
        EXPECT_EQ(std::string(hits[0].key), keyOf(i)) << "before the next extension";
    }
    addRange(*seg, v, 210, 90);
    ASSERT_EQ(qarbin::hnswInsertIncremental(*seg), 0);
    EXPECT_EQ(seg->header->indexedCount.load(), 300u);
    for (size_t i = 0; i < 300; ++i) {
        const int32_t node = seg->graphNodeAt(i);
        ASSERT_LT(node, 300) << i;
        ASSERT_GE(node, 0) << i;
        EXPECT_EQ(nodeAt(*seg, node)->slot, i);
        auto hits = graphSearch(*seg, &v[i * 8], 1, 64);
        ASSERT_EQ(hits.size(), 1u);
        EXPECT_EQ(std::string(hits[0].key), keyOf(i));
    }
}

// A record whose node was given to another record (a store damaged by an
// earlier writer) gets a node of its own at the next extension.
TEST(HnswInsert, ARecordWhoseNodeNamesAnotherSlotIsAddedAgain) {
    auto seg = makeSegment(8, 256);
    auto v = randomVectors(120, 8, 32);
    addRange(*seg, v, 0, 100);
    ASSERT_EQ(qarbin::buildHnsw(*seg), 0);
    seg->setGraphNode(7, seg->graphNodeAt(8));
    addRange(*seg, v, 100, 20);
    ASSERT_EQ(qarbin::hnswInsertIncremental(*seg), 0);
    EXPECT_EQ(seg->header->indexedCount.load(), 121u);
    const int32_t gn = seg->graphNodeAt(7);
    ASSERT_GE(gn, 100);
    EXPECT_EQ(nodeAt(*seg, gn)->slot, 7u);
    auto hits = graphSearch(*seg, &v[7 * 8], 1, 64);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(std::string(hits[0].key), keyOf(7));
}
