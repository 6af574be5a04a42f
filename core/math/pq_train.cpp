// Product-quantization codebook training: deterministic k-means with 256
// centroids in each sub-space.
#include <immintrin.h>

#include <cfloat>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "core/math/codecs.h"
#include "core/math/pq_train.h"

namespace qarbin {

namespace {

constexpr int kKmeansIterations = 20;
constexpr uint32_t kLanes = 8;

// The working rows of one sub-space are kept eight rows side by side:
// element k of row i is at rows[((i / 8) * dsub + k) * 8 + i % 8], so one
// 256-bit load holds element k of eight rows and the assignment step runs
// eight rows per instruction, each lane with its own in-order fma chain.
inline float rowElement(const float* rows, uint32_t dsub, uint32_t i, uint32_t k) {
    return rows[(uint64_t{i / kLanes} * dsub + k) * kLanes + i % kLanes];
}

// Nearest centroid of each of the eight rows of block b: squared distance
// as an fma chain over k in order, a centroid taken only when strictly
// nearer (ties keep the lowest index). Four centroids at a time keep four
// chains in flight; they are compared in index order.
void assignBlock(const float* block, uint32_t dsub, const float* centroids, uint32_t* bestOut) {
    __m256 bestDist = _mm256_set1_ps(FLT_MAX);
    __m256i best = _mm256_setzero_si256();
    for (uint32_t c = 0; c < kPqCentroids; c += 4) {
        const float* c0 = centroids + uint64_t{c} * dsub;
        __m256 acc[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
        for (uint32_t k = 0; k < dsub; ++k) {
            const __m256 r = _mm256_load_ps(block + uint64_t{k} * kLanes);
            for (uint32_t t = 0; t < 4; ++t) {
                __m256 d = _mm256_sub_ps(r, _mm256_broadcast_ss(c0 + uint64_t{t} * dsub + k));
                acc[t] = _mm256_fmadd_ps(d, d, acc[t]);
            }
        }
        for (uint32_t t = 0; t < 4; ++t) {
            const __m256 nearer = _mm256_cmp_ps(bestDist, acc[t], _CMP_GT_OQ);
            bestDist = _mm256_blendv_ps(bestDist, acc[t], nearer);
            best = _mm256_castps_si256(_mm256_blendv_ps(
                _mm256_castsi256_ps(best), _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(c + t))), nearer));
        }
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(bestOut), best);
}

// One sub-space. rows: the interleaved working rows (n rounded up to a
// multiple of 8); centroids: 256 * dsub floats in the codebook area,
// updated in place; assign: n bytes; sums: 256 * dsub floats; counts: 256.
void trainSubspace(const float* rows, uint32_t n, uint32_t dsub, float* centroids, uint8_t* assign, float* sums,
                   uint32_t* counts) {
    for (uint32_t c = 0; c < kPqCentroids; ++c)
        for (uint32_t k = 0; k < dsub; ++k) centroids[uint64_t{c} * dsub + k] = rowElement(rows, dsub, c % n, k);
    const uint32_t blocks = (n + kLanes - 1) / kLanes;
    for (int it = 0; it < kKmeansIterations; ++it) {
        for (uint32_t b = 0; b < blocks; ++b) {
            alignas(32) uint32_t best[kLanes];
            assignBlock(rows + uint64_t{b} * dsub * kLanes, dsub, centroids, best);
            for (uint32_t j = 0; j < kLanes && b * kLanes + j < n; ++j)
                assign[b * kLanes + j] = static_cast<uint8_t>(best[j]);
        }
        std::memset(sums, 0, sizeof(float) * kPqCentroids * dsub);
        std::memset(counts, 0, sizeof(uint32_t) * kPqCentroids);
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t a = assign[i];
            counts[a] += 1;
            float* sum = sums + uint64_t{a} * dsub;
            for (uint32_t k = 0; k < dsub; ++k) sum[k] = sum[k] + rowElement(rows, dsub, i, k);
        }
        for (uint32_t c = 0; c < kPqCentroids; ++c) {
            if (counts[c] == 0) continue;  // an empty cluster keeps its centroid
            const float cnt = static_cast<float>(counts[c]);
            float* cent = centroids + uint64_t{c} * dsub;
            const float* sum = sums + uint64_t{c} * dsub;
            for (uint32_t k = 0; k < dsub; ++k) cent[k] = sum[k] / cnt;
        }
    }
}

// 32-byte aligned float storage for the interleaved rows.
struct AlignedFloats {
    float* p = nullptr;
    explicit AlignedFloats(uint64_t count) {
        p = static_cast<float*>(std::aligned_alloc(32, ((count * sizeof(float)) + 31) & ~uint64_t{31}));
    }
    ~AlignedFloats() { std::free(p); }
    AlignedFloats(const AlignedFloats&) = delete;
    AlignedFloats& operator=(const AlignedFloats&) = delete;
};

}  // namespace

// vectors: n * dim floats, row i at i * dim; codebook: 256 * dim floats,
// written only on success. Returns -1 for m 0 or not dividing dim, no
// vectors, or when the working memory cannot be allocated.
int trainCodebook(const float* vectors, uint32_t n, uint32_t dim, uint32_t m, float* codebook) {
    if (m == 0 || dim == 0 || dim % m != 0 || vectors == nullptr || n == 0 || codebook == nullptr) return -1;
    const uint32_t dsub = dim / m;

    const uint64_t paddedRows = (uint64_t{n} + kLanes - 1) / kLanes * kLanes;
    AlignedFloats rows(paddedRows * dsub);
    if (rows.p == nullptr) return -1;
    std::vector<uint8_t> assign;
    std::vector<float> sums;
    std::vector<uint32_t> counts;
    try {
        assign.resize(n);
        sums.resize(uint64_t{kPqCentroids} * dsub);
        counts.resize(kPqCentroids);
    } catch (...) {
        return -1;
    }

    for (uint32_t s = 0; s < m; ++s) {
        // Padding lanes past n take row 0; their assignments are dropped.
        for (uint64_t i = 0; i < paddedRows; ++i) {
            const float* src = vectors + (i < n ? i : 0) * dim + uint64_t{s} * dsub;
            float* dst = rows.p + (i / kLanes) * dsub * kLanes + i % kLanes;
            for (uint32_t k = 0; k < dsub; ++k) dst[uint64_t{k} * kLanes] = src[k];
        }
        trainSubspace(rows.p, n, dsub, codebook + uint64_t{s} * kPqCentroids * dsub, assign.data(), sums.data(),
                      counts.data());
    }
    return 0;
}

}  // namespace qarbin
