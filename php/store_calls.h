// Calls into the core store from the binding. Each one catches whatever the
// core lets escape (std::bad_alloc above all) so that no C++ exception ever
// reaches the engine; the methods call them from frames that own nothing.
#pragma once

#include <cstdint>

#include "core/segment/format.h"

namespace qarbin {
class Store;
}

namespace qarbin_php {

qarbin::Store* openMemory(uint32_t dim, qarbin::DistanceMetric metric, qarbin::Quantization q, uint64_t capacity,
                          bool useAvx2, uint32_t hnswM, uint32_t efConstruction, uint32_t pqSubvectors,
                          const char* dir) noexcept;
qarbin::Store* openDisk(const char* dir, uint32_t dim, qarbin::DistanceMetric metric, qarbin::Quantization q,
                        uint64_t capacity, bool useAvx2, uint32_t hnswM, uint32_t efConstruction,
                        uint32_t pqSubvectors) noexcept;
qarbin::Store* openShm(const char* name, uint32_t dim, qarbin::DistanceMetric metric, qarbin::Quantization q,
                       uint64_t capacity, bool useAvx2, bool writable, uint32_t hnswM, uint32_t efConstruction,
                       uint32_t pqSubvectors) noexcept;
// Writes the three tuning fields the constructor owns.
void tune(qarbin::Store* store, uint32_t pqTrainingSize, uint32_t autoIndexThreshold, uint64_t memoryLimit) noexcept;
void close(qarbin::Store* store) noexcept;
bool destroyShm(const char* name) noexcept;

// -1 when the core failed in a way it could not report itself.
int set(qarbin::Store* store, const char* key, const float* vector, const char* metadata, uint32_t metaLen) noexcept;
int del(qarbin::Store* store, const char* key) noexcept;
int search(qarbin::Store* store, const float* query, int topK, float precision, qarbin::Result** out) noexcept;
int get(qarbin::Store* store, const char* key, float* vecOut, char** metaOut, uint32_t* lenOut) noexcept;
int clear(qarbin::Store* store) noexcept;
int snapshot(qarbin::Store* store, const char* dir) noexcept;

// Plain field reads.
uint32_t dim(const qarbin::Store* store) noexcept;
bool writable(const qarbin::Store* store) noexcept;
qarbin::StorageMode mode(const qarbin::Store* store) noexcept;
uint64_t count(const qarbin::Store* store) noexcept;

// What stats() reports, gathered in one pass over the segment list.
struct StoreStats {
    qarbin::StorageMode mode;
    uint64_t totalCount;
    uint64_t segmentCount;
    uint32_t dim;
    qarbin::DistanceMetric metric;
    qarbin::Quantization quantization;
    uint32_t pqSubvectors;
    bool indexReady;
    uint64_t unindexed;
    double memoryMb;
};
void stats(const qarbin::Store* store, StoreStats* out) noexcept;

// Walks every record dump() writes: held-back records first, then the live
// slots of each segment in order. The callback gets the key (NUL-terminated,
// at most 63 bytes, never empty), dim floats (finite: non-finite decoded
// components are replaced, see the definition), and the metadata or null
// with its length; it returns false to stop the walk. The callback may
// raise an engine bailout: the walk owns nothing across a callback call.
// scratch: at least 4096 floats.
typedef bool (*RecordVisitor)(void* ctx, const char* key, const float* vec, const char* meta, uint32_t metaLen);
void forEachRecord(qarbin::Store* store, float* scratch, RecordVisitor visit, void* ctx) noexcept;

}  // namespace qarbin_php
