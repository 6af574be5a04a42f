#include "core/store/mmr.h"

#include <cmath>
#include <vector>

#include "core/math/score.h"

namespace qarbin {

int chooseDiverse(Result* rows, const float* vectors, int n, int k, double diversity, uint32_t dim,
                  DistanceMetric metric, bool useAvx2) {
    if (n <= 0 || k <= 0) return 0;
    if (k > n) k = n;
    std::vector<int> order;
    order.reserve(static_cast<size_t>(k));
    std::vector<double> likeness(static_cast<size_t>(n), -INFINITY);
    std::vector<bool> taken(static_cast<size_t>(n), false);
    // The best hit needs no comparison: nothing is chosen yet.
    int last = 0;
    order.push_back(0);
    taken[0] = true;
    while (static_cast<int>(order.size()) < k) {
        const float* chosen = vectors + static_cast<size_t>(last) * dim;
        int best = -1;
        double bestValue = 0.0;
        for (int i = 0; i < n; ++i) {
            if (taken[i]) continue;
            const double s = computeScore(vectors + static_cast<size_t>(i) * dim, chosen, dim, metric, useAvx2);
            if (!std::isnan(s) && s > likeness[i]) likeness[i] = s;
            // A likeness still unknown (NaN scores only) counts as none.
            const double like = likeness[i] == -INFINITY ? 0.0 : likeness[i];
            const double value = (1.0 - diversity) * rows[i].score - diversity * like;
            if (best < 0 || value > bestValue) {
                best = i;
                bestValue = value;
            }
        }
        order.push_back(best);
        taken[best] = true;
        last = best;
    }
    std::vector<Result> picked;
    picked.reserve(static_cast<size_t>(k));
    for (int i : order) picked.push_back(rows[i]);
    for (int i = 0; i < k; ++i) rows[i] = picked[i];
    return k;
}

}  // namespace qarbin
