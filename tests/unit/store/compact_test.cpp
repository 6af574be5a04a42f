// Compaction in every storage mode: live records kept as stored, dead slots
// given back, held-back PQ records and the codebook untouched.
#include <gtest/gtest.h>

#include <dirent.h>
#include <map>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/store/store_internal.h"
#include "shm_helpers.h"
#include "store_fixture.h"

using namespace store_test;
using qarbin::DistanceMetric;
using qarbin::Quantization;
using qarbin::StorageMode;
using qarbin::Store;

namespace {

struct Case {
    const char* name;
    StorageMode mode;
    Quantization q;
    uint32_t m;
};

constexpr uint32_t kDim = 16;

// Opens a store of the case's mode with segments of `cap` slots.
StorePtr openCase(const Case& c, const std::string& where, uint64_t cap) {
    const qarbin::Shape shape = qarbin_test::makeShape(kDim, DistanceMetric::Euclidean, c.q, cap, false, 16, 200, c.m);
    switch (c.mode) {
        case StorageMode::Memory:
            return StorePtr(Store::openMemory(shape, nullptr));
        case StorageMode::Disk:
            return StorePtr(Store::openDisk(where.c_str(), shape));
        case StorageMode::Shm:
            return StorePtr(Store::openShm(where.c_str(), shape, true));
    }
    return nullptr;
}

uint64_t deadCount(const Store& st) {
    qarbin::StoreStats s;
    st.stats(&s);
    return s.deadCount;
}

// Every live key with its fetched vector and metadata.
std::map<std::string, Fetched> contents(Store& st, int keys) {
    std::map<std::string, Fetched> all;
    for (int i = 0; i < keys; ++i) {
        Fetched f = fetch(st, key(i));
        if (f.found) all[key(i)] = f;
    }
    return all;
}

void expectSameContents(const std::map<std::string, Fetched>& a, const std::map<std::string, Fetched>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (const auto& [k, f] : a) {
        auto it = b.find(k);
        ASSERT_NE(it, b.end()) << k;
        EXPECT_EQ(f.v, it->second.v) << k;
        EXPECT_EQ(f.meta, it->second.meta) << k;
        EXPECT_EQ(f.metaNull, it->second.metaNull) << k;
    }
}

// 300 keys over segments of 64 slots, every third replaced, every fifth deleted.
void fillWithDeadSlots(Store& st) {
    for (int i = 0; i < 300; ++i) ASSERT_EQ(setVec(st, i, i % 2 ? "odd" : nullptr), 0);
    for (int i = 0; i < 300; i += 3) {
        std::vector<float> v = vec(i + 1000, kDim);
        ASSERT_EQ(st.set(key(i).c_str(), v.data(), "new", 3), 0);
    }
    for (int i = 0; i < 300; i += 5) EXPECT_EQ(st.del(key(i).c_str()), 0);
}

class CompactModes : public ::testing::TestWithParam<Case> {};

TEST_P(CompactModes, KeepsLiveRecordsAsStoredAndGivesBackDeadSlots) {
    const Case c = GetParam();
    qarbin_test::TempDir tmp;
    qarbin_test::ShmStoreName shm("compact");
    const std::string where = c.mode == StorageMode::Shm ? shm.name : tmp.file("store");
    StorePtr st = openCase(c, where, 64);
    ASSERT_TRUE(st);
    st->pqTrainingSize = 64;
    fillWithDeadSlots(*st);
    ASSERT_EQ(st->pqBuffer, nullptr);  // trained

    const auto before = contents(*st, 300);
    const std::vector<float> q = vec(7, kDim);
    const std::vector<Hit> hitsBefore = search(*st, q.data(), 20, 0.0f);
    const uint64_t usedBefore = qarbin::usedSlotsOf(st->segments);
    const uint64_t dead = deadCount(*st);
    ASSERT_GT(dead, 0u);
    std::string codebook;
    if (c.q == Quantization::PQ) {
        const qarbin::Segment* t = qarbin::firstTrained(st->segments);
        ASSERT_NE(t, nullptr);
        codebook.assign(reinterpret_cast<const char*>(t->codebook), qarbin::Segment::codebookSize(kDim, c.m));
    }

    const long reclaimed = st->compact();
    EXPECT_EQ(reclaimed, static_cast<long>(dead));
    EXPECT_EQ(qarbin::usedSlotsOf(st->segments), usedBefore - dead);
    EXPECT_EQ(deadCount(*st), 0u);
    EXPECT_EQ(st->count(), before.size());
    expectSameContents(before, contents(*st, 300));
    // Encoded vectors are copied as stored: the same scores, bit for bit.
    const std::vector<Hit> hitsAfter = search(*st, q.data(), 20, 0.0f);
    ASSERT_EQ(hitsBefore.size(), hitsAfter.size());
    for (size_t i = 0; i < hitsBefore.size(); ++i) {
        EXPECT_EQ(hitsBefore[i].key, hitsAfter[i].key);
        EXPECT_EQ(hitsBefore[i].score, hitsAfter[i].score);
    }
    if (c.q == Quantization::PQ) {
        for (const qarbin::Segment* seg : st->segments) {
            ASSERT_NE(seg->codebook, nullptr);
            EXPECT_EQ(std::memcmp(seg->codebook, codebook.data(), codebook.size()), 0);
        }
    }
    // Writes go on after it, and the graph is built again on demand.
    ASSERT_EQ(setVec(*st, 5000), 0);
    EXPECT_TRUE(fetch(*st, key(5000)).found);
    EXPECT_EQ(search(*st, vec(5000, kDim).data(), 1, 50.0f).at(0).key, key(5000));
    EXPECT_EQ(st->compact(), 0);

    if (c.mode == StorageMode::Memory) return;
    // Another handle opened afterwards sees the compacted store.
    auto after = contents(*st, 300);
    st.reset();
    StorePtr again = openCase(c, where, 64);
    ASSERT_TRUE(again);
    expectSameContents(after, contents(*again, 300));
    EXPECT_EQ(deadCount(*again), 0u);
}

INSTANTIATE_TEST_SUITE_P(Compact, CompactModes,
                         ::testing::Values(Case{"memory_f32", StorageMode::Memory, Quantization::None, 0},
                                           Case{"memory_int8", StorageMode::Memory, Quantization::Int8, 0},
                                           Case{"memory_pq", StorageMode::Memory, Quantization::PQ, 4},
                                           Case{"disk_f16", StorageMode::Disk, Quantization::F16, 0},
                                           Case{"disk_binary", StorageMode::Disk, Quantization::Binary, 0},
                                           Case{"disk_pq", StorageMode::Disk, Quantization::PQ, 4},
                                           Case{"shm_f32", StorageMode::Shm, Quantization::None, 0},
                                           Case{"shm_pq", StorageMode::Shm, Quantization::PQ, 8}),
                         [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

class CompactHeldBack : public ::testing::TestWithParam<Case> {};

// Records a PQ store still holds back stay held back, and are trained and
// stored as usual once enough arrive.
TEST_P(CompactHeldBack, LeavesHeldBackRecordsAndTrainsLater) {
    const Case c = GetParam();
    qarbin_test::TempDir tmp;
    qarbin_test::ShmStoreName shm("compact_held");
    const std::string where = c.mode == StorageMode::Shm ? shm.name : tmp.file("store");
    StorePtr st = openCase(c, where, 16);
    ASSERT_TRUE(st);
    st->pqTrainingSize = 40;
    for (int i = 0; i < 30; ++i) ASSERT_EQ(setVec(*st, i), 0);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(setVec(*st, i), 0);  // replaced while held back
    ASSERT_NE(st->pqBuffer, nullptr);
    EXPECT_EQ(st->compact(), 0);
    ASSERT_NE(st->pqBuffer, nullptr);
    EXPECT_EQ(st->count(), 30u);
    EXPECT_EQ(fetch(*st, key(3)).v, vec(3, kDim));
    for (int i = 30; i < 40; ++i) ASSERT_EQ(setVec(*st, i), 0);
    EXPECT_EQ(st->pqBuffer, nullptr);
    EXPECT_EQ(st->count(), 40u);
    EXPECT_NE(qarbin::firstTrained(st->segments), nullptr);
    EXPECT_EQ(search(*st, vec(35, kDim).data(), 1, 0.0f).at(0).key, key(35));
}

INSTANTIATE_TEST_SUITE_P(Compact, CompactHeldBack,
                         ::testing::Values(Case{"memory", StorageMode::Memory, Quantization::PQ, 4},
                                           Case{"disk", StorageMode::Disk, Quantization::PQ, 4},
                                           Case{"shm", StorageMode::Shm, Quantization::PQ, 4}),
                         [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

// 20 000 rewrites of one key: afterwards one record in one segment.
TEST(Compact, RewritesOfOneKeyShrinkToOneSegment) {
    for (StorageMode mode : {StorageMode::Memory, StorageMode::Disk, StorageMode::Shm}) {
        qarbin_test::TempDir tmp;
        qarbin_test::ShmStoreName shm("compact_one");
        const Case c{"one", mode, Quantization::None, 0};
        StorePtr st = openCase(c, mode == StorageMode::Shm ? shm.name : tmp.file("store"), 1024);
        ASSERT_TRUE(st);
        for (int i = 0; i < 20000; ++i) {
            std::vector<float> v = vec(i, kDim);
            ASSERT_EQ(st->set("only", v.data(), nullptr, 0), 0);
        }
        // A memory store has compacted itself on the way (see below).
        const uint64_t used = qarbin::usedSlotsOf(st->segments);
        if (mode != StorageMode::Memory) {
            EXPECT_EQ(used, 20000u);
        }
        EXPECT_EQ(st->compact(), static_cast<long>(used - 1));
        ASSERT_EQ(st->segments.size(), 1u);
        EXPECT_EQ(qarbin::usedSlotsOf(st->segments), 1u);
        EXPECT_EQ(st->segments[0]->capacity(), 1024u);
        EXPECT_EQ(fetch(*st, "only").v, vec(19999, kDim));
    }
}

// A memory store whose segment is full compacts itself before it grows
// when more slots are dead than live: rewrites never make it grow.
TEST(Compact, MemoryStoreRewrittenInPlaceCompactsItselfInsteadOfGrowing) {
    StorePtr st = memStore(kDim, 1024);
    ASSERT_TRUE(st);
    for (int i = 0; i < 20000; ++i) {
        std::vector<float> v = vec(i, kDim);
        ASSERT_EQ(st->set(key(i % 100).c_str(), v.data(), nullptr, 0), 0);
    }
    ASSERT_EQ(st->segments.size(), 1u);
    EXPECT_EQ(st->segments[0]->capacity(), 1024u);
    EXPECT_EQ(st->count(), 100u);
    for (int i = 19900; i < 20000; ++i) EXPECT_EQ(fetch(*st, key(i % 100)).v, vec(i, kDim));
    // Mostly live records grow the store as before.
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(setVec(*st, 100 + i), 0);
    EXPECT_EQ(st->segments[0]->capacity(), 4096u);
}

// A memory store at its limit refuses new records, also after deletions
// (a delete does not free a slot); compacted, it takes them again.
TEST(Compact, MemoryLimitReachedThenCompactedThenWritesSucceed) {
    StorePtr st = memStore(kDim, 64);
    ASSERT_TRUE(st);
    const uint64_t one = qarbin::Segment::computeMmapSize(64, kDim, Quantization::None, 0);
    st->memoryLimit = 3 * one;
    int stored = 0;
    while (stored < 100000 && setVec(*st, stored) == 0) ++stored;
    ASSERT_LT(stored, 100000);
    EXPECT_EQ(st->writeFailure, qarbin::WriteFailure::MemoryLimit);
    for (int i = 0; i < stored; i += 3) ASSERT_EQ(st->del(key(i).c_str()), 0);
    EXPECT_NE(setVec(*st, 200000), 0);
    EXPECT_EQ(st->writeFailure, qarbin::WriteFailure::MemoryLimit);
    const long reclaimed = st->compact();
    EXPECT_EQ(reclaimed, (stored + 2) / 3);
    // Room for as many new records as there were dead slots.
    for (int i = 0; i < reclaimed; ++i) ASSERT_EQ(setVec(*st, 200000 + i), 0) << i;
    EXPECT_EQ(fetch(*st, key(1)).v, vec(1, kDim));
}

size_t countEntries(const std::string& dir, const char* prefix) {
    size_t n = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strncmp(e->d_name, prefix, std::strlen(prefix)) == 0) ++n;
        closedir(d);
    }
    return n;
}

// A disk store of 3000 keys written twice, every fourth deleted; its live records.
std::map<std::string, Fetched> buildDiskStore(const Case& c, const std::string& dir) {
    StorePtr st = openCase(c, dir, 512);
    EXPECT_TRUE(st);
    if (!st) return {};
    for (int i = 0; i < 6000; ++i) EXPECT_EQ(setVec(*st, i % 3000, i % 7 ? "m" : nullptr), 0);
    for (int i = 0; i < 3000; i += 4) EXPECT_EQ(st->del(key(i).c_str()), 0);
    return contents(*st, 3000);
}

// A compactor killed at any moment leaves the old store or the new one:
// the same live records either way, never a mix, and nothing left over.
TEST(Compact, DiskCompactionKilledAtRandomMomentsLosesNothing) {
    qarbin_test::TempDir tmp;
    const Case c{"disk", StorageMode::Disk, Quantization::None, 0};
    srand(12345);
    int sawOld = 0, sawNew = 0;
    // The kills are spread over the time an open and a whole compaction
    // take here, measured on a first round that is not killed.
    long spanMicros = 0;
    for (int round = 0; round < 16; ++round) {
        const std::string dir = tmp.file("store" + std::to_string(round));
        const std::map<std::string, Fetched> expected = buildDiskStore(c, dir);
        ASSERT_EQ(expected.size(), 2250u);
        const pid_t pid = fork();
        if (pid == 0) {
            Store* st = Store::openDisk(dir.c_str(), qarbin_test::makeShape(kDim, DistanceMetric::Euclidean, Quantization::None, 512));
            _exit(st != nullptr && st->compact() >= 0 ? 0 : 1);
        }
        int status = 0;
        if (round == 0) {
            timespec a, b;
            clock_gettime(CLOCK_MONOTONIC, &a);
            waitpid(pid, &status, 0);
            clock_gettime(CLOCK_MONOTONIC, &b);
            spanMicros = (b.tv_sec - a.tv_sec) * 1000000L + (b.tv_nsec - a.tv_nsec) / 1000 + 1;
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        } else {
            usleep(static_cast<useconds_t>(rand() % (spanMicros + spanMicros / 4)));
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        StorePtr st = openCase(c, dir, 512);
        ASSERT_TRUE(st) << round;
        expectSameContents(expected, contents(*st, 3000));
        EXPECT_EQ(st->count(), expected.size());
        const uint64_t dead = deadCount(*st);
        EXPECT_TRUE(dead == 0 || dead == 6000 - expected.size()) << dead;
        (dead == 0 ? sawNew : sawOld)++;
        EXPECT_EQ(countEntries(dir, "compact."), 0u) << round;
    }
    std::printf("compaction %ld us; killed rounds left the old store %d times, the new one %d times\n", spanMicros,
                sawOld, sawNew - 1);
}

// A second handle on a compacted directory follows the new files when
// asked (as a handle kept across requests does), and a stale handle never
// compacts its old view back over the new store.
TEST(Compact, SecondDiskHandleFollowsTheCompactedFiles) {
    qarbin_test::TempDir tmp;
    const std::string dir = tmp.file("store");
    const Case c{"disk", StorageMode::Disk, Quantization::None, 0};
    StorePtr a = openCase(c, dir, 16);
    ASSERT_TRUE(a);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(setVec(*a, i), 0);
    StorePtr b = openCase(c, dir, 16);
    ASSERT_TRUE(b);
    EXPECT_FALSE(b->followGeneration());
    for (int i = 0; i < 40; i += 2) ASSERT_EQ(a->del(key(i).c_str()), 0);
    ASSERT_EQ(a->compact(), 20);
    EXPECT_TRUE(b->followGeneration());
    EXPECT_EQ(b->count(), 20u);
    EXPECT_EQ(b->segments.size(), a->segments.size());
    ASSERT_EQ(setVec(*b, 500), 0);
    EXPECT_EQ(fetch(*a, key(500)).v, vec(500, kDim));
    // a compacts again; b, not told, compacts too: from the new files.
    ASSERT_EQ(a->del(key(1).c_str()), 0);
    ASSERT_EQ(a->compact(), 1);
    EXPECT_GE(b->compact(), 0);
    StorePtr fresh = openCase(c, dir, 16);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->count(), 20u);
    EXPECT_FALSE(fetch(*fresh, key(1)).found);
    EXPECT_TRUE(fetch(*fresh, key(500)).found);
}

// A commit a compactor left half done: readers see the new store whole,
// the next disk opener finishes it; temporary directories of dead
// compactors go, those of live ones stay.
TEST(Compact, DiskOpenerFinishesAnInterruptedCommit) {
    qarbin_test::TempDir tmp;
    const std::string oldDir = tmp.file("old"), newDir = tmp.file("new");
    const Case c{"disk", StorageMode::Disk, Quantization::None, 0};
    {
        StorePtr o = openCase(c, oldDir, 16);
        StorePtr n = openCase(c, newDir, 16);
        ASSERT_TRUE(o && n);
        for (int i = 0; i < 40; ++i) ASSERT_EQ(setVec(*o, i), 0);  // 3 files
        for (int i = 100; i < 120; ++i) ASSERT_EQ(setVec(*n, i), 0);  // 2 files
        ASSERT_EQ(o->segments.size(), 3u);
        ASSERT_EQ(n->segments.size(), 2u);
    }
    const std::string ready = oldDir + "/compact.ready";
    ASSERT_EQ(mkdir(ready.c_str(), 0700), 0);
    // New file 0 already moved in place, new file 1 still waiting, old file 2 still there.
    ASSERT_EQ(rename(segFile(newDir, 0).c_str(), segFile(oldDir, 0).c_str()), 0);
    ASSERT_EQ(rename(segFile(newDir, 1).c_str(), segFile(ready, 1).c_str()), 0);
    { std::ofstream(ready + "/count") << "2\n"; }
    const std::string deadTemp = oldDir + "/compact.tmp-" + std::to_string(qarbin_test::deadPid());
    const std::string liveTemp = oldDir + "/compact.tmp-" + std::to_string(getppid());
    for (const std::string& d : {deadTemp, liveTemp}) {
        ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
        std::ofstream(d + "/seg_0000.qbseg") << "partial";
    }
    auto expectNewStore = [](Store& st) {
        EXPECT_EQ(st.count(), 20u);
        for (int i = 100; i < 120; ++i) EXPECT_EQ(fetch(st, key(i)).v, vec(i, kDim)) << i;
        EXPECT_FALSE(fetch(st, key(5)).found);
        EXPECT_FALSE(fetch(st, key(35)).found);
    };
    {
        // A memory store reads the commit where it stands and writes nothing.
        StorePtr m(Store::openMemory(qarbin_test::makeShape(kDim, DistanceMetric::Euclidean, Quantization::None, 16), oldDir.c_str()));
        ASSERT_TRUE(m);
        expectNewStore(*m);
        EXPECT_TRUE(exists(ready));
    }
    StorePtr st = openCase(c, oldDir, 16);
    ASSERT_TRUE(st);
    expectNewStore(*st);
    EXPECT_EQ(st->segments.size(), 2u);
    EXPECT_FALSE(exists(ready));
    EXPECT_FALSE(exists(segFile(oldDir, 2)));
    EXPECT_FALSE(exists(deadTemp));
    EXPECT_TRUE(exists(liveTemp));
}

}  // namespace
