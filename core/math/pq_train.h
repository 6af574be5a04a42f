// Product-quantization codebook training: deterministic k-means, 256
// centroids in each of m sub-spaces of dim / m floats.
#pragma once

#include <cstdint>

namespace qarbin {

// vectors: n * dim floats; codebook: 256 * dim floats (sub-space s at
// s * 256 * (dim / m), centroid c of it at c * (dim / m)). 0 when written,
// -1 (codebook untouched) for bad arguments or no working memory.
int trainCodebook(const float* vectors, uint32_t n, uint32_t dim, uint32_t m, float* codebook);

}  // namespace qarbin
