// Graphs built in steps and on several threads: a build cut anywhere gives
// the graph of one uninterrupted build, and a build on many threads is a
// well-formed graph whose recall matches one thread's.
#include <cmath>

#include "hnsw_fixture.h"

namespace hnsw_test {
namespace {

// Stops after `left` polls (each poll comes every few nodes).
struct PollBudget {
    int left;
};
bool spendPoll(void* ctx) { return --static_cast<PollBudget*>(ctx)->left < 0; }

// Clustered vectors: the shape of real embeddings, where recall is telling.
std::vector<float> clustered(size_t n, uint32_t dim, uint32_t clusters, uint32_t seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> noise(0.0f, 0.25f);
    std::vector<float> centres = randomVectors(clusters, dim, seed + 1);
    std::vector<float> v(n * dim);
    for (size_t i = 0; i < n; ++i)
        for (uint32_t d = 0; d < dim; ++d) v[i * dim + d] = centres[(i % clusters) * dim + d] + noise(gen);
    return v;
}

// Every published node names its record back, links only to published
// nodes and never to itself, and the pool entries belong to their nodes.
void expectSound(const Segment& seg) {
    const uint64_t n = seg.header->indexedCount.load();
    ASSERT_LE(seg.header->linkPoolUsed, seg.linkPoolEntries);
    ASSERT_GE(seg.header->entryPoint, 0);
    ASSERT_LT(static_cast<uint64_t>(seg.header->entryPoint), n);
    EXPECT_EQ(nodeAt(seg, seg.header->entryPoint)->level, seg.header->maxLevel);
    for (uint64_t p = 0; p < n; ++p) {
        const HnswNode* nd = nodeAt(seg, p);
        ASSERT_EQ(seg.graphNodeAt(nd->slot), static_cast<int32_t>(p));
        ASSERT_LE(nd->linkCount, 32u);
        ASSERT_LE(nd->level, seg.header->maxLevel);
        for (uint32_t i = 0; i < nd->linkCount; ++i) {
            ASSERT_GE(nd->links[i], 0);
            ASSERT_LT(static_cast<uint64_t>(nd->links[i]), n);
            ASSERT_NE(static_cast<uint64_t>(nd->links[i]), p);
        }
        for (uint32_t l = 1; l <= nd->level; ++l) {
            const LinkPoolEntry* e = poolAt(seg, nd->poolFirst + l - 1);
            ASSERT_EQ(e->node, p);
            ASSERT_EQ(e->level, l);
            for (uint32_t i = 0; i < e->linkCount; ++i) ASSERT_LT(static_cast<uint64_t>(e->links[i]), n);
        }
    }
}

// Builds in steps: a build stopped after `firstPolls` polls, then
// extensions of `polls` polls each until done, all on one level stream.
void buildInSteps(Segment& seg, int firstPolls, int polls, uint32_t threads, qarbin::LevelStream* levels) {
    PollBudget budget{firstPolls};
    qarbin::GraphStop stop{spendPoll, &budget};
    int rc = qarbin::buildHnsw(seg, &stop, threads, levels);
    int steps = 0;
    while (rc == 1) {
        ASSERT_LT(++steps, 10000);
        budget.left = polls;
        rc = qarbin::hnswInsertIncremental(seg, &stop, threads, levels);
    }
    ASSERT_EQ(rc, 0);
}

double recallAt10(const Segment& seg, const std::vector<float>& queries, size_t count, int ef) {
    size_t found = 0;
    for (size_t i = 0; i < count; ++i) {
        const float* q = &queries[i * seg.dim];
        auto truth = keysOf(exactSearch(seg, q, 10));
        for (const Result& r : graphSearch(seg, q, 10, ef)) found += truth.count(r.key);
    }
    return static_cast<double>(found) / static_cast<double>(count * 10);
}

TEST(HnswSteps, WhereTheStepsAreCutDoesNotChangeTheGraph) {
    const auto v = randomVectors(900, 12, 31);
    auto whole = makeSegment(12, 1000, DistanceMetric::Cosine, 8, 60);
    addRange(*whole, v, 0, 900);
    ASSERT_EQ(qarbin::buildHnsw(*whole), 0);
    const auto wholeHeader = headerBytes(*whole);
    const auto wholeGraph = graphBytes(*whole);

    // (polls of the first step, polls of each later step)
    const int cuts[][2] = {{1, 1}, {3, 7}, {20, 2}, {50, 1}};
    for (const auto& cut : cuts) {
        SCOPED_TRACE(std::to_string(cut[0]) + "," + std::to_string(cut[1]));
        auto stepped = makeSegment(12, 1000, DistanceMetric::Cosine, 8, 60);
        addRange(*stepped, v, 0, 900);
        qarbin::LevelStream levels;
        buildInSteps(*stepped, cut[0], cut[1], 1, &levels);
        EXPECT_EQ(headerBytes(*stepped), wholeHeader);
        EXPECT_EQ(graphBytes(*stepped), wholeGraph);
    }
}

TEST(HnswSteps, AnExtensionInStepsEqualsOneExtension) {
    const auto v = randomVectors(700, 8, 32);
    auto one = makeSegment(8, 800, DistanceMetric::Euclidean, 16, 40);
    auto stepped = makeSegment(8, 800, DistanceMetric::Euclidean, 16, 40);
    for (Segment* s : {one.get(), stepped.get()}) {
        addRange(*s, v, 0, 200);
        ASSERT_EQ(qarbin::buildHnsw(*s), 0);
        addRange(*s, v, 200, 500);
    }
    ASSERT_EQ(qarbin::hnswInsertIncremental(*one), 0);
    qarbin::LevelStream levels;
    PollBudget budget{2};
    qarbin::GraphStop stop{spendPoll, &budget};
    int rc = qarbin::hnswInsertIncremental(*stepped, &stop, 1, &levels);
    while (rc == 1) {
        budget.left = 3;
        rc = qarbin::hnswInsertIncremental(*stepped, &stop, 1, &levels);
    }
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(headerBytes(*stepped), headerBytes(*one));
    EXPECT_EQ(graphBytes(*stepped), graphBytes(*one));
}

TEST(HnswParallel, ManyThreadsGiveASoundGraphWithTheRecallOfOne) {
    const uint32_t dim = 24;
    const size_t n = 5000;
    const auto v = clustered(n, dim, 50, 33);
    const auto queries = clustered(200, dim, 50, 34);
    auto single = makeSegment(dim, n, DistanceMetric::Cosine, 16, 100);
    addRange(*single, v, 0, n);
    ASSERT_EQ(qarbin::buildHnsw(*single), 0);
    const double base = recallAt10(*single, queries, 200, 40);
    EXPECT_GT(base, 0.8);

    for (uint32_t threads : {2u, 3u, 8u}) {
        SCOPED_TRACE(threads);
        auto seg = makeSegment(dim, n, DistanceMetric::Cosine, 16, 100);
        addRange(*seg, v, 0, n);
        ASSERT_EQ(qarbin::buildHnsw(*seg, nullptr, threads), 0);
        ASSERT_EQ(seg->header->indexedCount.load(), n);
        expectSound(*seg);
        // The levels are those of one thread; only the links differ.
        EXPECT_EQ(seg->header->linkPoolUsed, single->header->linkPoolUsed);
        for (uint64_t p = 0; p < n; ++p) ASSERT_EQ(nodeAt(*seg, p)->level, nodeAt(*single, p)->level);
        EXPECT_GE(recallAt10(*seg, queries, 200, 40), base - 0.01);
    }
}

TEST(HnswParallel, StepsAndExtensionsOnThreadsIndexEveryRecord) {
    const uint32_t dim = 16;
    const auto v = clustered(3000, dim, 30, 35);
    const auto queries = clustered(100, dim, 30, 36);
    auto seg = makeSegment(dim, 3200, DistanceMetric::Dot, 12, 80);
    addRange(*seg, v, 0, 2000);
    qarbin::LevelStream levels;
    buildInSteps(*seg, 5, 9, 2, &levels);
    ASSERT_EQ(seg->header->indexedCount.load(), 2000u);
    expectSound(*seg);
    // Then an extension of a usable graph, with deletions in between.
    for (int i = 0; i < 2000; i += 97) ASSERT_EQ(deleteKey(*seg, keyOf(i)), 1);
    addRange(*seg, v, 2000, 1000);
    ASSERT_EQ(qarbin::hnswInsertIncremental(*seg, nullptr, 4), 0);
    ASSERT_EQ(seg->header->indexedCount.load(), 3000u);
    expectSound(*seg);
    for (size_t i = 2000; i < 3000; ++i) EXPECT_GE(seg->graphNodeAt(i), 2000);
    EXPECT_GT(recallAt10(*seg, queries, 100, 60), 0.8);
}

// Level-0 lists (of nodes below n) that name node p.
size_t namesOf(const Segment& seg, uint64_t p, uint64_t n) {
    size_t names = 0;
    for (uint64_t q = 0; q < n; ++q) {
        const HnswNode* nd = nodeAt(seg, q);
        for (uint32_t i = 0; i < nd->linkCount; ++i) names += nd->links[i] == static_cast<int32_t>(p);
    }
    return names;
}

// Two threads can each prune the other's node from full lists; the state
// they leave is made here by hand: nodes that no list names, which no search
// reaches. An extension on threads names each of them again.
TEST(HnswParallel, AnExtensionOnThreadsNamesEveryNode) {
    const uint32_t dim = 16;
    const auto v = randomVectors(1300, dim, 38);
    auto seg = makeSegment(dim, 1300, DistanceMetric::Cosine, 8, 60);
    addRange(*seg, v, 0, 1200);
    ASSERT_EQ(qarbin::buildHnsw(*seg), 0);
    const uint64_t orphans[] = {5, 300, 1199};
    for (uint64_t p : orphans) {
        for (uint64_t q = 0; q < 1200; ++q) {
            HnswNode* nd = mutableNode(*seg, q);
            uint32_t kept = 0;
            for (uint32_t i = 0; i < nd->linkCount; ++i)
                if (nd->links[i] != static_cast<int32_t>(p)) nd->links[kept++] = nd->links[i];
            for (uint32_t i = kept; i < nd->linkCount; ++i) nd->links[i] = -1;
            nd->linkCount = static_cast<uint8_t>(kept);
        }
        ASSERT_EQ(namesOf(*seg, p, 1200), 0u);
    }
    addRange(*seg, v, 1200, 100);
    ASSERT_EQ(qarbin::hnswInsertIncremental(*seg, nullptr, 2), 0);
    expectSound(*seg);
    for (uint64_t p : orphans) {
        SCOPED_TRACE(p);
        EXPECT_GE(namesOf(*seg, p, 1300), 1u);
        auto got = graphSearch(*seg, &v[nodeAt(*seg, p)->slot * dim], 1, 100);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(std::string(got[0].key), keyOf(nodeAt(*seg, p)->slot));
    }
}

TEST(HnswParallel, QuantizedSegmentsBuildOnThreads) {
    const auto v = clustered(1500, 32, 20, 37);
    for (Quantization q : {Quantization::F16, Quantization::Int8, Quantization::Binary}) {
        SCOPED_TRACE(static_cast<int>(q));
        auto seg = makeSegment(32, 1600, DistanceMetric::Euclidean, 16, 60, q);
        addRange(*seg, v, 0, 1500);
        ASSERT_EQ(qarbin::buildHnsw(*seg, nullptr, 2), 0);
        ASSERT_EQ(seg->header->indexedCount.load(), 1500u);
        expectSound(*seg);
    }
}

}  // namespace
}  // namespace hnsw_test
