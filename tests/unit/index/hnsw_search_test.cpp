// Traversal primitives and the graph search: descent ties, beam entries,
// merging into the shared top-K, records without nodes, recall.
#include <cmath>

#include "core/index/hnsw_graph.h"
#include "core/math/score.h"
#include "hnsw_fixture.h"

using namespace hnsw_test;
namespace hnsw = qarbin::hnsw;

namespace {

// A segment of 2-d points with hand-made nodes (all of level 1, no links).
struct HandGraph {
    SegPtr seg;
    hnsw::Graph g;

    explicit HandGraph(const std::vector<std::pair<float, float>>& pts) {
        seg = makeSegment(2, 16, DistanceMetric::Euclidean, 16, 200, Quantization::None, false);
        for (size_t i = 0; i < pts.size(); ++i) {
            float v[2] = {pts[i].first, pts[i].second};
            EXPECT_EQ(seg->add(i + 1, keyOf(i).c_str(), v, nullptr, 0), 0);
        }
        EXPECT_TRUE(hnsw::makeGraph(*seg, pts.size(), &g));
        uint32_t pool = 0;
        for (uint32_t p = 0; p < pts.size(); ++p) EXPECT_EQ(hnsw::initNode(g, p, p, 1, &pool), 1u);
        seg->header->indexedCount.store(pts.size());
    }
    void link(uint32_t from, uint32_t level, std::vector<int32_t> to) {
        uint8_t* count;
        uint32_t cap;
        int32_t* list = g.list(from, level, &count, &cap);
        ASSERT_NE(list, nullptr);
        for (size_t i = 0; i < to.size(); ++i) list[i] = to[i];
        *count = static_cast<uint8_t>(to.size());
    }
};

}  // namespace

namespace {

// The graph's distance from query to the record in `slot` of a segment
// holding e1 = (1, 0, 0, 0) and b = (3, 4, 0, 0) that scores with `metric`
// in the given summation order.
float graphDistance(DistanceMetric metric, bool avx2, const float* query, uint32_t slot) {
    auto seg = makeSegment(4, 4, metric, 16, 200, Quantization::None, avx2);
    const float e1[4] = {1, 0, 0, 0};
    const float b[4] = {3, 4, 0, 0};
    EXPECT_EQ(seg->add(1, "a", e1, nullptr, 0), 0);
    EXPECT_EQ(seg->add(2, "b", b, nullptr, 0), 0);
    hnsw::Graph g;
    EXPECT_TRUE(hnsw::makeGraph(*seg, 2, &g));
    const uint32_t slots[2] = {0, 1};  // node p stands for slot p
    g.nodeSlots = slots;
    g.nodeSlotsCount = 2;
    hnsw::Workspace& ws = hnsw::workspace();
    ws.prepare(2, 4, 1);
    hnsw::Query q;
    q.init(g, query, ws);
    uint32_t kept[1] = {99};
    float dist[1] = {-99.0f};
    EXPECT_EQ(hnsw::distancesOf(g, q, &slot, 1, kept, dist), 1u);
    EXPECT_EQ(kept[0], 0u);
    // The same distance from the exact score of the stored vector: 1 - score
    // for cosine, -score for the others.
    float buf[4];
    const float* v = hnsw::vectorOf(g, slot, buf);
    const float score = qarbin::computeScore(query, v, 4, metric, avx2);
    EXPECT_EQ(dist[0], metric == DistanceMetric::Cosine ? 1.0f - score : -score);
    return dist[0];
}

}  // namespace

TEST(HnswTraverse, DistanceFollowsTheMetric) {
    const float e1[4] = {1, 0, 0, 0};
    const float zero[4] = {0, 0, 0, 0};
    EXPECT_EQ(graphDistance(DistanceMetric::Dot, true, e1, 0), -1.0f);
    EXPECT_EQ(graphDistance(DistanceMetric::Cosine, true, zero, 0), 1.0f);
    EXPECT_EQ(graphDistance(DistanceMetric::Cosine, false, zero, 1), 1.0f);
    EXPECT_EQ(graphDistance(DistanceMetric::Euclidean, false, e1, 1), std::sqrt(20.0f));
    EXPECT_EQ(graphDistance(DistanceMetric::Manhattan, false, e1, 1), 6.0f);
    // No segment has an unknown metric; the conversion gives such a one 0.
    EXPECT_EQ(makeSegment(4, 4, static_cast<DistanceMetric>(7)), nullptr);
    EXPECT_EQ(hnsw::scoreToDistance(0.5f, static_cast<DistanceMetric>(7)), 0.0f);
}

TEST(HnswTraverse, GreedyDescentTakesTheFirstStrictImprovementAndNeverATie) {
    // Query (10, 0): A at distance 10, B at 10 (a tie), C at 5, E at 1.
    HandGraph h({{0, 0}, {10, 10}, {5, 0}, {9, 0}});
    const float q[2] = {10, 0};
    hnsw::Workspace& ws = hnsw::workspace();
    ws.prepare(4, 2, 10);
    hnsw::Query query;
    query.init(h.g, q, ws);

    h.link(0, 1, {1});
    EXPECT_EQ(hnsw::greedyDescend(h.g, query, 0, 1, 0, 4), 0u) << "a tie must not move the walk";

    h.link(0, 1, {1, 2, 3});
    h.link(2, 1, {0});
    EXPECT_EQ(hnsw::greedyDescend(h.g, query, 0, 1, 0, 4), 2u) << "first improvement, not the best";

    // From C the walk would go on to E, which the bound hides.
    h.link(2, 1, {0, 3});
    EXPECT_EQ(hnsw::greedyDescend(h.g, query, 0, 1, 0, 4), 3u);
    EXPECT_EQ(hnsw::greedyDescend(h.g, query, 0, 1, 0, 3), 2u);
    EXPECT_EQ(hnsw::greedyDescend(h.g, query, 0, 0, 0, 4), 0u) << "top == bottom walks nowhere";
}

TEST(HnswTraverse, SearchLayerTakesEveryEntryOnceAndMayExceedEf) {
    HandGraph h({{0, 0}, {3, 0}, {1, 0}, {2, 0}, {7, 0}});
    const float q[2] = {0, 0};
    hnsw::Workspace& ws = hnsw::workspace();
    ws.prepare(5, 2, 2);
    hnsw::Query query;
    query.init(h.g, q, ws);
    const uint32_t entries[] = {3, 3, 0, 1, 2, 0, 9};  // 9 is beyond the marks
    std::vector<hnsw::Pair> out;
    hnsw::searchLayer(h.g, query, entries, 7, 2, 0, ws, ws.nextTag(), 5, out);
    ASSERT_EQ(out.size(), 4u);
    const uint32_t order[] = {0, 2, 3, 1};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(out[i].node, order[i]);
        EXPECT_EQ(out[i].dist, static_cast<float>(i));
    }

    // Expansion admits a farther neighbour only while W has room: from node 0
    // (links 4, 2) with ef 2 both enter; with ef 1 only the nearer stays.
    h.link(0, 0, {4, 2});
    const uint32_t start = 0;
    hnsw::searchLayer(h.g, query, &start, 1, 2, 0, ws, ws.nextTag(), 5, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].node, 0u);
    EXPECT_EQ(out[1].node, 2u);
    hnsw::searchLayer(h.g, query, &start, 1, 3, 0, ws, ws.nextTag(), 5, out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[2].node, 4u);
}

TEST(HnswSearch, EfBelowTopKLimitsGraphResults) {
    auto seg = makeSegment(8, 256);
    auto v = randomVectors(200, 8, 11);
    addRange(*seg, v, 0, 200);
    ASSERT_EQ(qarbin::buildHnsw(*seg), 0);
    for (int ef : {1, 3, 7}) {
        auto r = graphSearch(*seg, &v[0], 50, ef);
        EXPECT_GE(r.size(), 1u);
        EXPECT_LE(r.size(), static_cast<size_t>(ef));
    }
    // ef 1 from a stored vector still finds that vector.
    auto r = graphSearch(*seg, &v[17 * 8], 1, 1);
    ASSERT_EQ(r.size(), 1u);
}

TEST(HnswSearch, UnindexedRecordsAreScoredExactly) {
    const DistanceMetric metrics[] = {DistanceMetric::Cosine, DistanceMetric::Dot, DistanceMetric::Euclidean,
                                      DistanceMetric::Manhattan};
    auto v = randomVectors(130, 12, 12);
    for (DistanceMetric m : metrics) {
        SCOPED_TRACE(static_cast<int>(m));
        auto seg = makeSegment(12, 256, m);
        addRange(*seg, v, 0, 100);
        ASSERT_EQ(qarbin::buildHnsw(*seg), 0);
        addRange(*seg, v, 100, 30);
        for (size_t i = 100; i < 130; i += 7) {
            auto exact = exactSearch(*seg, &v[i * 12], 130);
            auto got = graphSearch(*seg, &v[i * 12], 130, 10);
            // Every unindexed record is there, with the exhaustive score bit for bit.
            size_t unindexed = 0;
            for (const Result& g : got) {
                int slot = std::stoi(g.key + 1);
                if (slot < 100) continue;
                ++unindexed;
                for (const Result& e : exact) {
                    if (std::string(e.key) == g.key) {
                        EXPECT_EQ(e.score, g.score) << g.key;
                    }
                }
            }
            EXPECT_EQ(unindexed, 30u);
        }
    }
}

TEST(HnswSearch, GraphScoresMatchTheExhaustiveScores) {
    const DistanceMetric metrics[] = {DistanceMetric::Cosine, DistanceMetric::Dot, DistanceMetric::Euclidean,
                                      DistanceMetric::Manhattan};
    auto v = randomVectors(400, 9, 13);
    const Quantization encodings[] = {Quantization::None, Quantization::F16, Quantization::Int8,
                                      Quantization::Binary};
    for (DistanceMetric m : metrics) {
        for (bool avx2 : {false, true}) {
            Quantization enc = encodings[(static_cast<int>(m) * 2 + avx2) % 4];
            SCOPED_TRACE(static_cast<int>(enc));
            auto seg = makeSegment(9, 400, m, 16, 200, enc, avx2);
            addRange(*seg, v, 0, 400);
            ASSERT_EQ(qarbin::buildHnsw(*seg), 0);
            auto exact = exactSearch(*seg, &v[5 * 9], 400);
            auto got = graphSearch(*seg, &v[5 * 9], 20, 40);
            ASSERT_FALSE(got.empty());
            for (const Result& g : got) {
                const Result* e = nullptr;
                for (const Result& x : exact)
                    if (std::string(x.key) == g.key) e = &x;
                ASSERT_NE(e, nullptr);
                EXPECT_EQ(e->id, g.id);
                if (m == DistanceMetric::Cosine) {
                    EXPECT_NEAR(g.score, e->score, 2e-7f) << "1 - (1 - s) is s to within the last place";
                } else {
                    EXPECT_EQ(g.score, e->score);
                }
            }
        }
    }
}

TEST(HnswSearch, DeletedRecordsAreNeverReturned) {
    auto seg = makeSegment(8, 512, DistanceMetric::Euclidean);
    auto v = randomVectors(300, 8, 14);
    addRange(*seg, v, 0, 300);
    ASSERT_EQ(qarbin::buildHnsw(*seg), 0);
    for (size_t i = 0; i < 300; i += 2) ASSERT_EQ(deleteKey(*seg, keyOf(i)), 1);
    for (size_t qi = 0; qi < 300; qi += 25) {
        auto r = graphSearch(*seg, &v[qi * 8], 20, 60);
        EXPECT_EQ(r.size(), 20u) << "the beam still passes through deleted nodes";
        for (const Result& x : r) EXPECT_EQ(std::stoi(x.key + 1) % 2, 1) << x.key;
    }
    for (size_t i = 1; i < 300; i += 2) ASSERT_EQ(deleteKey(*seg, keyOf(i)), 1);
    EXPECT_TRUE(graphSearch(*seg, &v[0], 20, 60).empty());
}

TEST(HnswSearch, MergesIntoASharedArrayByTheTopKRule) {
    // Dot in one dimension: record x scores x against the query (1).
    auto seg = makeSegment(1, 8, DistanceMetric::Dot);
    const float vals[] = {0.3f, 0.2f, 0.9f};
    for (int i = 0; i < 3; ++i) ASSERT_EQ(seg->add(i + 1, keyOf(i).c_str(), &vals[i], "m", 1), 0);
    ASSERT_EQ(qarbin::buildHnsw(*seg), 0);
    const float q = 1.0f;

    Result r[3] = {};
    r[0].score = 0.5f;
    r[1].score = 0.2f;
    r[2].score = 0.2f;
    int count = 3;
    ASSERT_EQ(qarbin::hnswSearch(*seg, &q, 3, 10, r, &count), 0);
    ASSERT_EQ(count, 3);
    // Offered farthest first: 0.2 ties the worst and stays out, 0.3 replaces
    // the earlier of the two 0.2 entries, then 0.9 replaces the other.
    EXPECT_EQ(r[0].key, nullptr);
    EXPECT_EQ(r[0].score, 0.5f);
    EXPECT_EQ(r[1].score, 0.3f);
    EXPECT_EQ(std::string(r[1].key, r[1].keyLen), "k0");
    EXPECT_EQ(r[2].score, 0.9f);
    EXPECT_EQ(std::string(r[2].key, r[2].keyLen), "k2");
    ASSERT_EQ(r[1].metadataLen, 1u);
    EXPECT_EQ(r[1].metadata, seg->metadataAt(0));

    // Two segments fill one array up to topK.
    auto other = makeSegment(1, 8, DistanceMetric::Dot);
    const float more[] = {0.1f, 0.4f};
    for (int i = 0; i < 2; ++i) ASSERT_EQ(other->add(10 + i, keyOf(10 + i).c_str(), &more[i], nullptr, 0), 0);
    ASSERT_EQ(qarbin::buildHnsw(*other), 0);
    Result four[4] = {};
    count = 0;
    ASSERT_EQ(qarbin::hnswSearch(*seg, &q, 4, 10, four, &count), 0);
    ASSERT_EQ(count, 3);
    ASSERT_EQ(qarbin::hnswSearch(*other, &q, 4, 10, four, &count), 0);
    ASSERT_EQ(count, 4);
    std::set<std::string> keys;
    for (const Result& x : four) keys.insert(std::string(x.key, x.keyLen));
    EXPECT_EQ(keys, (std::set<std::string>{"k0", "k1", "k2", "k11"}));
    EXPECT_EQ(four[3].metadata, nullptr);
}

TEST(HnswSearch, UnusableOrEmptyGraphContributesNothing) {
    auto seg = makeSegment(4, 16);
    auto v = randomVectors(5, 4, 15);
    addRange(*seg, v, 0, 5);
    Result r[5] = {};
    int count = 0;
    ASSERT_EQ(qarbin::hnswSearch(*seg, &v[0], 5, 10, r, &count), 0);
    EXPECT_EQ(count, 0) << "no graph: not even the records without nodes are scanned";
    ASSERT_EQ(qarbin::buildHnsw(*seg), 0);
    seg->header->flags &= ~qarbin::kFlagGraphUsable;
    ASSERT_EQ(qarbin::hnswSearch(*seg, &v[0], 5, 10, r, &count), 0);
    EXPECT_EQ(count, 0);
}

namespace {

double recallAt10(const Segment& seg, const std::vector<float>& queries, size_t nq, int ef) {
    size_t hit = 0, total = 0;
    for (size_t i = 0; i < nq; ++i) {
        const float* q = &queries[i * seg.dim];
        auto truth = keysOf(exactSearch(seg, q, 10));
        for (const std::string& k : keysOf(graphSearch(seg, q, 10, ef))) hit += truth.count(k);
        total += truth.size();
    }
    return static_cast<double>(hit) / static_cast<double>(total);
}

}  // namespace

TEST(HnswSearch, RecallAgainstTheExhaustiveScan) {
    const uint32_t dim = 32, n = 3000;
    auto v = randomVectors(n, dim, 16);
    auto queries = randomVectors(100, dim, 17);
    for (DistanceMetric m : {DistanceMetric::Cosine, DistanceMetric::Euclidean}) {
        auto seg = makeSegment(dim, n, m, 16, 100);
        addRange(*seg, v, 0, n);
        ASSERT_EQ(qarbin::buildHnsw(*seg), 0);
        double r100 = recallAt10(*seg, queries, 100, 100);
        double r10 = recallAt10(*seg, queries, 100, 10);
        EXPECT_GE(r100, 0.95) << "metric " << static_cast<int>(m);
        EXPECT_GE(r100, r10);
        EXPECT_GE(r10, 0.5);
    }
}

namespace {

// Points in tight Gaussian clusters of about 100 each (centres N(0, 1) per
// component, noise N(0, 0.6^2)), as embeddings of many topics lie; queries
// come from the same clusters.
std::vector<float> clusteredVectors(size_t n, uint32_t dim, uint32_t clusters, uint32_t seed) {
    std::mt19937 centreGen(99);
    std::normal_distribution<float> unit(0.0f, 1.0f);
    std::vector<float> centres(static_cast<size_t>(clusters) * dim);
    for (float& c : centres) c = unit(centreGen);
    std::mt19937 gen(seed);
    std::uniform_int_distribution<uint32_t> pick(0, clusters - 1);
    std::normal_distribution<float> noise(0.0f, 0.6f);
    std::vector<float> v(n * dim);
    for (size_t i = 0; i < n; ++i) {
        const float* c = &centres[static_cast<size_t>(pick(gen)) * dim];
        for (uint32_t d = 0; d < dim; ++d) v[i * dim + d] = c[d] + noise(gen);
    }
    return v;
}

}  // namespace

// Nearest-only neighbour lists fill with a cluster's own members and drop
// the links between clusters, so a beam cannot leave the cluster its descent
// lands in (recall about 0.83 here at every ef). Diverse lists keep them.
TEST(HnswSearch, ClusteredDataIsReachedAcrossClusters) {
    const uint32_t dim = 32, n = 4000, clusters = 40;
    auto v = clusteredVectors(n, dim, clusters, 1);
    auto queries = clusteredVectors(100, dim, clusters, 2);
    for (DistanceMetric m : {DistanceMetric::Cosine, DistanceMetric::Euclidean}) {
        SCOPED_TRACE(static_cast<int>(m));
        auto built = makeSegment(dim, n, m);
        addRange(*built, v, 0, n);
        ASSERT_EQ(qarbin::buildHnsw(*built), 0);
        EXPECT_GE(recallAt10(*built, queries, 100, 40), 0.98);

        // The same records taken in by inserts of 500 at a time.
        auto grown = makeSegment(dim, n, m);
        addRange(*grown, v, 0, 500);
        ASSERT_EQ(qarbin::buildHnsw(*grown), 0);
        for (size_t from = 500; from < n; from += 500) {
            addRange(*grown, v, from, 500);
            ASSERT_EQ(qarbin::hnswInsertIncremental(*grown), 0);
        }
        EXPECT_GE(recallAt10(*grown, queries, 100, 40), 0.98);
    }
}
