// The graph distance between a query and one stored vector.
#include <cstdint>

#include "core/index/hnsw_graph.h"
#include "core/math/codecs.h"
#include "core/math/score.h"
#include "core/segment/segment.h"

namespace qarbin {

// query: dim floats. slot must be below usedSlots (callers pass a node's
// slot). Read-only; any number may run at once. Smaller is closer: 1 - score
// for Cosine, -score for the other metrics.
float Segment::hnswDistVec(const float* query, uint32_t slot, DistanceMetric metric, bool useAvx2) const {
    if (dim > kMaxDim) return 0.0f;  // no segment is created with more
    alignas(64) float scratch[kMaxDim];
    const float* v = getVecFloat32(recordAt(slot), dim, quantization, pqSubvectors, codebook, scratch);
    return hnsw::scoreToDistance(computeScore(query, v, dim, metric, useAvx2), metric);
}

}  // namespace qarbin
