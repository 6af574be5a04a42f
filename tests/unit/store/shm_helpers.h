// Helpers of the shared-memory and clear/snapshot tests: a store name that
// is destroyed at the end, forked workers, and walks over stored records.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "core/alloc.h"
#include "core/store/store.h"
#include "test_util.h"

namespace qarbin_test {

// A unique shared-memory store name whose objects are removed at the end.
struct ShmStoreName {
    std::string name;
    explicit ShmStoreName(const char* tag) : name(uniqueShmName(tag)) {}
    ~ShmStoreName() { qarbin::Store::destroyShm(name.c_str()); }
    const char* c_str() const { return name.c_str(); }
    std::string control() const { return "/qb_" + name; }
    std::string segment(unsigned n) const {
        char buf[256];
        std::snprintf(buf, sizeof buf, "/qb_%s_s%04u", name.c_str(), n);
        return buf;
    }
};

// Counts of live keys over every attached segment of a store.
inline std::map<std::string, int> liveKeys(const qarbin::Store& st) {
    std::map<std::string, int> keys;
    for (const qarbin::Segment* seg : st.segments) {
        uint64_t used = seg->usedSlotsClamped();
        for (uint64_t i = 0; i < used; ++i) {
            if (!seg->liveAt(i)) continue;
            const qarbin::KeyRef k = seg->keyAt(i);
            keys[std::string(k.data, k.len)]++;
        }
    }
    return keys;
}

inline uint64_t sumLiveCount(const qarbin::Store& st) {
    uint64_t n = 0;
    for (const qarbin::Segment* seg : st.segments) n += seg->header->liveCount.load();
    return n;
}

// Forks `n` workers running body(i) and waits for all; every worker starts
// body at the same moment (a barrier in shared anonymous memory). A worker
// reports body's result as its exit status and never returns into gtest.
// Returns the exit statuses (-1 for a worker that did not exit normally).
inline std::vector<int> runWorkers(int n, const std::function<int(int)>& body) {
    void* m = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    auto* ready = static_cast<std::atomic<int>*>(m);
    ready->store(0);
    std::vector<pid_t> pids;
    for (int i = 0; i < n; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            ready->fetch_add(1);
            while (ready->load() < n) {
            }
            int rc = body(i);
            _exit(rc);
        }
        pids.push_back(pid);
    }
    std::vector<int> statuses;
    for (pid_t pid : pids) {
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
            statuses.push_back(-1);
        } else {
            statuses.push_back(WEXITSTATUS(status));
        }
    }
    munmap(m, sizeof(std::atomic<int>));
    return statuses;
}

// The id of a process that has exited and been reaped.
inline uint32_t deadPid() {
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    int status = 0;
    waitpid(pid, &status, 0);
    return static_cast<uint32_t>(pid);
}

}  // namespace qarbin_test
