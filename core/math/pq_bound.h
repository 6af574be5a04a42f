// Proven upper bounds on the exact scores of PQ codes, from per-query tables
// of sub-vector partial sums. The exact score is a 32-bit float sum in a
// fixed order over the decoded vector; a table sum in double differs from
// it by no more than the rounding of that float sum, whose bound depends
// only on the number of terms and on the sum of their magnitudes. A scan
// skips a record whose bound proves it cannot enter the top K and scores
// the others exactly, so its results are those of scoring every record.
#pragma once

#include <cstdint>

#include "core/math/score.h"

namespace qarbin {

class PqBounds {
public:
    // qs: the query's scorer (metric, order and query norm are taken from it);
    // codebook: 256 * qs.dim floats in m sub-spaces. Null when no bound can
    // be proven for this query (a query or centroid value that is not finite,
    // or so large that a float sum could overflow) or memory is short: the
    // caller then scores every record exactly.
    static PqBounds* create(const QueryScorer& qs, const float* codebook, uint32_t m);
    ~PqBounds();
    PqBounds(const PqBounds&) = delete;
    PqBounds& operator=(const PqBounds&) = delete;

    // ub[i] >= the score qs gives the vector decoded from codes[i] (m bytes
    // each), for i < count; a NaN never comes out.
    void upperBounds(const uint8_t* const* codes, uint32_t count, double* ub) const;

private:
    PqBounds() = default;
    void fill(const float* query, const float* codebook);
    double bound(const double* sums) const;

    DistanceMetric metric_ = DistanceMetric::Cosine;
    uint32_t dim_ = 0;
    uint32_t m_ = 0;
    uint32_t width_ = 0;     // sums per table entry (1, 2 or 3; entries 1, 2 or 4 doubles apart)
    double relErr_ = 0.0;    // rounding of a float sum, relative to its sum of magnitudes
    double absErr_ = 0.0;    // and its share from results below the normal range
    double querySqrtNorm_ = 0.0;
    double* table_ = nullptr;  // [sub-space][centroid][width]
};

}  // namespace qarbin
