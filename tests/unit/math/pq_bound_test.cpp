// PQ score bounds: the bound from the per-query tables is never below the
// exact score of the decoded vector, for every metric and summation order,
// over codebooks made to stress the rounding (huge and subnormal values,
// cancelling products, near ties); and no bound is offered where none can
// be proven.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "core/math/codecs.h"
#include "core/math/pq_bound.h"
#include "core/math/score.h"

using qarbin::DistanceMetric;
using qarbin::PqBounds;
using qarbin::Quantization;
using qarbin::QueryScorer;

namespace {

const DistanceMetric kMetrics[] = {DistanceMetric::Cosine, DistanceMetric::Dot, DistanceMetric::Euclidean,
                                   DistanceMetric::Manhattan};

enum class Kind { Uniform, Wide, Cancelling, NearTies, Edge };

struct Config {
    uint32_t dim;
    uint32_t m;
};
const Config kConfigs[] = {{1, 1},  {2, 1},  {2, 2},  {7, 7},   {8, 2},    {9, 3},   {16, 4},
                           {17, 17}, {31, 1}, {33, 3}, {64, 16}, {784, 28}, {4096, 16}};

// One value of a codebook or query of this kind.
float valueOf(Kind kind, std::mt19937& gen, uint32_t i) {
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    switch (kind) {
        case Kind::Uniform:
            return u(gen);
        case Kind::Wide: {
            // From below the normal range up to the largest value allowed.
            const int e = static_cast<int>(gen() % 197) - 140;
            return std::ldexp(u(gen) < 0 ? -1.0f - u(gen) * 0.5f : 1.0f + u(gen) * 0.5f, e < 55 ? e : 55);
        }
        case Kind::Cancelling:
            // Large terms of alternating sign whose sum is small.
            return std::ldexp(i % 2 ? -1.0f : 1.0f, 40) + u(gen) * 1024.0f;
        case Kind::NearTies: {
            // Values a few ulps apart: exact sums differ only by rounding.
            float x = 0.75f;
            for (uint32_t k = gen() % 4; k > 0; --k) x = std::nextafter(x, 1.0f);
            return i % 5 ? x : -x;
        }
        default:
            return std::ldexp(i % 3 ? 1.0f : -1.0f, 56);
    }
}

// A slot as a segment holds it: 128-byte header, then the m-byte code.
struct Slot {
    alignas(64) uint8_t bytes[128 + 4096];
    const qarbin::Record* record() const { return reinterpret_cast<const qarbin::Record*>(bytes); }
};

// Four times the worst rounding of the score's float sums, in double.
double slackOf(DistanceMetric metric, const float* q, const float* v, uint32_t dim, float exact) {
    double absDot = 0.0, sq = 0.0, abs = 0.0, nq = 0.0, nv = 0.0;
    for (uint32_t i = 0; i < dim; ++i) {
        absDot += std::fabs(double(q[i]) * v[i]);
        sq += (double(q[i]) - v[i]) * (double(q[i]) - v[i]);
        abs += std::fabs(double(q[i]) - v[i]);
        nq += double(q[i]) * q[i];
        nv += double(v[i]) * v[i];
    }
    const double g = 4.0 * (dim + 16) * 0x1p-24;
    switch (metric) {
        case DistanceMetric::Euclidean:
            return g * std::sqrt(sq) + 1e-30;
        case DistanceMetric::Manhattan:
            return g * abs + 1e-30;
        case DistanceMetric::Dot:
            return g * absDot + 1e-30;
        default:
            return g * (absDot / std::sqrt(nq * nv) + 2.0 * std::fabs(exact)) + 1e-30;
    }
}

void checkBounds(Kind kind, const Config& c, std::mt19937& gen) {
    std::vector<float> cb(uint64_t{256} * c.dim);
    for (uint64_t i = 0; i < cb.size(); ++i) cb[i] = valueOf(kind, gen, static_cast<uint32_t>(i));
    std::vector<float> query(c.dim);
    for (uint32_t i = 0; i < c.dim; ++i) query[i] = valueOf(kind, gen, i + 1);
    if (kind == Kind::Cancelling)
        for (float& x : query) x = std::ldexp(1.0f, 10) + x * 0x1p-40f;
    std::vector<Slot> slots(40);
    for (uint32_t r = 0; r < slots.size(); ++r)
        for (uint32_t s = 0; s < c.m; ++s) slots[r].bytes[128 + s] = static_cast<uint8_t>(r < 4 ? r * 85 : gen());
    std::vector<float> decoded(c.dim);
    std::vector<const uint8_t*> codes;
    for (const Slot& s : slots) codes.push_back(s.bytes + 128);
    std::vector<double> ub(slots.size());
    for (DistanceMetric metric : kMetrics) {
        for (bool avx2 : {false, true}) {
            QueryScorer qs;
            qs.init(query.data(), c.dim, metric, avx2);
            std::unique_ptr<PqBounds> b(PqBounds::create(qs, cb.data(), c.m));
            ASSERT_NE(b, nullptr) << "kind " << int(kind) << " dim " << c.dim;
            b->upperBounds(codes.data(), static_cast<uint32_t>(codes.size()), ub.data());
            for (uint32_t r = 0; r < slots.size(); ++r) {
                const float* v = qarbin::getVecFloat32(slots[r].record(), c.dim, uint32_t(Quantization::PQ), c.m,
                                                       cb.data(), decoded.data());
                const float exact = qs.score(v);
                ASSERT_FALSE(std::isnan(exact));
                ASSERT_LE(double(exact), ub[r]) << "kind " << int(kind) << " dim " << c.dim << " m " << c.m
                                                << " metric " << int(metric) << " avx2 " << avx2 << " r " << r;
                // A bound that proves something: within a few times the
                // rounding a float sum of these terms can have.
                if (kind == Kind::Uniform) {
                    ASSERT_LE(ub[r] - exact, slackOf(metric, query.data(), v, c.dim, exact))
                        << "metric " << int(metric) << " dim " << c.dim << " exact " << exact << " ub " << ub[r];
                }
            }
        }
    }
}

}  // namespace

TEST(PqBoundTest, NeverBelowTheExactScore) {
    std::mt19937 gen(16);
    for (Kind kind : {Kind::Uniform, Kind::Wide, Kind::Cancelling, Kind::NearTies, Kind::Edge})
        for (const Config& c : kConfigs) checkBounds(kind, c, gen);
}

// A query or codebook value that is not finite or too large for a proven
// bound, or a missing or unusable codebook: no bound, so the caller scores
// every record exactly.
TEST(PqBoundTest, RefusedWhereNoBoundIsProven) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* what;
        bool inCodebook;
        float value;
        uint32_t m;
        bool expectBounds;
    };
    const Case cases[] = {
        {"NaN centroid", true, nan, 4, false},         {"+inf centroid", true, inf, 4, false},
        {"-inf centroid", true, -inf, 4, false},       {"NaN query", false, nan, 4, false},
        {"-inf query", false, -inf, 4, false},         {"2^57 centroid", true, 0x1p57f, 4, false},
        {"-2^57 query", false, -0x1p57f, 4, false},    {"2^56 centroid", true, 0x1p56f, 4, true},
        {"-2^56 query", false, -0x1p56f, 4, true},     {"no sub-spaces", true, 0.5f, 0, false},
        {"sub-spaces not dividing", true, 0.5f, 3, false},
    };
    const uint32_t dim = 8;
    for (const Case& c : cases) {
        for (DistanceMetric metric : kMetrics) {
            std::vector<float> cb(256 * dim, 0.25f);
            std::vector<float> query(dim, -0.5f);
            (c.inCodebook ? cb[200 * dim + 5] : query[3]) = c.value;
            QueryScorer qs;
            qs.init(query.data(), dim, metric, true);
            std::unique_ptr<PqBounds> b(PqBounds::create(qs, cb.data(), c.m));
            EXPECT_EQ(b != nullptr, c.expectBounds) << c.what << " metric " << int(metric);
        }
    }
    QueryScorer qs;
    std::vector<float> query(dim, 1.0f);
    qs.init(query.data(), dim, DistanceMetric::Cosine, true);
    EXPECT_EQ(PqBounds::create(qs, nullptr, 4), nullptr);
}
