// Maximal marginal relevance: rows chosen one at a time for their score and
// against their likeness to the rows already chosen, so that near-duplicates
// do not fill an answer.
#pragma once

#include <cstdint>

#include "core/base.h"

namespace qarbin {

// rows: n hits sorted best first; vectors: n x dim floats, row i's at
// i * dim. Rewrites rows[0..k) with the chosen ones in the order chosen
// (rows[k..n) stay as they were, and are to be ignored): rows[0] first,
// then each time the row with the largest
//   (1 - diversity) * score - diversity * (its largest score against a chosen row),
// the better-ranked row on a tie. Scores against chosen rows use the store's
// metric and summation order. Returns min(k, n). May throw std::bad_alloc
// (rows untouched then).
int chooseDiverse(Result* rows, const float* vectors, int n, int k, double diversity, uint32_t dim,
                  DistanceMetric metric, bool useAvx2);

}  // namespace qarbin
