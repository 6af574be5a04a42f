#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/segment/key_index.h"
#include "core/segment/segment.h"
#include "seg_fixture.h"
#include "test_util.h"

using namespace segtest;

namespace {

std::vector<std::string> keyPool(size_t n) {
    std::vector<std::string> keys;
    for (size_t i = 0; i < n; ++i) keys.push_back("key-" + std::to_string(i * 7919 % 100003));
    keys.push_back(std::string(63, 'L'));
    keys.push_back("");
    return keys;
}

// Every answer the index gives equals the plain slot walk.
void expectAgreesWithWalk(const Segment& s, const std::vector<std::string>& keys, const char* where,
                          size_t every = 1) {
    for (size_t i = 0; i < keys.size(); i += every) {
        const std::string& k = keys[i];
        const std::vector<uint64_t> walk = walkLive(s, k.c_str());
        std::vector<uint64_t> got = {12345};  // appended to, never cleared
        const size_t n = s.findLiveByKey(k.c_str(), got);
        ASSERT_EQ(n, walk.size()) << where << " key " << k;
        got.erase(got.begin());
        ASSERT_EQ(got, walk) << where << " key " << k;
        const int64_t first = walk.empty() ? -1 : static_cast<int64_t>(walk[0]);
        ASSERT_EQ(s.firstLiveByKey(k.c_str()), first) << where << " key " << k;
        if (!s.compact()) {
            ASSERT_EQ(s.getByKey(k.c_str()), walk.empty() ? nullptr : s.recordAt(walk[0])) << where << " key " << k;
        }
    }
}

// Tombstones the first live record (in slot order) whose id is `id`.
void deleteFirstWithId(Segment& s, uint64_t id) {
    const uint64_t n = s.usedSlotsClamped();
    for (uint64_t i = 0; i < n; ++i) {
        if (s.readableAt(i) && s.idAt(i) == id) {
            s.markDeleted(i);
            return;
        }
    }
}

// Random adds (with repeated keys), deletes by key, id and slot, and clears.
void randomOps(Segment& writer, const Segment& reader, uint32_t seed, int steps, size_t distinctKeys = 40) {
    std::mt19937 rng(seed);
    const auto keys = keyPool(distinctKeys);
    const auto v = vec(writer.dim, seed);
    for (int step = 0; step < steps; ++step) {
        const std::string& k = keys[rng() % keys.size()];
        switch (rng() % 10) {
            case 0:
            case 1: {
                const std::vector<uint64_t> before = walkLive(reader, k.c_str());
                ASSERT_EQ(deleteKey(writer, k.c_str()), static_cast<int>(before.size()));
                break;
            }
            case 2:
                if (writer.usedSlotsClamped()) writer.markDeleted(rng() % writer.usedSlotsClamped());
                break;
            case 3:
                // An id of the store's keys (the key hash) or, in slots, a
                // caller's own id.
                deleteFirstWithId(writer, rng() % 2 ? qarbin::keyHash(k.data(), k.size()) : rng() % 50);
                break;
            case 4:
                if (rng() % (4 * distinctKeys) == 0) writer.clearRecords();
                break;
            default:
                writer.add(rng() % 50, k.c_str(), v.data(), nullptr, 0);
        }
        if (step % 7 == 0) expectAgreesWithWalk(reader, keys, "step", keys.size() / 40 + 1);
    }
    expectAgreesWithWalk(reader, keys, "end");
}

}  // namespace

TEST(KeyIndex, HashIsFnv1aOfStoredBytes) {
    EXPECT_EQ(qarbin::storedKeyHash(""), 14695981039346656037ull);
    EXPECT_EQ(qarbin::storedKeyHash("a"), 0xaf63dc4c8601ec8cull);
    const std::string k70(70, 'z');
    EXPECT_EQ(qarbin::storedKeyHash(k70.c_str()), qarbin::storedKeyHash(k70.substr(0, 63).c_str()));
}

TEST(KeyIndex, AgreesWithSlotWalkOnRandomOperations) {
    for (uint32_t format : kBothFormats) {
        SCOPED_TRACE(format);
        for (uint32_t seed = 1; seed <= 4; ++seed) {
            SegPtr s(Segment::createMemory(qarbin_test::inFormat(shapeOf(3, 600), format)));
            randomOps(*s, *s, seed, 1500);
            if (HasFatalFailure()) return;
        }
    }
    // Many distinct keys: the table grows several times and long probe runs
    // form, so deletions inside runs are exercised.
    SegPtr s = memSeg6(3, 6000);
    randomOps(*s, *s, 99, 5000, 2000);
}

TEST(KeyIndex, ManyVersionsOfOneKeyStayCheap) {
    // The store deletes before it adds: one live record, many tombstones.
    // The process-local key index serves the fixed-slot format.
    SegPtr s = memSeg6(2, 5000);
    const auto v = vec(2, 1);
    for (int i = 0; i < 5000; ++i) {
        ASSERT_EQ(deleteKey(*s, "same"), i ? 1 : 0);
        ASSERT_EQ(s->add(i, "same", v.data(), nullptr, 0), 0);
    }
    EXPECT_EQ(s->getByKey("same"), s->recordAt(4999));
    ASSERT_NE(s->keyIndex, nullptr);
    EXPECT_LE(s->keyIndex->size(), 2u);  // tombstoned entries are dropped
}

// A second mapping of the same region stands in for another process.
// Fixed slots (version 6): the process-local key index and a slot published
// by hand; the compact key table has its own cross-process tests.
class KeyIndexShared : public ::testing::TestWithParam<qarbin::StorageMode> {
protected:
    qarbin_test::TempDir dir;
    ShmName shm{qarbin_test::uniqueShmName("kix")};
    SegPtr a, b;

    void SetUp() override {
        if (GetParam() == qarbin::StorageMode::Shm) {
            a.reset(Segment::createShm(shm.c_str(),
                                       shape6Of(3, 400, Quantization::None, 0, DistanceMetric::Cosine, 0, 0)));
            b.reset(Segment::openShm(shm.c_str(), 1));
        } else {
            const std::string path = dir.file("seg_0000.qbseg");
            a.reset(Segment::createDisk(path.c_str(),
                                        shape6Of(3, 400, Quantization::None, 0, DistanceMetric::Cosine, 0, 0)));
            b.reset(Segment::openDisk(path.c_str(), 1));
        }
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
    }
};

TEST_P(KeyIndexShared, SeesAddsDeletesAndClearsOfTheOtherMapping) {
    const auto v = vec(3, 9);
    const auto keys = keyPool(10);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(a->add(i, ("old" + std::to_string(i)).c_str(), v.data(), nullptr, 0), 0);
    ASSERT_NE(a->getByKey("old2"), nullptr);  // a has indexed five slots

    ASSERT_EQ(b->add(10, "fresh", v.data(), nullptr, 0), 0);
    ASSERT_EQ(deleteKey(*b, "old2"), 1);
    EXPECT_EQ(a->getByKey("old2"), nullptr);
    EXPECT_EQ(a->getByKey("fresh"), a->recordAt(5));

    // Cleared and refilled past what a has scanned: only the generation tells.
    b->clearRecords();
    for (int i = 0; i < 8; ++i) ASSERT_EQ(b->add(i, ("new" + std::to_string(i)).c_str(), v.data(), nullptr, 0), 0);
    EXPECT_EQ(a->getByKey("old0"), nullptr);
    EXPECT_EQ(a->getByKey("fresh"), nullptr);
    EXPECT_EQ(a->getByKey("new1"), a->recordAt(1));
    std::vector<uint64_t> slots;
    EXPECT_EQ(a->findLiveByKey("new4", slots), 1u);
    EXPECT_EQ(deleteKey(*a, "new4"), 1);
    EXPECT_EQ(b->getByKey("new4"), nullptr);

    // Cleared and refilled to fewer slots than a has scanned.
    b->clearRecords();
    ASSERT_EQ(b->add(1, "tiny", v.data(), nullptr, 0), 0);
    EXPECT_EQ(a->getByKey("tiny"), a->recordAt(0));
    EXPECT_EQ(a->getByKey("new1"), nullptr);

    // A slot reserved but not yet published is picked up once it is.
    const uint64_t s = b->header->usedSlots.fetch_add(1);
    EXPECT_EQ(a->getByKey("late"), nullptr);
    qarbin::Record* r = b->recordAt(s);
    std::strncpy(r->key, "late", 63);
    qarbin::publishRecord(r);
    EXPECT_EQ(a->getByKey("late"), a->recordAt(s));

    randomOps(*b, *a, 11, 800);
}

INSTANTIATE_TEST_SUITE_P(Modes, KeyIndexShared, ::testing::Values(qarbin::StorageMode::Shm, qarbin::StorageMode::Disk),
                         [](const auto& info) { return info.param == qarbin::StorageMode::Shm ? "Shm" : "Disk"; });
