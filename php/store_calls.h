// Calls into the core store from the binding. Each one catches whatever the
// core lets escape (std::bad_alloc above all) so that no C++ exception ever
// reaches the engine; the methods call them from frames that own nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/store/store.h"

namespace qarbin_php {

// why: the errno of a failure the store can name, else 0 (Store::openDisk).
// create false: a missing store is refused (why ENOENT), nothing created.
qarbin::Store* openMemory(const qarbin::Shape& shape, const char* dir, int* why, bool create) noexcept;
qarbin::Store* openDisk(const char* dir, const qarbin::Shape& shape, int* why, bool create) noexcept;
qarbin::Store* openShm(const char* name, const qarbin::Shape& shape, bool writable, int* why, bool create) noexcept;
// Writes the three tuning fields the constructor owns.
void tune(qarbin::Store* store, uint32_t pqTrainingSize, uint32_t autoIndexThreshold, uint64_t memoryLimit) noexcept;
// Threads the explicit long calls may use (at least 1).
void setThreads(qarbin::Store* store, uint32_t threads) noexcept;
void close(qarbin::Store* store) noexcept;
// Store::catchUp; false also when it failed.
bool catchUp(qarbin::Store* store) noexcept;
// Store::followGeneration; false also when it failed.
bool followGeneration(qarbin::Store* store) noexcept;
// Whether a shared store was opened under this name.
bool sameName(const qarbin::Store* store, const char* name) noexcept;
bool destroyShm(const char* name) noexcept;

// -1 when the core failed in a way it could not report itself.
int set(qarbin::Store* store, const char* key, const float* vector, const char* metadata, uint32_t metaLen,
        const char* text = nullptr, uint32_t textLen = 0) noexcept;
int del(qarbin::Store* store, const char* key) noexcept;
// Store::setMetadata: 1 replaced, 0 not stored, -1 refused or failed.
int setMetadata(qarbin::Store* store, const char* key, const char* metadata, uint32_t metaLen) noexcept;
int search(qarbin::Store* store, const float* query, int topK, float precision, qarbin::Result** out,
           const qarbin::Filter* filter = nullptr) noexcept;
// Store::searchMany on the store's threads; -1 when the core failed.
int searchMany(qarbin::Store* store, const float* queries, uint32_t count, int topK, float precision,
               const qarbin::Filter* filter, qarbin::Result* results, int* counts) noexcept;
int get(qarbin::Store* store, const char* key, float* vecOut, char** metaOut, uint32_t* lenOut, char** textOut,
        uint32_t* textLenOut) noexcept;
// Store::searchText; -1 when the core failed.
int searchText(qarbin::Store* store, const char* query, size_t queryLen, int topK, const qarbin::Filter* filter,
               double minScore, qarbin::Result** out) noexcept;
// Store::retrieve, Store::similar (-2 when no record is stored under key)
// and Store::find; -1 when the core failed.
int retrieve(qarbin::Store* store, const float* query, int topK, float precision, qarbin::Result** out,
             const qarbin::Filter* filter, const qarbin::SearchRefinement& how) noexcept;
int similar(qarbin::Store* store, const char* key, int topK, float precision, qarbin::Result** out,
            const qarbin::Filter* filter, const qarbin::SearchRefinement& how) noexcept;
long find(qarbin::Store* store, const qarbin::Filter* filter, uint64_t offset, uint64_t limit,
          qarbin::Result** out) noexcept;
int clear(qarbin::Store* store) noexcept;
int snapshot(qarbin::Store* store, const char* dir) noexcept;
// Slots reclaimed, or -1 (Store::compact; writeFailure tells why).
long compact(qarbin::Store* store) noexcept;

// Filtered retrieval. deleteWhere: the number deleted, -1 on failure.
long deleteWhere(qarbin::Store* store, const qarbin::Filter& filter) noexcept;
// 1 stored, 0 not, -1 on failure.
int has(qarbin::Store* store, const char* key) noexcept;
// The live keys with the prefix in an owned vector, or null on failure;
// release with releaseKeys.
std::vector<std::string>* keys(qarbin::Store* store, const char* prefix, size_t prefixLen) noexcept;
void releaseKeys(std::vector<std::string>* keys) noexcept;

// Plain field reads.
qarbin::WriteFailure writeFailure(const qarbin::Store* store) noexcept;
uint32_t dim(const qarbin::Store* store) noexcept;
bool writable(const qarbin::Store* store) noexcept;
qarbin::StorageMode mode(const qarbin::Store* store) noexcept;
uint64_t count(const qarbin::Store* store) noexcept;
uint32_t threads(const qarbin::Store* store) noexcept;

// A segment the store met but could not take: why (0: none) and which
// (Store::segmentRefusal); for an opener that returned null, its name.
int segmentRefusal(const qarbin::Store* store) noexcept;
const char* refusedSegment(const qarbin::Store* store) noexcept;
const char* lastRefusedSegment() noexcept;

// The backing object now shorter than its mapping, or null (Store::truncatedBacking).
const char* truncatedBacking(const qarbin::Store* store) noexcept;
void abandonWrites(qarbin::Store* store) noexcept;

void stats(const qarbin::Store* store, qarbin::StoreStats* out) noexcept;

// Graph building in steps (Store::indexFor): 1 when stopped after `seconds`
// with work left, 0 when done, -1 on failure. first: the first step of a build.
int indexFor(qarbin::Store* store, double seconds, bool first) noexcept;
uint64_t pendingGraphRecords(const qarbin::Store* store) noexcept;
uint64_t recordsInGraphs(const qarbin::Store* store) noexcept;
// Every record dump() writes (Store::forEachRecord). scratch: at least 4096 floats.
void forEachRecord(qarbin::Store* store, float* scratch, qarbin::RecordVisitor visit, void* ctx) noexcept;

}  // namespace qarbin_php
