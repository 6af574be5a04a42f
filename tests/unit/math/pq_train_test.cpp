// Codebook training against a plain k-means reference of the same order,
// the documented starting points and the refusals; then a segment's
// training, which publishes exactly what the arithmetic gives.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "core/math/codecs.h"
#include "core/math/pq_train.h"
#include "core/segment/segment.h"
#include "test_util.h"

using qarbin::DistanceMetric;
using qarbin::Quantization;
using qarbin::Segment;

namespace {

std::vector<float> randomVectors(uint32_t n, uint32_t dim, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> v(uint64_t{n} * dim);
    for (float& f : v) f = u(rng);
    return v;
}

// Room for a codebook of m sub-spaces of 256 centroids (256 * dim floats),
// filled with a value training never writes by chance.
std::vector<float> codebookRoom(uint32_t dim) { return std::vector<float>(uint64_t{256} * dim, -12345.0f); }

qarbin::Shape pqShape(uint32_t dim, uint32_t m, uint64_t capacity = 8, uint32_t format = qarbin::Shape{}.format) {
    qarbin::Shape shape;
    shape.format = format;
    shape.dim = dim;
    shape.metric = DistanceMetric::Euclidean;
    shape.quantization = Quantization::PQ;
    shape.pqSubvectors = m;
    shape.capacity = capacity;
    return shape;
}

std::unique_ptr<Segment> pqSegment(uint32_t dim, uint32_t m, uint32_t format = qarbin::Shape{}.format) {
    return std::unique_ptr<Segment>(Segment::createMemory(pqShape(dim, m, 8, format)));
}

// Where each segment format keeps its codebook: right after its header.
struct CodebookPlace {
    uint32_t format;
    uint64_t offset;
};
const CodebookPlace kCodebookPlaces[] = {{qarbin::kSegmentVersion, qarbin::kHeaderBytes},
                                         {qarbin::kCompactSegmentVersion, qarbin::kCompactHeaderBytes}};

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
        std::vector<float> x = randomVectors(c.n, c.dim, c.n + c.dim);
        std::vector<float> cb = codebookRoom(c.dim);
        ASSERT_EQ(0, qarbin::trainCodebook(x.data(), c.n, c.dim, c.m, cb.data()));
        std::vector<float> want = referenceCodebook(x, c.n, c.dim, c.m);
        ASSERT_EQ(want.size(), cb.size());
        EXPECT_EQ(0, std::memcmp(want.data(), cb.data(), want.size() * 4)) << "n " << c.n << " dim " << c.dim;
    }
}

// n = 100: centroids 100..255 start as duplicates of earlier rows, never
// win a member (ties go to the lower index) and keep their start value.
// n = 300: 256 distinct starts, and the codebook moves away from them.
TEST(PQTrain, StartingPointsAndEmptyClusters) {
    const uint32_t dim = 8, m = 2, dsub = 4;
    {
        std::vector<float> x = randomVectors(100, dim, 11);
        std::vector<float> cb = codebookRoom(dim);
        ASSERT_EQ(0, qarbin::trainCodebook(x.data(), 100, dim, m, cb.data()));
        for (uint32_t s = 0; s < m; ++s)
            for (uint32_t c = 100; c < 256; ++c)
                for (uint32_t k = 0; k < dsub; ++k)
                    ASSERT_EQ(x[(c % 100) * dim + s * dsub + k], cb[(s * 256 + c) * dsub + k]) << c;
        // Every row is its own centroid (below 100), so each encodes to its index.
        for (uint32_t i = 0; i < 100; i += 7) {
            uint8_t codes[2];
            qarbin::encodeVector(codes, x.data() + i * dim, dim, 4, m, cb.data());
            EXPECT_EQ(i, codes[0]);
            EXPECT_EQ(i, codes[1]);
        }
    }
    {
        std::vector<float> x = randomVectors(300, dim, 12);
        std::vector<float> cb = codebookRoom(dim);
        ASSERT_EQ(0, qarbin::trainCodebook(x.data(), 300, dim, m, cb.data()));
        int moved = 0;
        for (uint32_t c = 0; c < 256; ++c)
            if (std::memcmp(cb.data() + c * dsub, x.data() + c * dim, dsub * 4) != 0) ++moved;
        EXPECT_GT(moved, 0);
    }
}

TEST(PQTrain, SingleVector) {
    const uint32_t dim = 12, m = 4, dsub = 3;
    std::vector<float> x = randomVectors(1, dim, 5);
    std::vector<float> cb = codebookRoom(dim);
    ASSERT_EQ(0, qarbin::trainCodebook(x.data(), 1, dim, m, cb.data()));
    for (uint32_t s = 0; s < m; ++s)
        for (uint32_t c = 0; c < 256; ++c)
            ASSERT_EQ(0, std::memcmp(cb.data() + (s * 256 + c) * dsub, x.data() + s * dsub, dsub * 4));
    std::vector<float> other = randomVectors(1, dim, 6);
    uint8_t codes[4] = {9, 9, 9, 9};
    qarbin::encodeVector(codes, other.data(), dim, 4, m, cb.data());
    for (uint8_t code : codes) EXPECT_EQ(0, code);
}

TEST(PQTrain, Refusals) {
    std::vector<float> x = randomVectors(10, 8, 1);
    const std::vector<float> untouched = codebookRoom(8);
    std::vector<float> cb = untouched;
    EXPECT_EQ(-1, qarbin::trainCodebook(x.data(), 10, 8, 3, cb.data()));  // dim 8 does not split into 3 sub-spaces
    EXPECT_EQ(-1, qarbin::trainCodebook(x.data(), 10, 8, 0, cb.data()));
    EXPECT_EQ(-1, qarbin::trainCodebook(x.data(), 10, 0, 4, cb.data()));
    EXPECT_EQ(-1, qarbin::trainCodebook(x.data(), 0, 8, 4, cb.data()));
    EXPECT_EQ(-1, qarbin::trainCodebook(nullptr, 10, 8, 4, cb.data()));
    EXPECT_EQ(-1, qarbin::trainCodebook(x.data(), 10, 8, 4, nullptr));
    EXPECT_EQ(untouched, cb) << "a refusal wrote to the codebook";
}

// A segment trains with the same arithmetic and publishes the result: the
// bytes in its codebook area, then the header's mark; records are accepted
// only from then on.
TEST(PQTrainSegment, PublishesTheTrainedCodebook) {
    struct Case {
        uint32_t n, dim, m;
    } cases[] = {{100, 8, 2}, {300, 12, 3}, {1, 12, 4}};
    for (const CodebookPlace& place : kCodebookPlaces) {
        for (const Case& c : cases) {
            SCOPED_TRACE(place.format);
            auto seg = pqSegment(c.dim, c.m, place.format);
            ASSERT_TRUE(seg);
            std::vector<float> x = randomVectors(c.n, c.dim, c.n + c.dim);
            EXPECT_EQ(-2, seg->add(1, "k", x.data(), nullptr, 0)) << "untrained";
            ASSERT_EQ(0, seg->trainPQCodebook(x.data(), c.n));
            ASSERT_EQ(reinterpret_cast<float*>(seg->base + place.offset), seg->codebook);
            EXPECT_EQ(seg->codebook, seg->trainedCodebook());
            EXPECT_EQ(place.offset, qarbin::headerCodebookOffset(seg->header));
            std::vector<float> want = codebookRoom(c.dim);
            ASSERT_EQ(0, qarbin::trainCodebook(x.data(), c.n, c.dim, c.m, want.data()));
            EXPECT_EQ(0, std::memcmp(want.data(), seg->codebook, want.size() * 4)) << "n " << c.n << " dim " << c.dim;
            EXPECT_EQ(0, seg->add(1, "k", x.data(), nullptr, 0));
        }
    }
}

TEST(PQTrainSegment, PublishCopiesACodebook) {
    const uint32_t dim = 8, m = 2;
    std::vector<float> cb(uint64_t{256} * dim);
    for (size_t i = 0; i < cb.size(); ++i) cb[i] = static_cast<float>(i % 29) * 0.5f;
    for (const CodebookPlace& place : kCodebookPlaces) {
        SCOPED_TRACE(place.format);
        auto seg = pqSegment(dim, m, place.format);
        ASSERT_TRUE(seg);
        ASSERT_TRUE(seg->publishCodebook(cb.data()));
        ASSERT_EQ(reinterpret_cast<float*>(seg->base + place.offset), seg->codebook);
        EXPECT_EQ(place.offset, qarbin::headerCodebookOffset(seg->header));
        EXPECT_EQ(0, std::memcmp(cb.data(), seg->codebook, cb.size() * 4));
    }

    auto readOnly = pqSegment(dim, m);
    readOnly->writable = 0;
    EXPECT_FALSE(readOnly->publishCodebook(cb.data()));
    EXPECT_FALSE(pqSegment(dim, m)->publishCodebook(nullptr));
    EXPECT_EQ(nullptr, readOnly->codebook);
    EXPECT_EQ(0u, qarbin::headerCodebookOffset(readOnly->header));
    // No sub-vectors, no codebook area.
    qarbin::Shape plainShape;
    plainShape.dim = dim;
    plainShape.capacity = 8;
    std::unique_ptr<Segment> plain(Segment::createMemory(plainShape));
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->publishCodebook(cb.data()));
    EXPECT_EQ(nullptr, plain->codebook);
}

TEST(PQTrainSegment, Refusals) {
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
        qarbin::Shape shape;
        shape.dim = 8;
        shape.capacity = 8;
        std::unique_ptr<Segment> seg(Segment::createMemory(shape));
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
TEST(PQTrainSegment, DiskSegmentReopensTrained) {
    for (const CodebookPlace& place : kCodebookPlaces) {
        SCOPED_TRACE(place.format);
        qarbin_test::TempDir dir;
        const std::string path = dir.file("seg_0000.qbseg");
        std::vector<float> x = randomVectors(50, 16, 8);
        std::vector<float> trained;
        {
            qarbin::Shape shape = pqShape(16, 4, 32, place.format);
            shape.metric = DistanceMetric::Cosine;
            std::unique_ptr<Segment> seg(Segment::createDisk(path.c_str(), shape));
            ASSERT_TRUE(seg);
            ASSERT_EQ(0, seg->trainPQCodebook(x.data(), 50));
            trained.assign(seg->codebook, seg->codebook + 4 * 256 * 4);
        }
        {
            std::unique_ptr<Segment> ro(Segment::openDisk(path.c_str(), 0));
            ASSERT_TRUE(ro);
            ASSERT_NE(nullptr, ro->codebook);
            EXPECT_EQ(place.offset, qarbin::headerCodebookOffset(ro->header));
            EXPECT_EQ(0, std::memcmp(trained.data(), ro->codebook, trained.size() * 4));
            EXPECT_EQ(-1, ro->trainPQCodebook(x.data(), 50));
        }
    }
}

}  // namespace
