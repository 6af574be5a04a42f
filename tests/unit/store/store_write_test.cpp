// Store write path: set, add, del, the held-back buffer, the key directory.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "core/segment/compact_copy.h"
#include "core/segment/compact_region.h"
#include "store_fixture.h"

using namespace store_test;
using qarbin::Quantization;
using qarbin::Segment;
using qarbin::Store;

TEST(StoreWrite, UpdateKeepsTheCountAndReturnsTheNewVector) {
    StorePtr st = memStore(4, 16);
    ASSERT_TRUE(st);
    std::vector<float> v1 = vec(1, 4), v2 = vec(2, 4);
    ASSERT_EQ(st->set("k", v1.data(), "old", 3), 0);
    ASSERT_EQ(st->set("k", v2.data(), "new", 3), 0);
    EXPECT_EQ(st->count(), 1u);
    Fetched f = fetch(*st, "k");
    ASSERT_TRUE(f.found);
    EXPECT_EQ(f.v, v2);
    EXPECT_EQ(f.meta, "new");
    // The old slot stays used as a tombstone.
    EXPECT_EQ(st->segments[0]->header->usedSlots.load(), 2u);
    EXPECT_EQ(st->segments[0]->header->liveCount.load(), 1u);
    EXPECT_TRUE(st->segments[0]->validAt(0));
    EXPECT_FALSE(st->segments[0]->liveAt(0));
}

TEST(StoreWrite, UpdateAcrossSegmentsMarksTheOlderCopy) {
    qarbin_test::TempDir dir;
    StorePtr st = diskStore(dir.path(), 4, 16);
    ASSERT_TRUE(st);
    for (int i = 0; i < 16; ++i) ASSERT_EQ(setVec(*st, i), 0);
    std::vector<float> nv = vec(100, 4);
    ASSERT_EQ(st->set(key(3).c_str(), nv.data(), nullptr, 0), 0);
    ASSERT_EQ(st->segments.size(), 2u);
    EXPECT_EQ(st->count(), 16u);
    EXPECT_EQ(st->segments[0]->header->liveCount.load(), 15u);
    EXPECT_EQ(fetch(*st, key(3)).v, nv);
    ASSERT_EQ(st->del(key(3).c_str()), 0);
    EXPECT_FALSE(fetch(*st, key(3)).found);
    EXPECT_EQ(st->count(), 15u);
}

TEST(StoreWrite, FailedUpdateKeepsTheOldRecord) {
    StorePtr st = memStore(4, 16);
    ASSERT_TRUE(st);
    for (int i = 0; i < 16; ++i) ASSERT_EQ(setVec(*st, i, "m"), 0);
    st->memoryLimit = st->segments[0]->countedBytes();  // no second segment, no more bytes
    std::vector<float> nv = vec(100, 4);
    EXPECT_EQ(st->set(key(5).c_str(), nv.data(), nullptr, 0), -1);
    EXPECT_EQ(st->count(), 16u);
    EXPECT_EQ(st->segments[0]->header->liveCount.load(), 16u);
    Fetched f = fetch(*st, key(5));
    ASSERT_TRUE(f.found);
    EXPECT_EQ(f.v, vec(5, 4));
    EXPECT_EQ(f.meta, "m");
}

TEST(StoreWrite, KeysAndMetadataBeyondTheLimitsAreRefusedWhole) {
    // The longest key and metadata each format holds.
    const struct {
        uint32_t format;
        size_t key, meta;
    } formats[] = {{qarbin::kSegmentVersion, 63, 4096}, {qarbin::kCompactSegmentVersion, 1024, 1048576}};
    for (const auto& fm : formats) {
        const std::string kMax(fm.key, 'a'), kOver(fm.key + 1, 'b');
        const std::string mMax(fm.meta, 'x'), mOver(fm.meta + 1, 'y');
        for (bool pq : {false, true}) {
            SCOPED_TRACE(std::string(pq ? "held back" : "segment") + " format " + std::to_string(fm.format));
            StorePtr st = pq ? memStoreIn(fm.format, 8, 16, Quantization::PQ, 2) : memStoreIn(fm.format, 8, 16);
            ASSERT_TRUE(st);
            std::vector<float> v = vec(1, 8);
            const struct {
                const char* key;
                const std::string* meta;
                int rc;
            } cases[] = {
                {nullptr, nullptr, -1}, {"", nullptr, -1},       {kOver.c_str(), nullptr, -1},
                {"m", &mOver, -1},      {kMax.c_str(), nullptr, 0}, {"m", &mMax, 0},
            };
            for (const auto& c : cases) {
                const char* meta = c.meta ? c.meta->data() : nullptr;
                uint32_t len = c.meta ? static_cast<uint32_t>(c.meta->size()) : 0;
                EXPECT_EQ(st->set(c.key, v.data(), meta, len), c.rc) << (c.key ? std::strlen(c.key) : 0);
            }
            EXPECT_EQ(st->add(1, kOver.c_str(), v.data(), nullptr, 0), -1);
            EXPECT_EQ(st->add(1, "n", v.data(), mOver.data(), static_cast<uint32_t>(mOver.size())), -1);
            EXPECT_EQ(st->count(), 2u);
            EXPECT_TRUE(fetch(*st, kMax).found);
            Fetched f = fetch(*st, "m");
            ASSERT_TRUE(f.found);
            EXPECT_EQ(f.meta, mMax);
            EXPECT_FALSE(fetch(*st, kOver).found);
            EXPECT_EQ(st->del(kOver.c_str()), -1);
        }
    }
}

TEST(StoreWrite, DeleteMarksEveryMatchOfTheFirstSegmentHoldingTheKey) {
    qarbin_test::TempDir dir;
    StorePtr st = diskStore(dir.path(), 4, 16);
    ASSERT_TRUE(st);
    std::vector<float> a = vec(1, 4), b = vec(2, 4), c = vec(3, 4);
    ASSERT_EQ(st->add(7, "dup", a.data(), nullptr, 0), 0);
    ASSERT_EQ(st->add(7, "dup", b.data(), nullptr, 0), 0);
    for (int i = 0; i < 14; ++i) ASSERT_EQ(setVec(*st, i), 0);
    ASSERT_EQ(st->add(7, "dup", c.data(), nullptr, 0), 0);
    ASSERT_EQ(st->segments.size(), 2u);
    EXPECT_EQ(st->count(), 17u);
    EXPECT_EQ(fetch(*st, "dup").v, c);  // newest segment wins

    ASSERT_EQ(st->del("dup"), 0);  // both copies in segment 0, not the one in 1
    EXPECT_EQ(st->count(), 15u);
    EXPECT_EQ(st->segments[0]->header->liveCount.load(), 14u);
    EXPECT_EQ(fetch(*st, "dup").v, c);
    ASSERT_EQ(st->del("dup"), 0);
    EXPECT_EQ(st->count(), 14u);
    EXPECT_EQ(st->del("dup"), -1);
    EXPECT_EQ(st->del("never"), -1);
    EXPECT_EQ(st->del(""), -1);
    EXPECT_EQ(st->del(nullptr), -1);
    EXPECT_EQ(st->count(), 14u);
}

TEST(StoreWrite, DeletingAHeldBackRecordMovesTheLastIntoItsPlace) {
    StorePtr st = memStore(8, 16, Quantization::PQ, 2);
    ASSERT_TRUE(st);
    ASSERT_EQ(setVec(*st, 1, "one"), 0);
    ASSERT_EQ(setVec(*st, 2, "two"), 0);
    ASSERT_EQ(setVec(*st, 3, "three"), 0);
    ASSERT_EQ(st->del(key(2).c_str()), 0);
    const qarbin::PQTrainingBuffer& b = *st->pqBuffer;
    ASSERT_EQ(b.count, 2u);
    ASSERT_EQ(b.keys.size(), 2u);
    EXPECT_EQ(b.keys[0], key(1));
    EXPECT_EQ(b.keys[1], key(3));
    EXPECT_EQ(b.metadata[1], "three");
    EXPECT_EQ(b.ids[1], qarbin::recordId(key(3).c_str()));
    ASSERT_EQ(b.vectors.size(), 16u);
    EXPECT_EQ(std::vector<float>(b.vectors.begin() + 8, b.vectors.end()), vec(3, 8));
    EXPECT_EQ(st->count(), 2u);
    EXPECT_FALSE(fetch(*st, key(2)).found);
    Fetched f = fetch(*st, key(3));
    EXPECT_EQ(f.v, vec(3, 8));
    EXPECT_EQ(f.meta, "three");
    EXPECT_TRUE(fetch(*st, key(1)).found);
    EXPECT_EQ(st->del(key(2).c_str()), -1);
    // An update of a held-back key replaces it: still two entries.
    ASSERT_EQ(setVec(*st, 1, "uno"), 0);
    EXPECT_EQ(st->count(), 2u);
    EXPECT_EQ(fetch(*st, key(1)).meta, "uno");
}

TEST(StoreWrite, PqCodebookIsTrainedWhenTheTrainingSizeIsReached) {
    StorePtr st = memStore(8, 4096, Quantization::PQ, 2);
    ASSERT_TRUE(st);
    ASSERT_EQ(st->pqTrainingSize, 256u);
    for (int i = 0; i < 255; ++i) ASSERT_EQ(setVec(*st, i), 0);
    EXPECT_NE(st->pqBuffer, nullptr);
    EXPECT_EQ(st->count(), 255u);
    EXPECT_EQ(st->totalCount.load(), 0u);
    EXPECT_EQ(st->segments[0]->codebook, nullptr);
    ASSERT_EQ(setVec(*st, 255), 0);
    EXPECT_EQ(st->pqBuffer, nullptr);
    EXPECT_EQ(st->totalCount.load(), 256u);
    EXPECT_EQ(st->count(), 256u);
    EXPECT_NE(st->segments[0]->codebook, nullptr);
    EXPECT_EQ(st->segments[0]->header->liveCount.load(), 256u);
    // Stored in arrival order, and every key is found again.
    EXPECT_EQ(qarbin_test::keyAt(*st->segments[0], 0), key(0));
    EXPECT_EQ(qarbin_test::keyAt(*st->segments[0], 255), key(255));
    for (int i = 0; i < 256; i += 51) EXPECT_TRUE(fetch(*st, key(i)).found) << i;
    // From now on records are stored at once.
    ASSERT_EQ(setVec(*st, 300), 0);
    EXPECT_EQ(st->totalCount.load(), 257u);
}

TEST(StoreWrite, UntrainedFirstSegmentRefusesWithMinusTwo) {
    StorePtr st = memStore(8, 16, Quantization::PQ, 2);
    ASSERT_TRUE(st);
    delete st->pqBuffer;  // as if the store had left the collecting state
    st->pqBuffer = nullptr;
    std::vector<float> v = vec(1, 8);
    EXPECT_EQ(st->set("a", v.data(), nullptr, 0), -2);
    EXPECT_EQ(st->count(), 0u);
    EXPECT_EQ(st->segments.size(), 1u);
}

// A model of what the store must hold, checked after a long random run of
// sets, deletes and adds of duplicate keys across many small segments (or,
// in memory, one segment that grows and compacts itself whenever it is full
// with more dead slots than live ones).
TEST(StoreWrite, RandomWorkloadMatchesAModel) {
    for (bool disk : {false, true}) {
        SCOPED_TRACE(disk ? "disk" : "memory");
        qarbin_test::TempDir dir;
        StorePtr st = disk ? diskStore(dir.path(), 4, 16) : memStore(4, 16);
        ASSERT_TRUE(st);
        std::map<std::string, int> model;  // key -> vector seed
        std::mt19937 rng(42);
        int seed = 0;
        for (int step = 0; step < 3000; ++step) {
            int op = static_cast<int>(rng() % 10);
            std::string k = key(static_cast<int>(rng() % 120));
            if (op < 6) {
                std::vector<float> v = vec(++seed, 4);
                ASSERT_EQ(st->set(k.c_str(), v.data(), nullptr, 0), 0);
                model[k] = seed;
            } else if (op < 9) {
                EXPECT_EQ(st->del(k.c_str()), model.erase(k) ? 0 : -1) << step;
            } else {
                Fetched f = fetch(*st, k);
                auto it = model.find(k);
                ASSERT_EQ(f.found, it != model.end()) << step << " " << k;
                if (f.found) {
                    EXPECT_EQ(f.v, vec(it->second, 4)) << step;
                }
            }
            if (step == 1500 && !disk) {
                st->clear();
                model.clear();
            }
        }
        EXPECT_EQ(st->count(), model.size());
        for (int i = 0; i < 120; ++i) {
            auto it = model.find(key(i));
            Fetched f = fetch(*st, key(i));
            ASSERT_EQ(f.found, it != model.end()) << i;
            if (f.found) {
                EXPECT_EQ(f.v, vec(it->second, 4));
            }
        }
        uint64_t live = 0;
        for (const Segment* seg : st->segments) live += seg->header->liveCount.load();
        EXPECT_EQ(live, model.size());
        // A disk store adds files; a memory store keeps one segment, which
        // compacted itself instead of growing to the ~1800 slots the sets took.
        if (disk) {
            EXPECT_GT(st->segments.size(), 50u);
        } else {
            EXPECT_EQ(st->segments.size(), 1u);
            EXPECT_LT(st->segments[0]->capacity(), 1024u);
            EXPECT_GE(st->segments[0]->capacity(), 2 * model.size());
        }
    }
}

// Two handles on one directory map the same files: records the other handle
// publishes in a segment with room are found by this one.
TEST(StoreWrite, DiskHandleSeesRecordsAnotherHandleAddedToAnOpenSegment) {
    qarbin_test::TempDir dir;
    StorePtr a = diskStore(dir.path(), 4, 64);
    ASSERT_TRUE(a);
    ASSERT_EQ(setVec(*a, 1), 0);
    StorePtr b = diskStore(dir.path(), 4, 64);
    ASSERT_TRUE(b);
    EXPECT_TRUE(fetch(*b, key(1)).found);
    EXPECT_FALSE(fetch(*b, key(2)).found);  // b's directory is built now
    ASSERT_EQ(setVec(*a, 2), 0);
    std::vector<float> nv = vec(50, 4);
    ASSERT_EQ(a->set(key(1).c_str(), nv.data(), nullptr, 0), 0);
    EXPECT_TRUE(fetch(*b, key(2)).found);
    EXPECT_EQ(fetch(*b, key(1)).v, nv);
    ASSERT_EQ(b->del(key(2).c_str()), 0);
    EXPECT_FALSE(fetch(*a, key(2)).found);
}

// A record another process has reserved but not published yet is skipped,
// and found as soon as its valid byte is set, also after later records
// were read.
namespace {

// Reserves room for a record "late" and fills all of it but the valid byte
// (version 6) or reserves its entry only (version 7); publish() completes it.
struct LateRecord {
    Segment* seg;
    std::vector<float> v;
    uint64_t at = 0, varAt = 0;
    qarbin::Record* r = nullptr;

    LateRecord(Segment* s, std::vector<float> vector) : seg(s), v(std::move(vector)) {
        if (seg->compact()) {
            qarbin::CompactRegion region(seg->base, seg->mappedLen);
            EXPECT_EQ(region.reserve(4, 0, 0, &at, &varAt), qarbin::CompactAdd::Stored);
            return;
        }
        at = seg->header->usedSlots.fetch_add(1);
        r = seg->recordAt(at);
        r->id = qarbin::recordId("late");
        std::strcpy(r->key, "late");
        r->dim = static_cast<uint16_t>(v.size());
        r->graphNode = -1;
        std::memcpy(reinterpret_cast<uint8_t*>(r) + qarbin::kSlotHeaderBytes, v.data(), sizeof(float) * v.size());
    }
    void publish() {
        if (seg->compact()) {
            qarbin::CompactRegion region(seg->base, seg->mappedLen);
            // fill copies a whole row: the vector padded to rowBytes.
            std::vector<uint8_t> padded(region.rowBytes(), 0);
            std::memcpy(padded.data(), v.data(), sizeof(float) * v.size());
            const uint8_t* row = padded.data();
            std::vector<float> scratch(v.size());
            const float norm = qarbin::compactNorm(*seg->compactHeader, row, nullptr, scratch.data());
            region.fill(at, varAt, qarbin::recordId("late"), "late", 4, row, norm, nullptr, 0);
            return;
        }
        qarbin::publishRecord(r);
        seg->header->liveCount.fetch_add(1);
    }
};

}  // namespace

TEST(StoreWrite, RecordPublishedAfterLaterOnesIsFoundOnceValid) {
    for (uint32_t format : {qarbin::kSegmentVersion, qarbin::kCompactSegmentVersion}) {
        SCOPED_TRACE(format);
        StorePtr st = memStoreIn(format, 4, 64);
        ASSERT_TRUE(st);
        ASSERT_EQ(setVec(*st, 0), 0);
        LateRecord late(st->segments[0], vec(9, 4));
        EXPECT_FALSE(fetch(*st, "late").found);
        ASSERT_EQ(setVec(*st, 1), 0);  // the record after it
        EXPECT_TRUE(fetch(*st, key(1)).found);
        late.publish();
        Fetched f = fetch(*st, "late");
        ASSERT_TRUE(f.found);
        EXPECT_EQ(f.v, late.v);
        ASSERT_EQ(st->del("late"), 0);
        EXPECT_FALSE(fetch(*st, "late").found);
    }
}
