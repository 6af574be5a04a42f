// Scoring kernels. Every score is a 32-bit float sum in a fixed order:
// the sequential order (one fma chain per sum, i = 0 .. n-1) or, for
// cosine and dot with useAvx2, the 8-lane order (lane l sums elements
// 8j + l over the full blocks, lanes added 0 .. 7 into +0.0, then the tail
// in index order). The block scorer keeps exactly these orders and only
// runs several records side by side, so its scores equal computeScore.
#include "core/math/score.h"
#include "core/math/simd_columns.h"

#include <immintrin.h>

#include <cmath>

namespace qarbin {
namespace {

inline float reduceLanes(__m256 acc) {
    alignas(32) float l[8];
    _mm256_store_ps(l, acc);
    float s = 0.0f;
    for (int i = 0; i < 8; ++i) s = s + l[i];
    return s;
}

inline float cosineFromSums(float dot, float sqrtNa, float nb) {
    float denom = sqrtNa * std::sqrt(nb);
    return denom > kNormEpsilon ? dot / denom : 0.0f;
}

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

// After the call r[k] lane j holds the old r[j] lane k.
inline void transpose8(__m256 r[8]) {
    __m256 t[8];
    for (int p = 0; p < 4; ++p) {
        t[2 * p] = _mm256_unpacklo_ps(r[2 * p], r[2 * p + 1]);
        t[2 * p + 1] = _mm256_unpackhi_ps(r[2 * p], r[2 * p + 1]);
    }
    __m256 u[8];
    for (int h = 0; h < 2; ++h) {
        __m256* tt = t + 4 * h;
        __m256* uu = u + 4 * h;
        uu[0] = _mm256_shuffle_ps(tt[0], tt[2], 0x44);
        uu[1] = _mm256_shuffle_ps(tt[0], tt[2], 0xEE);
        uu[2] = _mm256_shuffle_ps(tt[1], tt[3], 0x44);
        uu[3] = _mm256_shuffle_ps(tt[1], tt[3], 0xEE);
    }
    for (int k = 0; k < 4; ++k) {
        r[k] = _mm256_permute2f128_ps(u[k], u[k + 4], 0x20);
        r[k + 4] = _mm256_permute2f128_ps(u[k], u[k + 4], 0x31);
    }
}

// Loads elements i .. i+7 of eight vectors as eight columns: c[k] lane j
// is v[j][i + k].
inline void loadColumns(const float* const* v, uint32_t i, __m256 c[8]) {
    const float* r[8];
    for (int j = 0; j < 8; ++j) r[j] = v[j] + i;
    loadColumns8(r, c);
}

// The vectors of the next batch. Each stored vector starts a stream that
// the hardware prefetcher has not seen yet, so the first lines of the next
// batch's vectors are requested when a batch starts; the prefetcher carries
// each stream on from there. (Requests in step with the whole scan were no
// faster from memory and cost half again when the vectors sit in cache.)
struct Ahead {
    const float* const* v;
    uint32_t n;
    void prefetch(uint32_t dim) const {
        const uint32_t lines = dim >= 64 ? 4 : (dim + 15) / 16;
        for (uint32_t r = 0; r < n; ++r)
            for (uint32_t l = 0; l < lines; ++l)
                _mm_prefetch(reinterpret_cast<const char*>(v[r] + 16 * l), _MM_HINT_T0);
    }
};

enum class SeqKind { Manhattan, Euclidean, Dot, Cosine };

// One sequential-order step for the eight records of a column.
template <SeqKind K>
inline void seqStep(__m256 q, __m256 col, __m256& s, __m256& nb) {
    if constexpr (K == SeqKind::Manhattan) {
        const __m256 signMask = _mm256_set1_ps(-0.0f);
        s = _mm256_add_ps(s, _mm256_andnot_ps(signMask, _mm256_sub_ps(q, col)));
    } else if constexpr (K == SeqKind::Euclidean) {
        __m256 d = _mm256_sub_ps(q, col);
        s = _mm256_fmadd_ps(d, d, s);
    } else if constexpr (K == SeqKind::Dot) {
        s = _mm256_fmadd_ps(q, col, s);
    } else {
        s = _mm256_fmadd_ps(q, col, s);
        nb = _mm256_fmadd_ps(col, col, nb);
    }
}

template <SeqKind K>
inline void seqStepScalar(float q, float b, float& s, float& nb) {
    if constexpr (K == SeqKind::Manhattan) {
        s = s + std::fabs(q - b);
    } else if constexpr (K == SeqKind::Euclidean) {
        float d = q - b;
        s = std::fma(d, d, s);
    } else if constexpr (K == SeqKind::Dot) {
        s = std::fma(q, b, s);
    } else {
        s = std::fma(q, b, s);
        nb = std::fma(b, b, nb);
    }
}

// Sequential order for 8 * G records, one record per lane: the chain of a
// record is still i = 0 .. n-1, and G groups give G independent chains.
template <SeqKind K, int G>
void seqBatch(const QueryScorer& qs, const float* const* v, float* out, Ahead ahead) {
    const float* q = qs.query;
    const uint32_t n = qs.dim;
    const uint32_t full = n & ~7u;
    ahead.prefetch(n);
    __m256 s[G];
    __m256 nb[G];
    for (int g = 0; g < G; ++g) {
        s[g] = _mm256_setzero_ps();
        nb[g] = _mm256_setzero_ps();
    }
    for (uint32_t i = 0; i < full; i += 8) {
        for (int g = 0; g < G; ++g) {
            __m256 c[8];
            loadColumns(v + 8 * g, i, c);
            for (int k = 0; k < 8; ++k) seqStep<K>(_mm256_broadcast_ss(q + i + k), c[k], s[g], nb[g]);
        }
    }
    alignas(32) float ss[8 * G];
    alignas(32) float nn[8 * G];
    for (int g = 0; g < G; ++g) {
        _mm256_store_ps(ss + 8 * g, s[g]);
        _mm256_store_ps(nn + 8 * g, nb[g]);
    }
    for (uint32_t i = full; i < n; ++i)
        for (int r = 0; r < 8 * G; ++r) seqStepScalar<K>(q[i], v[r][i], ss[r], nn[r]);
    for (int r = 0; r < 8 * G; ++r) {
        if constexpr (K == SeqKind::Manhattan) {
            out[r] = -ss[r];
        } else if constexpr (K == SeqKind::Euclidean) {
            out[r] = -std::sqrt(ss[r]);
        } else if constexpr (K == SeqKind::Dot) {
            out[r] = ss[r];
        } else {
            out[r] = cosineFromSums(ss[r], qs.querySqrtNorm, nn[r]);
        }
    }
}

// 8-lane order, eight records: one 8-lane accumulator per record.
void dotLanesBatch8(const QueryScorer& qs, const float* const* v, float* out, Ahead ahead) {
    const float* q = qs.query;
    const uint32_t n = qs.dim;
    const uint32_t full = n & ~7u;
    ahead.prefetch(n);
    __m256 acc[8];
    for (int r = 0; r < 8; ++r) acc[r] = _mm256_setzero_ps();
    for (uint32_t i = 0; i < full; i += 8) {
        __m256 vq = _mm256_loadu_ps(q + i);
        for (int r = 0; r < 8; ++r) acc[r] = _mm256_fmadd_ps(vq, _mm256_loadu_ps(v[r] + i), acc[r]);
    }
    // Lane sums in lane order, eight records at once: after the transpose
    // acc[l] lane r is lane l of record r.
    transpose8(acc);
    __m256 s = _mm256_add_ps(_mm256_setzero_ps(), acc[0]);
    for (int l = 1; l < 8; ++l) s = _mm256_add_ps(s, acc[l]);
    alignas(32) float d[8];
    _mm256_store_ps(d, s);
    for (uint32_t i = full; i < n; ++i)
        for (int r = 0; r < 8; ++r) d[r] = std::fma(q[i], v[r][i], d[r]);
    for (int r = 0; r < 8; ++r) out[r] = d[r];
}

// 8-lane order cosine, eight records: sixteen accumulators. That is every
// 256-bit register, so the compiler keeps the query operand in memory;
// from cache four records would be faster, but a scan from memory gains
// more from eight streams in flight.
void cosineLanesBatch8(const QueryScorer& qs, const float* const* v, float* out, Ahead ahead) {
    const float* q = qs.query;
    const uint32_t n = qs.dim;
    const uint32_t full = n & ~7u;
    ahead.prefetch(n);
    __m256 dot[8];
    __m256 nb[8];
    for (int r = 0; r < 8; ++r) dot[r] = nb[r] = _mm256_setzero_ps();
    for (uint32_t i = 0; i < full; i += 8) {
        const __m256 vq = _mm256_loadu_ps(q + i);
        for (int r = 0; r < 8; ++r) {
            __m256 vb = _mm256_loadu_ps(v[r] + i);
            dot[r] = _mm256_fmadd_ps(vq, vb, dot[r]);
            nb[r] = _mm256_fmadd_ps(vb, vb, nb[r]);
        }
    }
    // Lane sums in lane order for eight records at once, as in dotLanesBatch8.
    transpose8(dot);
    transpose8(nb);
    __m256 sd = _mm256_add_ps(_mm256_setzero_ps(), dot[0]);
    __m256 sn = _mm256_add_ps(_mm256_setzero_ps(), nb[0]);
    for (int l = 1; l < 8; ++l) {
        sd = _mm256_add_ps(sd, dot[l]);
        sn = _mm256_add_ps(sn, nb[l]);
    }
    alignas(32) float d[8];
    alignas(32) float s[8];
    _mm256_store_ps(d, sd);
    _mm256_store_ps(s, sn);
    for (uint32_t i = full; i < n; ++i) {
        for (int r = 0; r < 8; ++r) {
            d[r] = std::fma(q[i], v[r][i], d[r]);
            s[r] = std::fma(v[r][i], v[r][i], s[r]);
        }
    }
    for (int r = 0; r < 8; ++r) out[r] = cosineFromSums(d[r], qs.querySqrtNorm, s[r]);
}

using BatchFn = void (*)(const QueryScorer&, const float* const*, float*, Ahead);

// Runs `fn` over full batches of `width` records. A short remainder is
// padded with the first vector of the call and its extra scores dropped,
// unless `singlesPay` (the 8-lane kernels, whose one-record form is nearly
// as fast per record) and it is so short that scoring its records one by
// one (the same sums) costs less than a whole padded batch. The sequential
// sums are latency-bound: a padded batch costs about one record.
void runBatches(const QueryScorer& qs, BatchFn fn, uint32_t width, const float* const* vecs, uint32_t count,
                float* out, bool singlesPay) {
    uint32_t i = 0;
    for (; i + width <= count; i += width) {
        const uint32_t next = count - (i + width);
        fn(qs, vecs + i, out + i, Ahead{vecs + i + width, next < width ? next : width});
    }
    if (i == count) return;
    if (singlesPay && count - i <= width / 4 + 1) {
        for (; i < count; ++i) out[i] = qs.score(vecs[i]);
        return;
    }
    const float* pad[16];
    float padOut[16];
    for (uint32_t r = 0; r < width; ++r) pad[r] = vecs[i + r < count ? i + r : 0];
    fn(qs, pad, padOut, Ahead{nullptr, 0});
    for (uint32_t r = 0; i + r < count; ++r) out[i + r] = padOut[r];
}

template <SeqKind K>
void runSeq(const QueryScorer& qs, const float* const* vecs, uint32_t count, float* out) {
    // Two groups of eight keep two chains in flight; a remainder of at most
    // eight records takes one group so little padding is scored.
    uint32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const uint32_t next = count - (i + 16);
        seqBatch<K, 2>(qs, vecs + i, out + i, Ahead{vecs + i + 16, next < 16 ? next : 16});
    }
    if (i < count) runBatches(qs, seqBatch<K, 1>, 8, vecs + i, count - i, out + i, false);
}

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

void QueryScorer::scoreBlock(const float* const* vecs, uint32_t count, float* out) const {
    if (count == 0) return;
    if (count == 1) {
        out[0] = score(vecs[0]);
        return;
    }
    switch (metric) {
        case DistanceMetric::Manhattan:
            runSeq<SeqKind::Manhattan>(*this, vecs, count, out);
            return;
        case DistanceMetric::Euclidean:
            runSeq<SeqKind::Euclidean>(*this, vecs, count, out);
            return;
        case DistanceMetric::Dot:
            if (useAvx2)
                runBatches(*this, dotLanesBatch8, 8, vecs, count, out, true);
            else
                runSeq<SeqKind::Dot>(*this, vecs, count, out);
            return;
        default:
            if (useAvx2)
                runBatches(*this, cosineLanesBatch8, 8, vecs, count, out, true);
            else
                runSeq<SeqKind::Cosine>(*this, vecs, count, out);
            return;
    }
}

}  // namespace qarbin

extern "C" {

__attribute__((visibility("default"))) float dot_product_avx2(const float* a, const float* b, uint32_t n) {
    const uint32_t full = n & ~7u;
    __m256 acc = _mm256_setzero_ps();
    for (uint32_t i = 0; i < full; i += 8) acc = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), acc);
    float s = qarbin::reduceLanes(acc);
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
    float d = qarbin::reduceLanes(dot);
    float sa = qarbin::reduceLanes(na);
    float sb = qarbin::reduceLanes(nb);
    for (uint32_t i = full; i < n; ++i) {
        d = std::fma(a[i], b[i], d);
        sa = std::fma(a[i], a[i], sa);
        sb = std::fma(b[i], b[i], sb);
    }
    return qarbin::cosineFromSums(d, std::sqrt(sa), sb);
}

}  // extern "C"
