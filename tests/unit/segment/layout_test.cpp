#include <gtest/gtest.h>

#include <cstdint>

#include "core/segment/segment.h"
#include "seg_fixture.h"

using namespace segtest;
using qarbin::SegmentHeader;

TEST(SegmentLayout, StridesOfEveryEncoding) {
    struct Case {
        uint32_t dim;
        Quantization q;
        uint32_t m;
        uint64_t stride;
    };
    const Case cases[] = {
        {1536, Quantization::None, 0, 10368},  {1536, Quantization::F16, 0, 7296},
        {1536, Quantization::Int8, 0, 5824},   {1536, Quantization::Binary, 0, 4416},
        {1536, Quantization::PQ, 96, 4352},    {128, Quantization::None, 0, 4736},
        {128, Quantization::F16, 0, 4480},     {128, Quantization::Int8, 0, 4416},
        {128, Quantization::Binary, 0, 4288},  {128, Quantization::PQ, 16, 4288},
        {128, static_cast<Quantization>(7), 0, 4736},  // unknown values size like None
        {1, Quantization::Binary, 0, 4288},    {9, Quantization::Binary, 0, 4288},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Segment::computeStride(c.dim, c.q, c.m), c.stride) << c.dim << " q" << static_cast<int>(c.q);
        EXPECT_EQ(Segment::computeStride(c.dim, c.q, c.m) % 64, 0u);
    }
}

TEST(SegmentLayout, RegionLengths) {
    uint64_t pool = 0;
    // dim 1536, capacity 4096: every encoding; lengths follow from the strides.
    EXPECT_EQ(Segment::computeMmapSize(4096, 1536, Quantization::None, 0, &pool), 43131008u);
    EXPECT_EQ(pool, 1024u);
    const uint64_t fixed = 128 + 4096 * 144 + 1024 * 72;
    EXPECT_EQ(Segment::computeMmapSize(4096, 1536, Quantization::F16, 0), fixed + 4096 * 7296);
    EXPECT_EQ(Segment::computeMmapSize(4096, 1536, Quantization::Int8, 0), fixed + 4096 * 5824);
    EXPECT_EQ(Segment::computeMmapSize(4096, 1536, Quantization::Binary, 0), fixed + 4096 * 4416);
    EXPECT_EQ(Segment::codebookSize(1536, 96), 1572864u);
    EXPECT_EQ(Segment::computeMmapSize(4096, 1536, Quantization::PQ, 96), 20062336u);

    EXPECT_EQ(Segment::computeMmapSize(16, 128, Quantization::None, 0, &pool), 96640u);
    EXPECT_EQ(pool, 256u);
    EXPECT_EQ(Segment::computeMmapSize(1027, 4, Quantization::None, 0, &pool), 4570224u);
    EXPECT_EQ(pool, 256u);
    EXPECT_EQ(Segment::computeMmapSize(1028, 4, Quantization::None, 0, &pool), 4574728u);
    EXPECT_EQ(pool, 257u);
    EXPECT_EQ(Segment::computeMmapSize(16, 128, static_cast<Quantization>(7), 0),
              Segment::computeMmapSize(16, 128, Quantization::None, 0));
    // The codebook area exists whenever m is set, whatever the encoding.
    EXPECT_EQ(Segment::computeMmapSize(16, 128, Quantization::None, 16), 96640u + 128 * 1024);
    EXPECT_EQ(Segment::codebookSize(128, 0), 0u);
    EXPECT_EQ(Segment::codebookSize(10, 3), 3u * 3 * 1024);  // integer division
}

TEST(SegmentLayout, OverflowGivesZero) {
    const uint64_t stride = Segment::computeStride(4096, Quantization::None, 0);
    uint64_t pool = 12345;
    const uint64_t caps[] = {UINT64_MAX, UINT64_MAX / stride + 1, uint64_t{1} << 63, UINT64_MAX / stride,
                             (UINT64_MAX - 129) / stride};
    for (uint64_t cap : caps) {
        EXPECT_EQ(Segment::computeMmapSize(cap, 4096, Quantization::None, 0, &pool), 0u) << cap;
        EXPECT_EQ(pool, 12345u) << "pool entries written on overflow";
        EXPECT_EQ(memSeg6(4096, cap), nullptr);
    }
    // Just below the limits where only the node and pool areas overflow.
    EXPECT_EQ(Segment::computeMmapSize(UINT64_MAX / (stride + 144) + 1, 4096, Quantization::None, 0), 0u);
    EXPECT_NE(Segment::computeMmapSize(1u << 20, 4096, Quantization::None, 0), 0u);
}

TEST(SegmentLayout, FreshMemorySegment) {
    struct Case {
        uint32_t dim;
        Quantization q;
        uint32_t m;
    };
    for (const Case& c : {Case{128, Quantization::None, 0}, Case{128, Quantization::PQ, 16}, Case{5, Quantization::Int8, 5}}) {
        SegPtr s(Segment::createMemory(shape6Of(c.dim, 16, c.q, c.m, DistanceMetric::Euclidean, 24, 77)));
        ASSERT_NE(s, nullptr);
        const SegmentHeader* h = s->header;
        const uint64_t cb = Segment::codebookSize(c.dim, c.m);
        const uint64_t stride = Segment::computeStride(c.dim, c.q, c.m);
        EXPECT_EQ(s->mode, qarbin::StorageMode::Memory);
        EXPECT_EQ(s->writable, 1u);
        EXPECT_EQ(s->fd, -1);
        EXPECT_EQ(s->mappedLen, Segment::computeMmapSize(16, c.dim, c.q, c.m));
        EXPECT_EQ(reinterpret_cast<const uint8_t*>(h), s->base);
        EXPECT_EQ(reinterpret_cast<uint8_t*>(s->counters), s->base + 16);
        EXPECT_EQ(h->magic, 0x51424536u);
        EXPECT_EQ(std::memcmp(s->base, "6EBQ", 4), 0);
        EXPECT_EQ(h->version, 6u);
        EXPECT_EQ(h->dim, c.dim);
        EXPECT_EQ(h->quantization, static_cast<uint32_t>(c.q));
        EXPECT_EQ(h->usedSlots.load(), 0u);
        EXPECT_EQ(h->liveCount.load(), 0u);
        EXPECT_EQ(h->capacity.load(), 16u);
        EXPECT_EQ(h->hnswM, 24u);
        EXPECT_EQ(h->hnswEfConstruction, 77u);
        EXPECT_EQ(h->graphOffset, 128 + cb + 16 * stride);
        EXPECT_EQ(h->entryPoint, -1);
        EXPECT_EQ(h->maxLevel, 0u);
        EXPECT_EQ(h->indexedCount.load(), 0u);
        EXPECT_EQ(h->linkPoolOffset, h->graphOffset + 16 * 144);
        EXPECT_EQ(h->metric, 2u);
        EXPECT_EQ(h->flags, 0u);
        EXPECT_EQ(h->insertSeq.load(), 0u);
        EXPECT_EQ(h->pqSubvectors, c.m);
        EXPECT_EQ(qarbin::headerCodebookOffset(h), 0u);
        EXPECT_EQ(h->generation.load(), 0u);
        EXPECT_EQ(s->codebook, nullptr);  // even with m set: untrained
        EXPECT_EQ(s->slots, s->base + 128 + cb);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(s->slots) % 64, 0u);
        EXPECT_EQ(s->nodeArea, s->base + h->graphOffset);
        EXPECT_EQ(s->linkPool, s->base + h->linkPoolOffset);
        EXPECT_EQ(s->linkPoolEntries, 256u);
        EXPECT_EQ(s->stride(), stride);
        EXPECT_EQ(reinterpret_cast<uint8_t*>(s->recordAt(3)), s->slots + 3 * stride);
        EXPECT_EQ(s->metadataPtr(s->recordAt(0)), reinterpret_cast<const char*>(s->slots) + 128 + s->vecBytes());
    }
}

TEST(SegmentLayout, MapPointersFindsTrainedCodebook) {
    SegPtr s = memSeg6(8, 4, Quantization::PQ, 2);
    ASSERT_NE(s, nullptr);
    qarbin::setHeaderCodebookOffset(s->header, 128);
    s->mapPointers();
    EXPECT_EQ(reinterpret_cast<uint8_t*>(s->codebook), s->base + 128);
    // m = 0 never has a codebook area, whatever the header says.
    SegPtr plain = memSeg6(8, 4);
    qarbin::setHeaderCodebookOffset(plain->header, 128);
    plain->mapPointers();
    EXPECT_EQ(plain->codebook, nullptr);
    EXPECT_EQ(plain->slots, plain->base + 128);
}

TEST(SegmentLayout, CreationRefusesParametersNoReaderAccepts) {
    EXPECT_EQ(memSeg6(0, 4), nullptr);
    EXPECT_EQ(memSeg6(4097, 4), nullptr);
    EXPECT_EQ(memSeg6(8, 4, Quantization::PQ, 0), nullptr);
    EXPECT_EQ(memSeg6(8, 4, Quantization::PQ, 3), nullptr);
    EXPECT_EQ(memSeg6(8, 4, static_cast<Quantization>(5)), nullptr);
    EXPECT_EQ(SegPtr(Segment::createMemory(shape6Of(8, 4, Quantization::None, 0, static_cast<DistanceMetric>(4), 0, 0))),
              nullptr);
    EXPECT_NE(memSeg6(4096, 1), nullptr);
    EXPECT_NE(memSeg6(8, 0), nullptr);  // a segment that is always full
    // The sub-vector count only constrains PQ segments.
    EXPECT_NE(memSeg6(4, 4, Quantization::None, 8), nullptr);
    EXPECT_NE(memSeg6(8, 4, Quantization::Int8, 3), nullptr);
}
