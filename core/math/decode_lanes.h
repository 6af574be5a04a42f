// Eight elements of an encoded vector decoded into one register, as the
// decoders (getVecFloat32) read them. The fused scoring kernels decode f16
// with F16C and sign bits from a table instead; their unit tests hold both
// to the same values, bit for bit.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace qarbin {

// Eight halves in the 16-bit lanes of h. Per lane: exponent and fraction
// shifted into place and rebiased by 112; exponent 31 rebiased once more to
// 255 (infinity, NaN with its fraction); exponent 0 cleared to the signed
// zero.
inline __m256 halfLanesOf(__m128i halves) {
    const __m256i body = _mm256_set1_epi32(0x0FFFE000);
    const __m256i expField = _mm256_set1_epi32(0x0F800000);
    const __m256i bias = _mm256_set1_epi32(112 << 23);
    const __m256i signBit = _mm256_set1_epi32(static_cast<int>(0x80000000u));
    __m256i h = _mm256_cvtepu16_epi32(halves);
    __m256i b = _mm256_and_si256(_mm256_slli_epi32(h, 13), body);
    __m256i sign = _mm256_and_si256(_mm256_slli_epi32(h, 16), signBit);
    __m256i e = _mm256_and_si256(b, expField);
    __m256i top = _mm256_and_si256(_mm256_cmpeq_epi32(e, expField), bias);
    __m256i r = _mm256_add_epi32(_mm256_add_epi32(b, bias), top);
    r = _mm256_andnot_si256(_mm256_cmpeq_epi32(e, _mm256_setzero_si256()), r);
    return _mm256_castsi256_ps(_mm256_or_si256(r, sign));
}

// Halves p[0..7] (little-endian, unaligned).
inline __m256 halfLanes(const uint8_t* p) { return halfLanesOf(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))); }

// Int8 codes p[0..7]: code * step + min as one fused step.
inline __m256 int8Lanes(const uint8_t* p, __m256 step, __m256 mn) {
    __m128i c8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    return _mm256_fmadd_ps(_mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(c8)), step, mn);
}

// Bits 0..7 of one byte: +1 for a set bit, -1 for a clear one.
inline __m256 binaryLanes(uint8_t byte) {
    const __m256i bitSel = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    __m256i set = _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(byte), bitSel), bitSel);
    return _mm256_blendv_ps(_mm256_set1_ps(-1.0f), _mm256_set1_ps(1.0f), _mm256_castsi256_ps(set));
}

}  // namespace qarbin
