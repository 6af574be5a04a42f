// Stores whose segments are created in the compact format (version 7)
// answer exactly as stores of version-6 segments fed the same writes: the
// same records, metadata, hits and score bits, exact and through the graph,
// after deletes, updates, compaction, clear and reopening, in every mode.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
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

namespace {

std::string longMetaOf(const std::string& k, int i) {
    std::string m = k + ":";
    while (m.size() < static_cast<size_t>(40 + (i * 577) % 4000)) m += static_cast<char>('A' + (m.size() + i) % 26);
    return m;
}

std::vector<float> workerVec(int w, int i) {
    std::vector<float> v(4);
    v[0] = static_cast<float>(w);
    v[1] = static_cast<float>(i);
    v[2] = 0.5f * static_cast<float>(i % 7);
    v[3] = -1.0f;
    return v;
}

// Every readable record of the store holds the metadata and vector its key
// was written with; returns how many it looked at, or -1 at a torn one.
long checkEveryRecord(const qarbin::Store& st) {
    long seen = 0;
    for (const qarbin::Segment* seg : st.segments) {
        const uint64_t used = seg->usedSlotsClamped();
        for (uint64_t s = 0; s < used; ++s) {
            if (!seg->readableAt(s)) continue;
            const qarbin::KeyRef k = seg->keyAt(s);
            const std::string key(k.data, k.len);
            int w = 0, i = 0;
            if (std::sscanf(key.c_str(), "w%d_%d", &w, &i) != 2) return -1;
            const std::string meta(seg->metadataAt(s), seg->metadataLenAt(s));
            const std::vector<float> v = workerVec(w, i);
            if (meta != longMetaOf(key, i) || std::memcmp(seg->vectorAt(s), v.data(), sizeof(float) * 4) != 0) return -1;
            ++seen;
        }
    }
    return seen;
}

qarbin::Shape sharedShape() {
    qarbin::Shape s = qarbin_test::makeShape(4, DistanceMetric::Euclidean, Quantization::None, 256);
    s.format = qarbin::kCompactSegmentVersion;
    return s;
}

}  // namespace

// Writers in several processes reserve entries and variable bytes at once;
// a reader in another process checks every record it sees byte for byte.
TEST(CompactStoreShared, ForkedWritersWithLongMetadataNeverShowATornRecord) {
    qarbin_test::ShmStoreName name("cmpfork");
    constexpr int kWriters = 3;
    constexpr int kPer = 600;
    const std::vector<int> rc = qarbin_test::runWorkers(kWriters + 1, [&](int w) {
        StorePtr st(qarbin::Store::openShm(name.c_str(), sharedShape(), true));
        if (!st) return 1;
        if (w == kWriters) {
            // Until every record is in, and once more after that.
            for (long seen = 0; seen < kWriters * kPer;) {
                st->attachShmSegments();
                seen = checkEveryRecord(*st);
                if (seen < 0) return 3;
            }
            return 0;
        }
        for (int i = 0; i < kPer; ++i) {
            const std::string key = "w" + std::to_string(w) + "_" + std::to_string(i);
            const std::string meta = longMetaOf(key, i);
            const std::vector<float> v = workerVec(w, i);
            if (st->set(key.c_str(), v.data(), meta.data(), static_cast<uint32_t>(meta.size())) != 0) return 2;
        }
        return 0;
    });
    for (int w = 0; w <= kWriters; ++w) EXPECT_EQ(rc[w], 0) << "worker " << w;
    StorePtr st(qarbin::Store::openShm(name.c_str(), sharedShape(), true));
    ASSERT_TRUE(st);
    for (const qarbin::Segment* seg : st->segments) EXPECT_TRUE(seg->compact());
    EXPECT_EQ(checkEveryRecord(*st), kWriters * kPer);
    EXPECT_EQ(st->count(), static_cast<uint64_t>(kWriters * kPer));
    for (int w = 0; w < kWriters; ++w)
        for (int i = 0; i < kPer; i += 37) {
            const std::string key = "w" + std::to_string(w) + "_" + std::to_string(i);
            const Fetched f = fetch(*st, key);
            ASSERT_TRUE(f.found) << key;
            EXPECT_EQ(f.meta, longMetaOf(key, i));
        }
}

// A writer killed at any moment leaves no half record, and every write it
// acknowledged is there after reopening, on disk and in shared memory.
TEST(CompactStoreShared, AWriterKilledAnywhereLosesNoAcknowledgedWrite) {
    qarbin_test::TempDir tmp;
    for (int r = 0; r < 12; ++r) {
        const bool shared = r % 2 == 1;
        const std::string dir = tmp.path() + "/r" + std::to_string(r);
        qarbin_test::ShmStoreName name("cmpkill");
        auto open = [&] {
            return shared ? StorePtr(qarbin::Store::openShm(name.c_str(), sharedShape(), true))
                          : StorePtr(qarbin::Store::openDisk(dir.c_str(), sharedShape()));
        };
        int pipefd[2];
        ASSERT_EQ(pipe(pipefd), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            close(pipefd[0]);
            StorePtr st = open();
            for (int i = 0; st && i < 100000; ++i) {
                const std::string key = "w0_" + std::to_string(i);
                const std::string meta = longMetaOf(key, i);
                const std::vector<float> v = workerVec(0, i);
                if (st->set(key.c_str(), v.data(), meta.data(), static_cast<uint32_t>(meta.size())) != 0) break;
                if (write(pipefd[1], &i, sizeof i) != static_cast<ssize_t>(sizeof i)) break;
            }
            _exit(1);
        }
        close(pipefd[1]);
        int acked = -1, got;
        for (int n = 0; n < 50 + r * 40 && read(pipefd[0], &got, sizeof got) == static_cast<ssize_t>(sizeof got); ++n)
            acked = got;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        close(pipefd[0]);
        StorePtr st = open();
        ASSERT_TRUE(st) << "round " << r;
        const long seen = checkEveryRecord(*st);
        EXPECT_GE(seen, acked + 1) << "round " << r;
        for (int i = 0; i <= acked; ++i) {
            const std::string key = "w0_" + std::to_string(i);
            ASSERT_TRUE(fetch(*st, key).found) << key << " round " << r;
        }
        const std::vector<float> v = workerVec(0, 999999);
        EXPECT_EQ(st->set("w0_999999", v.data(), nullptr, 0), 0) << "round " << r;
    }
}

// Entries whose lengths, offset or key-table bucket lie (a corrupt file)
// are skipped by every reader of the segment; the others still answer. The
// lying entries are older than the 64 newest, which an opener checks
// against the counters (a lie there refuses the file, see the PHP table).
TEST(CompactStoreCorrupt, LyingEntriesAreSkippedByEveryReader) {
    qarbin_test::TempDir dir;
    qarbin::Shape shape = qarbin_test::makeShape(4, DistanceMetric::Cosine, Quantization::None, 128);
    shape.format = qarbin::kCompactSegmentVersion;
    constexpr int kRecords = 80;
    {
        StorePtr st(qarbin::Store::openDisk(dir.path().c_str(), shape));
        ASSERT_TRUE(st);
        for (int i = 0; i < kRecords; ++i) ASSERT_EQ(setVec(*st, i, "meta"), 0);
        qarbin::Segment* seg = st->segments[0];
        seg->entries[1].lengths = qarbin::packLengths(4, (1u << qarbin::kMetaLenBits) - 1);  // over the limit
        seg->entries[2].varUnit = 0x7fffffff;                                               // past what was handed out
        seg->entries[3].lengths = qarbin::packLengths(2000, 0);                               // key over the limit
        seg->entries[4].textLen = 1u << 30;
        auto* buckets = reinterpret_cast<uint32_t*>(seg->base + seg->compactHeader->tail.keyTableOffset);
        buckets[0] = 0xfffffff0u;  // names no entry
    }
    StorePtr st(qarbin::Store::openDisk(dir.path().c_str(), shape));
    ASSERT_TRUE(st);
    for (int i = 0; i < kRecords; ++i) EXPECT_EQ(fetch(*st, key(i)).found, i < 1 || i > 4) << key(i);
    const std::vector<float> q = vec(1, 4);
    const auto lying = [](const std::string& k) { return k == key(1) || k == key(2) || k == key(3) || k == key(4); };
    for (float precision : {0.0f, 20.0f}) {
        const std::vector<Hit> hits = search(*st, q.data(), kRecords, precision);
        EXPECT_EQ(hits.size(), static_cast<size_t>(kRecords - 4));
        for (const Hit& h : hits) EXPECT_TRUE(h.meta == "meta" && !lying(h.key)) << h.key;
    }
    std::vector<std::string> keys;
    st->keys("", 0, &keys);
    EXPECT_EQ(keys.size(), static_cast<size_t>(kRecords - 4));
    EXPECT_EQ(st->buildIndex(), 0);
    EXPECT_EQ(search(*st, q.data(), kRecords, 200.0f).size(), static_cast<size_t>(kRecords - 4));
}
