// Graphs that lie: a region copied to a heap block of exactly its length (so
// the address sanitizer sees any access past it) with one field corrupted at
// a time, then searched and extended. Nothing may be read outside the region,
// and every result must still be a live record with its exact score.
#include <cstdlib>
#include <functional>

#include "hnsw_fixture.h"

using namespace hnsw_test;

namespace {

constexpr uint32_t kDim = 8;
constexpr uint64_t kCap = 64;
constexpr size_t kBuilt = 50;

// A Segment over a malloc'd copy; a mode the destructor does not release.
struct HeapSegment {
    uint8_t* mem = nullptr;
    Segment seg;

    explicit HeapSegment(const Segment& from) {
        mem = static_cast<uint8_t*>(std::malloc(from.mappedLen));
        std::memcpy(mem, from.base, from.mappedLen);
        seg.mode = static_cast<qarbin::StorageMode>(9);
        seg.base = mem;
        seg.mappedLen = from.mappedLen;
        seg.writable = 1;
        seg.dim = from.dim;
        seg.quantization = from.quantization;
        seg.pqSubvectors = from.pqSubvectors;
        seg.useAvx2 = from.useAvx2;
        seg.mapPointers();
    }
    ~HeapSegment() { std::free(mem); }
};

struct Corruption {
    const char* name;
    std::function<void(Segment&)> apply;
};

}  // namespace

TEST(HnswCorrupt, LyingGraphsAreNeverFollowedOutOfTheRegion) {
    auto v = randomVectors(kBuilt + 10, kDim, 31);
    auto good = makeSegment(kDim, kCap, DistanceMetric::Euclidean);
    addRange(*good, v, 0, kBuilt);
    ASSERT_EQ(qarbin::buildHnsw(*good), 0);
    const int32_t ep = good->header->entryPoint;
    ASSERT_GT(good->header->maxLevel, 0u) << "the fixture needs an upper level";

    auto everyNode = [](Segment& s, const std::function<void(HnswNode*)>& f) {
        for (uint64_t p = 0; p < kBuilt; ++p) f(mutableNode(s, p));
    };
    const Corruption cases[] = {
        {"link equal to capacity",
         [&](Segment& s) { everyNode(s, [](HnswNode* n) { n->links[0] = static_cast<int32_t>(kCap); }); }},
        {"links far out and negative",
         [&](Segment& s) {
             everyNode(s, [](HnswNode* n) {
                 n->links[1] = INT32_MAX;
                 n->links[2] = -7;
             });
         }},
        {"entry point beyond the count", [](Segment& s) { s.header->entryPoint = kBuilt + 3; }},
        {"entry point beyond capacity", [](Segment& s) { s.header->entryPoint = INT32_MAX; }},
        {"negative entry point", [](Segment& s) { s.header->entryPoint = -5; }},
        {"maxLevel 200", [](Segment& s) { s.header->maxLevel = 200; }},
        {"node levels 200", [&](Segment& s) { everyNode(s, [](HnswNode* n) { n->level = 200; }); }},
        {"poolFirst beyond the pool",
         [&](Segment& s) {
             mutableNode(s, ep)->poolFirst = static_cast<int32_t>(s.linkPoolEntries - 1);
             everyNode(s, [&](HnswNode* n) {
                 if (n->poolFirst >= 0) n->poolFirst = static_cast<int32_t>(s.linkPoolEntries + 3);
             });
         }},
        {"node slots beyond usedSlots",
         [&](Segment& s) {
             for (uint64_t p = 0; p < kBuilt; p += 3) mutableNode(s, p)->slot = kBuilt + 5 + p;
             mutableNode(s, 1)->slot = UINT32_MAX;
         }},
        {"entry node slot beyond usedSlots", [&](Segment& s) { mutableNode(s, ep)->slot = 1u << 30; }},
        {"link counts 255",
         [&](Segment& s) {
             everyNode(s, [](HnswNode* n) { n->linkCount = 255; });
             for (uint64_t k = 0; k < s.linkPoolEntries; ++k)
                 reinterpret_cast<LinkPoolEntry*>(s.linkPool + k * qarbin::kPoolEntryBytes)->linkCount = 255;
         }},
        {"indexedCount beyond capacity", [](Segment& s) { s.header->indexedCount.store(kCap + 1000); }},
        {"linkPoolUsed beyond the pool", [](Segment& s) { s.header->linkPoolUsed = 1u << 31; }},
        {"graphNode of records garbage",
         [](Segment& s) {
             for (uint64_t i = 0; i < kBuilt; i += 4) s.setGraphNode(i, 1 << 29);
         }},
    };

    for (const Corruption& c : cases) {
        SCOPED_TRACE(c.name);
        HeapSegment h(*good);
        c.apply(h.seg);
        for (int round = 0; round < 2; ++round) {
            for (size_t qi = 0; qi < kBuilt + 10; qi += 9) {
                const float* q = &v[qi * kDim];
                auto exact = exactSearch(h.seg, q, 64);
                auto got = graphSearch(h.seg, q, 10, 16);
                for (const Result& g : got) {
                    const Result* e = nullptr;
                    for (const Result& x : exact)
                        if (std::string(x.key) == g.key) e = &x;
                    ASSERT_NE(e, nullptr) << g.key;
                    EXPECT_EQ(e->score, g.score);
                }
                EXPECT_EQ(keysOf(got).size(), got.size()) << "a record returned twice";
            }
            // Extend it; afterwards the search must still hold up.
            if (round == 0) {
                addRange(h.seg, v, kBuilt, 10);
                int rc = qarbin::hnswInsertIncremental(h.seg);
                EXPECT_TRUE(rc == 0 || rc == -1);
                EXPECT_LE(h.seg.header->indexedCount.load(), kCap + 1000);
            }
        }
    }
}

TEST(HnswCorrupt, AnUnreadableEntryFallsBackToScoringEveryRecord) {
    auto v = randomVectors(40, kDim, 32);
    auto good = makeSegment(kDim, kCap, DistanceMetric::Euclidean);
    addRange(*good, v, 0, 40);
    ASSERT_EQ(qarbin::buildHnsw(*good), 0);
    for (int32_t badEntry : {45, INT32_MAX, -9}) {
        HeapSegment h(*good);
        h.seg.header->entryPoint = badEntry;
        // The insert refuses a header naming a node it does not have.
        auto before = headerBytes(h.seg);
        addRange(h.seg, v, 0, 0);
        EXPECT_EQ(qarbin::hnswInsertIncremental(h.seg), 0) << "nothing pending";
        for (size_t qi = 0; qi < 40; qi += 13) {
            auto exact = exactSearch(h.seg, &v[qi * kDim], 5);
            auto got = graphSearch(h.seg, &v[qi * kDim], 5, 16);
            EXPECT_EQ(keysOf(got), keysOf(exact)) << "entry " << badEntry;
        }
        EXPECT_EQ(headerBytes(h.seg), before);
    }
    HeapSegment h(*good);
    h.seg.header->entryPoint = 45;
    addRange(h.seg, v, 0, 1);  // one pending record (a second copy of k0)
    auto before = headerBytes(h.seg);
    EXPECT_EQ(qarbin::hnswInsertIncremental(h.seg), -1);
    EXPECT_EQ(headerBytes(h.seg), before);
}
