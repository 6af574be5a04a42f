// Product-quantization codebook training: deterministic k-means with 256
// centroids in each sub-space, written in place at region offset 128.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <vector>

#include "core/math/codecs.h"
#include "core/segment/segment.h"

namespace qarbin {

namespace {

constexpr int kKmeansIterations = 20;

// One sub-space. rows: n * dsub floats; centroids: 256 * dsub floats in the
// codebook area, updated in place; assign: n bytes; sums: 256 * dsub floats;
// counts: 256 entries.
void trainSubspace(const float* rows, uint32_t n, uint32_t dsub, float* centroids, uint8_t* assign, float* sums,
                   uint32_t* counts) {
    for (uint32_t c = 0; c < kPqCentroids; ++c)
        std::memcpy(centroids + uint64_t{c} * dsub, rows + uint64_t{c % n} * dsub, sizeof(float) * dsub);
    for (int it = 0; it < kKmeansIterations; ++it) {
        for (uint32_t i = 0; i < n; ++i)
            assign[i] = static_cast<uint8_t>(nearestCentroid(rows + uint64_t{i} * dsub, centroids, dsub));
        std::memset(sums, 0, sizeof(float) * kPqCentroids * dsub);
        std::memset(counts, 0, sizeof(uint32_t) * kPqCentroids);
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t a = assign[i];
            counts[a] += 1;
            float* sum = sums + uint64_t{a} * dsub;
            const float* row = rows + uint64_t{i} * dsub;
            for (uint32_t k = 0; k < dsub; ++k) sum[k] = sum[k] + row[k];
        }
        for (uint32_t c = 0; c < kPqCentroids; ++c) {
            if (counts[c] == 0) continue;  // an empty cluster keeps its centroid
            const float cnt = static_cast<float>(counts[c]);
            float* cent = centroids + uint64_t{c} * dsub;
            const float* sum = sums + uint64_t{c} * dsub;
            for (uint32_t k = 0; k < dsub; ++k) cent[k] = sum[k] / cnt;
        }
    }
}

}  // namespace

// vectors: n * dim floats, row i at i * dim. Returns 0 once the codebook is
// written and marked trained; -1 with the segment unchanged when it refuses
// (read-only, m 0 or not dividing dim, no mapping, n 0) or when the working
// memory cannot be allocated. Not safe against a concurrent training or
// encoding of the same segment.
int Segment::trainPQCodebook(const float* vectors, uint32_t n) {
    if (writable == 0 || pqSubvectors == 0 || dim == 0 || dim % pqSubvectors != 0) return -1;
    if (base == nullptr || base == MAP_FAILED || header == nullptr) return -1;
    if (vectors == nullptr || n == 0) return -1;
    const uint32_t m = pqSubvectors;
    const uint32_t dsub = dim / m;
    const uint64_t cbBytes = codebookSize(dim, m);
    if (mappedLen < kHeaderBytes + cbBytes) return -1;

    std::vector<float> rows;
    std::vector<uint8_t> assign;
    std::vector<float> sums;
    std::vector<uint32_t> counts;
    try {
        rows.resize(uint64_t{n} * dsub);
        assign.resize(n);
        sums.resize(uint64_t{kPqCentroids} * dsub);
        counts.resize(kPqCentroids);
    } catch (...) {
        return -1;
    }

    float* cb = reinterpret_cast<float*>(base + kHeaderBytes);
    for (uint32_t s = 0; s < m; ++s) {
        for (uint32_t i = 0; i < n; ++i)
            std::memcpy(rows.data() + uint64_t{i} * dsub, vectors + uint64_t{i} * dim + uint64_t{s} * dsub,
                        sizeof(float) * dsub);
        trainSubspace(rows.data(), n, dsub, cb + uint64_t{s} * kPqCentroids * dsub, assign.data(), sums.data(),
                      counts.data());
    }

    setHeaderCodebookOffset(header, kHeaderBytes);
    codebook = cb;
    if (mode == StorageMode::Disk) {
        // Header and codebook are adjacent at the page-aligned mapping start.
        const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
        uint8_t* start = reinterpret_cast<uint8_t*>(reinterpret_cast<uintptr_t>(base) & ~(uintptr_t{page} - 1));
        msync(start, static_cast<size_t>(base + kHeaderBytes + cbBytes - start), MS_SYNC);
    }
    return 0;
}

}  // namespace qarbin
