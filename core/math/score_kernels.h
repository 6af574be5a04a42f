// The block-scoring kernels behind QueryScorer, written once over a row
// source: stored floats (score.cpp) or codes decoded lane by lane on the
// way into the sums (score_codes.cpp). A row source gives
//   columns(r0, i, c): c[k] lane j = element i + k of row r0 + j
//   load(r, i):        elements i .. i+7 of row r
//   at(r, i):          element i of row r
// each the value getVecFloat32 decodes, so a sum over a source is the sum
// over the decoded floats in the same order, bit for bit.
#pragma once

#include <immintrin.h>

#include <cmath>
#include <cstdint>

#include "core/math/score.h"
#include "core/math/simd_columns.h"

namespace qarbin {
namespace kernels {

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

// The rows of the next batch. Each stored vector starts a stream that the
// hardware prefetcher has not seen yet, so the first `lines` cache lines of
// the next batch's rows are requested when a batch starts; the prefetcher
// carries each stream on from there.
template <class P>
struct Ahead {
    const P* const* v;
    uint32_t n;
    uint32_t lines;
    void prefetch() const {
        for (uint32_t r = 0; r < n; ++r)
            for (uint32_t l = 0; l < lines; ++l)
                _mm_prefetch(reinterpret_cast<const char*>(v[r]) + 64 * l, _MM_HINT_T0);
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

template <SeqKind K>
inline float seqFinish(const QueryScorer& qs, float s, float nb) {
    if constexpr (K == SeqKind::Manhattan) {
        return -s;
    } else if constexpr (K == SeqKind::Euclidean) {
        return -std::sqrt(s);
    } else if constexpr (K == SeqKind::Dot) {
        return s;
    } else {
        return cosineFromSums(s, qs.querySqrtNorm, nb);
    }
}

// Sequential order for 8 * G records, one record per lane: the chain of a
// record is still i = 0 .. n-1, and G groups give G independent chains.
template <SeqKind K, int G, class Rows>
void seqBatch(const QueryScorer& qs, const Rows& v, float* out, Ahead<typename Rows::Ptr> ahead) {
    const float* q = qs.query;
    const uint32_t n = qs.dim;
    const uint32_t full = n & ~7u;
    ahead.prefetch();
    __m256 s[G];
    __m256 nb[G];
    for (int g = 0; g < G; ++g) {
        s[g] = _mm256_setzero_ps();
        nb[g] = _mm256_setzero_ps();
    }
    for (uint32_t i = 0; i < full; i += 8) {
        for (int g = 0; g < G; ++g) {
            __m256 c[8];
            v.columns(8 * g, i, c);
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
        for (int r = 0; r < 8 * G; ++r) seqStepScalar<K>(q[i], v.at(r, i), ss[r], nn[r]);
    for (int r = 0; r < 8 * G; ++r) out[r] = seqFinish<K>(qs, ss[r], nn[r]);
}

// 8-lane order, eight records: one 8-lane accumulator per record.
template <class Rows>
void dotLanesBatch8(const QueryScorer& qs, const Rows& v, float* out, Ahead<typename Rows::Ptr> ahead) {
    const float* q = qs.query;
    const uint32_t n = qs.dim;
    const uint32_t full = n & ~7u;
    ahead.prefetch();
    __m256 acc[8];
    for (int r = 0; r < 8; ++r) acc[r] = _mm256_setzero_ps();
    for (uint32_t i = 0; i < full; i += 8) {
        __m256 vq = _mm256_loadu_ps(q + i);
        for (int r = 0; r < 8; ++r) acc[r] = _mm256_fmadd_ps(vq, v.load(r, i), acc[r]);
    }
    // Lane sums in lane order, eight records at once: after the transpose
    // acc[l] lane r is lane l of record r.
    transpose8(acc);
    __m256 s = _mm256_add_ps(_mm256_setzero_ps(), acc[0]);
    for (int l = 1; l < 8; ++l) s = _mm256_add_ps(s, acc[l]);
    alignas(32) float d[8];
    _mm256_store_ps(d, s);
    for (uint32_t i = full; i < n; ++i)
        for (int r = 0; r < 8; ++r) d[r] = std::fma(q[i], v.at(r, i), d[r]);
    for (int r = 0; r < 8; ++r) out[r] = d[r];
}

// 8-lane order cosine, eight records: sixteen accumulators. That is every
// 256-bit register, so the compiler keeps the query operand in memory;
// from cache four records would be faster, but a scan from memory gains
// more from eight streams in flight.
template <class Rows>
void cosineLanesBatch8(const QueryScorer& qs, const Rows& v, float* out, Ahead<typename Rows::Ptr> ahead) {
    const float* q = qs.query;
    const uint32_t n = qs.dim;
    const uint32_t full = n & ~7u;
    ahead.prefetch();
    __m256 dot[8];
    __m256 nb[8];
    for (int r = 0; r < 8; ++r) dot[r] = nb[r] = _mm256_setzero_ps();
    for (uint32_t i = 0; i < full; i += 8) {
        const __m256 vq = _mm256_loadu_ps(q + i);
        for (int r = 0; r < 8; ++r) {
            __m256 vb = v.load(r, i);
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
            const float b = v.at(r, i);
            d[r] = std::fma(q[i], b, d[r]);
            s[r] = std::fma(b, b, s[r]);
        }
    }
    for (int r = 0; r < 8; ++r) out[r] = cosineFromSums(d[r], qs.querySqrtNorm, s[r]);
}

// One record in the order QueryScorer::score uses: the 8-lane order for
// cosine and dot with useAvx2, else the sequential chain.
template <class Rows>
float scoreOne(const QueryScorer& qs, const Rows& v, int r) {
    const float* q = qs.query;
    const uint32_t n = qs.dim;
    const bool cosine = qs.metric != DistanceMetric::Dot && qs.metric != DistanceMetric::Euclidean &&
                        qs.metric != DistanceMetric::Manhattan;
    if (qs.useAvx2 && (cosine || qs.metric == DistanceMetric::Dot)) {
        const uint32_t full = n & ~7u;
        __m256 dot = _mm256_setzero_ps();
        __m256 nb = _mm256_setzero_ps();
        for (uint32_t i = 0; i < full; i += 8) {
            __m256 vb = v.load(r, i);
            dot = _mm256_fmadd_ps(_mm256_loadu_ps(q + i), vb, dot);
            nb = _mm256_fmadd_ps(vb, vb, nb);
        }
        float d = reduceLanes(dot);
        float s = reduceLanes(nb);
        for (uint32_t i = full; i < n; ++i) {
            const float b = v.at(r, i);
            d = std::fma(q[i], b, d);
            s = std::fma(b, b, s);
        }
        return cosine ? cosineFromSums(d, qs.querySqrtNorm, s) : d;
    }
    float s = 0.0f;
    float nb = 0.0f;
    switch (qs.metric) {
        case DistanceMetric::Manhattan:
            for (uint32_t i = 0; i < n; ++i) seqStepScalar<SeqKind::Manhattan>(q[i], v.at(r, i), s, nb);
            return seqFinish<SeqKind::Manhattan>(qs, s, nb);
        case DistanceMetric::Euclidean:
            for (uint32_t i = 0; i < n; ++i) seqStepScalar<SeqKind::Euclidean>(q[i], v.at(r, i), s, nb);
            return seqFinish<SeqKind::Euclidean>(qs, s, nb);
        case DistanceMetric::Dot:
            for (uint32_t i = 0; i < n; ++i) seqStepScalar<SeqKind::Dot>(q[i], v.at(r, i), s, nb);
            return s;
        default:
            for (uint32_t i = 0; i < n; ++i) seqStepScalar<SeqKind::Cosine>(q[i], v.at(r, i), s, nb);
            return seqFinish<SeqKind::Cosine>(qs, s, nb);
    }
}

template <class Rows>
using BatchFn = void (*)(const QueryScorer&, const Rows&, float*, Ahead<typename Rows::Ptr>);

// Runs `fn` over full batches of `width` records. A short remainder is
// padded with the first row of the call and its extra scores dropped,
// unless `singlesPay` (the 8-lane kernels, whose one-record form is nearly
// as fast per record) and it is so short that scoring its records one by
// one (the same sums) costs less than a whole padded batch. The sequential
// sums are latency-bound: a padded batch costs about one record.
template <class Rows>
void runBatches(const QueryScorer& qs, BatchFn<Rows> fn, uint32_t width, const typename Rows::Ptr* const* vecs,
                uint32_t count, float* out, bool singlesPay, uint32_t lines) {
    uint32_t i = 0;
    for (; i + width <= count; i += width) {
        const uint32_t next = count - (i + width);
        fn(qs, Rows(vecs + i, width), out + i, {vecs + i + width, next < width ? next : width, lines});
    }
    if (i == count) return;
    if (singlesPay && count - i <= width / 4 + 1) {
        for (; i < count; ++i) out[i] = Rows::single(qs, vecs[i]);
        return;
    }
    const typename Rows::Ptr* pad[16];
    float padOut[16];
    for (uint32_t r = 0; r < width; ++r) pad[r] = vecs[i + r < count ? i + r : 0];
    fn(qs, Rows(pad, width), padOut, {nullptr, 0, 0});
    for (uint32_t r = 0; i + r < count; ++r) out[i + r] = padOut[r];
}

template <SeqKind K, class Rows>
void runSeq(const QueryScorer& qs, const typename Rows::Ptr* const* vecs, uint32_t count, float* out,
            uint32_t lines) {
    // Two groups of eight keep two chains in flight; a remainder of at most
    // eight records takes one group so little padding is scored.
    uint32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const uint32_t next = count - (i + 16);
        seqBatch<K, 2, Rows>(qs, Rows(vecs + i, 16), out + i, {vecs + i + 16, next < 16 ? next : 16, lines});
    }
    if (i < count) runBatches<Rows>(qs, seqBatch<K, 1, Rows>, 8, vecs + i, count - i, out + i, false, lines);
}

// out[i] = the score of row i for i < count; `lines`: cache lines of a
// row worth requesting ahead.
template <class Rows>
void scoreRows(const QueryScorer& qs, const typename Rows::Ptr* const* vecs, uint32_t count, float* out,
               uint32_t lines) {
    if (count == 0) return;
    if (count == 1) {
        out[0] = Rows::single(qs, vecs[0]);
        return;
    }
    switch (qs.metric) {
        case DistanceMetric::Manhattan:
            runSeq<SeqKind::Manhattan, Rows>(qs, vecs, count, out, lines);
            return;
        case DistanceMetric::Euclidean:
            runSeq<SeqKind::Euclidean, Rows>(qs, vecs, count, out, lines);
            return;
        case DistanceMetric::Dot:
            if (qs.useAvx2)
                runBatches<Rows>(qs, dotLanesBatch8<Rows>, 8, vecs, count, out, true, lines);
            else
                runSeq<SeqKind::Dot, Rows>(qs, vecs, count, out, lines);
            return;
        default:
            if (qs.useAvx2)
                runBatches<Rows>(qs, cosineLanesBatch8<Rows>, 8, vecs, count, out, true, lines);
            else
                runSeq<SeqKind::Cosine, Rows>(qs, vecs, count, out, lines);
            return;
    }
}

}  // namespace kernels
}  // namespace qarbin
