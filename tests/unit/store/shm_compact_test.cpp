// Shared-memory compaction while other processes write and search: every
// acknowledged write survives, every record is found by its own vector,
// nobody faults; one compactor at a time, and a killed one is taken over.
#include <gtest/gtest.h>

#include <atomic>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/store/store_internal.h"
#include "shm_helpers.h"
#include "store_fixture.h"

using namespace store_test;
using qarbin::DistanceMetric;
using qarbin::Quantization;
using qarbin::Store;

namespace {

constexpr uint32_t kDim = 8;
constexpr int kWriters = 3;
constexpr int kKeys = 150;        // per writer
constexpr int kCompactions = 5;

qarbin::Shape shape() { return qarbin_test::makeShape(kDim, DistanceMetric::Euclidean, Quantization::None, 256); }

// What the workers share: the last acknowledged version of every key
// (0 never written, -1 deleted), and the compactor's progress.
struct Log {
    std::atomic<int> version[kWriters][kKeys];
    std::atomic<int> compactionsDone;
    std::atomic<int> failures;
};

std::string keyOf(int w, int j) { return "w" + std::to_string(w) + "_" + std::to_string(j); }
int vectorId(int w, int j, int v) { return (w * kKeys + j) * 100000 + v; }

int writer(const char* name, Log* log, int w) {
    StorePtr st(Store::openShm(name, shape(), true));
    if (!st) return 2;
    unsigned seed = 77u + static_cast<unsigned>(w);
    int version = 0;
    int after = 0;
    // Keeps writing through every compaction, then a little longer.
    while (after < 200) {
        if (log->compactionsDone.load() >= kCompactions) ++after;
        const int j = static_cast<int>(rand_r(&seed) % kKeys);
        const std::string k = keyOf(w, j);
        if (rand_r(&seed) % 10 == 0) {
            st->del(k.c_str());
            log->version[w][j].store(-1);
            continue;
        }
        ++version;
        const std::vector<float> v = vec(vectorId(w, j, version), kDim);
        if (st->set(k.c_str(), v.data(), k.c_str(), static_cast<uint32_t>(k.size())) != 0) {
            log->failures.fetch_add(1);
            continue;
        }
        log->version[w][j].store(version);
        // A write is readable by its writer at once, also across a switch.
        if (fetch(*st, k).v != v) log->failures.fetch_add(1);
    }
    return 0;
}

int searcher(const char* name, Log* log) {
    StorePtr st(Store::openShm(name, shape(), true));
    if (!st) return 2;
    unsigned seed = 991;
    while (log->compactionsDone.load() < kCompactions) {
        const std::vector<float> q = vec(static_cast<int>(rand_r(&seed) % 100000), kDim);
        search(*st, q.data(), 5, rand_r(&seed) % 2 ? 50.0f : 0.0f);
        fetch(*st, keyOf(0, static_cast<int>(rand_r(&seed) % kKeys)));
    }
    return 0;
}

int compactor(const char* name, Log* log) {
    StorePtr st(Store::openShm(name, shape(), true));
    if (!st) return 2;
    for (int i = 0; i < kCompactions; ++i) {
        usleep(30000);
        if (st->compact() < 0) log->failures.fetch_add(1);
        log->compactionsDone.fetch_add(1);
    }
    return 0;
}

TEST(ShmCompact, WritersAndSearchersDuringFiveCompactionsLoseNothing) {
    qarbin_test::ShmStoreName name("shm_compact");
    StorePtr owner(Store::openShm(name.c_str(), shape(), true));
    ASSERT_TRUE(owner);
    void* m = mmap(nullptr, sizeof(Log), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(m, MAP_FAILED);
    Log* log = new (m) Log();

    const std::vector<int> statuses = qarbin_test::runWorkers(kWriters + 2, [&](int i) {
        if (i < kWriters) return writer(name.c_str(), log, i);
        if (i == kWriters) return searcher(name.c_str(), log);
        return compactor(name.c_str(), log);
    });
    for (int s : statuses) EXPECT_EQ(s, 0);
    EXPECT_EQ(log->failures.load(), 0);
    EXPECT_EQ(qarbin::shmGenerationOf(owner->control->segmentCount.load()), static_cast<uint32_t>(kCompactions));

    StorePtr st(Store::openShm(name.c_str(), shape(), true));
    ASSERT_TRUE(st);
    // The long-lived handle follows to the same records.
    EXPECT_TRUE(owner->followGeneration());
    const std::map<std::string, int> live = qarbin_test::liveKeys(*st);
    size_t expectedLive = 0;
    for (int w = 0; w < kWriters; ++w) {
        for (int j = 0; j < kKeys; ++j) {
            const std::string k = keyOf(w, j);
            const int v = log->version[w][j].load();
            const auto it = live.find(k);
            if (v <= 0) {
                EXPECT_EQ(it, live.end()) << k;
                EXPECT_FALSE(fetch(*st, k).found) << k;
                continue;
            }
            ++expectedLive;
            ASSERT_NE(it, live.end()) << k << " version " << v;
            EXPECT_EQ(it->second, 1) << k;
            const std::vector<float> want = vec(vectorId(w, j, v), kDim);
            EXPECT_EQ(fetch(*st, k).v, want) << k;
            EXPECT_EQ(fetch(*owner, k).v, want) << k;
            const std::vector<Hit> hit = search(*st, want.data(), 1, 50.0f);
            ASSERT_EQ(hit.size(), 1u);
            EXPECT_EQ(hit[0].key, k);
        }
    }
    EXPECT_EQ(live.size(), expectedLive);
    EXPECT_EQ(st->count(), expectedLive);
    munmap(m, sizeof(Log));
}

// A compactor killed at any moment: the store keeps its records, the next
// compaction takes the lock over and cleans up what was left.
TEST(ShmCompact, KilledCompactorIsTakenOverAndLosesNothing) {
    qarbin_test::ShmStoreName name("shm_compact_kill");
    StorePtr st(Store::openShm(name.c_str(), shape(), true));
    ASSERT_TRUE(st);
    for (int i = 0; i < 4000; ++i) ASSERT_EQ(setVec(*st, i % 2000), 0);
    srand(4242);
    for (int round = 0; round < 8; ++round) {
        const pid_t pid = fork();
        if (pid == 0) {
            Store* c = Store::openShm(name.c_str(), shape(), true);
            _exit(c != nullptr && c->compact() >= 0 ? 0 : 1);
        }
        usleep(static_cast<useconds_t>(rand() % 20000));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        st->followGeneration();
        for (int i = 0; i < 2000; i += 97) EXPECT_EQ(fetch(*st, key(i)).v, vec(i, kDim)) << round;
        ASSERT_EQ(setVec(*st, 2000 + round), 0);
    }
    EXPECT_GE(st->compact(), 0);
    EXPECT_EQ(st->control->compactLock.load(), 0u);
    EXPECT_EQ(qarbin_test::liveKeys(*st).size(), 2008u);
    StorePtr fresh(Store::openShm(name.c_str(), shape(), true));
    ASSERT_TRUE(fresh);
    for (int i = 0; i < 2008; i += 13) EXPECT_TRUE(fetch(*fresh, key(i)).found) << i;
}

// One compactor at a time: a live holder of the lock keeps the others out.
TEST(ShmCompact, SecondCompactorIsRefusedWhileTheFirstHoldsTheLock) {
    qarbin_test::ShmStoreName name("shm_compact_busy");
    StorePtr a(Store::openShm(name.c_str(), shape(), true));
    ASSERT_TRUE(a);
    ASSERT_EQ(setVec(*a, 1), 0);
    a->control->compactLock.store(static_cast<uint32_t>(getppid()));
    EXPECT_EQ(a->compact(), -1);
    EXPECT_EQ(a->writeFailure, qarbin::WriteFailure::Busy);
    a->control->compactLock.store(qarbin_test::deadPid());
    EXPECT_EQ(a->compact(), 0);
    EXPECT_EQ(a->control->compactLock.load(), 0u);
}

}  // namespace
