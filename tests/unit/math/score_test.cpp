// Scores against scalar references written here in the same summation
// orders, compared bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/math/score.h"

using qarbin::computeScore;
using qarbin::DistanceMetric;
using qarbin::QueryScorer;

namespace {

const DistanceMetric kMetrics[] = {DistanceMetric::Cosine, DistanceMetric::Dot, DistanceMetric::Euclidean,
                                   DistanceMetric::Manhattan};

uint32_t bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

#define EXPECT_SAME_BITS(expected, actual) EXPECT_EQ(bits(expected), bits(actual)) << (expected) << " vs " << (actual)

// References: sequential order and 8-lane order, one scalar chain per lane.
float refSeq(const float* a, const float* b, uint32_t n, DistanceMetric m) {
    float s = 0.0f, na = 0.0f, nb = 0.0f;
    for (uint32_t i = 0; i < n; ++i) {
        switch (m) {
            case DistanceMetric::Manhattan:
                s = s + std::fabs(a[i] - b[i]);
                break;
            case DistanceMetric::Euclidean:
                s = std::fma(a[i] - b[i], a[i] - b[i], s);
                break;
            default:
                s = std::fma(a[i], b[i], s);
                na = std::fma(a[i], a[i], na);
                nb = std::fma(b[i], b[i], nb);
                break;
        }
    }
    if (m == DistanceMetric::Manhattan) return -s;
    if (m == DistanceMetric::Euclidean) return -std::sqrt(s);
    if (m == DistanceMetric::Dot) return s;
    float den = std::sqrt(na) * std::sqrt(nb);
    return den > 1e-9f ? s / den : 0.0f;
}

float refLanes(const float* a, const float* b, uint32_t n, DistanceMetric m) {
    if (m == DistanceMetric::Manhattan || m == DistanceMetric::Euclidean) return refSeq(a, b, n, m);
    float d[8] = {}, x[8] = {}, y[8] = {};
    uint32_t blocks = n / 8;
    for (uint32_t j = 0; j < blocks; ++j)
        for (uint32_t l = 0; l < 8; ++l) {
            uint32_t i = 8 * j + l;
            d[l] = std::fma(a[i], b[i], d[l]);
            x[l] = std::fma(a[i], a[i], x[l]);
            y[l] = std::fma(b[i], b[i], y[l]);
        }
    float s = 0.0f, na = 0.0f, nb = 0.0f;
    for (uint32_t l = 0; l < 8; ++l) {
        s = s + d[l];
        na = na + x[l];
        nb = nb + y[l];
    }
    for (uint32_t i = 8 * blocks; i < n; ++i) {
        s = std::fma(a[i], b[i], s);
        na = std::fma(a[i], a[i], na);
        nb = std::fma(b[i], b[i], nb);
    }
    if (m == DistanceMetric::Dot) return s;
    float den = std::sqrt(na) * std::sqrt(nb);
    return den > 1e-9f ? s / den : 0.0f;
}

float ref(const float* a, const float* b, uint32_t n, DistanceMetric m, bool avx2) {
    return avx2 ? refLanes(a, b, n, m) : refSeq(a, b, n, m);
}

// 32-byte aligned rows of `dim` floats, one row per vector.
struct Vectors {
    uint32_t dim;
    uint32_t rowFloats;
    std::vector<float, std::allocator<float>> storage;
    float* first;
    Vectors(uint32_t count, uint32_t d, uint32_t seed) : dim(d), rowFloats((d + 7) & ~7u) {
        storage.assign(uint64_t{count} * rowFloats + 8, 0.0f);
        uintptr_t p = reinterpret_cast<uintptr_t>(storage.data());
        first = reinterpret_cast<float*>((p + 31) & ~uintptr_t{31});
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        for (uint32_t r = 0; r < count; ++r)
            for (uint32_t i = 0; i < d; ++i) row(r)[i] = u(rng);
    }
    float* row(uint32_t r) { return first + uint64_t{r} * rowFloats; }
};

TEST(Score, WorkedExample) {
    alignas(32) float a[3] = {1, 2, 3};
    alignas(32) float b[3] = {4, 5, 6};
    for (bool avx2 : {false, true}) {
        EXPECT_EQ(32.0f, computeScore(a, b, 3, DistanceMetric::Dot, avx2));
        EXPECT_EQ(-9.0f, computeScore(a, b, 3, DistanceMetric::Manhattan, avx2));
        EXPECT_SAME_BITS(-std::sqrt(27.0f), computeScore(a, b, 3, DistanceMetric::Euclidean, avx2));
        EXPECT_NEAR(-5.1961522f, computeScore(a, b, 3, DistanceMetric::Euclidean, avx2), 1e-6f);
        float cosine = computeScore(a, b, 3, DistanceMetric::Cosine, avx2);
        // Two separate roots, 3.7416575 * 8.7749643, not sqrt(14 * 77).
        EXPECT_SAME_BITS(32.0f / (std::sqrt(14.0f) * std::sqrt(77.0f)), cosine);
        EXPECT_NEAR(0.97463179f, cosine, 1e-7f);
    }
    EXPECT_SAME_BITS(computeScore(a, b, 3, DistanceMetric::Cosine, true), cosine_similarity_avx2(a, b, 3));
    EXPECT_EQ(32.0f, dot_product_avx2(a, b, 3));
}

// Every tail length, and large dims, against the references; the two
// kernels are checked on their own too.
TEST(Score, MatchesReferenceOrderForEveryTail) {
    std::vector<uint32_t> dims;
    for (uint32_t d = 1; d <= 17; ++d) dims.push_back(d);
    for (uint32_t d : {31u, 33u, 64u, 100u, 127u, 784u, 1536u, 4095u, 4096u}) dims.push_back(d);
    for (uint32_t d : dims) {
        Vectors v(6, d, d);
        for (uint32_t r = 1; r < 6; ++r) {
            const float* a = v.row(0);
            const float* b = v.row(r);
            for (DistanceMetric m : kMetrics)
                for (bool avx2 : {false, true})
                    EXPECT_SAME_BITS(ref(a, b, d, m, avx2), computeScore(a, b, d, m, avx2))
                        << "dim " << d << " metric " << int(m) << " avx2 " << avx2;
            EXPECT_SAME_BITS(refLanes(a, b, d, DistanceMetric::Cosine), cosine_similarity_avx2(a, b, d)) << d;
            EXPECT_SAME_BITS(refLanes(a, b, d, DistanceMetric::Dot), dot_product_avx2(a, b, d)) << d;
        }
    }
}

// The two orders must really be different orders: on random data of a
// dim with full blocks they disagree in the last bits for some pairs.
TEST(Score, LaneOrderDiffersFromSequential) {
    Vectors v(200, 33, 7);
    int differ = 0;
    for (uint32_t r = 1; r < 200; ++r) {
        for (DistanceMetric m : {DistanceMetric::Dot, DistanceMetric::Cosine})
            if (bits(computeScore(v.row(0), v.row(r), 33, m, true)) !=
                bits(computeScore(v.row(0), v.row(r), 33, m, false)))
                ++differ;
        // useAvx2 never changes the distance metrics.
        for (DistanceMetric m : {DistanceMetric::Euclidean, DistanceMetric::Manhattan})
            EXPECT_SAME_BITS(computeScore(v.row(0), v.row(r), 33, m, false),
                             computeScore(v.row(0), v.row(r), 33, m, true));
    }
    EXPECT_GT(differ, 0);
}

TEST(Score, DegenerateInputs) {
    alignas(32) float zero[16] = {};
    alignas(32) float tiny[16];
    alignas(32) float x[16];
    for (int i = 0; i < 16; ++i) {
        tiny[i] = (i == 0) ? 1e-5f : 0.0f;  // norm 1e-5
        x[i] = static_cast<float>(i + 1);
    }
    for (bool avx2 : {false, true}) {
        for (uint32_t n : {3u, 16u}) {
            EXPECT_EQ(0.0f, computeScore(zero, x, n, DistanceMetric::Cosine, avx2));
            EXPECT_EQ(0.0f, computeScore(x, zero, n, DistanceMetric::Cosine, avx2));
            EXPECT_EQ(0.0f, computeScore(zero, zero, n, DistanceMetric::Cosine, avx2));
            // sqrt(1e-10) * sqrt(1e-10) = 1e-10 <= 1e-9.
            EXPECT_EQ(0.0f, computeScore(tiny, tiny, n, DistanceMetric::Cosine, avx2));
            // Identical vectors: the best possible distance score, -0.0.
            for (DistanceMetric m : {DistanceMetric::Euclidean, DistanceMetric::Manhattan}) {
                float s = computeScore(x, x, n, m, avx2);
                EXPECT_EQ(0.0f, s);
                EXPECT_TRUE(std::signbit(s));
            }
        }
        // A denominator of exactly 1e-9 is not above the threshold: with
        // a = 2^-15 and b = 1e-9 * 2^15 both roots are exact.
        {
            alignas(32) float a1[1] = {std::ldexp(1.0f, -15)};
            alignas(32) float b1[1] = {std::ldexp(1e-9f, 15)};
            ASSERT_EQ(1e-9f, std::sqrt(a1[0] * a1[0]) * std::sqrt(b1[0] * b1[0]));
            EXPECT_EQ(0.0f, computeScore(a1, b1, 1, DistanceMetric::Cosine, avx2));
            b1[0] = std::nextafter(b1[0], 1.0f);
            EXPECT_EQ(1.0f, computeScore(a1, b1, 1, DistanceMetric::Cosine, avx2));
        }
        // n = 0.
        EXPECT_SAME_BITS(0.0f, computeScore(x, x, 0, DistanceMetric::Cosine, avx2));
        EXPECT_SAME_BITS(0.0f, computeScore(x, x, 0, DistanceMetric::Dot, avx2));
        EXPECT_SAME_BITS(-0.0f, computeScore(x, x, 0, DistanceMetric::Euclidean, avx2));
        EXPECT_SAME_BITS(-0.0f, computeScore(x, x, 0, DistanceMetric::Manhattan, avx2));
        // Out-of-range metric values score as cosine.
        for (uint32_t bogus : {4u, 9u, 0xFFFFFFFFu}) {
            auto m = static_cast<DistanceMetric>(bogus);
            EXPECT_SAME_BITS(computeScore(x, tiny, 16, DistanceMetric::Cosine, avx2), computeScore(x, tiny, 16, m, avx2));
            QueryScorer qs;
            qs.init(x, 16, m, avx2);
            EXPECT_SAME_BITS(computeScore(x, tiny, 16, DistanceMetric::Cosine, avx2), qs.score(tiny));
        }
    }
}

// The block scorer: every metric, both orders, many dims, counts around
// each batch width, and values that make NaN and infinities; each score
// must equal computeScore bit for bit and nothing past count is written.
TEST(QueryScorerTest, BlockEqualsSingleScores) {
    const uint32_t counts[] = {1, 2, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 24, 31, 33, 40};
    for (uint32_t d : {1u, 2u, 3u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 33u, 128u, 129u, 784u}) {
        Vectors v(41, d, 1000 + d);
        // A few records with special values.
        v.row(5)[0] = std::numeric_limits<float>::quiet_NaN();
        v.row(6)[d - 1] = std::numeric_limits<float>::infinity();
        for (uint32_t i = 0; i < d; ++i) v.row(7)[i] = 0.0f;
        for (uint32_t i = 0; i < d; ++i) v.row(8)[i] = v.row(0)[i];
        std::vector<const float*> ptrs;
        for (uint32_t r = 1; r < 41; ++r) ptrs.push_back(v.row(r));
        for (DistanceMetric m : kMetrics) {
            for (bool avx2 : {false, true}) {
                QueryScorer qs;
                qs.init(v.row(0), d, m, avx2);
                for (uint32_t count : counts) {
                    // Exactly count pointers, so that a read past them is an
                    // error under AddressSanitizer.
                    std::vector<const float*> in(ptrs.begin(), ptrs.begin() + count);
                    std::vector<float> out(count + 4, 12345.0f);
                    qs.scoreBlock(in.data(), count, out.data());
                    for (uint32_t r = 0; r < count; ++r) {
                        float expected = computeScore(v.row(0), ptrs[r], d, m, avx2);
                        EXPECT_SAME_BITS(expected, out[r])
                            << "dim " << d << " metric " << int(m) << " avx2 " << avx2 << " count " << count << " r " << r;
                        EXPECT_SAME_BITS(expected, qs.score(ptrs[r]));
                    }
                    for (uint32_t r = count; r < count + 4; ++r) EXPECT_EQ(12345.0f, out[r]);
                }
            }
        }
    }
}

TEST(QueryScorerTest, ZeroCountAndZeroDim) {
    alignas(32) float q[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const float* ptrs[3] = {q, q, q};
    float out[3] = {7.0f, 7.0f, 7.0f};
    QueryScorer qs;
    qs.init(q, 8, DistanceMetric::Dot, true);
    qs.scoreBlock(ptrs, 0, out);
    EXPECT_EQ(7.0f, out[0]);
    for (DistanceMetric m : kMetrics) {
        qs.init(q, 0, m, true);
        qs.scoreBlock(ptrs, 3, out);
        for (float s : out) EXPECT_SAME_BITS(computeScore(q, q, 0, m, true), s);
    }
}

}  // namespace
