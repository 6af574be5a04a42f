// A segment's product-quantization codebook: training it from vectors and
// publishing a codebook so that every reader sees its bytes before the
// header says the segment is trained.
#include <sys/mman.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "core/math/pq_train.h"
#include "core/segment/segment.h"

namespace qarbin {

// vectors: n * dim floats. 0 once the codebook is written and marked
// trained; -1 with the segment unchanged when it refuses (read-only, m 0
// or not dividing dim, n 0), or when working memory or the codebook's
// backing cannot be had. Not safe against a concurrent training or
// encoding of the same segment.
int Segment::trainPQCodebook(const float* vectors, uint32_t n) {
    if (!writable || header == nullptr || pqSubvectors == 0) return -1;
    std::vector<float> trained;
    try {
        trained.resize(codebookSize(dim, pqSubvectors) / sizeof(float));
    } catch (...) {
        return -1;
    }
    if (trainCodebook(vectors, n, dim, pqSubvectors, trained.data()) != 0) return -1;
    return publishCodebook(trained.data()) ? 0 : -1;
}

bool Segment::publishCodebook(const float* src) {
    const uint64_t cb = codebookSize(dim, pqSubvectors);
    // A fresh file's or object's codebook area is a hole; a full file system
    // must refuse it here rather than fault on the copy.
    const uint64_t at = codebookOffset();
    if (cb == 0 || src == nullptr || !writable || mappedLen < at + cb || !ensureBacked(at, cb)) return false;
    dirty = true;
    float* area = reinterpret_cast<float*>(base + at);
    if (src != area) std::memcpy(area, src, cb);
    // The mapping is page-aligned, so the range from its start covers the
    // bytes: on disk they are stored before the header that names them.
    if (mode == StorageMode::Disk) msync(base, at + cb, MS_SYNC);
    std::atomic_thread_fence(std::memory_order_release);
    setHeaderCodebookOffset(header, at);
    codebook = area;
    if (mode == StorageMode::Disk) msync(base, kHeaderBytes, MS_SYNC);
    return true;
}

}  // namespace qarbin
