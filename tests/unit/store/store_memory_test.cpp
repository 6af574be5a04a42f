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
        EXPECT_EQ(st->segmentCapacity, c.expected);
        EXPECT_EQ(st->segments[0]->capacity(), c.expected);
        EXPECT_EQ(st->mode, qarbin::StorageMode::Memory);
        EXPECT_EQ(st->count(), 0u);
        // The segment takes exactly `expected` records; the next rolls over.
        for (uint64_t i = 0; i <= c.expected; ++i) ASSERT_EQ(setVec(*st, static_cast<int>(i)), 0);
        ASSERT_EQ(st->segments.size(), 2u);
        EXPECT_EQ(st->segments[0]->header->usedSlots.load(), c.expected);
        EXPECT_EQ(st->segments[1]->header->usedSlots.load(), 1u);
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
        ASSERT_EQ(setVec(*st, 16), 0);
        ASSERT_EQ(st->segments.size(), 2u);
        const Segment* a = st->segments[0];
        const Segment* b = st->segments[1];
        const uint64_t cb = Segment::codebookSize(8, 2);
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
