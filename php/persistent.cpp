// Stores kept open across requests ("persistent" => true): one list per
// worker process, looked up by everything the constructor was asked for.
// A kept store is shared by every object that asks for it in a request and
// closed only when its name or files go away, or when the process ends.
#include "php/php_qarbin.h"

#include <cstdio>
#include <string>
#include <vector>

#include "php/store_calls.h"

namespace {

struct Kept {
    std::string key;
    qarbin::Store* store;
    uint32_t users;  // objects holding it now
    bool stale;      // no longer handed out; closed once unused
};

std::vector<Kept>* kept = nullptr;

// The request as one string: mode, name or directory and every setting and
// option that shapes or tunes the store.
std::string requestKey(const qarbin_open_request& req) {
    const qarbin::Shape& s = req.shape;
    char fields[256];
    std::snprintf(fields, sizeof fields, "%d|%u|%d|%d|%u|%u|%u|%llu|%d|%o|%d|%llu|%u|%u|", static_cast<int>(req.storage),
                  s.dim, static_cast<int>(s.metric), static_cast<int>(s.quantization), s.pqSubvectors, s.hnswM,
                  s.efConstruction, static_cast<unsigned long long>(s.capacity), s.useAvx2 ? 1 : 0, s.fileMode,
                  req.writable ? 1 : 0, static_cast<unsigned long long>(req.memoryLimit), req.pqTrainingSize,
                  req.autoIndexThreshold);
    std::string key(fields);
    if (req.where) key += req.where;
    return key;
}

// A store whose backing another process shortened is closed without
// writing: touching the lost pages would kill the process.
void closeKept(qarbin::Store* store) {
    if (qarbin_php::truncatedBacking(store)) qarbin_php::abandonWrites(store);
    qarbin_php::close(store);
}

void closeUnusedStale() {
    for (size_t i = 0; i < kept->size();) {
        Kept& k = (*kept)[i];
        if (!k.stale || k.users != 0) {
            ++i;
            continue;
        }
        closeKept(k.store);
        k = std::move(kept->back());
        kept->pop_back();
    }
}

// The kept store for req, brought up to date, with one more user; or null.
qarbin::Store* reuse(const qarbin_open_request& req) noexcept {
    if (!kept) return nullptr;
    try {
        const std::string key = requestKey(req);
        for (Kept& k : *kept) {
            if (k.stale || k.key != key) continue;
            if (!qarbin_php::catchUp(k.store)) {
                k.stale = true;
                closeUnusedStale();
                return nullptr;
            }
            ++k.users;
            return k.store;
        }
    } catch (...) {
    }
    return nullptr;
}

// False when the list cannot hold it (the store then stays the object's own).
bool keep(const qarbin_open_request& req, qarbin::Store* store) noexcept {
    try {
        if (!kept) kept = new std::vector<Kept>();
        kept->push_back(Kept{requestKey(req), store, 1, false});
        return true;
    } catch (...) {
        return false;
    }
}

Kept* entryOf(const qarbin::Store* store) {
    if (!kept) return nullptr;
    for (Kept& k : *kept)
        if (k.store == store) return &k;
    return nullptr;
}

}  // namespace

qarbin::Store* qarbin_open_persistent(const qarbin_open_request& req, bool* persistent) {
    *persistent = false;
    qarbin::Store* store = reuse(req);
    if (store) {
        *persistent = true;
        return store;
    }
    store = qarbin_open_requested(req);
    if (store) *persistent = keep(req, store);
    return store;
}

void qarbin_release_store(qarbin_store_object* intern) {
    qarbin::Store* store = intern->store;
    intern->store = nullptr;
    if (!store) return;
    Kept* k = intern->persistent ? entryOf(store) : nullptr;
    intern->persistent = false;
    if (!k) {
        qarbin_php::close(store);
        return;
    }
    if (k->users > 0) --k->users;
    closeUnusedStale();
}

void qarbin_forget_persistent(const qarbin::Store* store) {
    if (Kept* k = entryOf(store)) k->stale = true;
}

void qarbin_forget_persistent_shm(const char* name) {
    if (!kept) return;
    for (Kept& k : *kept)
        if (qarbin_php::mode(k.store) == qarbin::StorageMode::Shm && qarbin_php::sameName(k.store, name)) k.stale = true;
    closeUnusedStale();
}

void qarbin_persistent_request_end() {
    if (!kept) return;
    closeUnusedStale();
    // An idle kept store would hold the generation a compaction replaced
    // (all of its objects, in /dev/shm or on disk) until its next use.
    for (Kept& k : *kept)
        if (k.users == 0 && !k.stale) qarbin_php::followGeneration(k.store);
}

void qarbin_close_persistent() {
    if (!kept) return;
    for (Kept& k : *kept) closeKept(k.store);
    delete kept;
    kept = nullptr;
}
