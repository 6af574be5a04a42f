#include "php/store_calls.h"

#include <sys/mman.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <new>

#include "core/math/codecs.h"
#include "core/segment/segment.h"
#include "core/store/store.h"

namespace qarbin_php {

using qarbin::Store;

Store* openMemory(uint32_t dim, qarbin::DistanceMetric metric, qarbin::Quantization q, uint64_t capacity,
                  bool useAvx2, uint32_t hnswM, uint32_t efConstruction, uint32_t pqSubvectors,
                  const char* dir) noexcept {
    try {
        return Store::openMemory(dim, metric, q, capacity, useAvx2, hnswM, efConstruction, pqSubvectors, dir);
    } catch (...) {
        return nullptr;
    }
}

Store* openDisk(const char* dir, uint32_t dim, qarbin::DistanceMetric metric, qarbin::Quantization q,
                uint64_t capacity, bool useAvx2, uint32_t hnswM, uint32_t efConstruction,
                uint32_t pqSubvectors) noexcept {
    try {
        return Store::openDisk(dir, dim, metric, q, capacity, useAvx2, hnswM, efConstruction, pqSubvectors);
    } catch (...) {
        return nullptr;
    }
}

Store* openShm(const char* name, uint32_t dim, qarbin::DistanceMetric metric, qarbin::Quantization q,
               uint64_t capacity, bool useAvx2, bool writable, uint32_t hnswM, uint32_t efConstruction,
               uint32_t pqSubvectors) noexcept {
    try {
        return Store::openShm(name, dim, metric, q, capacity, useAvx2, writable, hnswM, efConstruction,
                              pqSubvectors);
    } catch (...) {
        return nullptr;
    }
}

void tune(Store* store, uint32_t pqTrainingSize, uint32_t autoIndexThreshold, uint64_t memoryLimit) noexcept {
    store->pqTrainingSize = pqTrainingSize;
    store->autoIndexThreshold = autoIndexThreshold;
    store->memoryLimit = memoryLimit;
}

void close(Store* store) noexcept {
    try {
        delete store;
    } catch (...) {
    }
}

bool destroyShm(const char* name) noexcept {
    try {
        return Store::destroyShm(name);
    } catch (...) {
        return false;
    }
}

int set(Store* store, const char* key, const float* vector, const char* metadata, uint32_t metaLen) noexcept {
    try {
        return store->set(key, vector, metadata, metaLen);
    } catch (...) {
        return -1;
    }
}

int del(Store* store, const char* key) noexcept {
    try {
        return store->del(key);
    } catch (...) {
        return -1;
    }
}

int search(Store* store, const float* query, int topK, float precision, qarbin::Result** out) noexcept {
    try {
        return store->search(query, topK, precision, out);
    } catch (...) {
        return -1;
    }
}

int get(Store* store, const char* key, float* vecOut, char** metaOut, uint32_t* lenOut) noexcept {
    try {
        return store->get(key, vecOut, metaOut, lenOut);
    } catch (...) {
        return -1;
    }
}

int clear(Store* store) noexcept {
    try {
        store->clear();
        return 0;
    } catch (...) {
        return -1;
    }
}

int snapshot(Store* store, const char* dir) noexcept {
    try {
        return store->snapshot(dir);
    } catch (...) {
        return -1;
    }
}

uint32_t dim(const Store* store) noexcept { return store->dim; }
bool writable(const Store* store) noexcept { return store->writable; }
qarbin::StorageMode mode(const Store* store) noexcept { return store->mode; }
uint64_t count(const Store* store) noexcept { return store->count(); }

void stats(const Store* store, StoreStats* out) noexcept {
    out->mode = store->mode;
    out->totalCount = store->totalCount.load();
    out->segmentCount = store->segments.size();
    out->dim = store->dim;
    out->metric = store->metric;
    out->quantization = store->quantization;
    out->pqSubvectors = store->pqSubvectors;
    out->indexReady = false;
    out->unindexed = 0;
    for (const qarbin::Segment* seg : store->segments) {
        const qarbin::SegmentHeader* h = seg->header;
        if (!h) continue;
        if (h->flags & qarbin::kFlagGraphUsable) out->indexReady = true;
        uint64_t live = h->liveCount.load();
        uint64_t indexed = h->indexedCount.load();
        if (live > indexed) out->unindexed += live - indexed;
    }
    double mb = 0.0;
    for (const qarbin::Segment* seg : store->segments) mb += static_cast<double>(seg->mappedLen) * (1.0 / 1048576.0);
    out->memoryMb = mb;
}

namespace {

// JSON has no form for NaN or infinity, so a dump must never carry them.
// Stored vectors are finite on the way in, but a decoded one need not be
// (an int8 scale or an f16 overflow, a segment file written elsewhere):
// infinities become the largest float of their sign, NaN becomes 0.
const float* finiteVector(const float* vec, uint32_t dim, float* scratch) {
    uint32_t i = 0;
    while (i < dim && std::isfinite(vec[i])) ++i;
    if (i == dim) return vec;
    if (vec != scratch) std::memcpy(scratch, vec, dim * sizeof(float));
    for (; i < dim; ++i) {
        float f = scratch[i];
        if (std::isnan(f)) scratch[i] = 0.0f;
        else if (std::isinf(f)) scratch[i] = f > 0 ? FLT_MAX : -FLT_MAX;
    }
    return scratch;
}

}  // namespace

void forEachRecord(Store* store, float* scratch, RecordVisitor visit, void* ctx) noexcept {
    const uint32_t dim = store->dim;
    if (dim == 0 || dim > qarbin::kMaxDim) return;
    if (const qarbin::PQTrainingBuffer* buf = store->pqBuffer) {
        uint32_t n = buf->count;
        if (n > buf->keys.size()) n = static_cast<uint32_t>(buf->keys.size());
        if (n > buf->metadata.size()) n = static_cast<uint32_t>(buf->metadata.size());
        if (n > buf->vectors.size() / dim) n = static_cast<uint32_t>(buf->vectors.size() / dim);
        for (uint32_t j = 0; j < n; ++j) {
            const std::string& key = buf->keys[j];
            if (key.empty() || key.size() > qarbin::kMaxKeyBytes) continue;
            const std::string& meta = buf->metadata[j];
            const float* vec = finiteVector(buf->vectors.data() + static_cast<size_t>(j) * dim, dim, scratch);
            if (!visit(ctx, key.c_str(), vec, meta.empty() ? nullptr : meta.data(),
                       static_cast<uint32_t>(meta.size())))
                return;
        }
    }
    const uint32_t q = static_cast<uint32_t>(store->quantization);
    for (size_t s = 0; s < store->segments.size(); ++s) {
        qarbin::Segment* seg = store->segments[s];
        if (!seg->header || !seg->slots) continue;
        // A segment laid out for another shape would be read out of bounds.
        if (seg->dim != dim || seg->quantization != q) continue;
        const float* codebook = seg->trainedCodebook();
        if (q == static_cast<uint32_t>(qarbin::Quantization::PQ) && !codebook) continue;
        const uint64_t stride = seg->stride();
        const uint64_t vecBytes = seg->vecBytes();
        if (stride < qarbin::kSlotHeaderBytes + vecBytes) continue;
        const uint64_t used = seg->usedSlotsClamped();
        for (uint64_t i = 0; i < used; ++i) {
            const qarbin::Record* r = seg->recordAt(i);
            // A record whose metadata length lies is skipped, as searches skip it.
            if (!qarbin::recordReadable(r)) continue;
            size_t keyLen = strnlen(r->key, qarbin::kMaxKeyBytes);
            if (keyLen == 0) continue;
            char key[qarbin::kKeyFieldBytes];
            std::memcpy(key, r->key, keyLen);
            key[keyLen] = '\0';
            const float* vec = qarbin::getVecFloat32(r, dim, q, store->pqSubvectors, codebook, scratch);
            vec = finiteVector(vec, dim, scratch);
            const char* meta = r->metaLen ? seg->metadataPtr(r) : nullptr;
            if (!visit(ctx, key, vec, meta, r->metaLen)) return;
        }
        if (store->mode == qarbin::StorageMode::Disk) seg->adviseRecords(MADV_DONTNEED);
    }
}

}  // namespace qarbin_php
