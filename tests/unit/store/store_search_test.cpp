// Store queries: result bounds and order, graph selection, automatic
// indexing, the held-back pass, get.
#include <gtest/gtest.h>

#include <cmath>

#include "core/math/codecs.h"
#include "store_fixture.h"

using namespace store_test;
using qarbin::DistanceMetric;
using qarbin::Quantization;
using qarbin::Segment;
using qarbin::Store;

namespace {

bool graphUsable(const Segment* seg) { return (seg->header->flags & qarbin::kFlagGraphUsable) != 0; }

void expectNonIncreasing(const std::vector<Hit>& hits) {
    for (size_t i = 1; i < hits.size(); ++i) ASSERT_GE(hits[i - 1].score, hits[i].score) << i;
}

}  // namespace

TEST(StoreSearch, TopKIsBoundedAndResultsComeBestFirst) {
    StorePtr st = memStore(4, 4096);
    ASSERT_TRUE(st);
    for (int i = 0; i < 1200; ++i) ASSERT_EQ(setVec(*st, i), 0);
    std::vector<float> q = vec(7, 4);

    for (int topK : {0, -1}) {
        qarbin::Result* out = reinterpret_cast<qarbin::Result*>(0x1);
        EXPECT_EQ(st->search(q.data(), topK, 0.0f, &out), 0);
        EXPECT_EQ(out, reinterpret_cast<qarbin::Result*>(0x1));  // untouched
    }
    EXPECT_EQ(st->search(nullptr, 5, 0.0f, nullptr), 0);

    std::vector<Hit> all = search(*st, q.data(), 1500, 0.0f);
    EXPECT_EQ(all.size(), 1000u);
    expectNonIncreasing(all);
    std::vector<Hit> top = search(*st, q.data(), 5, 0.0f);
    ASSERT_EQ(top.size(), 5u);
    expectNonIncreasing(top);
    EXPECT_EQ(top[0].score, 0.0f);  // the query itself, Euclidean
    EXPECT_EQ(top[4].score, all[4].score);
}

TEST(StoreSearch, PrecisionBelowOneScansAndOneUsesTheGraph) {
    StorePtr st = memStore(4, 4096);
    ASSERT_TRUE(st);
    for (int i = 0; i < 150; ++i) ASSERT_EQ(setVec(*st, i), 0);
    std::vector<float> q = vec(3, 4);
    std::vector<Hit> exact = search(*st, q.data(), 3, 0.9f);
    ASSERT_EQ(exact.size(), 3u);
    EXPECT_FALSE(graphUsable(st->segments[0]));
    std::vector<Hit> graph = search(*st, q.data(), 3, 1.0f);
    EXPECT_TRUE(graphUsable(st->segments[0]));
    EXPECT_EQ(st->segments[0]->header->indexedCount.load(), 150u);
    ASSERT_FALSE(graph.empty());
    expectNonIncreasing(graph);
    EXPECT_EQ(exact[0].score, 0.0f);
}

TEST(StoreSearch, GraphSearchReturnsAsManyRowsAsItCan) {
    StorePtr st = memStore(4, 4096);
    ASSERT_TRUE(st);
    for (int i = 0; i < 500; ++i) ASSERT_EQ(setVec(*st, i), 0);
    std::vector<float> q = vec(250, 4);
    std::vector<Hit> exact = search(*st, q.data(), 10, 0.0f);
    ASSERT_EQ(exact.size(), 10u);

    // A precision below topK still fills the answer, and with the beam as
    // wide as topK the graph finds the same ten on this easy data.
    for (float precision : {1.0f, 5.0f, 9.9f}) {
        std::vector<Hit> graph = search(*st, q.data(), 10, precision);
        ASSERT_EQ(graph.size(), 10u) << precision;
        for (size_t i = 0; i < graph.size(); ++i) EXPECT_EQ(graph[i].score, exact[i].score) << precision;
    }
    ASSERT_TRUE(graphUsable(st->segments[0]));

    // Records deleted around the query crowd the beam with dead nodes; the
    // answer is still every live record up to topK.
    for (int i = 0; i < 500; ++i) {
        if (i % 50 == 0) continue;
        ASSERT_EQ(st->del(key(i).c_str()), 0);
    }
    std::vector<Hit> sparse = search(*st, q.data(), 20, 1.0f);
    EXPECT_EQ(sparse.size(), 10u);
    expectNonIncreasing(sparse);
}

TEST(StoreSearch, AutomaticIndexingFollowsTheThreshold) {
    StorePtr st = memStore(4, 4096);
    ASSERT_TRUE(st);
    ASSERT_EQ(st->autoIndexThreshold, 100u);
    std::vector<float> q = vec(1, 4);
    const Segment* seg = st->segments[0];
    for (int i = 0; i < 99; ++i) ASSERT_EQ(setVec(*st, i), 0);
    search(*st, q.data(), 5, 50.0f);
    EXPECT_FALSE(graphUsable(seg));

    ASSERT_EQ(setVec(*st, 99), 0);
    search(*st, q.data(), 5, 50.0f);
    ASSERT_TRUE(graphUsable(seg));
    EXPECT_EQ(seg->header->indexedCount.load(), 100u);

    for (int i = 100; i < 199; ++i) ASSERT_EQ(setVec(*st, i), 0);
    search(*st, q.data(), 5, 50.0f);
    EXPECT_EQ(seg->header->indexedCount.load(), 100u);  // 99 behind: not yet
    ASSERT_EQ(setVec(*st, 199), 0);
    std::vector<Hit> hits = search(*st, q.data(), 5, 50.0f);
    EXPECT_EQ(seg->header->indexedCount.load(), 200u);
    ASSERT_FALSE(hits.empty());
    EXPECT_EQ(hits[0].score, 0.0f);
}

TEST(StoreSearch, ThresholdZeroNeverBuildsAGraph) {
    StorePtr st = memStore(4, 4096);
    ASSERT_TRUE(st);
    st->autoIndexThreshold = 0;
    for (int i = 0; i < 300; ++i) ASSERT_EQ(setVec(*st, i), 0);
    std::vector<float> q = vec(1, 4);
    std::vector<Hit> hits = search(*st, q.data(), 5, 50.0f);
    EXPECT_FALSE(graphUsable(st->segments[0]));
    ASSERT_EQ(hits.size(), 5u);
    EXPECT_EQ(hits[0].key, key(1));
    EXPECT_EQ(hits[0].score, 0.0f);
}

TEST(StoreSearch, CollectingStoreScoresHeldBackVectorsOnTheirRawFloats) {
    // q = (1,2,3,4), v = (2,2,2,2): exact reference values per metric.
    const struct {
        DistanceMetric metric;
        float expected;
    } cases[] = {
        {DistanceMetric::Cosine, 20.0f / (std::sqrt(30.0f) * std::sqrt(16.0f))},
        {DistanceMetric::Dot, 20.0f},
        {DistanceMetric::Euclidean, -std::sqrt(6.0f)},
        {DistanceMetric::Manhattan, -4.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.metric));
        StorePtr st = memStore(4, 16, Quantization::PQ, 2, c.metric);
        ASSERT_TRUE(st);
        const float v[4] = {2, 2, 2, 2};
        const float q[4] = {1, 2, 3, 4};
        ASSERT_EQ(st->set("held", v, "meta", 4), 0);
        std::vector<Hit> hits = search(*st, q, 3, 0.0f);
        ASSERT_EQ(hits.size(), 1u);
        EXPECT_EQ(hits[0].key, "held");
        EXPECT_EQ(hits[0].meta, "meta");
        EXPECT_FLOAT_EQ(hits[0].score, c.expected);
        EXPECT_NE(st->pqBuffer, nullptr);  // precision 0 changes nothing
        EXPECT_EQ(st->pqBuffer->count, 1u);
    }
}

TEST(StoreSearch, SearchWithPrecisionTrainsAndStoresHeldBackRecords) {
    StorePtr st = memStore(8, 4096, Quantization::PQ, 2);
    ASSERT_TRUE(st);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(setVec(*st, i), 0);
    std::vector<float> q = vec(4, 8);
    std::vector<Hit> hits = search(*st, q.data(), 5, 50.0f);
    EXPECT_EQ(st->pqBuffer, nullptr);
    EXPECT_EQ(st->totalCount.load(), 20u);
    ASSERT_EQ(hits.size(), 5u);
    expectNonIncreasing(hits);
}

TEST(StoreSearch, HeldBackRecordDisplacesTheLowestSegmentResult) {
    StorePtr st = memStore(4, 4096, Quantization::PQ, 2);
    ASSERT_TRUE(st);
    st->pqTrainingSize = 40;
    for (int i = 0; i < 40; ++i) ASSERT_EQ(setVec(*st, i), 0);
    ASSERT_EQ(st->pqBuffer, nullptr);
    // Back in the collecting state with records in a segment: a shared store
    // whose other handles stored records looks like this.
    st->pqBuffer = new qarbin::PQTrainingBuffer();
    const float q[4] = {500, 500, 500, 500};
    ASSERT_EQ(st->set("close", q, nullptr, 0), 0);
    ASSERT_EQ(st->pqBuffer->count, 1u);
    std::vector<Hit> with = search(*st, q, 3, 0.0f);
    ASSERT_EQ(with.size(), 3u);
    EXPECT_EQ(with[0].key, "close");
    EXPECT_EQ(with[0].score, 0.0f);

    delete st->pqBuffer;
    st->pqBuffer = nullptr;
    std::vector<Hit> without = search(*st, q, 3, 0.0f);
    ASSERT_EQ(without.size(), 3u);
    // The two best segment results stay; the third one was pushed out.
    EXPECT_EQ(with[1].score, without[0].score);
    EXPECT_EQ(with[2].score, without[1].score);
    EXPECT_GE(with[2].score, without[2].score);
}

TEST(StoreSearch, GetReturnsTheNewerOfTwoCopies) {
    qarbin_test::TempDir dir;
    StorePtr st = diskStore(dir.path(), 4, 16);
    ASSERT_TRUE(st);
    std::vector<float> older = vec(1, 4), newer = vec(2, 4);
    ASSERT_EQ(st->add(1, "twice", older.data(), "old", 3), 0);
    for (int i = 0; i < 15; ++i) ASSERT_EQ(setVec(*st, i), 0);
    ASSERT_EQ(st->add(1, "twice", newer.data(), nullptr, 0), 0);
    ASSERT_EQ(st->segments.size(), 2u);
    Fetched f = fetch(*st, "twice");
    ASSERT_TRUE(f.found);
    EXPECT_EQ(f.v, newer);
    EXPECT_TRUE(f.metaNull);
    EXPECT_FALSE(fetch(*st, "absent").found);
    EXPECT_FALSE(fetch(*st, "").found);
}

TEST(StoreSearch, F16GetReturnsTheStoredHalfPrecisionValue) {
    StorePtr st = memStore(4, 16, Quantization::F16);
    ASSERT_TRUE(st);
    const float v[4] = {1.0f / 3.0f, 2.71828f, -1000.123f, 0.1f};
    ASSERT_EQ(st->set("h", v, nullptr, 0), 0);
    Fetched f = fetch(*st, "h");
    ASSERT_TRUE(f.found);
    bool anyRounded = false;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(f.v[i], qarbin::halfToFloat(qarbin::floatToHalf(v[i]))) << i;
        anyRounded |= f.v[i] != v[i];
    }
    EXPECT_TRUE(anyRounded);
}
