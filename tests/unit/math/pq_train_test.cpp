// Codebook training against a plain k-means reference of the same order,
// the documented starting points, and the refusals.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "core/math/codecs.h"
#include "core/segment/segment.h"
#include "test_util.h"

using qarbin::DistanceMetric;
using qarbin::Quantization;
using qarbin::Segment;

namespace {

std::unique_ptr<Segment> pqSegment(uint32_t dim, uint32_t m) {
    return std::unique_ptr<Segment>(
        Segment::createMemory(dim, 8, Quantization::PQ, DistanceMetric::Euclidean, 16, 200, m));
}

std::vector<float> randomVectors(uint32_t n, uint32_t dim, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> v(uint64_t{n} * dim);
    for (float& f : v) f = u(rng);
    return v;
}

// Straightforward k-means: 256 centroids per sub-space starting at row
// c mod n, 20 rounds of assign (strictly nearer wins) and mean update.
std::vector<float> referenceCodebook(const std::vector<float>& x, uint32_t n, uint32_t dim, uint32_t m) {
    const uint32_t dsub = dim / m;
    std::vector<float> cb(uint64_t{m} * 256 * dsub);
    for (uint32_t s = 0; s < m; ++s) {
        float* cent = cb.data() + uint64_t{s} * 256 * dsub;
        auto elem = [&](uint32_t i, uint32_t k) { return x[uint64_t{i} * dim + s * dsub + k]; };
        for (uint32_t c = 0; c < 256; ++c)
            for (uint32_t k = 0; k < dsub; ++k) cent[c * dsub + k] = elem(c % n, k);
        std::vector<uint32_t> assign(n);
        for (int it = 0; it < 20; ++it) {
            for (uint32_t i = 0; i < n; ++i) {
                uint32_t best = 0;
                float bestDist = FLT_MAX;
                for (uint32_t c = 0; c < 256; ++c) {
                    float dist = 0.0f;
                    for (uint32_t k = 0; k < dsub; ++k) {
                        float d = elem(i, k) - cent[c * dsub + k];
                        dist = std::fma(d, d, dist);
                    }
                    if (bestDist > dist) {
                        bestDist = dist;
                        best = c;
                    }
                }
                assign[i] = best;
            }
            std::vector<float> sum(256 * dsub, 0.0f);
            std::vector<uint32_t> cnt(256, 0);
            for (uint32_t i = 0; i < n; ++i) {
                cnt[assign[i]]++;
                for (uint32_t k = 0; k < dsub; ++k) sum[assign[i] * dsub + k] += elem(i, k);
            }
            for (uint32_t c = 0; c < 256; ++c)
                if (cnt[c])
                    for (uint32_t k = 0; k < dsub; ++k) cent[c * dsub + k] = sum[c * dsub + k] / float(cnt[c]);
        }
    }
    return cb;
}

TEST(PQTrain, MatchesReferenceKMeans) {
    struct Case {
        uint32_t n, dim, m;
    } cases[] = {{100, 8, 2}, {300, 12, 3}, {300, 16, 16}, {257, 6, 1}, {300, 32, 2}, {120, 22, 2}, {64, 8, 1}};
    for (const Case& c : cases) {
        auto seg = pqSegment(c.dim, c.m);
        ASSERT_TRUE(seg);
        std::vector<float> x = randomVectors(c.n, c.dim, c.n + c.dim);
        ASSERT_EQ(0, seg->trainPQCodebook(x.data(), c.n));
        ASSERT_EQ(reinterpret_cast<float*>(seg->base + 128), seg->codebook);
        EXPECT_EQ(128u, qarbin::headerCodebookOffset(seg->header));
        std::vector<float> want = referenceCodebook(x, c.n, c.dim, c.m);
        EXPECT_EQ(0, std::memcmp(want.data(), seg->codebook, want.size() * 4)) << "n " << c.n << " dim " << c.dim;
    }
}

// n = 100: centroids 100..255 start as duplicates of earlier rows, never
// win a member (ties go to the lower index) and keep their start value.
// n = 300: 256 distinct starts, and the codebook moves away from them.
TEST(PQTrain, StartingPointsAndEmptyClusters) {
    const uint32_t dim = 8, m = 2, dsub = 4;
    {
        auto seg = pqSegment(dim, m);
        std::vector<float> x = randomVectors(100, dim, 11);
        ASSERT_EQ(0, seg->trainPQCodebook(x.data(), 100));
        for (uint32_t s = 0; s < m; ++s)
            for (uint32_t c = 100; c < 256; ++c)
                for (uint32_t k = 0; k < dsub; ++k)
                    ASSERT_EQ(x[(c % 100) * dim + s * dsub + k], seg->codebook[(s * 256 + c) * dsub + k]) << c;
        // Every row is its own centroid (below 100), so each encodes to its index.
        for (uint32_t i = 0; i < 100; i += 7) {
            uint8_t codes[2];
            qarbin::encodeVector(codes, x.data() + i * dim, dim, 4, m, seg->codebook);
            EXPECT_EQ(i, codes[0]);
            EXPECT_EQ(i, codes[1]);
        }
    }
    {
        auto seg = pqSegment(dim, m);
        std::vector<float> x = randomVectors(300, dim, 12);
        ASSERT_EQ(0, seg->trainPQCodebook(x.data(), 300));
        int moved = 0;
        for (uint32_t c = 0; c < 256; ++c)
            if (std::memcmp(seg->codebook + c * dsub, x.data() + c * dim, dsub * 4) != 0) ++moved;
        EXPECT_GT(moved, 0);
    }
}

TEST(PQTrain, SingleVector) {
    const uint32_t dim = 12, m = 4, dsub = 3;
    auto seg = pqSegment(dim, m);
    std::vector<float> x = randomVectors(1, dim, 5);
    ASSERT_EQ(0, seg->trainPQCodebook(x.data(), 1));
    for (uint32_t s = 0; s < m; ++s)
        for (uint32_t c = 0; c < 256; ++c)
            ASSERT_EQ(0, std::memcmp(seg->codebook + (s * 256 + c) * dsub, x.data() + s * dsub, dsub * 4));
    std::vector<float> other = randomVectors(1, dim, 6);
    uint8_t codes[4] = {9, 9, 9, 9};
    qarbin::encodeVector(codes, other.data(), dim, 4, m, seg->codebook);
    for (uint8_t code : codes) EXPECT_EQ(0, code);
    // A trained segment now accepts records.
    EXPECT_EQ(0, seg->add(1, "k", other.data(), nullptr, 0));
}

TEST(PQTrain, Refusals) {
    std::vector<float> x = randomVectors(10, 8, 1);
    {
        // dim 8 does not split into 3 sub-spaces.
        auto seg = pqSegment(8, 4);
        seg->pqSubvectors = 3;
        EXPECT_EQ(-1, seg->trainPQCodebook(x.data(), 10));
        EXPECT_EQ(nullptr, seg->codebook);
        EXPECT_EQ(0u, qarbin::headerCodebookOffset(seg->header));
    }
    {
        std::unique_ptr<Segment> seg(
            Segment::createMemory(8, 8, Quantization::None, DistanceMetric::Cosine, 16, 200, 0));
        ASSERT_TRUE(seg);
        EXPECT_EQ(-1, seg->trainPQCodebook(x.data(), 10));
        EXPECT_EQ(nullptr, seg->codebook);
    }
    {
        auto seg = pqSegment(8, 4);
        seg->writable = 0;
        EXPECT_EQ(-1, seg->trainPQCodebook(x.data(), 10));
        EXPECT_EQ(nullptr, seg->codebook);
    }
}

// Trained on disk, the codebook survives a reopen; a read-only handle
// cannot train.
TEST(PQTrain, DiskSegmentReopensTrained) {
    qarbin_test::TempDir dir;
    const std::string path = dir.file("seg_0000.qbseg");
    std::vector<float> x = randomVectors(50, 16, 8);
    std::vector<float> trained;
    {
        std::unique_ptr<Segment> seg(Segment::createDisk(path.c_str(), 16, 32, Quantization::PQ,
                                                         DistanceMetric::Cosine, 16, 200, 4));
        ASSERT_TRUE(seg);
        ASSERT_EQ(0, seg->trainPQCodebook(x.data(), 50));
        trained.assign(seg->codebook, seg->codebook + 4 * 256 * 4);
    }
    {
        std::unique_ptr<Segment> ro(Segment::openDisk(path.c_str(), 0));
        ASSERT_TRUE(ro);
        ASSERT_NE(nullptr, ro->codebook);
        EXPECT_EQ(128u, qarbin::headerCodebookOffset(ro->header));
        EXPECT_EQ(0, std::memcmp(trained.data(), ro->codebook, trained.size() * 4));
        EXPECT_EQ(-1, ro->trainPQCodebook(x.data(), 50));
    }
}

}  // namespace
