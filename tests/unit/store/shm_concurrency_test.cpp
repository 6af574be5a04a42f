// Several processes on one shared-memory store: first creation, concurrent
// segment creation, attaching, and the creation lock when its holder dies
// or never lets go.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/store/store.h"
#include "shm_helpers.h"

using qarbin::DistanceMetric;
using qarbin::Quantization;
using qarbin::Store;
using qarbin_test::ShmStoreName;

namespace {

constexpr uint32_t kDim = 4;

Store* openStore(const ShmStoreName& n, uint64_t cap) {
    return Store::openShm(n.c_str(), qarbin_test::makeShape(kDim, DistanceMetric::Euclidean, Quantization::None, cap, false, 16, 200, 0), true);
}

std::string workerKey(int worker, int i) { return "w" + std::to_string(worker) + "_" + std::to_string(i); }

void workerVector(int worker, int i, float* v) {
    v[0] = static_cast<float>(worker);
    v[1] = static_cast<float>(i);
    v[2] = 1.0f;
    v[3] = -1.0f;
}

bool shmExists(const std::string& name) {
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) return false;
    close(fd);
    return true;
}

// Every worker opens the same new name at the same moment and adds its own
// keys; the segment capacity is small, so segments are created concurrently.
TEST(ShmConcurrent, WorkersCreatingSegmentsAtOnceLoseNothing) {
    ShmStoreName n("many");
    constexpr int kWorkers = 4;
    constexpr int kPerWorker = 1500;
    constexpr uint64_t kCap = 64;
    std::vector<int> rc = qarbin_test::runWorkers(kWorkers, [&](int w) {
        Store* st = openStore(n, kCap);
        if (st == nullptr) return 1;
        float v[kDim];
        for (int i = 0; i < kPerWorker; ++i) {
            workerVector(w, i, v);
            if (st->set(workerKey(w, i).c_str(), v, nullptr, 0) != 0) return 2;
        }
        delete st;
        return 0;
    });
    for (int w = 0; w < kWorkers; ++w) EXPECT_EQ(rc[w], 0) << "worker " << w;

    std::unique_ptr<Store> st(openStore(n, kCap));
    ASSERT_TRUE(st);
    const uint32_t segs = st->control->segmentCount.load();
    // Numbers are consecutive from 0, none beyond the count, all attached.
    ASSERT_EQ(st->segments.size(), segs);
    EXPECT_FALSE(shmExists(n.segment(segs)));
    for (uint32_t i = 0; i < segs; ++i) {
        EXPECT_STREQ(st->segments[i]->shmName, n.segment(i).c_str());
    }
    EXPECT_GE(segs, static_cast<uint32_t>(kWorkers * kPerWorker / kCap));
    EXPECT_EQ(st->control->createLock.load(), 0u);

    // Every record once, with its own vector; totals agree.
    std::map<std::string, int> keys = qarbin_test::liveKeys(*st);
    EXPECT_EQ(keys.size(), static_cast<size_t>(kWorkers * kPerWorker));
    for (int w = 0; w < kWorkers; ++w) {
        for (int i = 0; i < kPerWorker; i += 97) {
            std::string key = workerKey(w, i);
            EXPECT_EQ(keys[key], 1) << key;
            float got[kDim], want[kDim];
            workerVector(w, i, want);
            ASSERT_EQ(st->get(key.c_str(), got, nullptr, nullptr), 0) << key;
            EXPECT_EQ(0, std::memcmp(got, want, sizeof got)) << key;
        }
    }
    for (const auto& kv : keys) EXPECT_EQ(kv.second, 1) << kv.first;
    EXPECT_EQ(st->control->totalCount.load(), static_cast<uint64_t>(kWorkers * kPerWorker));
    EXPECT_EQ(qarbin_test::sumLiveCount(*st), static_cast<uint64_t>(kWorkers * kPerWorker));
    EXPECT_EQ(st->count(), static_cast<uint64_t>(kWorkers * kPerWorker));
    // Only the last segments may have room left: a segment is created only
    // when all before it were full, so nothing was created twice.
    uint64_t used = 0;
    for (const qarbin::Segment* seg : st->segments) used += seg->header->usedSlots.load();
    EXPECT_EQ(used, static_cast<uint64_t>(kWorkers * kPerWorker));
    EXPECT_LE(segs, static_cast<uint32_t>(kWorkers * kPerWorker / kCap + kWorkers));
}

TEST(ShmConcurrent, FirstOpenersAtOnceMakeOneStoreAndOneFirstSegment) {
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        ShmStoreName n("first");
        std::vector<int> rc = qarbin_test::runWorkers(4, [&](int w) {
            Store* st = openStore(n, 1000);
            if (st == nullptr) return 1;
            float v[kDim];
            workerVector(w, 0, v);
            int r = st->set(workerKey(w, 0).c_str(), v, nullptr, 0);
            delete st;
            return r == 0 ? 0 : 2;
        });
        for (int w = 0; w < 4; ++w) EXPECT_EQ(rc[w], 0);
        std::unique_ptr<Store> st(openStore(n, 1000));
        ASSERT_TRUE(st);
        EXPECT_EQ(st->control->segmentCount.load(), 1u);
        EXPECT_FALSE(shmExists(n.segment(1)));
        EXPECT_EQ(st->control->totalCount.load(), 4u);
        EXPECT_EQ(qarbin_test::liveKeys(*st).size(), 4u);
    }
}

// get, delete and search each attach a segment another process created
// since: a record stored there is found, and deleted, without a search first.
TEST(ShmConcurrent, GetDeleteAndSearchAttachAnotherProcessesSegment) {
    ShmStoreName n("attach");
    std::unique_ptr<Store> b(openStore(n, 16));
    ASSERT_TRUE(b);
    ASSERT_EQ(b->segments.size(), 1u);

    std::vector<int> rc = qarbin_test::runWorkers(1, [&](int) {
        Store* a = openStore(n, 16);
        if (a == nullptr) return 1;
        float v[kDim];
        for (int i = 0; i < 20; ++i) {
            workerVector(7, i, v);
            if (a->set(workerKey(7, i).c_str(), v, nullptr, 0) != 0) return 2;
        }
        delete a;
        return 0;
    });
    ASSERT_EQ(rc[0], 0);
    EXPECT_EQ(b->control->segmentCount.load(), 2u);

    float got[kDim];
    float q[kDim];
    const std::string inFirst = workerKey(7, 3), inSecond = workerKey(7, 18);
    EXPECT_EQ(b->get(inFirst.c_str(), got, nullptr, nullptr), 0);
    EXPECT_EQ(b->get(inSecond.c_str(), got, nullptr, nullptr), 0);
    workerVector(7, 18, q);
    EXPECT_EQ(0, std::memcmp(got, q, sizeof got));
    EXPECT_EQ(b->segments.size(), 2u);

    // Created after b's get: found by a delete first.
    rc = qarbin_test::runWorkers(1, [&](int) {
        Store* a = openStore(n, 16);
        if (a == nullptr) return 1;
        float v[kDim];
        for (int i = 20; i < 40; ++i) {
            workerVector(7, i, v);
            if (a->set(workerKey(7, i).c_str(), v, nullptr, 0) != 0) return 2;
        }
        delete a;
        return 0;
    });
    ASSERT_EQ(rc[0], 0);
    const std::string inThird = workerKey(7, 39);
    EXPECT_EQ(b->del(inThird.c_str()), 0);
    EXPECT_EQ(b->get(inThird.c_str(), got, nullptr, nullptr), -1);

    workerVector(7, 38, q);
    qarbin::Result* res = nullptr;
    ASSERT_EQ(b->search(q, 1, 0.0f, &res), 1);
    EXPECT_EQ(std::string(res[0].key, res[0].keyLen), workerKey(7, 38));
    EXPECT_EQ(res[0].score, 0.0f);
    qarbin::releaseBytes(res);
}

TEST(ShmConcurrent, AttachStopsAtANumberThatDoesNotOpenAndResumesThere) {
    ShmStoreName n("gap");
    std::unique_ptr<Store> a(openStore(n, 16));
    std::unique_ptr<Store> b(openStore(n, 16));
    ASSERT_TRUE(a && b);
    float v[kDim] = {1, 2, 3, 4};
    for (int i = 0; i < 40; ++i) ASSERT_EQ(a->set(workerKey(0, i).c_str(), v, nullptr, 0), 0);
    ASSERT_EQ(a->control->segmentCount.load(), 3u);

    // Segment 1 looks foreign for a moment.
    uint32_t* magic = &a->segments[1]->header->magic;
    const uint32_t saved = *magic;
    *magic = 0;
    b->attachShmSegments();
    EXPECT_EQ(b->segments.size(), 1u);
    *magic = saved;
    b->attachShmSegments();
    ASSERT_EQ(b->segments.size(), 3u);
    for (unsigned i = 0; i < 3; ++i) EXPECT_STREQ(b->segments[i]->shmName, n.segment(i).c_str());
}

TEST(ShmConcurrent, LockOfADeadHolderIsTakenOver) {
    ShmStoreName n("deadlock");
    std::unique_ptr<Store> st(openStore(n, 16));
    ASSERT_TRUE(st);
    float v[kDim] = {1, 2, 3, 4};
    for (int i = 0; i < 16; ++i) ASSERT_EQ(st->set(workerKey(0, i).c_str(), v, nullptr, 0), 0);

    const uint32_t dead = qarbin_test::deadPid();
    st->control->createLock.store(dead);
    EXPECT_EQ(st->set("next", v, nullptr, 0), 0);
    EXPECT_EQ(st->control->createLock.load(), 0u);
    EXPECT_EQ(st->control->segmentCount.load(), 2u);
    EXPECT_EQ(st->segments.size(), 2u);
    EXPECT_EQ(st->count(), 17u);
}

TEST(ShmConcurrent, SegmentHalfCreatedByADeadHolderIsCreatedAgain) {
    ShmStoreName n("half");
    std::unique_ptr<Store> st(openStore(n, 16));
    ASSERT_TRUE(st);
    float v[kDim] = {1, 2, 3, 4};
    for (int i = 0; i < 16; ++i) ASSERT_EQ(st->set(workerKey(0, i).c_str(), v, nullptr, 0), 0);

    // The killed holder got as far as creating and filling segment 1.
    {
        std::unique_ptr<qarbin::Segment> half(qarbin::Segment::createShm(
            n.segment(1).c_str(), qarbin_test::makeShape(kDim, DistanceMetric::Euclidean, Quantization::None, 16)));
        ASSERT_TRUE(half);
        for (int i = 0; i < 5; ++i) ASSERT_EQ(half->add(i, "ghost", v, nullptr, 0), 0);
    }
    st->control->createLock.store(qarbin_test::deadPid());

    ASSERT_EQ(st->set("real", v, nullptr, 0), 0);
    ASSERT_EQ(st->segments.size(), 2u);
    EXPECT_EQ(st->segments[1]->header->usedSlots.load(), 1u);
    std::map<std::string, int> keys = qarbin_test::liveKeys(*st);
    EXPECT_EQ(keys.count("ghost"), 0u);
    EXPECT_EQ(keys["real"], 1);
}

TEST(ShmConcurrent, LockHeldByALiveProcessFailsTheAddAfterABound) {
    ShmStoreName n("livelock");
    std::unique_ptr<Store> st(openStore(n, 16));
    ASSERT_TRUE(st);
    float v[kDim] = {1, 2, 3, 4};
    for (int i = 0; i < 15; ++i) ASSERT_EQ(st->set(workerKey(0, i).c_str(), v, nullptr, 0), 0);

    pid_t holder = fork();
    if (holder == 0) {
        for (;;) pause();
    }
    ASSERT_GT(holder, 0);
    st->control->createLock.store(static_cast<uint32_t>(holder));

    // An add that fits an existing segment never needs the lock.
    EXPECT_EQ(st->set("fits", v, nullptr, 0), 0);
    EXPECT_EQ(st->set("blocked", v, nullptr, 0), -1);
    EXPECT_EQ(st->control->createLock.load(), static_cast<uint32_t>(holder));
    EXPECT_EQ(st->control->segmentCount.load(), 1u);
    EXPECT_EQ(st->count(), 16u);

    kill(holder, SIGKILL);
    int status = 0;
    waitpid(holder, &status, 0);
    EXPECT_EQ(st->set("after", v, nullptr, 0), 0);
    EXPECT_EQ(st->control->createLock.load(), 0u);
    EXPECT_EQ(st->control->segmentCount.load(), 2u);
}

}  // namespace

namespace {

// A worker killed inside the lock stays a zombie until it is reaped; the
// others must not wait for its parent.
TEST(ShmConcurrent, LockOfAnUnreapedDeadHolderIsTakenOver) {
    ShmStoreName n("zombie");
    std::unique_ptr<Store> st(openStore(n, 16));
    ASSERT_TRUE(st);
    float v[kDim] = {1, 2, 3, 4};
    for (int i = 0; i < 16; ++i) ASSERT_EQ(st->set(workerKey(0, i).c_str(), v, nullptr, 0), 0);

    pid_t holder = fork();
    if (holder == 0) _exit(0);
    ASSERT_GT(holder, 0);
    // Until it has exited, the holder is alive and the add would wait.
    siginfo_t info;
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(holder), &info, WEXITED | WNOWAIT), 0);
    st->control->createLock.store(static_cast<uint32_t>(holder));

    EXPECT_EQ(st->set("next", v, nullptr, 0), 0);
    EXPECT_EQ(st->control->createLock.load(), 0u);
    EXPECT_EQ(st->control->segmentCount.load(), 2u);
    int status = 0;
    waitpid(holder, &status, 0);
}

// Workers go on adding while one of them is killed at some point of its
// writes, possibly inside the lock: the others finish, and nothing they
// stored is lost or doubled.
TEST(ShmConcurrent, WorkerKilledMidWayStopsNobody) {
    ShmStoreName n("killed");
    constexpr uint64_t kCap = 32;
    constexpr int kPer = 1500;
    std::unique_ptr<Store> watch(openStore(n, kCap));
    ASSERT_TRUE(watch);

    pid_t victim = fork();
    if (victim == 0) {
        Store* st = openStore(n, kCap);
        float v[kDim];
        for (int i = 0;; ++i) {
            workerVector(9, i, v);
            if (st == nullptr || st->set(workerKey(9, i).c_str(), v, nullptr, 0) != 0) _exit(1);
        }
    }
    ASSERT_GT(victim, 0);
    // Let the victim create a few segments of its own first.
    for (int i = 0; i < 20000 && watch->control->segmentCount.load() < 8; ++i) usleep(500);
    std::vector<int> rc = qarbin_test::runWorkers(2, [&](int w) {
        Store* st = openStore(n, kCap);
        if (st == nullptr) return 1;
        float v[kDim];
        for (int i = 0; i < kPer; ++i) {
            if (w == 0 && i == kPer / 3) kill(victim, SIGKILL);
            workerVector(w, i, v);
            if (st->set(workerKey(w, i).c_str(), v, nullptr, 0) != 0) return 2;
        }
        delete st;
        return 0;
    });
    int status = 0;
    waitpid(victim, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(rc[0], 0);
    EXPECT_EQ(rc[1], 0);

    std::unique_ptr<Store> st(openStore(n, kCap));
    ASSERT_TRUE(st);
    ASSERT_EQ(st->segments.size(), st->control->segmentCount.load());
    std::map<std::string, int> keys = qarbin_test::liveKeys(*st);
    for (const auto& kv : keys) EXPECT_EQ(kv.second, 1) << kv.first;
    for (int w = 0; w < 2; ++w) {
        for (int i = 0; i < kPer; ++i) EXPECT_EQ(keys.count(workerKey(w, i)), 1u) << workerKey(w, i);
    }
    // The victim may have died between storing a record and counting it.
    uint64_t live = qarbin_test::sumLiveCount(*st), shared = st->control->totalCount.load();
    EXPECT_TRUE(live == shared || live == shared + 1) << live << " vs " << shared;
    EXPECT_EQ(live, keys.size());
}

}  // namespace
