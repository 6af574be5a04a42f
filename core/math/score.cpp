// Scoring kernels. Every score is a 32-bit float sum in a fixed order:
// the sequential order (one fma chain per sum, i = 0 .. n-1) or, for
// cosine and dot with useAvx2, the 8-lane order (lane l sums elements
// 8j + l over the full blocks, lanes added 0 .. 7 into +0.0, then the tail
// in index order). The block scorer keeps exactly these orders and only
// runs several records side by side, so its scores equal computeScore.
#include "core/math/score.h"
#include "core/math/score_kernels.h"

#include <immintrin.h>

#include <cmath>

namespace qarbin {
namespace {

using kernels::cosineFromSums;
using kernels::reduceLanes;

float manhattanSeq(const float* a, const float* b, uint32_t n) {
    float s = 0.0f;
    for (uint32_t i = 0; i < n; ++i) s = s + std::fabs(a[i] - b[i]);
    return -s;
}

float euclideanSeq(const float* a, const float* b, uint32_t n) {
    float s = 0.0f;
    for (uint32_t i = 0; i < n; ++i) {
        float d = a[i] - b[i];
        s = std::fma(d, d, s);
    }
    return -std::sqrt(s);
}

float dotSeq(const float* a, const float* b, uint32_t n) {
    float s = 0.0f;
    for (uint32_t i = 0; i < n; ++i) s = std::fma(a[i], b[i], s);
    return s;
}

float normSqSeq(const float* a, uint32_t n) {
    float s = 0.0f;
    for (uint32_t i = 0; i < n; ++i) s = std::fma(a[i], a[i], s);
    return s;
}

float normSqLanes(const float* a, uint32_t n) {
    const uint32_t full = n & ~7u;
    __m256 acc = _mm256_setzero_ps();
    for (uint32_t i = 0; i < full; i += 8) {
        __m256 va = _mm256_loadu_ps(a + i);
        acc = _mm256_fmadd_ps(va, va, acc);
    }
    float s = reduceLanes(acc);
    for (uint32_t i = full; i < n; ++i) s = std::fma(a[i], a[i], s);
    return s;
}

// dot and ||b||^2 in the 8-lane order.
inline void dotNormLanes(const float* a, const float* b, uint32_t n, float* dotOut, float* nbOut) {
    const uint32_t full = n & ~7u;
    __m256 dot = _mm256_setzero_ps();
    __m256 nb = _mm256_setzero_ps();
    for (uint32_t i = 0; i < full; i += 8) {
        __m256 va = _mm256_loadu_ps(a + i);
        __m256 vb = _mm256_loadu_ps(b + i);
        dot = _mm256_fmadd_ps(va, vb, dot);
        nb = _mm256_fmadd_ps(vb, vb, nb);
    }
    float d = reduceLanes(dot);
    float s = reduceLanes(nb);
    for (uint32_t i = full; i < n; ++i) {
        d = std::fma(a[i], b[i], d);
        s = std::fma(b[i], b[i], s);
    }
    *dotOut = d;
    *nbOut = s;
}

inline void dotNormSeq(const float* a, const float* b, uint32_t n, float* dotOut, float* nbOut) {
    float d = 0.0f;
    float s = 0.0f;
    for (uint32_t i = 0; i < n; ++i) {
        d = std::fma(a[i], b[i], d);
        s = std::fma(b[i], b[i], s);
    }
    *dotOut = d;
    *nbOut = s;
}

// Stored 32-bit floats, scored where they lie.
struct F32Rows {
    using Ptr = float;
    const float* const* v;
    F32Rows(const float* const* p, uint32_t) : v(p) {}
    void columns(int r0, uint32_t i, __m256 c[8]) const {
        const float* r[8];
        for (int j = 0; j < 8; ++j) r[j] = v[r0 + j] + i;
        loadColumns8(r, c);
    }
    __m256 load(int r, uint32_t i) const { return _mm256_loadu_ps(v[r] + i); }
    float at(int r, uint32_t i) const { return v[r][i]; }
    static float single(const QueryScorer& qs, const float* b) { return qs.score(b); }
};

}  // namespace

float computeScore(const float* a, const float* b, uint32_t n, DistanceMetric metric, bool useAvx2) {
    switch (metric) {
        case DistanceMetric::Dot:
            return useAvx2 ? dot_product_avx2(a, b, n) : dotSeq(a, b, n);
        case DistanceMetric::Euclidean:
            return euclideanSeq(a, b, n);
        case DistanceMetric::Manhattan:
            return manhattanSeq(a, b, n);
        default:
            break;
    }
    if (useAvx2) return cosine_similarity_avx2(a, b, n);
    float dot;
    float nb;
    dotNormSeq(a, b, n, &dot, &nb);
    return cosineFromSums(dot, std::sqrt(normSqSeq(a, n)), nb);
}

void QueryScorer::init(const float* q, uint32_t n, DistanceMetric m, bool avx2) {
    query = q;
    dim = n;
    switch (m) {
        case DistanceMetric::Dot:
        case DistanceMetric::Euclidean:
        case DistanceMetric::Manhattan:
            metric = m;
            break;
        default:
            metric = DistanceMetric::Cosine;
            break;
    }
    useAvx2 = avx2;
    // Only the cosine needs the query's norm.
    queryNormSq = 0.0f;
    if (metric == DistanceMetric::Cosine) queryNormSq = avx2 ? normSqLanes(q, n) : normSqSeq(q, n);
    querySqrtNorm = std::sqrt(queryNormSq);
}

float QueryScorer::score(const float* b) const {
    switch (metric) {
        case DistanceMetric::Dot:
            return useAvx2 ? dot_product_avx2(query, b, dim) : dotSeq(query, b, dim);
        case DistanceMetric::Euclidean:
            return euclideanSeq(query, b, dim);
        case DistanceMetric::Manhattan:
            return manhattanSeq(query, b, dim);
        default:
            break;
    }
    float dot;
    float nb;
    if (useAvx2)
        dotNormLanes(query, b, dim, &dot, &nb);
    else
        dotNormSeq(query, b, dim, &dot, &nb);
    return cosineFromSums(dot, querySqrtNorm, nb);
}

QueryScorer QueryScorer::dotPart() const {
    QueryScorer d = *this;
    d.metric = DistanceMetric::Dot;
    return d;
}

// cosineFromSums with sqrt(nb) already taken: the same product, the same quotient.
float QueryScorer::cosineWithNorm(float dot, float norm) const {
    const float denom = querySqrtNorm * norm;
    return denom > kNormEpsilon ? dot / denom : 0.0f;
}

float storedNorm(const float* v, uint32_t n, bool useAvx2) {
    return std::sqrt(useAvx2 ? normSqLanes(v, n) : normSqSeq(v, n));
}

void QueryScorer::scoreBlock(const float* const* vecs, uint32_t count, float* out) const {
    // Lines worth requesting ahead: up to four, fewer for short vectors.
    const uint32_t lines = dim >= 64 ? 4 : (dim + 15) / 16;
    kernels::scoreRows<F32Rows>(*this, vecs, count, out, lines);
}

}  // namespace qarbin

extern "C" {

__attribute__((visibility("default"))) float dot_product_avx2(const float* a, const float* b, uint32_t n) {
    const uint32_t full = n & ~7u;
    __m256 acc = _mm256_setzero_ps();
    for (uint32_t i = 0; i < full; i += 8) acc = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), acc);
    float s = qarbin::kernels::reduceLanes(acc);
    for (uint32_t i = full; i < n; ++i) s = std::fma(a[i], b[i], s);
    return s;
}

__attribute__((visibility("default"))) float cosine_similarity_avx2(const float* a, const float* b, uint32_t n) {
    const uint32_t full = n & ~7u;
    __m256 dot = _mm256_setzero_ps();
    __m256 na = _mm256_setzero_ps();
    __m256 nb = _mm256_setzero_ps();
    for (uint32_t i = 0; i < full; i += 8) {
        __m256 va = _mm256_loadu_ps(a + i);
        __m256 vb = _mm256_loadu_ps(b + i);
        dot = _mm256_fmadd_ps(va, vb, dot);
        na = _mm256_fmadd_ps(va, va, na);
        nb = _mm256_fmadd_ps(vb, vb, nb);
    }
    float d = qarbin::kernels::reduceLanes(dot);
    float sa = qarbin::kernels::reduceLanes(na);
    float sb = qarbin::kernels::reduceLanes(nb);
    for (uint32_t i = full; i < n; ++i) {
        d = std::fma(a[i], b[i], d);
        sa = std::fma(a[i], a[i], sa);
        sb = std::fma(b[i], b[i], sb);
    }
    return qarbin::kernels::cosineFromSums(d, std::sqrt(sa), sb);
}

}  // extern "C"
