// The five encodings: worked bit patterns, and the vector decoders against
// element-wise references over every tail length.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/math/codecs.h"

using qarbin::encodedBytes;
using qarbin::encodeVector;
using qarbin::floatToHalf;
using qarbin::getVecFloat32;
using qarbin::halfToFloat;
using qarbin::Quantization;
using qarbin::Record;

namespace {

constexpr uint32_t kF16 = static_cast<uint32_t>(Quantization::F16);
constexpr uint32_t kInt8 = static_cast<uint32_t>(Quantization::Int8);
constexpr uint32_t kBinary = static_cast<uint32_t>(Quantization::Binary);
constexpr uint32_t kPQ = static_cast<uint32_t>(Quantization::PQ);

uint32_t bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

// A record slot: 128-byte header then the encoded vector, 64-byte aligned.
struct Slot {
    std::vector<uint8_t> storage;
    uint8_t* p;
    explicit Slot(uint64_t vecBytes) : storage(128 + vecBytes + 128, 0) {
        p = storage.data() + ((64 - reinterpret_cast<uintptr_t>(storage.data()) % 64) % 64);
    }
    Record* record() { return reinterpret_cast<Record*>(p); }
    uint8_t* vec() { return p + 128; }
};

std::vector<float> decode(Slot& s, uint32_t dim, uint32_t q, uint32_t m = 0, const float* cb = nullptr) {
    std::vector<float> out(dim + 8, 777.0f);
    const float* r = getVecFloat32(s.record(), dim, q, m, cb, out.data());
    EXPECT_EQ(out.data(), r);
    for (uint32_t i = dim; i < dim + 8; ++i) EXPECT_EQ(777.0f, out[i]) << "wrote past dim";
    out.resize(dim);
    return out;
}

TEST(Codecs, EncodedBytes) {
    EXPECT_EQ(4u * 1536, encodedBytes(1536, 0, 0));
    EXPECT_EQ(2u * 1536, encodedBytes(1536, kF16, 0));
    EXPECT_EQ(1536u + 8, encodedBytes(1536, kInt8, 0));
    EXPECT_EQ(192u, encodedBytes(1536, kBinary, 0));
    EXPECT_EQ(2u, encodedBytes(10, kBinary, 0));
    EXPECT_EQ(1u, encodedBytes(1, kBinary, 0));
    EXPECT_EQ(96u, encodedBytes(1536, kPQ, 96));
    EXPECT_EQ(4u * 10, encodedBytes(10, 5, 3));  // unknown values size like None
    EXPECT_EQ(4u * 10, encodedBytes(10, 0xFFFFFFFFu, 3));
}

TEST(Codecs, HalfWorkedValues) {
    struct Case {
        float in;
        uint16_t half;
        float decoded;
    } cases[] = {
        {1.0f, 0x3C00, 1.0f},
        {-2.5f, 0xC100, -2.5f},
        {0.1f, 0x2E66, 0.099975586f},
        {3.14159f, 0x4248, 3.140625f},
        {65520.0f, 0x7BFF, 65504.0f},  // rounding would give infinity
        {70000.0f, 0x7C00, std::numeric_limits<float>::infinity()},
        {1e-5f, 0x0000, 0.0f},
        {-0.0f, 0x8000, -0.0f},
        {std::ldexp(1.0f, -14), 0x0400, std::ldexp(1.0f, -14)},
        {std::ldexp(1.0f, -15), 0x0000, 0.0f},
        {-std::numeric_limits<float>::infinity(), 0xFC00, -std::numeric_limits<float>::infinity()},
        {std::numeric_limits<float>::quiet_NaN(), 0x7C00, std::numeric_limits<float>::infinity()},
        {-std::numeric_limits<float>::quiet_NaN(), 0xFC00, -std::numeric_limits<float>::infinity()},
        {1.0009765f, 0x3C00, 1.0f},  // just below 1 + 2^-10: cut, not rounded
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.half, floatToHalf(c.in)) << c.in;
        EXPECT_EQ(bits(c.decoded), bits(halfToFloat(c.half))) << c.in;
        Slot s(2);
        encodeVector(s.vec(), &c.in, 1, kF16, 0, nullptr);
        uint16_t stored;
        std::memcpy(&stored, s.vec(), 2);
        EXPECT_EQ(c.half, stored);
    }
}

// Every half pattern through the scalar reference of the decode rules and
// through the vector decoder (which handles 8 at a time).
TEST(Codecs, HalfDecodeAllPatterns) {
    const uint32_t n = 65536;
    Slot s(2 * n);
    for (uint32_t h = 0; h < n; ++h) {
        uint16_t v = static_cast<uint16_t>(h);
        std::memcpy(s.vec() + 2 * h, &v, 2);
    }
    std::vector<float> out = decode(s, n, kF16);
    for (uint32_t h = 0; h < n; ++h) {
        uint32_t sign = (h & 0x8000u) << 16, e = (h >> 10) & 31, f = h & 0x3FF;
        uint32_t want = e == 0 ? sign : e == 31 ? (sign | 0x7F800000u | (f << 13)) : (sign | ((e + 112) << 23) | (f << 13));
        ASSERT_EQ(want, bits(out[h])) << std::hex << h;
        ASSERT_EQ(want, bits(halfToFloat(static_cast<uint16_t>(h)))) << std::hex << h;
        // Normal halves survive a round trip.
        if (e != 0 && e != 31) {
            ASSERT_EQ(h, floatToHalf(out[h])) << std::hex << h;
        }
    }
}

TEST(Codecs, Int8WorkedValues) {
    {
        const float v[4] = {-1.0f, 0.0f, 0.5f, 1.0f};
        Slot s(12);
        encodeVector(s.vec(), v, 4, kInt8, 0, nullptr);
        float mn, mx;
        std::memcpy(&mn, s.vec(), 4);
        std::memcpy(&mx, s.vec() + 4, 4);
        EXPECT_EQ(-1.0f, mn);
        EXPECT_EQ(1.0f, mx);
        EXPECT_EQ(0, s.vec()[8]);
        EXPECT_EQ(128, s.vec()[9]);
        EXPECT_EQ(191, s.vec()[10]);
        EXPECT_EQ(255, s.vec()[11]);
        std::vector<float> out = decode(s, 4, kInt8);
        EXPECT_EQ(-1.0f, out[0]);
        EXPECT_EQ(bits(0.0039216280f), bits(out[1]));
        EXPECT_EQ(bits(0.49803931f), bits(out[2]));
        EXPECT_EQ(bits(1.0000001f), bits(out[3]));
    }
    {
        const float v[5] = {3.0f, 3.0f, 3.0f, 3.0f, 3.0f};
        Slot s(13);
        encodeVector(s.vec(), v, 5, kInt8, 0, nullptr);
        for (int i = 0; i < 5; ++i) EXPECT_EQ(0, s.vec()[8 + i]);
        for (float f : decode(s, 5, kInt8)) EXPECT_EQ(3.0f, f);
    }
    {
        // NaN keeps min/max and truncates to INT32_MIN, clamped to code 0;
        // a range at most 1e-9 gives scale 0.
        const float v[4] = {1.0f, std::numeric_limits<float>::quiet_NaN(), 3.0f, 2.0f};
        Slot s(12);
        encodeVector(s.vec(), v, 4, kInt8, 0, nullptr);
        float mn, mx;
        std::memcpy(&mn, s.vec(), 4);
        std::memcpy(&mx, s.vec() + 4, 4);
        EXPECT_EQ(1.0f, mn);
        EXPECT_EQ(3.0f, mx);
        EXPECT_EQ(0, s.vec()[8]);
        EXPECT_EQ(0, s.vec()[9]);
        EXPECT_EQ(255, s.vec()[10]);
        EXPECT_EQ(128, s.vec()[11]);  // trunc(1 * 127.5 + 0.5)
        const float close[2] = {1.0f, 1.0f + 1.2e-7f};
        Slot t(10);
        encodeVector(t.vec(), close, 2, kInt8, 0, nullptr);
        EXPECT_EQ(0, t.vec()[8]);
        EXPECT_EQ(255, t.vec()[9]);  // range 1.19e-7 > 1e-9: full scale
    }
}

// Vector decoders against element-wise references, every tail length.
TEST(Codecs, DecodersMatchElementRulesForEveryTail) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-4.0f, 4.0f);
    for (uint32_t dim = 1; dim <= 40; ++dim) {
        std::vector<float> v(dim);
        for (float& f : v) f = u(rng);
        {
            Slot s(dim + 8);
            encodeVector(s.vec(), v.data(), dim, kInt8, 0, nullptr);
            float mn, mx;
            std::memcpy(&mn, s.vec(), 4);
            std::memcpy(&mx, s.vec() + 4, 4);
            float step = (mx - mn) / 255.0f;
            std::vector<float> out = decode(s, dim, kInt8);
            for (uint32_t i = 0; i < dim; ++i) {
                ASSERT_EQ(bits(std::fma(float(s.vec()[8 + i]), step, mn)), bits(out[i])) << dim << " " << i;
                ASSERT_LE(std::fabs(out[i] - v[i]), step) << dim << " " << i;
            }
        }
        {
            Slot s((dim + 7) / 8);
            encodeVector(s.vec(), v.data(), dim, kBinary, 0, nullptr);
            std::vector<float> out = decode(s, dim, kBinary);
            for (uint32_t i = 0; i < dim; ++i) ASSERT_EQ(v[i] >= 0 ? 1.0f : -1.0f, out[i]) << dim << " " << i;
            if (dim % 8) {
                ASSERT_EQ(0, s.vec()[dim / 8] >> (dim % 8)) << "bits beyond dim must be 0";
            }
        }
        {
            Slot s(2 * dim);
            encodeVector(s.vec(), v.data(), dim, kF16, 0, nullptr);
            std::vector<float> out = decode(s, dim, kF16);
            for (uint32_t i = 0; i < dim; ++i) ASSERT_EQ(bits(halfToFloat(floatToHalf(v[i]))), bits(out[i]));
        }
    }
}

TEST(Codecs, BinaryWorkedValues) {
    const float v[10] = {1, -1, 0, -0.0f, -2, 5, -3, 0.25f, -1, 7};
    Slot s(2);
    s.vec()[2] = 0xEE;  // beyond the encoding: must stay untouched
    encodeVector(s.vec(), v, 10, kBinary, 0, nullptr);
    EXPECT_EQ(0xAD, s.vec()[0]);
    EXPECT_EQ(0x02, s.vec()[1]);
    EXPECT_EQ(0xEE, s.vec()[2]);
    std::vector<float> out = decode(s, 10, kBinary);
    const float want[10] = {1, -1, 1, 1, -1, 1, -1, 1, -1, 1};
    for (int i = 0; i < 10; ++i) EXPECT_EQ(want[i], out[i]) << i;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    encodeVector(s.vec(), &nan, 1, kBinary, 0, nullptr);
    EXPECT_EQ(0, s.vec()[0]);
}

TEST(Codecs, PQNearestCentroidAndDecode) {
    // dim 4, m 2, dsub 2. Sub-space 0: centroids 3 and 5 are equally the
    // nearest to (1, 1); sub-space 1: only centroid 200 is (-2, 0.5).
    const uint32_t dim = 4, m = 2, dsub = 2;
    std::vector<float> cb(uint64_t{m} * 256 * dsub, 100.0f);
    auto cent = [&](uint32_t s, uint32_t c) { return cb.data() + (uint64_t{s} * 256 + c) * dsub; };
    cent(0, 3)[0] = 1.0f, cent(0, 3)[1] = 2.0f;
    cent(0, 5)[0] = 1.0f, cent(0, 5)[1] = 0.0f;
    cent(0, 9)[0] = 1.0f, cent(0, 9)[1] = 2.5f;
    cent(1, 200)[0] = -2.0f, cent(1, 200)[1] = 0.5f;
    const float v[4] = {1.0f, 1.0f, -2.0f, 0.5f};
    Slot s(m);
    s.vec()[m] = 0xEE;
    encodeVector(s.vec(), v, dim, kPQ, m, cb.data());
    EXPECT_EQ(3, s.vec()[0]);
    EXPECT_EQ(200, s.vec()[1]);
    EXPECT_EQ(0xEE, s.vec()[m]);
    std::vector<float> out = decode(s, dim, kPQ, m, cb.data());
    EXPECT_EQ(1.0f, out[0]);
    EXPECT_EQ(2.0f, out[1]);
    EXPECT_EQ(-2.0f, out[2]);
    EXPECT_EQ(0.5f, out[3]);
    // No codebook: dim zeros.
    for (float f : decode(s, dim, kPQ, m, nullptr)) EXPECT_EQ(0u, bits(f));
}

// The nearest-centroid search against a plain scan, and the decode of the
// codes, for every sub-vector length up to 20 (both work on eight
// components at a time where they can);
// each codebook has exact duplicates of its nearest centroid, so a tie
// that is not broken towards the lowest index shows up.
TEST(Codecs, PQEncodeMatchesPlainScan) {
    std::mt19937 rng(21);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (uint32_t dsub = 1; dsub <= 20; ++dsub) {
        const uint32_t m = 3, dim = m * dsub;
        std::vector<float> cb(uint64_t{m} * 256 * dsub);
        for (float& f : cb) f = u(rng);
        for (int trial = 0; trial < 20; ++trial) {
            std::vector<float> v(dim);
            for (float& f : v) f = u(rng);
            uint8_t want[3];
            for (uint32_t s = 0; s < m; ++s) {
                const float* sub = cb.data() + uint64_t{s} * 256 * dsub;
                uint32_t best = 0;
                float bestDist = 3.4028235e38f;
                for (uint32_t c = 0; c < 256; ++c) {
                    float dist = 0.0f;
                    for (uint32_t k = 0; k < dsub; ++k) {
                        float d = v[s * dsub + k] - sub[c * dsub + k];
                        dist = std::fma(d, d, dist);
                    }
                    if (bestDist > dist) bestDist = dist, best = c;
                }
                want[s] = static_cast<uint8_t>(best);
            }
            // Copy sub-space 1's winner to a higher and to a lower index: the
            // lower copy must now win, the higher one never.
            if (trial % 2 == 1) {
                float* sub = cb.data() + uint64_t{1} * 256 * dsub;
                uint32_t lower = want[1] / 2, higher = 255 - (255 - want[1]) / 2;
                if (lower != want[1]) {
                    std::memcpy(sub + lower * dsub, sub + want[1] * dsub, 4 * dsub);
                    want[1] = static_cast<uint8_t>(lower);
                }
                if (higher != want[1]) std::memcpy(sub + higher * dsub, sub + want[1] * dsub, 4 * dsub);
            }
            Slot slot(m);
            encodeVector(slot.vec(), v.data(), dim, kPQ, m, cb.data());
            for (uint32_t s = 0; s < m; ++s) ASSERT_EQ(want[s], slot.vec()[s]) << "dsub " << dsub << " trial " << trial;
            std::vector<float> out = decode(slot, dim, kPQ, m, cb.data());
            for (uint32_t s = 0; s < m; ++s)
                ASSERT_EQ(0, std::memcmp(out.data() + s * dsub, cb.data() + (uint64_t{s} * 256 + want[s]) * dsub, 4 * dsub))
                    << "dsub " << dsub;
        }
    }
}

TEST(Codecs, NoneReturnsSlotFloats) {
    const float v[3] = {1.5f, -2.0f, 3.25f};
    Slot s(12);
    encodeVector(s.vec(), v, 3, 0, 0, nullptr);
    EXPECT_EQ(0, std::memcmp(s.vec(), v, 12));
    for (uint32_t q : {0u, 5u, 99u}) {
        float out[3] = {9.0f, 9.0f, 9.0f};
        const float* r = getVecFloat32(s.record(), 3, q, 0, nullptr, out);
        EXPECT_EQ(reinterpret_cast<const float*>(s.vec()), r);
        EXPECT_EQ(9.0f, out[0]);
        EXPECT_EQ(9.0f, out[2]);
    }
}

}  // namespace
