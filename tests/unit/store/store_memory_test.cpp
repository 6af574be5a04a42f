// Memory-mode store: opener, rollover, memory limit, codebook inheritance.
#include <gtest/gtest.h>

#include "store_fixture.h"

using namespace store_test;
using qarbin::Quantization;
using qarbin::Segment;
using qarbin::Store;

TEST(StoreMemory, CapacityIsRaisedToSixteen) {
    const struct {
        uint64_t requested, expected;
    } cases[] = {{0, 16}, {1, 16}, {16, 16}, {17, 17}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.requested);
        StorePtr st = memStore(4, c.requested);
        ASSERT_TRUE(st);
        ASSERT_EQ(st->segments.size(), 1u);
        EXPECT_EQ(st->shape.capacity, c.expected);
        EXPECT_EQ(st->segments[0]->capacity(), c.expected);
        EXPECT_EQ(st->mode, qarbin::StorageMode::Memory);
        EXPECT_EQ(st->count(), 0u);
        // The segment takes exactly `expected` records; the next doubles it.
        for (uint64_t i = 0; i <= c.expected; ++i) ASSERT_EQ(setVec(*st, static_cast<int>(i)), 0);
        ASSERT_EQ(st->segments.size(), 1u);
        EXPECT_EQ(st->segments[0]->capacity(), 2 * c.expected);
        EXPECT_EQ(st->segments[0]->header->usedSlots.load(), c.expected + 1);
        EXPECT_EQ(st->shape.capacity, c.expected);
        EXPECT_EQ(st->count(), c.expected + 1);
    }
}

TEST(StoreMemory, MemoryLimitAllowsAnExactFitAndRefusesOneByteLess) {
    for (uint64_t slack : {0, 1}) {
        SCOPED_TRACE(slack);
        StorePtr st = memStore(4, 16);
        ASSERT_TRUE(st);
        const uint64_t one = st->segments[0]->mappedLen;
        ASSERT_EQ(one, Segment::computeMmapSize(16, 4, Quantization::None, 0));
        st->memoryLimit = 2 * one - slack;
        for (int i = 0; i < 16; ++i) ASSERT_EQ(setVec(*st, i), 0);
        if (slack == 0) {
            EXPECT_EQ(setVec(*st, 16), 0);
            EXPECT_EQ(st->segments.size(), 2u);
            EXPECT_EQ(st->count(), 17u);
            // The second segment is full now and a third would exceed the limit.
            for (int i = 17; i < 32; ++i) ASSERT_EQ(setVec(*st, i), 0);
            EXPECT_EQ(setVec(*st, 32), -1);
        } else {
            EXPECT_EQ(setVec(*st, 16), -1);
            EXPECT_EQ(st->segments.size(), 1u);
            EXPECT_EQ(st->count(), 16u);
            EXPECT_FALSE(fetch(*st, key(16)).found);
        }
    }
}

// The move into a larger region counts both regions against the limit;
// when it does not fit, a further segment of the first one's size may.
TEST(StoreMemory, GrowthStaysWithinTheMemoryLimit) {
    const uint64_t one = Segment::computeMmapSize(16, 4, Quantization::None, 0);
    const uint64_t two = Segment::computeMmapSize(32, 4, Quantization::None, 0);
    StorePtr st = memStore(4, 16);
    ASSERT_TRUE(st);
    st->memoryLimit = one + two;
    for (int i = 0; i < 48; ++i) ASSERT_EQ(setVec(*st, i), 0) << i;
    ASSERT_EQ(st->segments.size(), 2u);
    EXPECT_EQ(st->segments[0]->capacity(), 32u);  // grew once: 16 + 32 fit
    EXPECT_EQ(st->segments[1]->capacity(), 16u);  // 32 + 64 did not
    EXPECT_EQ(setVec(*st, 48), -1);
    EXPECT_EQ(st->count(), 48u);
    for (int i = 0; i < 48; ++i) EXPECT_TRUE(fetch(*st, key(i)).found) << i;
}

// Records, metadata, deletions and the graph survive each move unchanged.
TEST(StoreMemory, GrowthKeepsRecordsAndGraph) {
    StorePtr st = memStore(8, 16, Quantization::None, 0, qarbin::DistanceMetric::Cosine);
    ASSERT_TRUE(st);
    st->autoIndexThreshold = 0;
    for (int i = 0; i < 200; ++i) ASSERT_EQ(setVec(*st, i, i % 3 ? "meta" : nullptr), 0);
    ASSERT_EQ(st->buildIndex(), 0);
    for (int i = 0; i < 200; i += 7) ASSERT_EQ(st->del(key(i).c_str()), 0);
    std::vector<float> q = vec(5, 8);
    std::vector<Hit> before = search(*st, q.data(), 10, 50.0f);
    const uint64_t nodes = st->segments[0]->header->indexedCount.load();
    ASSERT_EQ(st->segments[0]->capacity(), 256u);
    for (int i = 200; i < 300; ++i) ASSERT_EQ(setVec(*st, i), 0);  // moves to 512 slots
    ASSERT_EQ(st->segments.size(), 1u);
    const Segment* seg = st->segments[0];
    EXPECT_EQ(seg->capacity(), 512u);
    EXPECT_NE(seg->header->flags & qarbin::kFlagGraphUsable, 0u);
    EXPECT_EQ(seg->header->indexedCount.load(), nodes);
    EXPECT_EQ(st->count(), 300u - 29u);
    for (int i = 0; i < 300; ++i) {
        Fetched f = fetch(*st, key(i));
        ASSERT_EQ(f.found, i >= 200 || i % 7 != 0) << i;
        if (f.found && i < 200) {
            EXPECT_EQ(f.meta, i % 3 ? "meta" : "") << i;
        }
    }
    std::vector<Hit> after = search(*st, q.data(), 10, 50.0f);
    ASSERT_EQ(after.size(), 10u);
    // The old records' graph answers as before; new records can only be better.
    for (size_t i = 0; i < before.size(); ++i) EXPECT_GE(after[i].score, before[i].score);
}

TEST(StoreMemory, CollectingPqStoreCountsHeldBackRecords) {
    StorePtr st = memStore(8, 16, Quantization::PQ, 2);
    ASSERT_TRUE(st);
    ASSERT_NE(st->pqBuffer, nullptr);
    EXPECT_EQ(st->count(), 0u);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(setVec(*st, i), 0);
    EXPECT_EQ(st->count(), 3u);
    EXPECT_EQ(st->totalCount.load(), 0u);
    EXPECT_EQ(st->segments[0]->header->usedSlots.load(), 0u);

    // Other encodings never collect.
    StorePtr plain = memStore(8, 16, Quantization::Int8, 2);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->pqBuffer, nullptr);
}

TEST(StoreMemory, NewPqSegmentInheritsTheTrainedCodebookByteForByte) {
    qarbin_test::TempDir dir;
    for (bool disk : {false, true}) {
        SCOPED_TRACE(disk ? "disk" : "memory");
        StorePtr st = disk ? diskStore(dir.path(), 8, 16, Quantization::PQ, 2) : memStore(8, 16, Quantization::PQ, 2);
        ASSERT_TRUE(st);
        st->pqTrainingSize = 16;
        for (int i = 0; i < 16; ++i) ASSERT_EQ(setVec(*st, i), 0);
        ASSERT_EQ(st->pqBuffer, nullptr);
        ASSERT_NE(st->segments[0]->codebook, nullptr);
        const uint64_t cb = Segment::codebookSize(8, 2);
        const std::string trained(reinterpret_cast<const char*>(st->segments[0]->codebook), cb);
        ASSERT_EQ(setVec(*st, 16), 0);
        if (!disk) {
            // Memory: the segment moved into a larger region, codebook and all.
            ASSERT_EQ(st->segments.size(), 1u);
            EXPECT_EQ(st->segments[0]->capacity(), 32u);
            ASSERT_NE(st->segments[0]->codebook, nullptr);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(st->segments[0]->codebook), cb), trained);
            for (int i = 0; i <= 16; ++i) EXPECT_TRUE(fetch(*st, key(i)).found) << i;
            continue;
        }
        ASSERT_EQ(st->segments.size(), 2u);
        const Segment* a = st->segments[0];
        const Segment* b = st->segments[1];
        ASSERT_NE(b->codebook, nullptr);
        EXPECT_EQ(qarbin::headerCodebookOffset(b->header), qarbin::kHeaderBytes);
        EXPECT_EQ(std::memcmp(a->base + qarbin::kHeaderBytes, b->base + qarbin::kHeaderBytes, cb), 0);
        // The record that needed the new segment is stored there, not refused.
        EXPECT_EQ(b->header->liveCount.load(), 1u);
        Fetched f = fetch(*st, key(16));
        EXPECT_TRUE(f.found);
        if (disk) {
            // What reached the file is what a later store reads.
            std::string original(reinterpret_cast<const char*>(a->base + qarbin::kHeaderBytes), cb);
            st.reset();
            std::string file = fileBytes(segFile(dir.path(), 1));
            ASSERT_GE(file.size(), qarbin::kHeaderBytes + cb);
            EXPECT_EQ(file.substr(qarbin::kHeaderBytes, cb), original);
        }
    }
}

TEST(StoreMemory, StoreWithoutSegmentsRefusesEveryWrite) {
    // A dimension no segment can have: the opener still returns a store.
    StorePtr st = memStore(5000, 16);
    ASSERT_TRUE(st);
    EXPECT_TRUE(st->segments.empty());
    std::vector<float> v(5000, 1.0f);
    EXPECT_EQ(st->set("a", v.data(), nullptr, 0), -1);
    EXPECT_EQ(st->count(), 0u);
    EXPECT_EQ(st->del("a"), -1);
    EXPECT_EQ(st->buildIndex(), 0);
}
