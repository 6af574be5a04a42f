// One product-quantization codebook per shared store.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <memory>
#include <string>
#include <vector>

#include "core/math/codecs.h"
#include "core/segment/segment.h"
#include "core/store/store.h"
#include "shm_helpers.h"

using qarbin::DistanceMetric;
using qarbin::Quantization;
using qarbin::Segment;
using qarbin::Store;
using qarbin_test::ShmStoreName;

namespace {

constexpr uint32_t kDim = 8;
constexpr uint32_t kM = 2;

std::unique_ptr<Store> openPq(const ShmStoreName& n, uint64_t cap) {
    std::unique_ptr<Store> st(
        Store::openShm(n.c_str(), qarbin_test::makeShape(kDim, DistanceMetric::Euclidean, Quantization::PQ, cap, false, 16, 200, kM), true));
    if (st) st->pqTrainingSize = 16;
    return st;
}

void vectorFor(int i, float* v) {
    for (uint32_t k = 0; k < kDim; ++k) v[k] = static_cast<float>((i * 7 + k * 3) % 11) - 5.0f;
}

std::vector<uint8_t> codebookBytes(const Segment* seg) {
    uint64_t cb = Segment::codebookSize(seg->dim, seg->pqSubvectors);
    const uint8_t* p = seg->base + seg->codebookOffset();
    return std::vector<uint8_t>(p, p + cb);
}

TEST(ShmCodebook, NewSharedSegmentCarriesTheTrainedCodebook) {
    ShmStoreName n("pqseg");
    auto a = openPq(n, 16);
    ASSERT_TRUE(a);
    ASSERT_NE(a->pqBuffer, nullptr);
    float v[kDim];
    for (int i = 0; i < 16; ++i) {
        vectorFor(i, v);
        ASSERT_EQ(a->set(("k" + std::to_string(i)).c_str(), v, nullptr, 0), 0);
    }
    ASSERT_EQ(a->pqBuffer, nullptr);
    ASSERT_NE(a->segments[0]->codebook, nullptr);
    vectorFor(99, v);
    ASSERT_EQ(a->set("overflow", v, nullptr, 0), 0);
    ASSERT_EQ(a->segments.size(), 2u);
    EXPECT_EQ(qarbin::headerCodebookOffset(a->segments[1]->header), a->segments[1]->codebookOffset());
    EXPECT_EQ(codebookBytes(a->segments[1]), codebookBytes(a->segments[0]));

    // A later handle finds a trained store and does not collect.
    auto b = openPq(n, 16);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->pqBuffer, nullptr);
    ASSERT_EQ(b->segments.size(), 2u);
    EXPECT_NE(b->segments[1]->codebook, nullptr);
    float got[kDim];
    ASSERT_EQ(b->get("overflow", got, nullptr, nullptr), 0);
    float want[kDim];
    ASSERT_EQ(a->get("overflow", want, nullptr, nullptr), 0);
    EXPECT_EQ(0, std::memcmp(got, want, sizeof got));
}

TEST(ShmCodebook, CollectingHandleAdoptsTheCodebookAnotherTrained) {
    ShmStoreName n("pqadopt");
    auto a = openPq(n, 64);
    auto b = openPq(n, 64);
    ASSERT_TRUE(a && b);
    ASSERT_NE(b->pqBuffer, nullptr);
    float v[kDim];
    for (int i = 0; i < 3; ++i) {
        vectorFor(100 + i, v);
        ASSERT_EQ(b->set(("b" + std::to_string(i)).c_str(), v, nullptr, 0), 0);
    }
    // Nothing trained and nothing held back: nothing to adopt or train.
    auto idle = openPq(n, 64);
    ASSERT_TRUE(idle);
    EXPECT_FALSE(idle->adoptSharedCodebook());
    EXPECT_EQ(b->segments[0]->codebook, nullptr);
    EXPECT_EQ(qarbin::headerCodebookOffset(b->segments[0]->header), 0u);

    for (int i = 0; i < 16; ++i) {
        vectorFor(i, v);
        ASSERT_EQ(a->set(("a" + std::to_string(i)).c_str(), v, nullptr, 0), 0);
    }
    ASSERT_EQ(a->pqBuffer, nullptr);
    const std::vector<uint8_t> trained = codebookBytes(a->segments[0]);
    std::vector<float> before(kDim);
    ASSERT_EQ(a->get("a5", before.data(), nullptr, nullptr), 0);

    // b's held-back records are stored with a's codebook, not a new one.
    b->flushPQBuffer();
    EXPECT_EQ(b->pqBuffer, nullptr);
    EXPECT_EQ(codebookBytes(a->segments[0]), trained);
    EXPECT_EQ(a->control->totalCount.load(), 19u);
    std::vector<float> after(kDim);
    ASSERT_EQ(a->get("a5", after.data(), nullptr, nullptr), 0);
    EXPECT_EQ(after, before);
    float got[kDim];
    EXPECT_EQ(a->get("b1", got, nullptr, nullptr), 0);
    EXPECT_EQ(b->get("b1", got, nullptr, nullptr), 0);
    EXPECT_TRUE(b->adoptSharedCodebook());
}

TEST(ShmCodebook, AdoptionCopiesIntoEveryUntrainedSegment) {
    ShmStoreName n("pqcopy");
    auto a = openPq(n, 16);
    ASSERT_TRUE(a);
    // A second, untrained segment exists next to a trained first one (as
    // when another handle created it before the store was trained).
    std::unique_ptr<Segment> extra(Segment::createShm(
        n.segment(1).c_str(), qarbin_test::makeShape(kDim, DistanceMetric::Euclidean, Quantization::PQ, 16, false, 16, 200, kM)));
    ASSERT_TRUE(extra);
    a->control->segmentCount.fetch_add(1);
    std::vector<float> train(16 * kDim);
    for (int i = 0; i < 16; ++i) vectorFor(i, train.data() + i * kDim);
    ASSERT_EQ(a->segments[0]->trainPQCodebook(train.data(), 16), 0);

    auto b = openPq(n, 16);
    ASSERT_TRUE(b);
    ASSERT_EQ(b->segments.size(), 2u);
    ASSERT_EQ(b->segments[1]->codebook, nullptr);
    EXPECT_TRUE(b->adoptSharedCodebook());
    ASSERT_NE(b->segments[1]->codebook, nullptr);
    EXPECT_EQ(codebookBytes(b->segments[1]), codebookBytes(a->segments[0]));
    EXPECT_EQ(qarbin::headerCodebookOffset(extra->header), extra->codebookOffset());
}

}  // namespace

namespace {

// Workers that reach their training size at the same moment: the store ends
// with one codebook, trained from one worker's vectors, and every record is
// encoded with it.
TEST(ShmCodebook, WorkersFlushingAtOnceShareOneCodebook) {
    ShmStoreName n("pqrace");
    constexpr uint32_t dim = 32, m = 4;
    constexpr int kWorkers = 2, kPer = 128;
    auto vec = [](int w, int i, float* v) {
        for (uint32_t k = 0; k < dim; ++k) v[k] = static_cast<float>((w * 7919 + i * 131 + k * 17) % 97) - 48.0f;
    };
    auto open = [&]() {
        std::unique_ptr<Store> st(Store::openShm(n.c_str(), qarbin_test::makeShape(dim, DistanceMetric::Euclidean, Quantization::PQ, 4096, false, 16, 200, m), true));
        if (st) st->pqTrainingSize = kPer;
        return st;
    };
    ASSERT_TRUE(open());
    // Both workers hold an open, collecting handle before either sets a
    // record; otherwise a fast first worker trains before the other opens.
    void* barrier = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(barrier, MAP_FAILED);
    auto* opened = new (barrier) std::atomic<int>(0);
    std::vector<int> rc = qarbin_test::runWorkers(kWorkers, [&](int w) {
        auto st = open();
        opened->fetch_add(1);
        while (opened->load() < kWorkers) {
        }
        if (!st || st->pqBuffer == nullptr) return 1;
        float v[dim];
        for (int i = 0; i < kPer; ++i) {
            vec(w, i, v);
            if (st->set(("w" + std::to_string(w) + "_" + std::to_string(i)).c_str(), v, nullptr, 0) != 0) return 2;
        }
        return st->pqBuffer == nullptr ? 0 : 3;
    });
    munmap(barrier, sizeof(std::atomic<int>));
    for (int w = 0; w < kWorkers; ++w) ASSERT_EQ(rc[w], 0);

    auto st = open();
    ASSERT_TRUE(st);
    ASSERT_EQ(st->segments.size(), 1u);
    const Segment* seg = st->segments[0];
    ASSERT_NE(seg->codebook, nullptr);
    const std::vector<uint8_t> shared = codebookBytes(seg);

    // The codebook one worker's vectors give on their own.
    int trainer = -1;
    for (int w = 0; w < kWorkers && trainer < 0; ++w) {
        std::unique_ptr<Segment> ref(
            Segment::createMemory(qarbin_test::makeShape(dim, DistanceMetric::Euclidean, Quantization::PQ, 16, false, 16, 200, m)));
        std::vector<float> train(kPer * dim);
        for (int i = 0; i < kPer; ++i) vec(w, i, train.data() + i * dim);
        ASSERT_EQ(ref->trainPQCodebook(train.data(), kPer), 0);
        if (codebookBytes(ref.get()) == shared) trainer = w;
    }
    EXPECT_GE(trainer, 0) << "the shared codebook is no single worker's";

    ASSERT_EQ(seg->header->liveCount.load(), static_cast<uint64_t>(kWorkers * kPer));
    std::vector<uint8_t> code(m);
    float v[dim];
    for (int w = 0; w < kWorkers; ++w) {
        for (int i = 0; i < kPer; ++i) {
            std::string key = "w" + std::to_string(w) + "_" + std::to_string(i);
            const int64_t r = seg->firstLiveByKey(key.c_str());
            ASSERT_GE(r, 0) << key;
            vec(w, i, v);
            qarbin::encodeVector(code.data(), v, dim, static_cast<uint32_t>(Quantization::PQ), m, seg->codebook);
            ASSERT_EQ(0, std::memcmp(code.data(), seg->vectorAt(static_cast<uint64_t>(r)), m))
                << key << " was encoded with another codebook";
        }
    }
}

}  // namespace
