// The five encodings of a stored vector at slot offset 128, and the decoder
// every reader uses before scoring, returning or dumping a vector.
#pragma once

#include <cstdint>

#include "core/base.h"

namespace qarbin {

// Encoded size; quantization values above 4 size like None.
uint64_t encodedBytes(uint32_t dim, uint32_t quantization, uint32_t pqSubvectors);

uint16_t floatToHalf(float f);  // truncating, never rounding up
float halfToFloat(uint16_t h);

// Index of the centroid nearest to x (dsub floats) among the 256 centroids
// of one sub-space (256 * dsub floats, centroid c at c * dsub): squared
// distance as an in-order fma chain, ties to the lowest index.
uint32_t nearestCentroid(const float* x, const float* centroids, uint32_t dsub);

// dst: encodedBytes(...) bytes. PQ needs the codebook (256 * dim floats).
void encodeVector(uint8_t* dst, const float* v, uint32_t dim, uint32_t quantization, uint32_t pqSubvectors,
                  const float* codebook);

// Requests the first cache lines of r's encoded vector (vecBytes bytes at
// slot offset 128; at most kPrefetchVectorBytes of them); never faults. A
// scan calls it for the records of its next batch while it decodes the
// current one, since every record starts a stream the hardware has not
// seen yet.
constexpr uint64_t kPrefetchVectorBytes = 512;
void prefetchVector(const Record* r, uint64_t vecBytes);

// out: at least dim floats. None (and any value above 4) returns a pointer
// into the slot and leaves out untouched; the others decode into out.
const float* getVecFloat32(const Record* record, uint32_t dim, uint32_t quantization, uint32_t pqSubvectors,
                           const float* codebook, float* out);
// The same for an encoded vector wherever it lies (src: encodedBytes bytes).
const float* decodeVector(const uint8_t* src, uint32_t dim, uint32_t quantization, uint32_t pqSubvectors,
                          const float* codebook, float* out);

}  // namespace qarbin
