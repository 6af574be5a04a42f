// Turning eight rows into eight columns, for scoring eight vectors side by
// side with one vector per lane.
#pragma once

#include <immintrin.h>

namespace qarbin {

// c[k] lane j = rows[j][k] for k < 8: elements 0..7 of eight rows as columns.
inline void loadColumns8(const float* const rows[8], __m256 c[8]) {
    __m256 r[8];
    for (int j = 0; j < 4; ++j) {
        r[j] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(rows[j])), _mm_loadu_ps(rows[j + 4]), 1);
        r[j + 4] =
            _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(rows[j] + 4)), _mm_loadu_ps(rows[j + 4] + 4), 1);
    }
    // r[0..3] hold elements 0..3 (low half: rows 0-3, high half: rows 4-7),
    // r[4..7] elements 4..7; a 4x4 transpose inside each 128-bit half turns
    // rows into columns.
    for (int h = 0; h < 2; ++h) {
        const __m256* rr = r + 4 * h;
        __m256 t0 = _mm256_unpacklo_ps(rr[0], rr[1]);
        __m256 t1 = _mm256_unpackhi_ps(rr[0], rr[1]);
        __m256 t2 = _mm256_unpacklo_ps(rr[2], rr[3]);
        __m256 t3 = _mm256_unpackhi_ps(rr[2], rr[3]);
        c[4 * h + 0] = _mm256_shuffle_ps(t0, t2, 0x44);
        c[4 * h + 1] = _mm256_shuffle_ps(t0, t2, 0xEE);
        c[4 * h + 2] = _mm256_shuffle_ps(t1, t3, 0x44);
        c[4 * h + 3] = _mm256_shuffle_ps(t1, t3, 0xEE);
    }
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

}  // namespace qarbin
