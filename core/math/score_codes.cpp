// Scores of encoded vectors with the decoding fused into the sums: each
// element is decoded by the same lane operations getVecFloat32 uses and
// goes straight into the running sum, so no vector makes a round trip
// through memory and every score equals that of the decoded floats.
#include <immintrin.h>

#include <cstring>

#include "core/math/codecs.h"
#include "core/math/decode_lanes.h"
#include "core/math/score.h"
#include "core/math/score_kernels.h"

namespace qarbin {
namespace {

// c[k] lane j = element k of row j, for rows decoded into registers.
inline void rowsToColumns(__m256 c[8]) { transpose8(c); }

struct F16Rows {
    using Ptr = uint8_t;
    const uint8_t* const* v;
    F16Rows(const uint8_t* const* p, uint32_t) : v(p) {}
    void columns(int r0, uint32_t i, __m256 c[8]) const {
        for (int j = 0; j < 8; ++j) c[j] = halfLanes(v[r0 + j] + 2 * i);
        rowsToColumns(c);
    }
    __m256 load(int r, uint32_t i) const { return halfLanes(v[r] + 2 * i); }
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
    // Codes become columns first; the fused step then takes each lane's
    // own step and minimum, the same operation on the same operands.
    void columns(int r0, uint32_t i, __m256 c[8]) const {
        for (int j = 0; j < 8; ++j) {
            __m128i c8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(v[r0 + j] + 8 + i));
            c[j] = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(c8));
        }
        rowsToColumns(c);
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

struct BinaryRows {
    using Ptr = uint8_t;
    const uint8_t* const* v;
    BinaryRows(const uint8_t* const* p, uint32_t) : v(p) {}
    void columns(int r0, uint32_t i, __m256 c[8]) const {
        for (int j = 0; j < 8; ++j) c[j] = binaryLanes(v[r0 + j][i / 8]);
        rowsToColumns(c);
    }
    __m256 load(int r, uint32_t i) const { return binaryLanes(v[r][i / 8]); }
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
