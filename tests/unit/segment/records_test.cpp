#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/math/codecs.h"
#include "core/math/score.h"
#include "core/segment/key_index.h"
#include "core/segment/segment.h"
#include "seg_fixture.h"

using namespace segtest;
using qarbin::Record;
using qarbin::Result;

namespace {

// dim-1 dot-product segment: a record's score is exactly its one component
// (query 1.0), so tests can place scores at will.
struct ScoreSeg {
    SegPtr seg{Segment::createMemory(shapeOf(1, 64, Quantization::None, 0, DistanceMetric::Dot, 0, 0))};
    void add(const std::string& key, float score) {
        ASSERT_EQ(seg->add(qarbin_id(key), key.c_str(), &score, nullptr, 0), 0);
    }
    static uint64_t qarbin_id(const std::string& key) { return std::hash<std::string>()(key); }
    void search(int topK, Result* results, int* count) const {
        const float q = 1.0f;
        ASSERT_EQ(seg->search(&q, topK, results, count), 0);
    }
};

Result hit(const char* key, float score) {
    Result r{};
    r.key = key;  // a literal: it outlives the rows
    r.keyLen = static_cast<uint32_t>(std::strlen(key));
    r.score = score;
    return r;
}

}  // namespace

namespace {

// Top-K of a one-record-at-a-time scan: each live record decoded and scored
// alone, offered in slot order; a later record enters only when strictly
// better than the worst kept.
std::vector<Result> oracleScan(const Segment& s, const float* query, int topK, bool avx2) {
    std::vector<Result> want(topK);
    int wantCount = 0;
    int worst = -1;
    alignas(64) float scratch[4096];
    for (uint64_t i = 0; i < s.usedSlotsClamped(); ++i) {
        if (!s.liveAt(i)) continue;
        const float* d =
            qarbin::decodeVector(s.vectorAt(i), s.dim, s.quantization, s.pqSubvectors, s.codebook, scratch);
        const float sc = qarbin::computeScore(query, d, s.dim, s.metric, avx2);
        int at;
        if (wantCount < topK) {
            at = wantCount++;
            if (worst == -1 || want[worst].score > sc) worst = at;
        } else if (sc > want[worst].score) {
            at = worst;
        } else {
            continue;
        }
        want[at].id = s.idAt(i);
        want[at].score = sc;
        if (at == worst && wantCount == topK) {
            worst = 0;
            for (int j = 1; j < topK; ++j)
                if (want[j].score < want[worst].score) worst = j;
        }
    }
    want.resize(wantCount);
    return want;
}

}  // namespace

TEST(SegmentSearch, MergesIntoResultsOfEarlierSegments) {
    ScoreSeg s;
    s.add("a", 0.3f);
    Result res[3] = {hit("x", 0.5f), hit("y", 0.2f), hit("z", 0.2f)};
    int count = 3;
    s.search(3, res, &count);
    ASSERT_EQ(count, 3);
    // Worst was index 1 (ties keep the earliest); the new worst is index 2.
    EXPECT_STREQ(res[0].key, "x");
    EXPECT_STREQ(res[1].key, "a");
    EXPECT_FLOAT_EQ(res[1].score, 0.3f);
    EXPECT_STREQ(res[2].key, "z");

    ScoreSeg t;
    t.add("b", 0.25f);
    t.add("c", 0.2f);  // equal to nothing left, below the worst: stays out
    t.search(3, res, &count);
    EXPECT_STREQ(res[0].key, "x");
    EXPECT_STREQ(res[1].key, "a");
    EXPECT_STREQ(res[2].key, "b");
}

TEST(SegmentSearch, TopKTiesAndEmpty) {
    {
        ScoreSeg empty;
        Result res[2] = {hit("keep", 0.1f), {}};
        int count = 1;
        empty.search(2, res, &count);
        EXPECT_EQ(count, 1);
        EXPECT_STREQ(res[0].key, "keep");
    }
    {
        // topK 1: replaced only by a strictly better score.
        ScoreSeg s;
        for (auto [k, v] : {std::pair{"p", 0.5f}, {"q", 0.5f}, {"r", 0.7f}, {"s", 0.6f}, {"t", 0.7f}}) s.add(k, v);
        Result res[1];
        int count = 0;
        s.search(1, res, &count);
        EXPECT_EQ(count, 1);
        EXPECT_STREQ(res[0].key, "r");
    }
    {
        // Equal scores competing for the last place: the one scanned first stays.
        ScoreSeg s;
        for (auto [k, v] : {std::pair{"hi", 0.9f}, {"first", 0.4f}, {"second", 0.4f}, {"low", 0.1f}}) s.add(k, v);
        Result res[2];
        int count = 0;
        s.search(2, res, &count);
        ASSERT_EQ(count, 2);
        EXPECT_STREQ(res[0].key, "hi");
        EXPECT_STREQ(res[1].key, "first");
    }
}

TEST(SegmentSearch, NaNScoresNeverEnter) {
    ScoreSeg s;
    s.add("nan", std::numeric_limits<float>::quiet_NaN());
    s.add("one", 1.0f);
    s.add("nan2", std::numeric_limits<float>::quiet_NaN());
    Result res[3];
    int count = 0;
    s.search(3, res, &count);
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(res[0].key, "one");
    // A NaN already in the array (from elsewhere) is the first to be replaced.
    Result mixed[2] = {hit("n", std::numeric_limits<float>::quiet_NaN()), hit("m", 5.0f)};
    count = 2;
    s.search(2, mixed, &count);
    EXPECT_STREQ(mixed[0].key, "one");
    EXPECT_STREQ(mixed[1].key, "m");
}

TEST(SegmentSearch, DeletedAndMetadata) {
    SegPtr s = memSeg(4, 8);
    const auto v = vec(4, 1);
    ASSERT_EQ(s->add(1, "nometa", v.data(), nullptr, 0), 0);
    ASSERT_EQ(s->add(2, "meta", v.data(), "abc", 3), 0);
    ASSERT_EQ(s->add(3, "gone", v.data(), "zz", 2), 0);
    ASSERT_EQ(deleteKey(*s, "gone"), 1);
    EXPECT_EQ(deleteKey(*s, "gone"), 0);
    EXPECT_EQ(deleteKey(*s, "absent"), 0);
    Result res[4];
    int count = 0;
    s->useAvx2 = true;
    s->search(v.data(), 4, res, &count);
    ASSERT_EQ(count, 2);
    for (int i = 0; i < count; ++i) {
        const std::string key(res[i].key, res[i].keyLen);
        if (key == "nometa") {
            EXPECT_EQ(res[i].metadata, nullptr);
            EXPECT_EQ(res[i].metadataLen, 0u);
        } else {
            ASSERT_EQ(key, "meta");
            ASSERT_EQ(res[i].metadataLen, 3u);
            EXPECT_EQ(std::memcmp(res[i].metadata, "abc", 3), 0);
        }
    }
}

// The batched scan against a one-record-at-a-time oracle: same entries in the
// same places, bit for bit, with the many ties Binary produces.
TEST(SegmentSearch, BatchedScanEqualsSequentialScan) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (Quantization q : {Quantization::None, Quantization::F16, Quantization::Int8, Quantization::Binary}) {
        for (DistanceMetric metric : {DistanceMetric::Cosine, DistanceMetric::Dot, DistanceMetric::Euclidean,
                                      DistanceMetric::Manhattan}) {
            const uint32_t dim = 19;
            qarbin::Shape shape = shapeOf(dim, 64, q, 0, metric, 0, 0);
            shape.useAvx2 = true;
            SegPtr s(Segment::createMemory(shape));
            ASSERT_NE(s, nullptr);
            for (uint32_t i = 0; i < 53; ++i) {
                std::vector<float> v(dim);
                for (float& x : v) x = u(rng);
                const std::string key = "k" + std::to_string(i);
                ASSERT_EQ(s->add(i, key.c_str(), v.data(), nullptr, 0), 0);
            }
            for (uint64_t slot : {3u, 8u, 9u, 40u}) ASSERT_TRUE(s->markDeleted(slot));
            std::vector<float> query(dim);
            for (float& x : query) x = u(rng);

            for (int topK : {1, 5, 16, 100}) {
                std::vector<Result> got(topK);
                int gotCount = 0;
                s->search(query.data(), topK, got.data(), &gotCount);
                const std::vector<Result> want = oracleScan(*s, query.data(), topK, true);
                const int wantCount = static_cast<int>(want.size());
                ASSERT_EQ(gotCount, wantCount);
                for (int j = 0; j < wantCount; ++j) {
                    EXPECT_EQ(got[j].id, want[j].id) << "q" << static_cast<int>(q) << " m" << static_cast<int>(metric)
                                                     << " k" << topK << " at " << j;
                    EXPECT_EQ(std::memcmp(&got[j].score, &want[j].score, 4), 0);
                }
            }
        }
    }
}

namespace {

// The segment formats: 6 (fixed slots) and 7 (compact), with the longest key
// and metadata a record of each holds.
struct FormatLimits {
    uint32_t format;
    uint32_t maxKey, maxMeta;
};
const FormatLimits kFormats[] = {{qarbin::kSegmentVersion, qarbin::kMaxKeyBytes, qarbin::kMaxMetadataBytes},
                                 {qarbin::kCompactSegmentVersion, qarbin::kCompactMaxKeyBytes,
                                  qarbin::kCompactMaxMetadataBytes}};

SegPtr memSegIn(uint32_t format, uint32_t dim, uint64_t cap, Quantization q = Quantization::None, uint32_t m = 0) {
    return SegPtr(Segment::createMemory(qarbin_test::inFormat(shapeOf(dim, cap, q, m), format)));
}

}  // namespace

TEST(SegmentAdd, StoresEveryField) {
    for (const FormatLimits& f : kFormats) {
        SCOPED_TRACE(f.format);
        const bool slots = f.format == qarbin::kSegmentVersion;
        SegPtr s = memSegIn(f.format, 3, 4);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->compact(), !slots);
        const float v[3] = {1.5f, -2.0f, 0.25f};
        ASSERT_EQ(s->add(77, "alpha", v, "m", 1), 0);
        ASSERT_EQ(s->add(78, nullptr, v, nullptr, 5), 0);
        // A compact record's id is its key's hash, whatever the caller says.
        EXPECT_EQ(s->idAt(0), slots ? 77u : qarbin::keyHash("alpha", 5));
        EXPECT_EQ(qarbin_test::keyAt(*s, 0), "alpha");
        EXPECT_TRUE(s->validAt(0));
        EXPECT_TRUE(s->liveAt(0));
        EXPECT_TRUE(s->readableAt(0));
        EXPECT_EQ(s->metadataLenAt(0), 1u);
        EXPECT_EQ(*s->metadataAt(0), 'm');
        EXPECT_EQ(s->graphNodeAt(0), -1);
        EXPECT_EQ(std::memcmp(s->vectorAt(0), v, sizeof v), 0);
        EXPECT_EQ(s->keyAt(1).len, 0u);
        EXPECT_EQ(s->header->usedSlots.load(), 2u);
        EXPECT_EQ(s->header->liveCount.load(), 2u);
        EXPECT_EQ(s->firstLiveByKey(""), 1);
        EXPECT_EQ(s->firstLiveByKey("alpha"), 0);
        if (!slots) continue;
        // The fixed slot's own fields.
        const Record* r = s->recordAt(0);
        EXPECT_EQ(r->dim, 3u);
        EXPECT_EQ(r->valid, 1u);
        EXPECT_EQ(r->deleted, 0u);
        EXPECT_EQ(r->seq, 0u);
        EXPECT_EQ(s->recordAt(1)->seq, 1u);
        EXPECT_EQ(s->recordAt(1)->metaLen, 5u);  // length kept, nothing copied from null
        EXPECT_EQ(std::memcmp(reinterpret_cast<const uint8_t*>(r) + 128, v, sizeof v), 0);
        EXPECT_EQ(s->header->insertSeq.load(), 2u);
        EXPECT_EQ(s->getByKey(""), s->recordAt(1));
    }
}

// A record a segment cannot hold is refused whole: a cut key could never be
// fetched or deleted again, cut metadata would come back shortened.
TEST(SegmentAdd, LongKeyOrLongMetadataIsRefusedNotCut) {
    for (const FormatLimits& f : kFormats) {
        SCOPED_TRACE(f.format);
        SegPtr s = memSegIn(f.format, 4, 4);
        ASSERT_TRUE(s);
        const auto v = vec(4, 2);
        const std::string keyFar(f.maxKey + 7, 'k'), keyOver(f.maxKey + 1, 'k');
        std::string metaBytes(f.maxMeta + 1, 'x');
        for (size_t i = 0; i < metaBytes.size(); ++i) metaBytes[i] = static_cast<char>('a' + i % 26);
        EXPECT_EQ(s->add(1, keyFar.c_str(), v.data(), nullptr, 0), -1);
        EXPECT_EQ(s->add(1, keyOver.c_str(), v.data(), nullptr, 0), -1);
        EXPECT_EQ(s->add(1, "k", v.data(), metaBytes.data(), f.maxMeta + 1), -1);
        EXPECT_EQ(s->header->usedSlots.load(), 0u);

        const std::string keyMax = keyFar.substr(0, f.maxKey);
        ASSERT_EQ(s->add(1, keyMax.c_str(), v.data(), metaBytes.data(), f.maxMeta), 0);
        EXPECT_EQ(qarbin_test::keyAt(*s, 0), keyMax);
        EXPECT_EQ(s->metadataLenAt(0), f.maxMeta);
        EXPECT_EQ(std::memcmp(s->metadataAt(0), metaBytes.data(), f.maxMeta), 0);

        EXPECT_EQ(s->firstLiveByKey(keyFar.c_str()), -1);
        EXPECT_EQ(s->firstLiveByKey(keyOver.c_str()), -1);
        EXPECT_EQ(s->firstLiveByKey(keyMax.c_str()), 0);

        Result res[1];
        int count = 0;
        s->search(v.data(), 1, res, &count);
        ASSERT_EQ(count, 1);
        EXPECT_EQ(std::string(res[0].key, res[0].keyLen), keyMax);
        EXPECT_EQ(res[0].metadataLen, f.maxMeta);
    }
}

TEST(SegmentAdd, FullSegmentAndUntrainedCodebook) {
    SegPtr s = memSeg(4, 2);
    const auto v = vec(4, 3);
    EXPECT_EQ(s->add(1, "a", v.data(), nullptr, 0), 0);
    EXPECT_EQ(s->add(2, "b", v.data(), nullptr, 0), 0);
    EXPECT_EQ(s->add(3, "c", v.data(), nullptr, 0), -1);
    EXPECT_EQ(s->add(4, "d", v.data(), nullptr, 0), -1);
    EXPECT_EQ(s->header->usedSlots.load(), 2u);
    EXPECT_EQ(s->header->liveCount.load(), 2u);
    EXPECT_EQ(s->firstLiveByKey("c"), -1);
    EXPECT_EQ(s->firstLiveByKey("b"), 1);

    SegPtr pq = memSeg(4, 2, Quantization::PQ, 2);
    EXPECT_EQ(pq->add(1, "a", v.data(), nullptr, 0), -2);
    EXPECT_EQ(pq->header->usedSlots.load(), 0u);
    EXPECT_EQ(pq->header->insertSeq.load(), 0u);
}

TEST(SegmentDelete, KeyStoredTwice) {
    SegPtr s = memSeg(4, 8);
    const auto v = vec(4, 4);
    ASSERT_EQ(s->add(1, "dup", v.data(), nullptr, 0), 0);
    ASSERT_EQ(s->add(2, "other", v.data(), nullptr, 0), 0);
    ASSERT_EQ(s->add(3, "dup", v.data(), nullptr, 0), 0);
    EXPECT_EQ(s->firstLiveByKey("dup"), 0);  // first in slot order
    std::vector<uint64_t> slots;
    EXPECT_EQ(s->findLiveByKey("dup", slots), 2u);
    EXPECT_EQ(slots, (std::vector<uint64_t>{0, 2}));
    EXPECT_EQ(deleteKey(*s, "dup"), 2);
    EXPECT_EQ(s->header->liveCount.load(), 1u);
    EXPECT_EQ(deleteKey(*s, "dup"), 0);
    EXPECT_EQ(s->firstLiveByKey("dup"), -1);
    EXPECT_EQ(s->firstLiveByKey("other"), 1);
    EXPECT_FALSE(s->markDeleted(0));
    EXPECT_FALSE(s->markDeleted(3));  // beyond usedSlots
    EXPECT_TRUE(s->markDeleted(1));
    EXPECT_EQ(s->header->liveCount.load(), 0u);
}

TEST(SegmentClear, EmptiesInPlaceAndKeepsCodebook) {
    for (const FormatLimits& f : kFormats) {
        SCOPED_TRACE(f.format);
        SegPtr s = memSegIn(f.format, 4, 8, Quantization::Int8, 2);
        ASSERT_TRUE(s);
        const auto v = vec(4, 5);
        const uint64_t at = s->codebookOffset();
        float* cb = reinterpret_cast<float*>(s->base + at);
        cb[0] = 42.0f;
        qarbin::setHeaderCodebookOffset(s->header, at);
        s->mapPointers();
        for (int i = 0; i < 5; ++i) ASSERT_EQ(s->add(i, ("k" + std::to_string(i)).c_str(), v.data(), "md", 2), 0);
        ASSERT_EQ(s->firstLiveByKey("k3"), 3);  // builds the key index
        s->header->flags = 0xF;  // the three graph bits and one that is not the clear's
        s->header->indexedCount.store(5);
        s->header->entryPoint = 2;
        s->header->maxLevel = 3;
        // A byte past the used records is not the clear's business.
        uint8_t* beyond = const_cast<uint8_t*>(s->vectorAt(6));
        *beyond = 0x5A;

        s->clearRecords();
        EXPECT_EQ(s->header->usedSlots.load(), 0u);
        EXPECT_EQ(s->header->liveCount.load(), 0u);
        EXPECT_EQ(s->header->insertSeq.load(), 0u);
        EXPECT_EQ(s->header->indexedCount.load(), 0u);
        EXPECT_EQ(s->header->flags, 0x8u);
        EXPECT_EQ(s->header->entryPoint, -1);
        EXPECT_EQ(s->header->maxLevel, 0u);
        EXPECT_EQ(s->header->generation.load(), 1u);
        EXPECT_EQ(qarbin::headerCodebookOffset(s->header), at);
        EXPECT_EQ(cb[0], 42.0f);
        for (uint64_t i = 0; i < 5; ++i) EXPECT_FALSE(s->validAt(i)) << i;
        if (!s->compact()) {
            const uint64_t usedBytes = 5 * s->stride();
            for (uint64_t i = 0; i < usedBytes; ++i) ASSERT_EQ(s->slots[i], 0) << i;
        }
        EXPECT_EQ(*beyond, 0x5A);
        EXPECT_EQ(s->firstLiveByKey("k3"), -1);
        ASSERT_EQ(s->add(9, "k9", v.data(), nullptr, 0), 0);
        EXPECT_EQ(s->firstLiveByKey("k9"), 0);
        EXPECT_EQ(qarbin_test::keyAt(*s, 0), "k9");
        if (!s->compact()) {
            EXPECT_EQ(s->recordAt(0)->seq, 0u);
        }
    }
}

namespace {

enum class Deletions { None, EveryEighth, Last, FirstBatch };

void deleteSome(Segment& s, uint64_t used, Deletions d) {
    for (uint64_t i = 0; i < used; ++i) {
        const bool del = (d == Deletions::EveryEighth && i % 8 == 7) || (d == Deletions::Last && i + 1 == used) ||
                         (d == Deletions::FirstBatch && i < 32);
        if (del) {
            ASSERT_TRUE(s.markDeleted(i));
        }
    }
}

}  // namespace

// The streaming scan (batches of up to 32, slots requested ahead) against
// the one-at-a-time oracle, for used slots, deletions and capacities that
// end on, just before and just after every batch boundary, and for every
// encoding, metric and summation order.
TEST(SegmentSearch, StreamingScanEqualsOneAtATimeAtEveryBoundary) {
    const uint64_t usedCounts[] = {0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 96, 97};
    std::mt19937 rng(16);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    // One PQ codebook, trained once and published into every PQ segment.
    std::vector<float> train(300 * 20);
    for (float& x : train) x = u(rng);
    SegPtr trained(Segment::createMemory(shapeOf(20, 1, Quantization::PQ, 5)));
    ASSERT_NE(trained, nullptr);
    ASSERT_EQ(trained->trainPQCodebook(train.data(), 300), 0);
    for (Quantization q : {Quantization::None, Quantization::F16, Quantization::Int8, Quantization::Binary,
                           Quantization::PQ}) {
        const uint32_t dim = q == Quantization::PQ ? 20 : 19;
        const uint32_t m = q == Quantization::PQ ? 5 : 0;
        for (DistanceMetric metric : {DistanceMetric::Cosine, DistanceMetric::Dot, DistanceMetric::Euclidean,
                                      DistanceMetric::Manhattan}) {
            for (bool avx2 : {false, true}) {
                for (uint64_t used : usedCounts) {
                    for (uint64_t spare : {0u, 31u}) {
                        for (Deletions d : {Deletions::None, Deletions::EveryEighth, Deletions::Last,
                                            Deletions::FirstBatch}) {
                            qarbin::Shape shape = shapeOf(dim, std::max<uint64_t>(1, used + spare), q, m, metric, 0, 0);
                            shape.useAvx2 = avx2;
                            SegPtr s(Segment::createMemory(shape));
                            ASSERT_NE(s, nullptr);
                            if (q == Quantization::PQ) {
                                ASSERT_TRUE(s->publishCodebook(trained->codebook));
                            }
                            std::vector<float> v(dim);
                            for (uint64_t i = 0; i < used; ++i) {
                                for (float& x : v) x = u(rng);
                                ASSERT_EQ(s->add(i, ("k" + std::to_string(i)).c_str(), v.data(), nullptr, 0), 0);
                            }
                            deleteSome(*s, used, d);
                            std::vector<float> query(dim);
                            for (float& x : query) x = u(rng);
                            for (int topK : {1, 10, 200}) {
                                std::vector<Result> got(topK);
                                int gotCount = 0;
                                s->search(query.data(), topK, got.data(), &gotCount);
                                const std::vector<Result> want = oracleScan(*s, query.data(), topK, avx2);
                                ASSERT_EQ(static_cast<size_t>(gotCount), want.size())
                                    << "q" << int(q) << " used " << used << " spare " << spare;
                                for (size_t j = 0; j < want.size(); ++j) {
                                    ASSERT_EQ(got[j].id, want[j].id)
                                        << "q" << int(q) << " m" << int(metric) << " avx2 " << avx2 << " used " << used
                                        << " spare " << spare << " del " << int(d) << " k" << topK << " at " << j;
                                    ASSERT_EQ(std::memcmp(&got[j].score, &want[j].score, 4), 0);
                                }
                            }
                        }
                    }
                }
            }
        }
    }
}
