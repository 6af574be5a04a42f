// Scores of a stored vector against a query; larger is better for every
// metric. Every sum is a 32-bit float sum in a fixed order with fused
// multiply-add, so a score is reproducible to the bit.
#pragma once

#include <cstdint>

#include "core/base.h"

extern "C" {
// 8-lane kernels; b must be 32-byte aligned, a may be unaligned.
float cosine_similarity_avx2(const float* a, const float* b, uint32_t n);
float dot_product_avx2(const float* a, const float* b, uint32_t n);
}

namespace qarbin {

constexpr float kNormEpsilon = 1e-9f;

// a: query, b: stored (decoded) vector, n floats each. Metric values other
// than Dot, Euclidean and Manhattan score as Cosine.
float computeScore(const float* a, const float* b, uint32_t n, DistanceMetric metric, bool useAvx2);

// Scores many stored vectors against one query. What depends only on the
// query is computed once in init(); every score equals computeScore of the
// same pair bit for bit. Several vectors are scored side by side so the
// dependent-add chains of one vector overlap with those of the others.
struct QueryScorer {
    const float* query = nullptr;
    uint32_t dim = 0;
    DistanceMetric metric = DistanceMetric::Cosine;
    bool useAvx2 = false;
    float queryNormSq = 0.0f;  // ||q||^2 in the order `useAvx2` selects (cosine)
    float querySqrtNorm = 0.0f;  // sqrtf(queryNormSq), the query's factor of the cosine denominator

    void init(const float* q, uint32_t n, DistanceMetric m, bool avx2);
    float score(const float* b) const;
    // out[i] = score(vecs[i]) for i < count; any count. vecs[i] 32-byte aligned.
    void scoreBlock(const float* const* vecs, uint32_t count, float* out) const;
    // Whether scoreCodes takes vectors of this quantization (f16, int8,
    // binary: decoded lane by lane inside the sums).
    static bool scoresCodes(uint32_t quantization);
    // out[i] = score(decoded codes[i]) bit for bit, without decoding into
    // memory; codes[i]: an encoded vector as a slot holds it (at offset 128).
    void scoreCodes(const uint8_t* const* codes, uint32_t count, uint32_t quantization, float* out) const;

    // Cosine over norms stored with the records: dotPart() scores the same
    // query in the same order but sums only the dot products, and
    // cosineWithNorm turns each dot into the very score scoreBlock or
    // scoreCodes gives, provided the norm is storedNorm of the same decoded
    // vector in the same order.
    QueryScorer dotPart() const;
    float cosineWithNorm(float dot, float storedNorm) const;
};

// The norm of a stored (decoded) vector, summed in the order useAvx2
// selects, as a cosine score sums it.
float storedNorm(const float* v, uint32_t n, bool useAvx2);

}  // namespace qarbin
