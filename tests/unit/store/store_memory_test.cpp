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

// Bytes a segment's memory limit counts per stored record beyond its fresh
// region: a compact segment's key and metadata bytes (the keys here fit in
// one variable unit), none for fixed slots.
uint64_t recordVarBytes(uint32_t format) { return format == qarbin::kCompactSegmentVersion ? qarbin::kVarUnit : 0; }

TEST(StoreMemory, MemoryLimitAllowsAnExactFitAndRefusesOneByteLess) {
    // A limit of exactly two full segments holds 32 records; one byte less
    // refuses the second segment's region (fixed slots) or its last record
    // (compact: the region counts only the variable bytes handed out).
    const struct {
        uint32_t format;
        uint64_t slack;
        int stored;
    } cases[] = {{qarbin::kSegmentVersion, 0, 32},
                 {qarbin::kSegmentVersion, 1, 16},
                 {qarbin::kCompactSegmentVersion, 0, 32},
                 {qarbin::kCompactSegmentVersion, 1, 31}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.format) + " slack " + std::to_string(c.slack));
        StorePtr st = memStoreIn(c.format, 4, 16);
        ASSERT_TRUE(st);
        const uint64_t fresh = st->segments[0]->countedBytes();
        ASSERT_EQ(fresh, Segment::countedRegionBytes(st->shape));
        const uint64_t full = fresh + 16 * recordVarBytes(c.format);
        st->memoryLimit = 2 * full - c.slack;
        for (int i = 0; i < 16; ++i) ASSERT_EQ(setVec(*st, i), 0);
        EXPECT_EQ(st->segments[0]->countedBytes(), full);
        for (int i = 16; i < c.stored; ++i) ASSERT_EQ(setVec(*st, i), 0) << i;
        EXPECT_EQ(setVec(*st, c.stored), -1);
        EXPECT_EQ(st->segments.size(), c.stored > 16 ? 2u : 1u);
        EXPECT_EQ(st->count(), static_cast<uint64_t>(c.stored));
        EXPECT_FALSE(fetch(*st, key(c.stored)).found);
    }
}

// The move into a larger region counts both regions against the limit;
// when it does not fit, a further segment of the first one's size may.
TEST(StoreMemory, GrowthStaysWithinTheMemoryLimit) {
    for (uint32_t format : {qarbin::kSegmentVersion, qarbin::kCompactSegmentVersion}) {
        SCOPED_TRACE(format);
        qarbin::Shape shape = qarbin_test::inFormat(
            qarbin_test::makeShape(4, qarbin::DistanceMetric::Euclidean, Quantization::None, 16), format);
        const uint64_t one = Segment::countedRegionBytes(shape);
        shape.capacity = 32;
        const uint64_t two = Segment::countedRegionBytes(shape);
        // The 16 records copied by the move count twice while it runs.
        const uint64_t perRecord = recordVarBytes(format);
        StorePtr st = memStoreIn(format, 4, 16);
        ASSERT_TRUE(st);
        st->memoryLimit = one + two + 48 * perRecord;
        for (int i = 0; i < 48; ++i) ASSERT_EQ(setVec(*st, i), 0) << i;
        ASSERT_EQ(st->segments.size(), 2u);
        EXPECT_EQ(st->segments[0]->capacity(), 32u);  // grew once: 16 + 32 fit
        EXPECT_EQ(st->segments[1]->capacity(), 16u);  // 32 + 64 did not
        EXPECT_EQ(setVec(*st, 48), -1);
        EXPECT_EQ(st->count(), 48u);
        for (int i = 0; i < 48; ++i) EXPECT_TRUE(fetch(*st, key(i)).found) << i;
    }
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
        const uint64_t at = b->codebookOffset();
        EXPECT_EQ(qarbin::headerCodebookOffset(b->header), at);
        EXPECT_EQ(std::memcmp(a->base + at, b->base + at, cb), 0);
        // The record that needed the new segment is stored there, not refused.
        EXPECT_EQ(b->header->liveCount.load(), 1u);
        Fetched f = fetch(*st, key(16));
        EXPECT_TRUE(f.found);
        if (disk) {
            // What reached the file is what a later store reads.
            std::string original(reinterpret_cast<const char*>(a->base + at), cb);
            st.reset();
            std::string file = fileBytes(segFile(dir.path(), 1));
            ASSERT_GE(file.size(), at + cb);
            EXPECT_EQ(file.substr(at, cb), original);
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
