// Store::clear in memory and shared stores, and Store::snapshot read back.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "core/segment/segment.h"
#include "core/store/store.h"
#include "shm_helpers.h"

using qarbin::DistanceMetric;
using qarbin::Quantization;
using qarbin::Segment;
using qarbin::Store;
using qarbin_test::TempDir;

namespace {

std::unique_ptr<Store> memStore(uint32_t dim, uint64_t cap, Quantization q = Quantization::None, uint32_t m = 0,
                                DistanceMetric metric = DistanceMetric::Euclidean, uint32_t hnswM = 16,
                                uint32_t efC = 200) {
    return std::unique_ptr<Store>(Store::openMemory(qarbin_test::makeShape(dim, metric, q, cap, false, hnswM, efC, m), nullptr));
}

std::string key(int i) { return "k" + std::to_string(i); }

void vectorFor(int i, uint32_t dim, float* v) {
    for (uint32_t k = 0; k < dim; ++k) v[k] = static_cast<float>((i * i * 7 + i * 37 + k * 11) % 1009) * 0.37f - 180.0f;
}

bool fileExists(const std::string& path) {
    struct stat sb;
    return stat(path.c_str(), &sb) == 0;
}

std::string segFile(const TempDir& d, unsigned n) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "seg_%04u.qbseg", n);
    return d.file(buf);
}

struct FileRecord {
    uint64_t id;
    std::string key;
    std::vector<float> vec;
    std::string meta;
};

// The live records of a snapshot file, in slot order.
std::vector<FileRecord> readFile(const Segment& seg) {
    std::vector<FileRecord> out;
    for (uint64_t i = 0; i < seg.usedSlotsClamped(); ++i) {
        if (!seg.liveAt(i)) continue;
        const float* v = reinterpret_cast<const float*>(seg.vectorAt(i));
        out.push_back({seg.idAt(i), qarbin_test::keyAt(seg, i), std::vector<float>(v, v + seg.dim),
                       std::string(seg.metadataAt(i), seg.metadataLenAt(i))});
    }
    return out;
}

TEST(StoreClear, MemoryStoreKeepsItsSegmentAndRefillsFromTheFirstSlot) {
    auto st = memStore(4, 16);
    ASSERT_TRUE(st);
    float v[4];
    for (int i = 0; i < 40; ++i) {
        vectorFor(i, 4, v);
        ASSERT_EQ(st->set(key(i).c_str(), v, "meta", 4), 0);
    }
    // 16 slots grew to 32, then 64.
    ASSERT_EQ(st->segments.size(), 1u);
    ASSERT_EQ(st->segments[0]->capacity(), 64u);
    ASSERT_EQ(st->buildIndex(), 0);
    ASSERT_NE(st->segments[0]->header->flags & qarbin::kFlagGraphUsable, 0u);
    // A byte beyond the last used slot: clear has no business there.
    Segment* last = st->segments[0];
    ASSERT_EQ(last->header->usedSlots.load(), 40u);
    uint8_t* beyond = const_cast<uint8_t*>(last->vectorAt(52));
    *beyond = 0x5a;

    st->clear();
    EXPECT_EQ(st->count(), 0u);
    ASSERT_EQ(st->segments.size(), 1u);
    for (const Segment* seg : st->segments) {
        EXPECT_EQ(seg->header->usedSlots.load(), 0u);
        EXPECT_EQ(seg->header->liveCount.load(), 0u);
        EXPECT_EQ(seg->header->indexedCount.load(), 0u);
        EXPECT_EQ(seg->header->flags & (qarbin::kFlagGraphBuilt | qarbin::kFlagGraphUsable), 0u);
        EXPECT_EQ(seg->header->entryPoint, -1);
        EXPECT_EQ(seg->capacity(), 64u);
        EXPECT_FALSE(seg->validAt(0));
        EXPECT_EQ(*seg->vectorAt(0), 0u);
    }
    EXPECT_EQ(*beyond, 0x5a);
    float got[4];
    EXPECT_EQ(st->get(key(3).c_str(), got, nullptr, nullptr), -1);
    qarbin::Result* res = nullptr;
    EXPECT_EQ(st->search(v, 10, 0.0f, &res), 0);
    qarbin::releaseBytes(res);

    vectorFor(7, 4, v);
    ASSERT_EQ(st->set("again", v, nullptr, 0), 0);
    EXPECT_EQ(qarbin_test::keyAt(*st->segments[0], 0), "again");
    EXPECT_EQ(st->count(), 1u);
    res = nullptr;
    ASSERT_EQ(st->search(v, 10, 50.0f, &res), 1);
    EXPECT_STREQ(res[0].key, "again");
    qarbin::releaseBytes(res);
    // Too few records again for a graph: the search scanned.
    EXPECT_EQ(st->segments[0]->header->flags & qarbin::kFlagGraphUsable, 0u);
}

TEST(StoreClear, TrainedPqStoreStaysTrained) {
    auto st = memStore(8, 64, Quantization::PQ, 2);
    ASSERT_TRUE(st);
    st->pqTrainingSize = 16;
    float v[8];
    for (int i = 0; i < 16; ++i) {
        vectorFor(i, 8, v);
        ASSERT_EQ(st->set(key(i).c_str(), v, nullptr, 0), 0);
    }
    ASSERT_EQ(st->pqBuffer, nullptr);
    const Segment* seg = st->segments[0];
    uint64_t cb = Segment::codebookSize(8, 2);
    const uint64_t at = seg->codebookOffset();
    std::vector<uint8_t> before(seg->base + at, seg->base + at + cb);
    float old[8];
    ASSERT_EQ(st->get(key(4).c_str(), old, nullptr, nullptr), 0);

    st->clear();
    EXPECT_EQ(st->count(), 0u);
    EXPECT_EQ(st->pqBuffer, nullptr);
    EXPECT_EQ(qarbin::headerCodebookOffset(seg->header), at);
    EXPECT_EQ(std::vector<uint8_t>(seg->base + at, seg->base + at + cb), before);

    vectorFor(4, 8, v);
    ASSERT_EQ(st->set("fresh", v, nullptr, 0), 0);
    EXPECT_EQ(st->totalCount.load(), 1u);
    float got[8];
    ASSERT_EQ(st->get("fresh", got, nullptr, nullptr), 0);
    EXPECT_EQ(0, std::memcmp(got, old, sizeof got));
}

TEST(StoreClear, CollectingPqStoreKeepsCollecting) {
    auto st = memStore(8, 64, Quantization::PQ, 2);
    ASSERT_TRUE(st);
    float v[8];
    for (int i = 0; i < 10; ++i) {
        vectorFor(i, 8, v);
        ASSERT_EQ(st->set(key(i).c_str(), v, "m", 1), 0);
    }
    ASSERT_EQ(st->count(), 10u);
    st->clear();
    EXPECT_EQ(st->count(), 0u);
    ASSERT_NE(st->pqBuffer, nullptr);
    EXPECT_EQ(st->pqBuffer->count, 0u);
    EXPECT_TRUE(st->pqBuffer->vectors.empty());
    EXPECT_TRUE(st->pqBuffer->keys.empty());
    float got[8];
    EXPECT_EQ(st->get(key(2).c_str(), got, nullptr, nullptr), -1);

    ASSERT_EQ(st->set("later", v, nullptr, 0), 0);
    EXPECT_EQ(st->count(), 1u);
    EXPECT_EQ(st->totalCount.load(), 0u);
    EXPECT_EQ(st->pqBuffer->count, 1u);
}

TEST(StoreClear, SharedStoreEmptiesTheSegmentsThisHandleAttached) {
    qarbin_test::ShmStoreName n("clear");
    std::unique_ptr<Store> a(
        Store::openShm(n.c_str(), qarbin_test::makeShape(4, DistanceMetric::Euclidean, Quantization::None, 16, false, 16, 200, 0), true));
    std::unique_ptr<Store> b(
        Store::openShm(n.c_str(), qarbin_test::makeShape(4, DistanceMetric::Euclidean, Quantization::None, 16, false, 16, 200, 0), true));
    std::unique_ptr<Store> ro(
        Store::openShm(n.c_str(), qarbin_test::makeShape(4, DistanceMetric::Euclidean, Quantization::None, 16, false, 16, 200, 0), false));
    ASSERT_TRUE(a && b && ro);
    float v[4];
    for (int i = 0; i < 20; ++i) {
        vectorFor(i, 4, v);
        ASSERT_EQ(a->set(key(i).c_str(), v, nullptr, 0), 0);
    }
    ASSERT_EQ(a->segments.size(), 2u);
    ASSERT_EQ(b->segments.size(), 1u);

    ro->clear();
    EXPECT_EQ(a->control->totalCount.load(), 20u);
    EXPECT_EQ(a->segments[0]->header->usedSlots.load(), 16u);

    b->clear();
    EXPECT_EQ(b->count(), 0u);
    EXPECT_EQ(a->control->totalCount.load(), 0u);
    EXPECT_EQ(a->segments[0]->header->usedSlots.load(), 0u);
    EXPECT_EQ(a->segments[1]->header->usedSlots.load(), 4u);
    EXPECT_EQ(a->control->segmentCount.load(), 2u);

    a->clear();
    EXPECT_EQ(a->segments[1]->header->usedSlots.load(), 0u);
    EXPECT_EQ(a->count(), 0u);
    vectorFor(3, 4, v);
    ASSERT_EQ(a->set("one", v, nullptr, 0), 0);
    EXPECT_EQ(qarbin_test::keyAt(*a->segments[0], 0), "one");
    EXPECT_EQ(a->control->totalCount.load(), 1u);
}

TEST(StoreSnapshot, DeletedRecordsLeaveFreeSlotsInOneFile) {
    TempDir dir;
    auto st = memStore(4, 16, Quantization::None, 0, DistanceMetric::Dot, 8, 50);
    ASSERT_TRUE(st);
    float v[4];
    for (int i = 0; i < 5; ++i) {
        vectorFor(i, 4, v);
        std::string meta = i % 2 ? "" : "meta" + std::to_string(i);
        ASSERT_EQ(st->set(key(i).c_str(), v, meta.empty() ? nullptr : meta.c_str(), meta.size()), 0);
    }
    ASSERT_EQ(st->del(key(1).c_str()), 0);
    ASSERT_EQ(st->del(key(3).c_str()), 0);

    std::string out = dir.file("snap");
    ASSERT_EQ(st->snapshot(out.c_str()), 0);
    std::string f0 = out + "/seg_0000.qbseg";
    EXPECT_FALSE(fileExists(out + "/seg_0001.qbseg"));
    std::unique_ptr<Segment> seg(Segment::openDisk(f0.c_str(), 0));
    ASSERT_TRUE(seg);
    EXPECT_EQ(seg->capacity(), 5u);
    EXPECT_EQ(seg->header->usedSlots.load(), 3u);
    EXPECT_EQ(seg->header->liveCount.load(), 3u);
    EXPECT_EQ(seg->quantization, static_cast<uint32_t>(Quantization::None));
    EXPECT_EQ(seg->pqSubvectors, 0u);
    EXPECT_EQ(seg->header->metric, static_cast<uint32_t>(DistanceMetric::Dot));
    EXPECT_EQ(seg->header->hnswM, 8u);
    EXPECT_EQ(seg->header->hnswEfConstruction, 50u);
    EXPECT_EQ(seg->header->flags, 0u);
    EXPECT_EQ(qarbin::headerCodebookOffset(seg->header), 0u);

    std::vector<FileRecord> recs = readFile(*seg);
    ASSERT_EQ(recs.size(), 3u);
    const int kept[] = {0, 2, 4};
    for (int j = 0; j < 3; ++j) {
        SCOPED_TRACE(kept[j]);
        vectorFor(kept[j], 4, v);
        EXPECT_EQ(recs[j].key, key(kept[j]));
        EXPECT_EQ(recs[j].id, qarbin::recordId(key(kept[j]).c_str()));
        EXPECT_EQ(recs[j].vec, std::vector<float>(v, v + 4));
        EXPECT_EQ(recs[j].meta, "meta" + std::to_string(kept[j]));
    }

    // The store itself is unchanged, and the snapshot opens as a store.
    EXPECT_EQ(st->count(), 3u);
    EXPECT_EQ(st->segments[0]->header->usedSlots.load(), 5u);
    std::unique_ptr<Store> back(
        Store::openMemory(qarbin_test::makeShape(4, DistanceMetric::Dot, Quantization::None, 16, false, 8, 50, 0), out.c_str()));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->count(), 3u);
    float got[4];
    char* meta = nullptr;
    uint32_t len = 0;
    ASSERT_EQ(back->get(key(2).c_str(), got, &meta, &len), 0);
    vectorFor(2, 4, v);
    EXPECT_EQ(0, std::memcmp(got, v, sizeof got));
    EXPECT_EQ(std::string(meta, len), "meta2");
    qarbin::releaseBytes(meta);
    EXPECT_EQ(back->get(key(1).c_str(), got, nullptr, nullptr), -1);
}

TEST(StoreSnapshot, QuantizedStoresAreWrittenAsTheirDecodedFloats) {
    const struct {
        const char* what;
        Quantization q;
        uint32_t m;
    } cases[] = {
        {"int8", Quantization::Int8, 0},
        {"f16", Quantization::F16, 0},
        {"binary", Quantization::Binary, 0},
        {"pq", Quantization::PQ, 1},
    };
    // More distinct vectors than a codebook has centroids, so that PQ too
    // stores approximations.
    constexpr int kRecords = 300;
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.what);
        TempDir dir;
        auto st = memStore(8, 512, tc.q, tc.m);
        ASSERT_TRUE(st);
        st->pqTrainingSize = kRecords;
        float v[8];
        for (int i = 0; i < kRecords; ++i) {
            vectorFor(i, 8, v);
            ASSERT_EQ(st->set(key(i).c_str(), v, nullptr, 0), 0);
        }
        ASSERT_EQ(st->pqBuffer, nullptr);
        ASSERT_EQ(st->snapshot(dir.path().c_str()), 0);
        std::unique_ptr<Segment> seg(Segment::openDisk(segFile(dir, 0).c_str(), 0));
        ASSERT_TRUE(seg);
        EXPECT_EQ(seg->quantization, static_cast<uint32_t>(Quantization::None));
        EXPECT_EQ(seg->dim, 8u);
        std::vector<FileRecord> recs = readFile(*seg);
        ASSERT_EQ(recs.size(), static_cast<size_t>(kRecords));
        bool anyDiffers = false;
        for (int i = 0; i < kRecords; ++i) {
            float decoded[8];
            ASSERT_EQ(st->get(key(i).c_str(), decoded, nullptr, nullptr), 0);
            EXPECT_EQ(recs[i].vec, std::vector<float>(decoded, decoded + 8)) << i;
            vectorFor(i, 8, v);
            anyDiffers |= std::memcmp(decoded, v, sizeof v) != 0;
        }
        // The file holds the decoded values, not the caller's originals.
        EXPECT_TRUE(anyDiffers);
    }
}

TEST(StoreSnapshot, HeldBackRecordsOfACollectingPqStoreTakeTheFirstFreeNumber) {
    TempDir dir;
    auto st = memStore(8, 64, Quantization::PQ, 2);
    ASSERT_TRUE(st);
    float v[8];
    for (int i = 0; i < 5; ++i) {
        vectorFor(i, 8, v);
        ASSERT_EQ(st->set(key(i).c_str(), v, i == 1 ? "one" : nullptr, i == 1 ? 3 : 0), 0);
    }
    ASSERT_NE(st->pqBuffer, nullptr);
    ASSERT_EQ(st->snapshot(dir.path().c_str()), 0);
    // The untouched first segment writes no file and takes no number.
    EXPECT_FALSE(fileExists(segFile(dir, 1)));
    std::unique_ptr<Segment> seg(Segment::openDisk(segFile(dir, 0).c_str(), 0));
    ASSERT_TRUE(seg);
    EXPECT_EQ(seg->capacity(), 5u);
    EXPECT_EQ(seg->quantization, static_cast<uint32_t>(Quantization::None));
    std::vector<FileRecord> recs = readFile(*seg);
    ASSERT_EQ(recs.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        vectorFor(i, 8, v);
        EXPECT_EQ(recs[i].key, key(i));
        EXPECT_EQ(recs[i].vec, std::vector<float>(v, v + 8));
        EXPECT_EQ(recs[i].meta, i == 1 ? "one" : "");
    }
    EXPECT_EQ(st->pqBuffer->count, 5u);

    std::unique_ptr<Store> back(
        Store::openMemory(qarbin_test::makeShape(8, DistanceMetric::Euclidean, Quantization::None, 64, false, 16, 200, 0), dir.path().c_str()));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->count(), 5u);
    float got[8];
    ASSERT_EQ(back->get(key(3).c_str(), got, nullptr, nullptr), 0);
    vectorFor(3, 8, v);
    EXPECT_EQ(0, std::memcmp(got, v, sizeof got));
}

TEST(StoreSnapshot, EmptySegmentsLeaveNoGapInTheNumbering) {
    TempDir dir, src;
    std::unique_ptr<Store> st(
        Store::openDisk(src.path().c_str(), qarbin_test::makeShape(4, DistanceMetric::Euclidean, Quantization::None, 16, false, 16, 200, 0)));
    ASSERT_TRUE(st);
    float v[4];
    for (int i = 0; i < 40; ++i) {
        vectorFor(i, 4, v);
        ASSERT_EQ(st->set(key(i).c_str(), v, nullptr, 0), 0);
    }
    ASSERT_EQ(st->segments.size(), 3u);
    st->segments[1]->clearRecords();
    ASSERT_EQ(st->snapshot(dir.path().c_str()), 0);
    EXPECT_TRUE(fileExists(segFile(dir, 1)));
    EXPECT_FALSE(fileExists(segFile(dir, 2)));
    std::unique_ptr<Store> back(
        Store::openDisk(dir.path().c_str(), qarbin_test::makeShape(4, DistanceMetric::Euclidean, Quantization::None, 16, false, 16, 200, 0)));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->count(), 24u);
    float got[4];
    ASSERT_EQ(back->get(key(39).c_str(), got, nullptr, nullptr), 0);
    vectorFor(39, 4, v);
    EXPECT_EQ(0, std::memcmp(got, v, sizeof got));
}

TEST(StoreSnapshot, UnwritableDirectoryFailsAndEmptyStoreWritesNothing) {
    TempDir dir;
    auto st = memStore(4, 16);
    ASSERT_TRUE(st);
    std::string empty = dir.file("empty");
    EXPECT_EQ(st->snapshot(empty.c_str()), 0);
    EXPECT_FALSE(fileExists(empty + "/seg_0000.qbseg"));

    float v[4] = {1, 2, 3, 4};
    ASSERT_EQ(st->set("a", v, nullptr, 0), 0);
    std::string plain = dir.file("plain");
    std::ofstream(plain) << "not a directory";
    EXPECT_EQ(st->snapshot((plain + "/sub").c_str()), -1);
    EXPECT_EQ(st->snapshot(nullptr), -1);
}

}  // namespace
