// Fused decode-and-score: every score of an encoded vector must equal, bit
// for bit, the score of the floats getVecFloat32 decodes from it, for every
// metric, both summation orders, every tail and any byte the encoding holds.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/math/codecs.h"
#include "core/math/score.h"

using qarbin::DistanceMetric;
using qarbin::Quantization;
using qarbin::QueryScorer;

namespace {

const DistanceMetric kMetrics[] = {DistanceMetric::Cosine, DistanceMetric::Dot, DistanceMetric::Euclidean,
                                   DistanceMetric::Manhattan};
const Quantization kCodes[] = {Quantization::F16, Quantization::Int8, Quantization::Binary};
const uint32_t kDims[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 31, 33, 4096};
const uint32_t kCounts[] = {1, 2, 3, 5, 7, 8, 9, 15, 16, 17, 24, 33};

// The bits of a score; every NaN as one value. Which of two NaN operands
// an addition passes on is the compiler's choice of operand order, in the
// float32 kernels as much as here, so a NaN's payload is not part of a
// score.
uint32_t bits(float f) {
    if (std::isnan(f)) return 0x7FC00000u;
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

// Whole slots (128-byte header, then the code), so getVecFloat32 reads each
// exactly as a segment holds it.
struct Slots {
    uint64_t slotBytes;
    std::vector<uint64_t> mem;
    Slots(uint32_t count, uint64_t codeBytes) : slotBytes((128 + codeBytes + 63) & ~uint64_t{63}) {
        mem.assign(count * slotBytes / 8 + 8, 0);
    }
    uint8_t* code(uint32_t r) { return reinterpret_cast<uint8_t*>(mem.data()) + r * slotBytes + 128; }
    const qarbin::Record* record(uint32_t r) { return reinterpret_cast<const qarbin::Record*>(code(r) - 128); }
};

void putHalf(uint8_t* p, uint16_t h) { std::memcpy(p, &h, 2); }
void putFloat(uint8_t* p, float f) { std::memcpy(p, &f, 4); }

// Random bytes (every half pattern: subnormals, NaNs with payloads, both
// infinities), then values placed on purpose in some records.
void fillSpecial(Slots& s, uint32_t count, uint32_t dim, Quantization q, std::mt19937& gen) {
    const uint64_t n = qarbin::encodedBytes(dim, static_cast<uint32_t>(q), 0);
    for (uint32_t r = 0; r < count; ++r)
        for (uint64_t b = 0; b < n; ++b) s.code(r)[b] = static_cast<uint8_t>(gen());
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    if (q == Quantization::F16) {
        const uint16_t special[] = {0x7C00, 0xFC00, 0x7E00, 0x7C01, 0x0000, 0x8000, 0x0001, 0x83FF, 0x3C00, 0xFBFF};
        for (uint32_t r = 0; r < count && r < 10; ++r) putHalf(s.code(r) + 2 * ((r * 7) % dim), special[r]);
        return;
    }
    if (q == Quantization::Int8) {
        // Finite random ranges mostly; special minima and maxima in some.
        const float mins[] = {-1.0f, 0.0f, -0.0f, nan, -inf, 2.5f, -1e30f, 0.0f};
        const float maxs[] = {1.0f, -0.0f, 0.0f, 1.0f, inf, 2.5f, 1e30f, inf};
        for (uint32_t r = 0; r < count; ++r) {
            putFloat(s.code(r), mins[r % 8]);
            putFloat(s.code(r) + 4, maxs[r % 8]);
        }
    }
}

// Queries: random, then one with NaN, one with infinities and signed zeros.
std::vector<std::vector<float>> queries(uint32_t dim, std::mt19937& gen) {
    std::uniform_real_distribution<float> u(-2.0f, 2.0f);
    std::vector<std::vector<float>> qs(3, std::vector<float>(dim));
    for (auto& q : qs)
        for (float& x : q) x = u(gen);
    qs[1][dim / 2] = std::numeric_limits<float>::quiet_NaN();
    qs[2][0] = -0.0f;
    qs[2][dim - 1] = dim > 1 ? std::numeric_limits<float>::infinity() : 0.0f;
    return qs;
}

void checkConfig(Slots& s, uint32_t dim, Quantization q, const std::vector<float>& query, DistanceMetric m, bool avx2) {
    QueryScorer qs;
    qs.init(query.data(), dim, m, avx2);
    std::vector<float> decoded(dim + 8);
    std::vector<float> expected;
    for (uint32_t r = 0; r < 33; ++r) {
        const float* v = qarbin::getVecFloat32(s.record(r), dim, static_cast<uint32_t>(q), 0, nullptr, decoded.data());
        expected.push_back(qs.score(v));
    }
    for (uint32_t count : kCounts) {
        std::vector<const uint8_t*> in;
        for (uint32_t r = 0; r < count; ++r) in.push_back(s.code(r));
        std::vector<float> out(count + 2, 777.0f);
        qs.scoreCodes(in.data(), count, static_cast<uint32_t>(q), out.data());
        for (uint32_t r = 0; r < count; ++r)
            ASSERT_EQ(bits(expected[r]), bits(out[r])) << "quant " << int(q) << " dim " << dim << " metric " << int(m)
                                                       << " avx2 " << avx2 << " count " << count << " r " << r;
        EXPECT_EQ(777.0f, out[count]);
    }
}

}  // namespace

TEST(ScoreCodesTest, EqualsDecodeThenScoreBitForBit) {
    std::mt19937 gen(16);
    for (Quantization q : kCodes) {
        for (uint32_t dim : kDims) {
            Slots s(33, qarbin::encodedBytes(dim, static_cast<uint32_t>(q), 0));
            fillSpecial(s, 33, dim, q, gen);
            for (const auto& query : queries(dim, gen))
                for (DistanceMetric m : kMetrics)
                    for (bool avx2 : {false, true}) checkConfig(s, dim, q, query, m, avx2);
        }
    }
}

TEST(ScoreCodesTest, ScoresEncodedVectorsLikeTheirDecodedFloats) {
    // Vectors that went through the encoder, as a store writes them.
    std::mt19937 gen(7);
    std::normal_distribution<float> nd(0.0f, 1.0f);
    for (Quantization q : kCodes) {
        const uint32_t dim = 100;
        Slots s(33, qarbin::encodedBytes(dim, static_cast<uint32_t>(q), 0));
        std::vector<float> v(dim);
        for (uint32_t r = 0; r < 33; ++r) {
            for (float& x : v) x = nd(gen);
            if (r == 3) v[5] = -0.0f;
            qarbin::encodeVector(s.code(r), v.data(), dim, static_cast<uint32_t>(q), 0, nullptr);
        }
        for (const auto& query : queries(dim, gen))
            for (DistanceMetric m : kMetrics)
                for (bool avx2 : {false, true}) checkConfig(s, dim, q, query, m, avx2);
    }
}

TEST(ScoreCodesTest, TakesOnlyLaneDecodedEncodings) {
    EXPECT_TRUE(QueryScorer::scoresCodes(static_cast<uint32_t>(Quantization::F16)));
    EXPECT_TRUE(QueryScorer::scoresCodes(static_cast<uint32_t>(Quantization::Int8)));
    EXPECT_TRUE(QueryScorer::scoresCodes(static_cast<uint32_t>(Quantization::Binary)));
    EXPECT_FALSE(QueryScorer::scoresCodes(static_cast<uint32_t>(Quantization::None)));
    EXPECT_FALSE(QueryScorer::scoresCodes(static_cast<uint32_t>(Quantization::PQ)));
}

// A cosine over norms stored with the records scores exactly as the cosine
// that sums the stored vector's norm itself: floats through scoreBlock and
// codes through scoreCodes, both orders, every tail, special values.
TEST(ScoreCodesTest, CosineOverStoredNormsEqualsCosineBitForBit) {
    std::mt19937 gen(24);
    for (Quantization q : kCodes) {
        for (uint32_t dim : kDims) {
            Slots s(33, qarbin::encodedBytes(dim, static_cast<uint32_t>(q), 0));
            fillSpecial(s, 33, dim, q, gen);
            const uint32_t padded = (dim + 7) & ~7u;
            std::vector<float, std::allocator<float>> store(33 * padded + 8);
            float* rows = reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(store.data()) + 31) & ~uintptr_t{31});
            std::vector<const float*> vecs;
            std::vector<const uint8_t*> codes;
            for (uint32_t r = 0; r < 33; ++r) {
                const float* v = qarbin::getVecFloat32(s.record(r), dim, static_cast<uint32_t>(q), 0, nullptr,
                                                       rows + r * padded);
                std::memcpy(rows + r * padded, v, dim * sizeof(float));
                vecs.push_back(rows + r * padded);
                codes.push_back(s.code(r));
            }
            for (const auto& query : queries(dim, gen)) {
                for (bool avx2 : {false, true}) {
                    QueryScorer qs;
                    qs.init(query.data(), dim, DistanceMetric::Cosine, avx2);
                    const QueryScorer dots = qs.dotPart();
                    std::vector<float> want(33), wantRows(33), dot(33), dotRows(33);
                    qs.scoreCodes(codes.data(), 33, static_cast<uint32_t>(q), want.data());
                    qs.scoreBlock(vecs.data(), 33, wantRows.data());
                    dots.scoreCodes(codes.data(), 33, static_cast<uint32_t>(q), dot.data());
                    dots.scoreBlock(vecs.data(), 33, dotRows.data());
                    for (uint32_t r = 0; r < 33; ++r) {
                        const float norm = qarbin::storedNorm(vecs[r], dim, avx2);
                        ASSERT_EQ(bits(want[r]), bits(qs.cosineWithNorm(dot[r], norm)))
                            << "quant " << int(q) << " dim " << dim << " avx2 " << avx2 << " r " << r;
                        ASSERT_EQ(bits(wantRows[r]), bits(qs.cosineWithNorm(dotRows[r], norm)))
                            << "rows, quant " << int(q) << " dim " << dim << " avx2 " << avx2 << " r " << r;
                    }
                }
            }
        }
    }
}
