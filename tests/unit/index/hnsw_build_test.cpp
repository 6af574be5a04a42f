// Level draw and bulk build: the fixed level sequences, the shape of built
// graphs and their determinism.
#include <cmath>
#include <random>

#include "core/index/hnsw_graph.h"
#include "hnsw_fixture.h"

using namespace hnsw_test;
namespace hnsw = qarbin::hnsw;

namespace {

std::vector<uint32_t> drawLevels(uint32_t seed, uint32_t m, size_t n) {
    std::mt19937 gen(seed);
    double scale = 1.0 / std::log(static_cast<double>(m));
    std::vector<uint32_t> out;
    for (size_t i = 0; i < n; ++i) out.push_back(hnsw::drawLevel(gen, scale));
    return out;
}

// Structural facts every built graph must satisfy.
void expectWellFormed(const Segment& seg) {
    const uint64_t n = seg.header->indexedCount.load();
    const uint32_t used = seg.header->linkPoolUsed;
    ASSERT_LE(used, seg.linkPoolEntries);
    uint64_t poolSum = 0;
    for (uint64_t p = 0; p < n; ++p) {
        const HnswNode* nd = nodeAt(seg, p);
        ASSERT_LE(nd->level, 15u);
        ASSERT_LE(nd->linkCount, 32u);
        EXPECT_EQ(seg.graphNodeAt(nd->slot), static_cast<int32_t>(p));
        for (uint32_t i = 0; i < 32; ++i) {
            int32_t x = nd->links[i];
            if (i < nd->linkCount) {
                ASSERT_GE(x, 0) << "node " << p;
                ASSERT_LT(static_cast<uint64_t>(x), n);
                EXPECT_NE(static_cast<uint64_t>(x), p);
            } else {
                EXPECT_EQ(x, -1);
            }
        }
        if (nd->level == 0) {
            EXPECT_EQ(nd->poolFirst, -1);
            continue;
        }
        ASSERT_GE(nd->poolFirst, 0);
        ASSERT_LE(static_cast<uint64_t>(nd->poolFirst) + nd->level, used);
        poolSum += nd->level;
        for (uint32_t l = 1; l <= nd->level; ++l) {
            const LinkPoolEntry* e = poolAt(seg, nd->poolFirst + l - 1);
            EXPECT_EQ(e->node, p);
            EXPECT_EQ(e->level, l);
            ASSERT_LE(e->linkCount, 16u);
            for (uint32_t i = 0; i < e->linkCount; ++i) {
                int32_t x = e->links[i];
                ASSERT_GE(x, 0);
                ASSERT_LT(static_cast<uint64_t>(x), n);
                EXPECT_GE(nodeAt(seg, x)->level, l) << "an upper link names a node below that level";
            }
        }
    }
    EXPECT_EQ(poolSum, used) << "pool entries are handed out contiguously, one per upper level";
}

}  // namespace

TEST(HnswLevels, KnownSequencesForSeeds42And101) {
    std::vector<uint32_t> want42(20, 0);
    want42[10] = 1;
    want42[13] = 2;
    want42[17] = 1;
    want42[18] = 1;
    EXPECT_EQ(drawLevels(42, 16, 20), want42);
    EXPECT_EQ(drawLevels(101, 16, 10), (std::vector<uint32_t>{0, 0, 0, 2, 0, 0, 0, 0, 0, 0}));
}

TEST(HnswLevels, MOneGivesLevelZeroAndLevelsStayBelowSixteen) {
    for (uint32_t l : drawLevels(7, 1, 2000)) EXPECT_EQ(l, 0u);
    // M = 2 halves the odds per level: long runs must still cap at 15.
    uint32_t highest = 0;
    for (uint32_t l : drawLevels(3, 2, 200000)) highest = std::max(highest, l);
    EXPECT_GE(highest, 10u);
    EXPECT_LE(highest, 15u);
}

TEST(HnswBuild, TwentyRecordsGiveTheKnownLevelsAndHeader) {
    auto seg = makeSegment(8, 32);
    auto v = randomVectors(20, 8, 1);
    addRange(*seg, v, 0, 20);
    ASSERT_EQ(qarbin::buildHnsw(*seg), 0);

    EXPECT_EQ(seg->header->entryPoint, 13);
    EXPECT_EQ(seg->header->maxLevel, 2u);
    EXPECT_EQ(seg->header->linkPoolUsed, 5u);
    EXPECT_EQ(seg->header->indexedCount.load(), 20u);
    EXPECT_EQ(seg->header->flags & 3u, 3u);
    for (uint32_t p = 0; p < 20; ++p) {
        uint32_t want = (p == 13) ? 2 : (p == 10 || p == 17 || p == 18) ? 1 : 0;
        EXPECT_EQ(nodeAt(*seg, p)->level, want) << "node " << p;
        EXPECT_EQ(nodeAt(*seg, p)->slot, p);
    }
    // Entries are handed out in creation order.
    EXPECT_EQ(nodeAt(*seg, 10)->poolFirst, 0);
    EXPECT_EQ(nodeAt(*seg, 13)->poolFirst, 1);
    EXPECT_EQ(nodeAt(*seg, 17)->poolFirst, 3);
    EXPECT_EQ(nodeAt(*seg, 18)->poolFirst, 4);
    expectWellFormed(*seg);
}

TEST(HnswBuild, OneAndTwoLiveRecords) {
    auto seg = makeSegment(4, 8, DistanceMetric::Euclidean, 16, 200, Quantization::None, false);
    auto v = randomVectors(2, 4, 2);
    addRange(*seg, v, 0, 1);
    ASSERT_EQ(qarbin::buildHnsw(*seg), 0);
    EXPECT_EQ(seg->header->entryPoint, 0);
    EXPECT_EQ(seg->header->maxLevel, nodeAt(*seg, 0)->level);
    EXPECT_EQ(nodeAt(*seg, 0)->linkCount, 0u);
    EXPECT_EQ(seg->header->indexedCount.load(), 1u);

    addRange(*seg, v, 1, 1);
    ASSERT_EQ(qarbin::buildHnsw(*seg), 0);
    EXPECT_EQ(seg->header->indexedCount.load(), 2u);
    ASSERT_EQ(nodeAt(*seg, 1)->linkCount, 1u);
    EXPECT_EQ(nodeAt(*seg, 1)->links[0], 0);
    ASSERT_EQ(nodeAt(*seg, 0)->linkCount, 1u);
    EXPECT_EQ(nodeAt(*seg, 0)->links[0], 1);
}

TEST(HnswBuild, NothingLiveChangesNothing) {
    auto seg = makeSegment(4, 16);
    auto v = randomVectors(6, 4, 3);
    // Never built: nothing to build.
    addRange(*seg, v, 0, 3);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(deleteKey(*seg, keyOf(i)), 1);
    auto before = headerBytes(*seg);
    EXPECT_EQ(qarbin::buildHnsw(*seg), 0);
    EXPECT_EQ(headerBytes(*seg), before);
    EXPECT_EQ(seg->graphNodeAt(0), -1);

    // Built once, then every record deleted: the old graph stays as it was.
    addRange(*seg, v, 3, 3);
    ASSERT_EQ(qarbin::buildHnsw(*seg), 0);
    for (int i = 3; i < 6; ++i) ASSERT_EQ(deleteKey(*seg, keyOf(i)), 1);
    before = headerBytes(*seg);
    auto graph = graphBytes(*seg);
    EXPECT_EQ(qarbin::buildHnsw(*seg), 0);
    EXPECT_EQ(headerBytes(*seg), before);
    EXPECT_EQ(graphBytes(*seg), graph);

    Segment* empty = Segment::createMemory(makeShape(4, 16));
    auto emptyHeader = headerBytes(*empty);
    EXPECT_EQ(qarbin::buildHnsw(*empty), 0);
    EXPECT_EQ(headerBytes(*empty), emptyHeader);
    delete empty;
}

TEST(HnswBuild, ReadOnlyOrWithoutAreasIsRefused) {
    auto seg = makeSegment(4, 16);
    auto v = randomVectors(4, 4, 4);
    addRange(*seg, v, 0, 4);
    auto before = headerBytes(*seg);
    seg->writable = 0;
    EXPECT_EQ(qarbin::buildHnsw(*seg), -1);
    EXPECT_EQ(qarbin::hnswInsertIncremental(*seg), -1);
    seg->writable = 1;
    uint8_t* pool = seg->linkPool;
    seg->linkPool = nullptr;
    EXPECT_EQ(qarbin::buildHnsw(*seg), -1);
    seg->linkPool = pool;
    EXPECT_EQ(headerBytes(*seg), before);
    EXPECT_EQ(seg->graphNodeAt(0), -1);
}

TEST(HnswBuild, RebuildAfterDeletionsRenumbersDensely) {
    auto seg = makeSegment(6, 32, DistanceMetric::Dot);
    auto v = randomVectors(12, 6, 5);
    addRange(*seg, v, 0, 12);
    ASSERT_EQ(qarbin::buildHnsw(*seg), 0);
    const std::vector<uint32_t> gone = {0, 5, 6, 11};
    for (uint32_t s : gone) ASSERT_EQ(deleteKey(*seg, keyOf(s)), 1);
    ASSERT_EQ(qarbin::buildHnsw(*seg), 0);

    EXPECT_EQ(seg->header->indexedCount.load(), 8u);
    int32_t p = 0;
    for (uint32_t s = 0; s < 12; ++s) {
        bool deleted = std::find(gone.begin(), gone.end(), s) != gone.end();
        if (deleted) {
            EXPECT_EQ(seg->graphNodeAt(s), -1) << "slot " << s;
        } else {
            EXPECT_EQ(seg->graphNodeAt(s), p);
            EXPECT_EQ(nodeAt(*seg, p)->slot, s);
            ++p;
        }
    }
    expectWellFormed(*seg);
}

TEST(HnswBuild, SameRecordsGiveByteIdenticalGraphs) {
    struct Case {
        DistanceMetric metric;
        bool avx2;
        Quantization q;
        uint32_t m;
    };
    const Case cases[] = {{DistanceMetric::Cosine, true, Quantization::None, 16},
                          {DistanceMetric::Euclidean, false, Quantization::F16, 8},
                          {DistanceMetric::Manhattan, true, Quantization::Int8, 24},
                          {DistanceMetric::Dot, true, Quantization::Binary, 4}};
    auto v = randomVectors(600, 16, 6);
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.metric));
        auto a = makeSegment(16, 700, c.metric, c.m, 40, c.q, c.avx2);
        auto b = makeSegment(16, 700, c.metric, c.m, 40, c.q, c.avx2);
        addRange(*a, v, 0, 600);
        addRange(*b, v, 0, 600);
        for (uint64_t id : {3u, 100u, 101u, 599u}) {
            ASSERT_EQ(deleteKey(*a, keyOf(id - 1)), 1);
            ASSERT_EQ(deleteKey(*b, keyOf(id - 1)), 1);
        }
        ASSERT_EQ(qarbin::buildHnsw(*a), 0);
        ASSERT_EQ(qarbin::buildHnsw(*b), 0);
        const uint64_t n = a->header->indexedCount.load();
        ASSERT_EQ(n, 596u);
        ASSERT_EQ(b->header->indexedCount.load(), n);
        ASSERT_EQ(a->header->linkPoolUsed, b->header->linkPoolUsed);
        EXPECT_EQ(a->header->entryPoint, b->header->entryPoint);
        EXPECT_EQ(std::memcmp(a->nodeArea, b->nodeArea, n * qarbin::kNodeBytes), 0);
        EXPECT_EQ(std::memcmp(a->linkPool, b->linkPool, a->header->linkPoolUsed * qarbin::kPoolEntryBytes), 0);
        expectWellFormed(*a);

        // A rebuild of the same segment reproduces it too.
        auto first = graphBytes(*a);
        ASSERT_EQ(qarbin::buildHnsw(*a), 0);
        EXPECT_EQ(graphBytes(*a), first);
    }
}

TEST(HnswBuild, MZeroMeansSixteenAndMOneStaysFlat) {
    auto v = randomVectors(300, 8, 7);
    auto m0 = makeSegment(8, 300, DistanceMetric::Cosine, 0, 0);
    auto m16 = makeSegment(8, 300, DistanceMetric::Cosine, 16, 200);
    auto m1 = makeSegment(8, 300, DistanceMetric::Cosine, 1, 50);
    addRange(*m0, v, 0, 300);
    addRange(*m16, v, 0, 300);
    addRange(*m1, v, 0, 300);
    ASSERT_EQ(qarbin::buildHnsw(*m0), 0);
    ASSERT_EQ(qarbin::buildHnsw(*m16), 0);
    ASSERT_EQ(qarbin::buildHnsw(*m1), 0);
    EXPECT_EQ(std::memcmp(m0->nodeArea, m16->nodeArea, 300 * qarbin::kNodeBytes), 0);
    EXPECT_EQ(m1->header->maxLevel, 0u);
    EXPECT_EQ(m1->header->linkPoolUsed, 0u);
    EXPECT_EQ(m1->header->entryPoint, 0);
    // M = 1 still links each node to its 2 nearest at level 0 and takes reverse links.
    for (uint32_t p = 1; p < 300; ++p) EXPECT_GE(nodeAt(*m1, p)->linkCount, 1u);
    expectWellFormed(*m1);
}

TEST(HnswBuild, ShortLinkPoolDropsLevelsThatDoNotFit) {
    // With M = 3 a third of the nodes want an upper level: 600 nodes need
    // more than 256 entries, and with seed 42 the first refusal (a level 3
    // at 254 entries used) is followed by a level 1 that still fits.
    // The pool size is the fixed-slot layout's (version 6).
    const uint32_t n = 600;
    SegPtr seg(Segment::createMemory(
        qarbin_test::inFormat(makeShape(4, 1000, DistanceMetric::Euclidean, 3, 16), qarbin::kSegmentVersion)));
    ASSERT_EQ(seg->linkPoolEntries, 256u);
    auto v = randomVectors(n, 4, 8);
    addRange(*seg, v, 0, n);
    ASSERT_EQ(qarbin::buildHnsw(*seg), 0);
    expectWellFormed(*seg);
    EXPECT_LE(seg->header->linkPoolUsed, 256u);

    auto drawn = drawLevels(42, 3, n);
    uint32_t refusedAt = n;
    bool laterFit = false;
    for (uint32_t p = 0; p < n; ++p) {
        uint32_t got = nodeAt(*seg, p)->level;
        ASSERT_TRUE(got == drawn[p] || got == 0) << "node " << p;
        if (got != drawn[p] && refusedAt == n) refusedAt = p;
        if (p > refusedAt && got > 0) laterFit = true;
    }
    ASSERT_LT(refusedAt, n) << "the pool never ran short";
    EXPECT_TRUE(laterFit) << "a smaller level after a refusal should still get entries";
    // Once a refusal happened, the pool was within the refused level of full.
    EXPECT_GT(seg->header->linkPoolUsed + drawn[refusedAt], 256u);
}
