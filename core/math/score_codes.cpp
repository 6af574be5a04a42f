// Scores of encoded vectors with the decoding fused into the sums: each
// element is decoded by the same lane operations getVecFloat32 uses and
// goes straight into the running sum, so no vector makes a round trip
// through memory and every score equals that of the decoded floats.
//
// Halves convert with F16C, which every processor with AVX2 and FMA has;
// the rest of the library keeps to AVX2 and FMA, so only this file is
// built with -mf16c (CMakeLists.txt and Makefile.frag; clang ignores a
// target pragma). Built without it, halves take the decoder's lane
// operations instead: the same values, only slower.
#include <immintrin.h>

#include <cstring>

#include "core/math/codecs.h"
#include "core/math/decode_lanes.h"
#include "core/math/score.h"
#include "core/math/score_kernels.h"

namespace qarbin {
namespace {

// vcvtph2ps, then half subnormals (below 2^-14 once converted) cleared to
// their signed zero: the value halfLanes and the decoder give, bit for bit
// (a NaN keeps its payload; only its quiet bit may differ, which no sum
// can tell).
inline __m256 halfToFloats(__m128i h) {
#ifdef __F16C__
    const __m256 sign = _mm256_set1_ps(-0.0f);
    const __m256 f = _mm256_cvtph_ps(h);
    const __m256 tiny = _mm256_cmp_ps(_mm256_andnot_ps(sign, f), _mm256_set1_ps(0x1p-14f), _CMP_LT_OQ);
    return _mm256_andnot_ps(_mm256_andnot_ps(sign, tiny), f);
#else
    return halfLanesOf(h);
#endif
}

inline __m128i loadHalves(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

struct F16Rows {
    using Ptr = uint8_t;
    const uint8_t* const* v;
    F16Rows(const uint8_t* const* p, uint32_t) : v(p) {}
    // The 16-bit codes are turned into columns first (a transpose of
    // 128-bit rows), then each column converts in one step.
    void columns(int r0, uint32_t i, __m256 c[8]) const {
        __m128i t[8];
        for (int j = 0; j < 4; ++j) {
            const __m128i a = loadHalves(v[r0 + 2 * j] + 2 * i);
            const __m128i b = loadHalves(v[r0 + 2 * j + 1] + 2 * i);
            t[2 * j] = _mm_unpacklo_epi16(a, b);
            t[2 * j + 1] = _mm_unpackhi_epi16(a, b);
        }
        __m128i u[8];
        for (int h = 0; h < 2; ++h) {
            const __m128i* tt = t + 4 * h;
            u[4 * h + 0] = _mm_unpacklo_epi32(tt[0], tt[2]);
            u[4 * h + 1] = _mm_unpackhi_epi32(tt[0], tt[2]);
            u[4 * h + 2] = _mm_unpacklo_epi32(tt[1], tt[3]);
            u[4 * h + 3] = _mm_unpackhi_epi32(tt[1], tt[3]);
        }
        for (int k = 0; k < 4; ++k) {
            c[2 * k] = halfToFloats(_mm_unpacklo_epi64(u[k], u[k + 4]));
            c[2 * k + 1] = halfToFloats(_mm_unpackhi_epi64(u[k], u[k + 4]));
        }
    }
    __m256 load(int r, uint32_t i) const { return halfToFloats(loadHalves(v[r] + 2 * i)); }
    float at(int r, uint32_t i) const {
        uint16_t h;
        std::memcpy(&h, v[r] + 2 * i, 2);
        return halfToFloat(h);
    }
    static float single(const QueryScorer& qs, const uint8_t* b) { return kernels::scoreOne(qs, F16Rows(&b, 1), 0); }
};

// Codes after an 8-byte header (min, max); a row's step is computed once
// per batch exactly as the decoder computes it.
struct Int8Rows {
    using Ptr = uint8_t;
    const uint8_t* const* v;
    alignas(32) float step[16];
    alignas(32) float mn[16];
    Int8Rows(const uint8_t* const* p, uint32_t count) : v(p) {
        for (uint32_t r = 0; r < count; ++r) {
            float mx;
            std::memcpy(&mn[r], p[r], 4);
            std::memcpy(&mx, p[r] + 4, 4);
            step[r] = (mx - mn[r]) / 255.0f;
        }
    }
    // The 8 x 8 code bytes are turned into columns as bytes (three rounds
    // of byte, word and doubleword interleaves, a third of the shuffles of
    // a float transpose); the fused step then takes each lane's own step
    // and minimum, the same operation on the same operands.
    void columns(int r0, uint32_t i, __m256 c[8]) const {
        __m128i r[8];
        for (int j = 0; j < 8; ++j) r[j] = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(v[r0 + j] + 8 + i));
        // t[p]: rows 2p, 2p+1 interleaved by byte (element k of both at 2k).
        __m128i t[4];
        for (int p = 0; p < 4; ++p) t[p] = _mm_unpacklo_epi8(r[2 * p], r[2 * p + 1]);
        // u: rows 0-3 (u[0], u[1]) and 4-7 (u[2], u[3]) by element pairs.
        const __m128i u[4] = {_mm_unpacklo_epi16(t[0], t[1]), _mm_unpackhi_epi16(t[0], t[1]),
                              _mm_unpacklo_epi16(t[2], t[3]), _mm_unpackhi_epi16(t[2], t[3])};
        // w[h]: elements 2h and 2h+1 of rows 0-7 (8 bytes each).
        const __m128i w[4] = {_mm_unpacklo_epi32(u[0], u[2]), _mm_unpackhi_epi32(u[0], u[2]),
                              _mm_unpacklo_epi32(u[1], u[3]), _mm_unpackhi_epi32(u[1], u[3])};
        for (int h = 0; h < 4; ++h) {
            c[2 * h] = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(w[h]));
            c[2 * h + 1] = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_unpackhi_epi64(w[h], w[h])));
        }
        const __m256 s = _mm256_load_ps(step + r0);
        const __m256 m = _mm256_load_ps(mn + r0);
        for (int k = 0; k < 8; ++k) c[k] = _mm256_fmadd_ps(c[k], s, m);
    }
    __m256 load(int r, uint32_t i) const {
        return int8Lanes(v[r] + 8 + i, _mm256_broadcast_ss(step + r), _mm256_broadcast_ss(mn + r));
    }
    float at(int r, uint32_t i) const { return std::fma(static_cast<float>(v[r][8 + i]), step[r], mn[r]); }
    static float single(const QueryScorer& qs, const uint8_t* b) { return kernels::scoreOne(qs, Int8Rows(&b, 1), 0); }
};

// Eight +1/-1 floats for each byte: bit k set gives +1 in lane k, as
// binaryLanes decodes it; one load instead of a compare and a blend.
struct SignTable {
    alignas(32) float v[256][8];
};
constexpr SignTable makeSignTable() {
    SignTable t{};
    for (int b = 0; b < 256; ++b)
        for (int k = 0; k < 8; ++k) t.v[b][k] = (b >> k) & 1 ? 1.0f : -1.0f;
    return t;
}
constexpr SignTable kSigns = makeSignTable();

// Byte j bit k of x becomes byte k bit j: an 8 x 8 bit matrix transposed
// by three exchanges of its off-diagonal blocks.
inline uint64_t transposeBits8(uint64_t x) {
    uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
    x = x ^ t ^ (t << 7);
    t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
    x = x ^ t ^ (t << 14);
    t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
    return x ^ t ^ (t << 28);
}

struct BinaryRows {
    using Ptr = uint8_t;
    const uint8_t* const* v;
    BinaryRows(const uint8_t* const* p, uint32_t) : v(p) {}
    // The eight rows' bytes turned into eight column bytes (bit j of column
    // k: bit k of row j), each then one table load.
    void columns(int r0, uint32_t i, __m256 c[8]) const {
        uint64_t x = 0;
        for (int j = 0; j < 8; ++j) x |= uint64_t{v[r0 + j][i / 8]} << (8 * j);
        x = transposeBits8(x);
        for (int k = 0; k < 8; ++k) c[k] = _mm256_load_ps(kSigns.v[(x >> (8 * k)) & 0xFF]);
    }
    __m256 load(int r, uint32_t i) const { return _mm256_load_ps(kSigns.v[v[r][i / 8]]); }
    float at(int r, uint32_t i) const { return (v[r][i / 8] >> (i % 8)) & 1u ? 1.0f : -1.0f; }
    static float single(const QueryScorer& qs, const uint8_t* b) {
        return kernels::scoreOne(qs, BinaryRows(&b, 1), 0);
    }
};

}  // namespace

bool QueryScorer::scoresCodes(uint32_t quantization) {
    switch (static_cast<Quantization>(quantization)) {
        case Quantization::F16:
        case Quantization::Int8:
        case Quantization::Binary:
            return true;
        default:
            return false;
    }
}

void QueryScorer::scoreCodes(const uint8_t* const* codes, uint32_t count, uint32_t quantization, float* out) const {
    const uint64_t bytes = encodedBytes(dim, quantization, 0);
    const uint32_t lines = static_cast<uint32_t>(bytes >= 256 ? 4 : (bytes + 63) / 64);
    switch (static_cast<Quantization>(quantization)) {
        case Quantization::F16:
            kernels::scoreRows<F16Rows>(*this, codes, count, out, lines);
            return;
        case Quantization::Int8:
            kernels::scoreRows<Int8Rows>(*this, codes, count, out, lines);
            return;
        case Quantization::Binary:
            kernels::scoreRows<BinaryRows>(*this, codes, count, out, lines);
            return;
        default:
            for (uint32_t i = 0; i < count; ++i) out[i] = 0.0f;
            return;
    }
}

}  // namespace qarbin
