// Stores whose segments are created in the compact format (version 7)
// answer exactly as stores of version-6 segments fed the same writes: the
// same records, metadata, hits and score bits, exact and through the graph,
// after deletes, updates, compaction, clear and reopening, in every mode.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "core/segment/compact_region.h"
#include "shm_helpers.h"
#include "store_fixture.h"

using namespace store_test;
using qarbin::DistanceMetric;
using qarbin::Quantization;
using qarbin::StorageMode;

namespace {

constexpr uint32_t kDim = 16;
constexpr uint64_t kCap = 64;
constexpr int kRecords = 200;

struct Case {
    StorageMode mode;
    Quantization q;
    DistanceMetric metric;
};

std::string caseName(const testing::TestParamInfo<Case>& info) {
    static const char* modes[] = {"disk", "memory", "shm"};
    static const char* quants[] = {"f32", "f16", "int8", "binary", "pq"};
    static const char* metrics[] = {"cosine", "dot", "euclid", "manhattan"};
    return std::string(modes[static_cast<int>(info.param.mode)]) + "_" + quants[static_cast<int>(info.param.q)] + "_" +
           metrics[static_cast<int>(info.param.metric)];
}

uint32_t bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

// One store of either format, reopened on demand.
struct Side {
    Case c;
    uint32_t format;
    qarbin_test::TempDir dir;
    std::unique_ptr<qarbin_test::ShmStoreName> shm;
    StorePtr st;

    Side(const Case& cs, uint32_t fmt) : c(cs), format(fmt) {
        if (c.mode == StorageMode::Shm) shm = std::make_unique<qarbin_test::ShmStoreName>(fmt ? "cmp7" : "cmp6");
        open();
    }
    qarbin::Shape shape() const {
        qarbin::Shape s = qarbin_test::makeShape(kDim, c.metric, c.q, kCap, false, 8, 40);
        s.format = format;
        return s;
    }
    void open() {
        st.reset();
        switch (c.mode) {
            case StorageMode::Memory: st.reset(qarbin::Store::openMemory(shape(), nullptr)); break;
            case StorageMode::Disk: st.reset(qarbin::Store::openDisk(dir.path().c_str(), shape())); break;
            case StorageMode::Shm: st.reset(qarbin::Store::openShm(shm->c_str(), shape(), true)); break;
        }
    }
};

std::string metaOf(int i) { return std::string(static_cast<size_t>(i % 7) * 9, static_cast<char>('a' + i % 26)); }

void write(qarbin::Store& st) {
    for (int i = 0; i < kRecords; ++i) {
        const std::vector<float> v = vec(i, kDim);
        const std::string m = metaOf(i);
        ASSERT_EQ(st.set(key(i).c_str(), v.data(), m.empty() ? nullptr : m.data(), static_cast<uint32_t>(m.size())), 0);
    }
    for (int i = 0; i < kRecords; i += 9) ASSERT_EQ(st.del(key(i).c_str()), 0);
    for (int i = 1; i < kRecords; i += 13) {
        const std::vector<float> v = vec(i + 1000, kDim);
        ASSERT_EQ(st.set(key(i).c_str(), v.data(), "updated", 7), 0);
    }
}

// Everything a reader sees, as one comparable value per question.
void expectSameAnswers(qarbin::Store& six, qarbin::Store& seven, const char* when) {
    SCOPED_TRACE(when);
    EXPECT_EQ(six.count(), seven.count());
    for (int i = 0; i < kRecords + 3; ++i) {
        const Fetched a = fetch(six, key(i)), b = fetch(seven, key(i));
        EXPECT_EQ(a.found, b.found) << key(i);
        EXPECT_EQ(a.v, b.v) << key(i);
        EXPECT_EQ(a.meta, b.meta) << key(i);
        EXPECT_EQ(six.has(key(i).c_str()), seven.has(key(i).c_str())) << key(i);
    }
    for (int qi = 0; qi < 4; ++qi) {
        const std::vector<float> q = vec(qi * 31 + 5, kDim);
        for (float precision : {0.0f, 40.0f}) {
            const std::vector<Hit> a = search(six, q.data(), 12, precision), b = search(seven, q.data(), 12, precision);
            ASSERT_EQ(a.size(), b.size()) << "query " << qi << " precision " << precision;
            for (size_t k = 0; k < a.size(); ++k) {
                EXPECT_EQ(a[k].key, b[k].key) << "query " << qi << " precision " << precision << " row " << k;
                EXPECT_EQ(bits(a[k].score), bits(b[k].score)) << a[k].key;
                EXPECT_EQ(a[k].meta, b[k].meta) << a[k].key;
            }
        }
    }
}

class CompactStore : public testing::TestWithParam<Case> {};

}  // namespace

TEST_P(CompactStore, AnswersAsAVersion6StoreThroughEveryStep) {
    Side six(GetParam(), 0), seven(GetParam(), qarbin::kCompactSegmentVersion);
    ASSERT_TRUE(six.st && seven.st);
    write(*six.st);
    write(*seven.st);
    ASSERT_FALSE(seven.st->segments.empty());
    for (const qarbin::Segment* seg : seven.st->segments) EXPECT_TRUE(seg->compact());
    for (const qarbin::Segment* seg : six.st->segments) EXPECT_FALSE(seg->compact());
    expectSameAnswers(*six.st, *seven.st, "written");

    ASSERT_EQ(six.st->buildIndex(), 0);
    ASSERT_EQ(seven.st->buildIndex(), 0);
    EXPECT_EQ(six.st->recordsInGraphs(), seven.st->recordsInGraphs());
    expectSameAnswers(*six.st, *seven.st, "graphs built");

    if (GetParam().mode != StorageMode::Memory) {
        six.open();
        seven.open();
        ASSERT_TRUE(six.st && seven.st);
        for (const qarbin::Segment* seg : seven.st->segments) EXPECT_TRUE(seg->compact());
        expectSameAnswers(*six.st, *seven.st, "reopened");
    }

    EXPECT_EQ(six.st->compact(), seven.st->compact());
    ASSERT_EQ(six.st->buildIndex(), 0);
    ASSERT_EQ(seven.st->buildIndex(), 0);
    for (const qarbin::Segment* seg : seven.st->segments) EXPECT_TRUE(seg->compact());
    expectSameAnswers(*six.st, *seven.st, "compacted");

    six.st->clear();
    seven.st->clear();
    EXPECT_EQ(seven.st->count(), 0u);
    EXPECT_FALSE(fetch(*seven.st, key(1)).found);
    write(*six.st);
    write(*seven.st);
    expectSameAnswers(*six.st, *seven.st, "cleared and written again");
}

INSTANTIATE_TEST_SUITE_P(Modes, CompactStore,
                         testing::Values(Case{StorageMode::Memory, Quantization::None, DistanceMetric::Cosine},
                                         Case{StorageMode::Memory, Quantization::Int8, DistanceMetric::Euclidean},
                                         Case{StorageMode::Memory, Quantization::Binary, DistanceMetric::Dot},
                                         Case{StorageMode::Disk, Quantization::None, DistanceMetric::Cosine},
                                         Case{StorageMode::Disk, Quantization::F16, DistanceMetric::Manhattan},
                                         Case{StorageMode::Shm, Quantization::None, DistanceMetric::Cosine},
                                         Case{StorageMode::Shm, Quantization::Int8, DistanceMetric::Dot}),
                         caseName);

// A lookup in a compact segment reads its persisted key table: the buckets
// a first get looks at do not grow with the records stored.
TEST(CompactStoreKeys, FirstLookupAfterOpeningVisitsAFewSlotsAtAnySize) {
    uint64_t visited[2] = {};
    const int sizes[2] = {50, 2000};
    for (int s = 0; s < 2; ++s) {
        qarbin_test::TempDir dir;
        qarbin::Shape shape = qarbin_test::makeShape(4, DistanceMetric::Cosine, Quantization::None, 4096);
        shape.format = qarbin::kCompactSegmentVersion;
        {
            StorePtr st(qarbin::Store::openDisk(dir.path().c_str(), shape));
            ASSERT_TRUE(st);
            for (int i = 0; i < sizes[s]; ++i) ASSERT_EQ(setVec(*st, i), 0);
        }
        StorePtr st(qarbin::Store::openDisk(dir.path().c_str(), shape));
        ASSERT_TRUE(st);
        ASSERT_EQ(st->segments.size(), 1u);
        EXPECT_EQ(st->segments[0]->keySlotsVisited, 0u);
        const Fetched f = fetch(*st, key(sizes[s] / 2));
        ASSERT_TRUE(f.found);
        EXPECT_EQ(f.v, vec(sizes[s] / 2, 4));
        visited[s] = st->segments[0]->keySlotsVisited;
    }
    EXPECT_GT(visited[0], 0u);
    EXPECT_LE(visited[1], 8u);
}

// A table left marked dirty (a writer killed in a clear or a rebuild) is
// not trusted: lookups walk the entries, and a writable opener builds it again.
TEST(CompactStoreKeys, ADirtyTableIsRebuiltOnOpenAndNeverTrustedMeanwhile) {
    qarbin_test::TempDir dir;
    qarbin::Shape shape = qarbin_test::makeShape(4, DistanceMetric::Cosine, Quantization::None, 256);
    shape.format = qarbin::kCompactSegmentVersion;
    {
        StorePtr st(qarbin::Store::openDisk(dir.path().c_str(), shape));
        ASSERT_TRUE(st);
        for (int i = 0; i < 100; ++i) ASSERT_EQ(setVec(*st, i), 0);
        qarbin::Segment* seg = st->segments[0];
        // The table emptied and marked, as a rebuild cut short leaves it.
        std::memset(seg->base + seg->compactHeader->tail.keyTableOffset, 0,
                    (uint64_t{1} << seg->compactHeader->tail.keyTableBits) * sizeof(qarbin::KeyBucket));
        seg->compactHeader->tail.keyTableDirty.store(1);
        EXPECT_TRUE(fetch(*st, key(42)).found);  // by the walk
    }
    StorePtr st(qarbin::Store::openDisk(dir.path().c_str(), shape));
    ASSERT_TRUE(st);
    EXPECT_EQ(st->segments[0]->compactHeader->tail.keyTableDirty.load(), 0u);
    for (int i = 0; i < 100; ++i) EXPECT_TRUE(fetch(*st, key(i)).found) << i;
    EXPECT_LE(st->segments[0]->keySlotsVisited, 100u * 8u);
}
