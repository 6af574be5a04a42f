// The bound. Let t_i be the real (unrounded) terms of a score's sum:
// (q_i - c_i)^2 for Euclidean, |q_i - c_i| for Manhattan, q_i c_i for the
// dot product, and c_i^2 for the stored norm of the cosine. In either
// summation order every term passes through at most k = n + 16 roundings
// (the difference q_i - c_i, each fused step of its chain or lane, the
// eight lane sums, the tail), each a factor (1 + e) with |e| <= 2^-24, or
// an absolute error of at most 2^-150 where a result falls below the
// normal range. So the float sum F of a record satisfies
//     |F - sum t_i| <= g * sum |t_i| + k * 2^-149,   g = k u / (1 - k u).
// The tables hold sum t_i and sum |t_i| per sub-space and centroid in
// double; a record's table sums differ from the real ones by less than
// 2^-40 of sum |t_i| (n + m + 8 double roundings), covered by adding 2^-36
// to g. The last float steps (square root, product, quotient) add a few
// roundings more, covered by 2^-21 or 2^-22 factors below. Values above
// 2^56 are refused, so no float sum of at most 4096 terms can overflow.
#include "core/math/pq_bound.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <new>

namespace qarbin {
namespace {

constexpr double kMaxMagnitude = 0x1p56;
constexpr uint64_t kMaxTableBytes = uint64_t{4} << 20;

bool tame(const float* v, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i)
        if (!(std::fabs(v[i]) <= kMaxMagnitude)) return false;  // also NaN
    return true;
}

uint32_t widthFor(DistanceMetric m) {
    switch (m) {
        case DistanceMetric::Euclidean:
        case DistanceMetric::Manhattan:
            return 1;  // sum t (every term is >= 0)
        case DistanceMetric::Dot:
            return 2;  // sum t, sum |t|
        default:
            return 3;  // dot: sum t, sum |t|; stored norm: sum c^2
    }
}

// Doubles per table entry: one sum, or two or three padded to a vector.
uint32_t strideFor(uint32_t width) { return width == 1 ? 1 : width == 2 ? 2 : 4; }

// Table sums of `count` (<= 8) records over m sub-spaces, `stride` doubles
// each; every record's sums stay in a register.
void tableSums1(const double* table, uint32_t m, const uint8_t* const* codes, uint32_t count, double* sums) {
    double acc[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (uint32_t s = 0; s < m; ++s) {
        const double* t = table + uint64_t{s} * kPqCentroids;
        for (uint32_t r = 0; r < 8; ++r) acc[r] += t[codes[r < count ? r : 0][s]];
    }
    for (uint32_t r = 0; r < count; ++r) sums[r * 4] = acc[r];
}

template <class V, V (*Load)(const double*), V (*Add)(V, V), void (*Store)(double*, V)>
void tableSumsVec(const double* table, uint32_t m, uint32_t stride, const uint8_t* const* codes, uint32_t count,
                  double* sums) {
    V acc[8];
    const double zero[4] = {0, 0, 0, 0};
    for (uint32_t r = 0; r < 8; ++r) acc[r] = Load(zero);
    for (uint32_t s = 0; s < m; ++s) {
        const double* t = table + uint64_t{s} * kPqCentroids * stride;
        for (uint32_t r = 0; r < 8; ++r) acc[r] = Add(acc[r], Load(t + codes[r < count ? r : 0][s] * stride));
    }
    for (uint32_t r = 0; r < count; ++r) Store(sums + r * 4, acc[r]);
}

__m128d load2(const double* p) { return _mm_loadu_pd(p); }
__m128d add2(__m128d a, __m128d b) { return _mm_add_pd(a, b); }
void store2(double* p, __m128d v) { _mm_storeu_pd(p, v); }
__m256d load4(const double* p) { return _mm256_loadu_pd(p); }
__m256d add4(__m256d a, __m256d b) { return _mm256_add_pd(a, b); }
void store4(double* p, __m256d v) { _mm256_storeu_pd(p, v); }

}  // namespace

PqBounds* PqBounds::create(const QueryScorer& qs, const float* codebook, uint32_t m) {
    if (codebook == nullptr || m == 0 || qs.dim == 0 || qs.dim % m != 0) return nullptr;
    const uint32_t width = widthFor(qs.metric);
    const uint64_t entries = uint64_t{m} * kPqCentroids * strideFor(width);
    if (entries * sizeof(double) > kMaxTableBytes) return nullptr;
    if (!tame(qs.query, qs.dim) || !tame(codebook, uint64_t{kPqCentroids} * qs.dim)) return nullptr;
    if (!std::isfinite(qs.querySqrtNorm)) return nullptr;
    PqBounds* b = new (std::nothrow) PqBounds();
    if (b == nullptr) return nullptr;
    b->table_ = new (std::nothrow) double[entries];
    if (b->table_ == nullptr) {
        delete b;
        return nullptr;
    }
    b->metric_ = qs.metric;
    b->dim_ = qs.dim;
    b->m_ = m;
    b->width_ = width;
    const double k = double(qs.dim) + 16.0;
    const double ku = k * 0x1p-24;
    b->relErr_ = ku / (1.0 - ku) + 0x1p-36;
    b->absErr_ = k * 0x1p-147;
    b->querySqrtNorm_ = qs.querySqrtNorm;
    b->fill(qs.query, codebook);
    return b;
}

PqBounds::~PqBounds() { delete[] table_; }

// Four elements at a time in double lanes, then the lanes and the tail
// added: any order does, the double roundings are covered by the bound.
void PqBounds::fill(const float* query, const float* codebook) {
    const uint32_t dsub = dim_ / m_;
    const uint32_t stride = strideFor(width_);
    const uint32_t full = dsub & ~3u;
    const __m256d absMask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFFLL));
    for (uint32_t s = 0; s < m_; ++s) {
        const float* q = query + uint64_t{s} * dsub;
        for (uint32_t c = 0; c < kPqCentroids; ++c) {
            const float* x = codebook + (uint64_t{s} * kPqCentroids + c) * dsub;
            __m256d a = _mm256_setzero_pd(), b = a, n = a;
            for (uint32_t k = 0; k < full; k += 4) {
                const __m256d vq = _mm256_cvtps_pd(_mm_loadu_ps(q + k));
                const __m256d vx = _mm256_cvtps_pd(_mm_loadu_ps(x + k));
                const __m256d d = _mm256_sub_pd(vq, vx);
                const __m256d p = _mm256_mul_pd(vq, vx);  // exact: two floats' product fits a double
                if (metric_ == DistanceMetric::Euclidean) {
                    a = _mm256_add_pd(a, _mm256_mul_pd(d, d));
                } else if (metric_ == DistanceMetric::Manhattan) {
                    a = _mm256_add_pd(a, _mm256_and_pd(d, absMask));
                } else {
                    a = _mm256_add_pd(a, p);
                    b = _mm256_add_pd(b, _mm256_and_pd(p, absMask));
                    n = _mm256_add_pd(n, _mm256_mul_pd(vx, vx));
                }
            }
            alignas(32) double la[4], lb[4], ln[4];
            _mm256_store_pd(la, a);
            _mm256_store_pd(lb, b);
            _mm256_store_pd(ln, n);
            double e0 = (la[0] + la[1]) + (la[2] + la[3]);
            double e1 = (lb[0] + lb[1]) + (lb[2] + lb[3]);
            double e2 = (ln[0] + ln[1]) + (ln[2] + ln[3]);
            for (uint32_t k = full; k < dsub; ++k) {
                const double vq = q[k], vx = x[k];
                if (metric_ == DistanceMetric::Euclidean) {
                    e0 += (vq - vx) * (vq - vx);
                } else if (metric_ == DistanceMetric::Manhattan) {
                    e0 += std::fabs(vq - vx);
                } else {
                    e0 += vq * vx;
                    e1 += std::fabs(vq * vx);
                    e2 += vx * vx;
                }
            }
            double* e = table_ + (uint64_t{s} * kPqCentroids + c) * stride;
            e[0] = e0;
            if (stride > 1) e[1] = e1;
            if (stride > 2) {
                e[2] = e2;
                e[3] = 0.0;
            }
        }
    }
}

// An upper bound on the score from a record's table sums.
double PqBounds::bound(const double* x) const {
    switch (metric_) {
        case DistanceMetric::Euclidean: {
            const double lo = x[0] - (relErr_ * x[0] + absErr_);
            return lo > 0.0 ? -std::sqrt(lo) * (1.0 - 0x1p-22) : 0.0;
        }
        case DistanceMetric::Manhattan:
            return -(x[0] - (relErr_ * x[0] + absErr_));
        case DistanceMetric::Dot:
            return x[0] + relErr_ * x[1] + absErr_;
        default:
            break;
    }
    // Cosine: dot / (|q| sqrt(nb)) when that denominator exceeds the
    // epsilon, else 0. The quotient's upper bound takes the smallest
    // denominator for a positive dot and the largest for a negative one.
    const double dotHi = x[0] + relErr_ * x[1] + absErr_;
    const double nbLo = x[2] - (relErr_ * x[2] + absErr_);
    const double nbHi = x[2] + relErr_ * x[2] + absErr_;
    // A denominator proven above the epsilon rules the 0 out.
    const double denLoProven = querySqrtNorm_ * std::sqrt(std::max(nbLo, 0.0)) * (1.0 - 0x1p-21);
    const double denLo = std::max(double(kNormEpsilon), denLoProven);
    const double denHi = querySqrtNorm_ * std::sqrt(nbHi) * (1.0 + 0x1p-21);
    double r = 0.0;
    if (dotHi >= 0.0)
        r = dotHi / denLo * (1.0 + 0x1p-21);
    else if (denHi > 0.0)
        r = dotHi / denHi * (1.0 - 0x1p-21);
    if (!(denLoProven > double(kNormEpsilon))) r = std::max(r, 0.0);
    return r + 0x1p-140;
}

void PqBounds::upperBounds(const uint8_t* const* codes, uint32_t count, double* ub) const {
    constexpr uint32_t kChunk = 8;
    alignas(32) double sums[kChunk * 4];
    for (uint32_t r0 = 0; r0 < count; r0 += kChunk) {
        const uint32_t n = std::min(kChunk, count - r0);
        if (width_ == 1)
            tableSums1(table_, m_, codes + r0, n, sums);
        else if (width_ == 2)
            tableSumsVec<__m128d, load2, add2, store2>(table_, m_, 2, codes + r0, n, sums);
        else
            tableSumsVec<__m256d, load4, add4, store4>(table_, m_, 4, codes + r0, n, sums);
        for (uint32_t r = 0; r < n; ++r) {
            const double b = bound(sums + r * 4);
            ub[r0 + r] = std::isnan(b) ? HUGE_VAL : b;
        }
    }
}

}  // namespace qarbin
