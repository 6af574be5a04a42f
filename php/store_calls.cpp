#include "php/store_calls.h"

#include <cstring>

#include "core/store/store.h"
#include "php/fault_guard.h"

namespace qarbin_php {

using qarbin::Store;

Store* openMemory(const qarbin::Shape& shape, const char* dir, int* why, bool create) noexcept {
    *why = 0;
    try {
        return Store::openMemory(shape, dir, why, create);
    } catch (...) {
        return nullptr;
    }
}

Store* openDisk(const char* dir, const qarbin::Shape& shape, int* why, bool create) noexcept {
    *why = 0;
    try {
        Store* store = Store::openDisk(dir, shape, why, create);
        qarbin_fault_guard(store);
        return store;
    } catch (...) {
        return nullptr;
    }
}

Store* openShm(const char* name, const qarbin::Shape& shape, bool writable, int* why, bool create) noexcept {
    *why = 0;
    try {
        Store* store = Store::openShm(name, shape, writable, why, create);
        qarbin_fault_guard(store);
        return store;
    } catch (...) {
        return nullptr;
    }
}

void tune(Store* store, uint32_t pqTrainingSize, uint32_t autoIndexThreshold, uint64_t memoryLimit) noexcept {
    store->pqTrainingSize = pqTrainingSize;
    store->autoIndexThreshold = autoIndexThreshold;
    store->memoryLimit = memoryLimit;
}

uint32_t threads(const Store* store) noexcept { return store->threads; }

void setThreads(Store* store, uint32_t threads) noexcept { store->threads = threads > 0 ? threads : 1; }

void close(Store* store) noexcept {
    try {
        delete store;
    } catch (...) {
    }
    // Only now: closing may touch the mappings (held-back records stored).
    qarbin_fault_unguard(store);
}

bool catchUp(Store* store) noexcept {
    try {
        return store->catchUp();
    } catch (...) {
        return false;
    }
}

bool followGeneration(Store* store) noexcept {
    try {
        return store->followGeneration();
    } catch (...) {
        return false;
    }
}

bool sameName(const Store* store, const char* name) noexcept { return std::strcmp(store->name, name) == 0; }

bool destroyShm(const char* name) noexcept {
    try {
        return Store::destroyShm(name);
    } catch (...) {
        return false;
    }
}

int set(Store* store, const char* key, const float* vector, const char* metadata, uint32_t metaLen, const char* text,
        uint32_t textLen) noexcept {
    try {
        return store->set(key, vector, metadata, metaLen, text, textLen);
    } catch (...) {
        store->writeFailure = qarbin::WriteFailure::OutOfMemory;
        return -1;
    }
}

qarbin::WriteFailure writeFailure(const Store* store) noexcept { return store->writeFailure; }

int del(Store* store, const char* key) noexcept {
    try {
        return store->del(key);
    } catch (...) {
        return -1;
    }
}

int setMetadata(Store* store, const char* key, const char* metadata, uint32_t metaLen) noexcept {
    try {
        return store->setMetadata(key, metadata, metaLen);
    } catch (...) {
        store->writeFailure = qarbin::WriteFailure::OutOfMemory;
        return -1;
    }
}

int search(Store* store, const float* query, int topK, float precision, qarbin::Result** out,
           const qarbin::Filter* filter) noexcept {
    try {
        return store->search(query, topK, precision, out, filter);
    } catch (...) {
        return -1;
    }
}

int retrieve(Store* store, const float* query, int topK, float precision, qarbin::Result** out,
             const qarbin::Filter* filter, const qarbin::SearchRefinement& how) noexcept {
    try {
        return store->retrieve(query, topK, precision, out, filter, how);
    } catch (...) {
        return -1;
    }
}

int similar(Store* store, const char* key, int topK, float precision, qarbin::Result** out,
            const qarbin::Filter* filter, const qarbin::SearchRefinement& how) noexcept {
    try {
        const int n = store->similar(key, topK, precision, out, filter, how);
        return n == -1 ? -2 : n;
    } catch (...) {
        return -1;
    }
}

long find(Store* store, const qarbin::Filter* filter, uint64_t offset, uint64_t limit, qarbin::Result** out) noexcept {
    try {
        return store->find(filter, offset, limit, out);
    } catch (...) {
        return -1;
    }
}

long deleteWhere(Store* store, const qarbin::Filter& filter) noexcept {
    try {
        return store->deleteWhere(filter);
    } catch (...) {
        return -1;
    }
}

int has(Store* store, const char* key) noexcept {
    try {
        return store->has(key) ? 1 : 0;
    } catch (...) {
        return -1;
    }
}

std::vector<std::string>* keys(Store* store, const char* prefix, size_t prefixLen) noexcept {
    std::vector<std::string>* out = nullptr;
    try {
        out = new std::vector<std::string>;
        store->keys(prefix, prefixLen, out);
        return out;
    } catch (...) {
        delete out;
        return nullptr;
    }
}

void releaseKeys(std::vector<std::string>* keys) noexcept { delete keys; }

int searchMany(Store* store, const float* queries, uint32_t count, int topK, float precision,
               const qarbin::Filter* filter, qarbin::Result* results, int* counts) noexcept {
    try {
        return store->searchMany(queries, count, topK, precision, filter, store->threads, results, counts);
    } catch (...) {
        return -1;
    }
}

int get(Store* store, const char* key, float* vecOut, char** metaOut, uint32_t* lenOut, char** textOut,
        uint32_t* textLenOut) noexcept {
    try {
        return store->get(key, vecOut, metaOut, lenOut, textOut, textLenOut);
    } catch (...) {
        return -1;
    }
}

int searchText(Store* store, const char* query, size_t queryLen, int topK, const qarbin::Filter* filter,
               double minScore, qarbin::Result** out) noexcept {
    try {
        return store->searchText(query, queryLen, topK, filter, minScore, out);
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

long compact(Store* store) noexcept {
    try {
        return store->compact();
    } catch (...) {
        return -1;
    }
}

uint32_t dim(const Store* store) noexcept { return store->shape.dim; }
bool writable(const Store* store) noexcept { return store->writable; }
qarbin::StorageMode mode(const Store* store) noexcept { return store->mode; }
uint64_t count(const Store* store) noexcept { return store->count(); }

int segmentRefusal(const Store* store) noexcept { return store->segmentRefusal; }
const char* refusedSegment(const Store* store) noexcept { return store->refusedSegment; }
const char* lastRefusedSegment() noexcept { return qarbin::lastRefusedSegment(); }

const char* truncatedBacking(const Store* store) noexcept { return store->truncatedBacking(); }
void abandonWrites(Store* store) noexcept { store->abandonWrites(); }

void stats(const Store* store, qarbin::StoreStats* out) noexcept { store->stats(out); }

int indexFor(Store* store, double seconds, bool first) noexcept {
    try {
        return store->indexFor(seconds, first);
    } catch (...) {
        return -1;
    }
}

uint64_t pendingGraphRecords(const Store* store) noexcept { return store->pendingGraphRecords(); }
uint64_t recordsInGraphs(const Store* store) noexcept { return store->recordsInGraphs(); }

void forEachRecord(Store* store, float* scratch, qarbin::RecordVisitor visit, void* ctx) noexcept {
    try {
        store->forEachRecord(scratch, visit, ctx);
    } catch (...) {
    }
}

}  // namespace qarbin_php
