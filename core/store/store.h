// A store: an ordered list of segments seen as one keyed collection, in
// private memory, a directory of segment files or POSIX shared memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/segment/format.h"
#include "core/segment/segment.h"
#include "core/store/shm_control.h"

namespace qarbin {

class KeyDirectory;

// Vectors held back while a product-quantization codebook is untrained.
struct PQTrainingBuffer {
    std::vector<float> vectors;  // dim floats per entry, arrival order
    std::vector<uint64_t> ids;
    std::vector<std::string> keys;
    std::vector<std::string> metadata;  // empty string: no metadata
    uint32_t count = 0;
};

// FNV-1a, 64 bits, over the key's bytes up to its NUL.
uint64_t recordId(const char* key);

class Store {
public:
    std::vector<Segment*> segments;
    StorageMode mode = StorageMode::Memory;
    DistanceMetric metric = DistanceMetric::Cosine;
    Quantization quantization = Quantization::None;
    uint32_t dim = 0;
    uint32_t pqSubvectors = 0;
    char dir[4096] = {};
    char name[256] = {};
    uint64_t segmentCapacity = 0;
    std::atomic<uint64_t> totalCount{0};
    bool useAvx2 = false;
    bool writable = true;
    uint32_t hnswM = 16;
    uint32_t efConstruction = 200;
    PQTrainingBuffer* pqBuffer = nullptr;
    uint32_t pqTrainingSize = 256;
    uint32_t autoIndexThreshold = 100;
    uint64_t memoryLimit = 0;
    ShmControl* control = nullptr;
    void* controlMapping = nullptr;
    int controlFd = -1;
    // Process-local write helpers (memory and disk mode). Segments before
    // firstOpenSegment are full; clear() sets it back to 0. keyDirectory maps
    // keys to the segments that may hold them (store_internal.h).
    uint64_t firstOpenSegment = 0;
    uint64_t firstOpenGeneration = 0;  // generation of segment 0 the hint belongs to
    KeyDirectory* keyDirectory = nullptr;

    Store() = default;
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Openers: an owned store, or null (see each mode for when).
    static Store* openMemory(uint32_t dim, DistanceMetric metric, Quantization q, uint64_t capacity, bool useAvx2,
                             uint32_t hnswM, uint32_t efConstruction, uint32_t pqSubvectors, const char* dir);
    static Store* openDisk(const char* dir, uint32_t dim, DistanceMetric metric, Quantization q, uint64_t capacity,
                           bool useAvx2, uint32_t hnswM, uint32_t efConstruction, uint32_t pqSubvectors);
    static Store* openShm(const char* name, uint32_t dim, DistanceMetric metric, Quantization q, uint64_t capacity,
                          bool useAvx2, bool writable, uint32_t hnswM, uint32_t efConstruction,
                          uint32_t pqSubvectors);
    static bool destroyShm(const char* name);

    // One further segment with the store's parameters, not yet appended; null when none.
    Segment* createNewSegment();
    uint64_t count() const;

    // Write path. 0 stored (or held back), -1 rejected, -2 PQ codebook untrained.
    int set(const char* key, const float* vector, const char* metadata, uint32_t metaLen);
    int add(uint64_t id, const char* key, const float* vector, const char* metadata, uint32_t metaLen);
    int del(const char* key);
    void flushPQBuffer();

    // Queries. search allocates *out through the allocation seam (k results,
    // n filled, best first) and returns n; the caller releases it.
    int search(const float* query, int topK, float precision, Result** out);
    void maybeAutoIndex();
    int buildIndex();
    // vecOut: dim floats; *metaOut allocated through the seam when non-null.
    int get(const char* key, float* vecOut, char** metaOut, uint32_t* lenOut);

    void clear();
    int snapshot(const char* dir) const;

    // Shared-memory mode.
    void attachShmSegments();
    // Last step of add in shm mode when every attached segment refused the
    // record: creates the next shared segment under the control lock.
    int addToNewShmSegment(uint64_t id, const char* key, const float* vector, const char* metadata,
                           uint32_t metaLen);
    // Before held-back vectors are trained: attach new segments and, when one
    // already carries a trained codebook, copy it into every untrained
    // segment. When none does, train the first segment from the held-back
    // vectors under the creation lock (so handles that fill their buffers at
    // once end with one codebook) and copy it likewise. True when every
    // segment now has the store's codebook (then no further training).
    bool adoptSharedCodebook();
};

}  // namespace qarbin
