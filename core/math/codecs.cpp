// Vector encodings at slot offset 128. Encoders run on the write path and
// stay scalar; decoders run for every scored record and use AVX2 where the
// element operation is a plain bit or fma step, with identical results.
#include "core/math/codecs.h"
#include "core/math/decode_lanes.h"
#include "core/math/simd_columns.h"

#include <immintrin.h>

#include <cfloat>
#include <cmath>
#include <cstring>

namespace qarbin {
namespace {

constexpr float kInt8RangeEpsilon = 1e-9f;

inline uint32_t floatBits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

inline float bitsFloat(uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

// Truncating float-to-int32 conversion: NaN and out-of-range values give
// INT32_MIN, as the processor's cvttss2si does (a C++ cast would be UB).
inline int32_t truncToInt32(float x) { return _mm_cvtt_ss2si(_mm_set_ss(x)); }

// c[kk] lane j = rows[j * rowStride + k + kk] for kk < 8: elements k .. k+7
// of eight rows, turned into columns.
inline void loadColumns(const float* rows, uint32_t rowStride, uint32_t k, __m256 c[8]) {
    const float* r[8];
    for (uint32_t j = 0; j < 8; ++j) r[j] = rows + uint64_t{j} * rowStride + k;
    loadColumns8(r, c);
}

void encodeF16(uint8_t* dst, const float* v, uint32_t dim) {
    for (uint32_t i = 0; i < dim; ++i) {
        uint16_t h = floatToHalf(v[i]);
        std::memcpy(dst + 2 * i, &h, 2);
    }
}

void encodeInt8(uint8_t* dst, const float* v, uint32_t dim) {
    float mn = v[0];
    float mx = v[0];
    for (uint32_t i = 1; i < dim; ++i) {
        if (v[i] < mn) mn = v[i];
        if (v[i] > mx) mx = v[i];
    }
    std::memcpy(dst, &mn, 4);
    std::memcpy(dst + 4, &mx, 4);
    float range = mx - mn;
    float scale = range > kInt8RangeEpsilon ? 255.0f / range : 0.0f;
    uint8_t* codes = dst + 8;
    for (uint32_t i = 0; i < dim; ++i) {
        float t = v[i] - mn;
        t = t * scale;
        t = t + 0.5f;
        int32_t c = truncToInt32(t);
        if (c < 0) c = 0;
        if (c > 255) c = 255;
        codes[i] = static_cast<uint8_t>(c);
    }
}

void encodeBinary(uint8_t* dst, const float* v, uint32_t dim) {
    std::memset(dst, 0, (dim + 7) / 8);
    for (uint32_t i = 0; i < dim; ++i)
        if (v[i] >= 0.0f) dst[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
}

void encodePQ(uint8_t* dst, const float* v, uint32_t dim, uint32_t m, const float* codebook) {
    const uint32_t dsub = dim / m;
    for (uint32_t s = 0; s < m; ++s)
        dst[s] = static_cast<uint8_t>(nearestCentroid(v + s * dsub, codebook + uint64_t{s} * kPqCentroids * dsub, dsub));
}

void decodeF16(const uint8_t* src, uint32_t dim, float* out) {
    uint32_t i = 0;
    for (; i + 8 <= dim; i += 8) _mm256_storeu_ps(out + i, halfLanes(src + 2 * i));
    for (; i < dim; ++i) {
        uint16_t h;
        std::memcpy(&h, src + 2 * i, 2);
        out[i] = halfToFloat(h);
    }
}

void decodeInt8(const uint8_t* src, uint32_t dim, float* out) {
    float mn;
    float mx;
    std::memcpy(&mn, src, 4);
    std::memcpy(&mx, src + 4, 4);
    const float step = (mx - mn) / 255.0f;
    const uint8_t* codes = src + 8;
    uint32_t i = 0;
    const __m256 vstep = _mm256_set1_ps(step);
    const __m256 vmin = _mm256_set1_ps(mn);
    for (; i + 8 <= dim; i += 8) _mm256_storeu_ps(out + i, int8Lanes(codes + i, vstep, vmin));
    for (; i < dim; ++i) out[i] = std::fma(static_cast<float>(codes[i]), step, mn);
}

void decodeBinary(const uint8_t* src, uint32_t dim, float* out) {
    uint32_t i = 0;
    for (; i + 8 <= dim; i += 8) _mm256_storeu_ps(out + i, binaryLanes(src[i / 8]));
    for (; i < dim; ++i) out[i] = (src[i / 8] >> (i % 8)) & 1u ? 1.0f : -1.0f;
}

void decodePQ(const uint8_t* src, uint32_t dim, uint32_t m, const float* codebook, float* out) {
    if (codebook == nullptr || m == 0) {
        std::memset(out, 0, sizeof(float) * dim);
        return;
    }
    const uint32_t dsub = dim / m;
    if (dsub % 8 == 0) {
        // Whole 256-bit moves instead of a library call per sub-vector.
        for (uint32_t s = 0; s < m; ++s) {
            const float* c = codebook + (uint64_t{s} * kPqCentroids + src[s]) * dsub;
            float* o = out + uint64_t{s} * dsub;
            for (uint32_t k = 0; k < dsub; k += 8) _mm256_storeu_ps(o + k, _mm256_loadu_ps(c + k));
        }
        return;
    }
    for (uint32_t s = 0; s < m; ++s) {
        const float* c = codebook + (uint64_t{s} * kPqCentroids + src[s]) * dsub;
        std::memcpy(out + s * dsub, c, sizeof(float) * dsub);
    }
}

}  // namespace

uint64_t encodedBytes(uint32_t dim, uint32_t quantization, uint32_t pqSubvectors) {
    switch (static_cast<Quantization>(quantization)) {
        case Quantization::F16:
            return uint64_t{2} * dim;
        case Quantization::Int8:
            return uint64_t{dim} + 8;
        case Quantization::Binary:
            return (uint64_t{dim} + 7) / 8;
        case Quantization::PQ:
            return pqSubvectors;
        default:
            return uint64_t{4} * dim;
    }
}

uint16_t floatToHalf(float f) {
    const uint32_t x = floatBits(f);
    const uint16_t sign = static_cast<uint16_t>((x >> 16) & 0x8000u);
    const uint32_t e = (x >> 23) & 0xFFu;
    if (e <= 112) return sign;
    if (e <= 142) return static_cast<uint16_t>(sign | ((e - 112) << 10) | ((x >> 13) & 0x3FFu));
    return static_cast<uint16_t>(sign | 0x7C00u);
}

float halfToFloat(uint16_t h) {
    const uint32_t sign = uint32_t{h & 0x8000u} << 16;
    const uint32_t e = (h >> 10) & 0x1Fu;
    const uint32_t frac = h & 0x3FFu;
    if (e == 0) return bitsFloat(sign);
    if (e == 31) return bitsFloat(sign | 0x7F800000u | (frac << 13));
    return bitsFloat(sign | ((e + 112) << 23) | (frac << 13));
}

uint32_t nearestCentroid(const float* x, const float* centroids, uint32_t dsub) {
    // Centroids side by side, one lane each: lane j's distance is still the
    // fma chain over k = 0 .. dsub-1 in order. Four groups of eight keep
    // four chains in flight; the comparisons then run in centroid order.
    constexpr uint32_t kGroups = 4;
    const uint32_t fullK = dsub & ~7u;
    const __m256i gatherIdx = _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                                                 _mm256_set1_epi32(static_cast<int>(dsub)));
    uint32_t best = 0;
    float bestDist = FLT_MAX;
    for (uint32_t c0 = 0; c0 < kPqCentroids; c0 += 8 * kGroups) {
        const float* g = centroids + uint64_t{c0} * dsub;
        const uint32_t groupStride = 8 * dsub;
        __m256 acc[kGroups];
        for (uint32_t t = 0; t < kGroups; ++t) acc[t] = _mm256_setzero_ps();
        for (uint32_t k = 0; k < fullK; k += 8) {
            for (uint32_t t = 0; t < kGroups; ++t) {
                __m256 col[8];
                loadColumns(g + uint64_t{t} * groupStride, dsub, k, col);
                for (uint32_t kk = 0; kk < 8; ++kk) {
                    __m256 d = _mm256_sub_ps(_mm256_broadcast_ss(x + k + kk), col[kk]);
                    acc[t] = _mm256_fmadd_ps(d, d, acc[t]);
                }
            }
        }
        for (uint32_t k = fullK; k < dsub; ++k) {
            const __m256 xk = _mm256_broadcast_ss(x + k);
            for (uint32_t t = 0; t < kGroups; ++t) {
                __m256 col = _mm256_i32gather_ps(g + uint64_t{t} * groupStride + k, gatherIdx, 4);
                __m256 d = _mm256_sub_ps(xk, col);
                acc[t] = _mm256_fmadd_ps(d, d, acc[t]);
            }
        }
        alignas(32) float dist[8 * kGroups];
        for (uint32_t t = 0; t < kGroups; ++t) _mm256_store_ps(dist + 8 * t, acc[t]);
        for (uint32_t j = 0; j < 8 * kGroups; ++j) {
            if (bestDist > dist[j]) {
                bestDist = dist[j];
                best = c0 + j;
            }
        }
    }
    return best;
}

void encodeVector(uint8_t* dst, const float* v, uint32_t dim, uint32_t quantization, uint32_t pqSubvectors,
                  const float* codebook) {
    if (dim == 0) return;
    switch (static_cast<Quantization>(quantization)) {
        case Quantization::F16:
            encodeF16(dst, v, dim);
            return;
        case Quantization::Int8:
            encodeInt8(dst, v, dim);
            return;
        case Quantization::Binary:
            encodeBinary(dst, v, dim);
            return;
        case Quantization::PQ:
            if (pqSubvectors == 0 || codebook == nullptr) return;
            encodePQ(dst, v, dim, pqSubvectors, codebook);
            return;
        default:
            std::memcpy(dst, v, sizeof(float) * dim);
            return;
    }
}

void prefetchVector(const Record* r, uint64_t vecBytes) {
    const char* p = reinterpret_cast<const char*>(r) + kSlotHeaderBytes;
    const uint64_t n = vecBytes < kPrefetchVectorBytes ? vecBytes : kPrefetchVectorBytes;
    for (uint64_t off = 0; off < n; off += 64) _mm_prefetch(p + off, _MM_HINT_T0);
}

const float* getVecFloat32(const Record* record, uint32_t dim, uint32_t quantization, uint32_t pqSubvectors,
                           const float* codebook, float* out) {
    return decodeVector(reinterpret_cast<const uint8_t*>(record) + kSlotHeaderBytes, dim, quantization, pqSubvectors,
                        codebook, out);
}

const float* decodeVector(const uint8_t* src, uint32_t dim, uint32_t quantization, uint32_t pqSubvectors,
                          const float* codebook, float* out) {
    switch (static_cast<Quantization>(quantization)) {
        case Quantization::F16:
            decodeF16(src, dim, out);
            return out;
        case Quantization::Int8:
            if (dim != 0) decodeInt8(src, dim, out);
            return out;
        case Quantization::Binary:
            decodeBinary(src, dim, out);
            return out;
        case Quantization::PQ:
            decodePQ(src, dim, pqSubvectors, codebook, out);
            return out;
        default:
            return reinterpret_cast<const float*>(src);
    }
}

}  // namespace qarbin
