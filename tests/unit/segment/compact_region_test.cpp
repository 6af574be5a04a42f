// The compact segment format: its layout arithmetic, the record append and
// reads over a region, the persisted key table, and what a region that lies
// about its lengths and offsets gives.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/segment/compact_region.h"
#include "core/segment/key_index.h"
#include "test_util.h"

using namespace qarbin;
using qarbin_test::makeShape;

namespace {

// A zeroed mapping of a compact region's length, shared with forked
// children, reserved but not backed until touched.
class RegionMap {
public:
    explicit RegionMap(const Shape& shape, NormOrder order = NormOrder::None) {
        CompactLayout l;
        if (!computeCompactLayout(shape.capacity, shape.dim, shape.quantization, shape.pqSubvectors, &l)) return;
        void* p = mmap(nullptr, l.regionBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) return;
        base_ = static_cast<uint8_t*>(p);
        len_ = l.regionBytes;
        CompactRegion::init(base_, len_, shape, order);
    }
    ~RegionMap() {
        if (base_ != nullptr) munmap(base_, len_);
    }
    RegionMap(const RegionMap&) = delete;
    RegionMap& operator=(const RegionMap&) = delete;
    CompactRegion region() const { return CompactRegion(base_, len_); }
    uint8_t* base() const { return base_; }
    uint64_t len() const { return len_; }
    CompactHeader* header() const { return reinterpret_cast<CompactHeader*>(base_); }
    // Resident bytes of the mapping, counted page by page.
    uint64_t residentBytes() const {
        std::vector<unsigned char> pages((len_ + 4095) / 4096);
        if (mincore(base_, len_, pages.data()) != 0) return UINT64_MAX;
        uint64_t n = 0;
        for (unsigned char p : pages) n += p & 1;
        return n * 4096;
    }

private:
    uint8_t* base_ = nullptr;
    uint64_t len_ = 0;
};

std::string keyOf(int writer, int i) { return "w" + std::to_string(writer) + "-k" + std::to_string(i); }

// Metadata of a record: its length varies with i, its bytes follow from
// the key, so a reader can check every byte it sees.
std::string metaOf(const std::string& key, int i) {
    std::string m((static_cast<size_t>(i) * 7919) % 12000, '\0');
    for (size_t j = 0; j < m.size(); ++j) m[j] = static_cast<char>(key[j % key.size()] + j);
    return m;
}

std::vector<uint8_t> rowOf(const CompactRegion& r, uint64_t seed) {
    std::vector<uint8_t> row(r.rowBytes());
    for (size_t j = 0; j < row.size(); ++j) row[j] = static_cast<uint8_t>(seed * 31 + j);
    return row;
}

CompactAdd addRecord(CompactRegion& r, const std::string& key, const std::string& meta, uint64_t seed) {
    const std::vector<uint8_t> row = rowOf(r, seed);
    return r.add(keyHash(key.data(), key.size()), key.data(), static_cast<uint32_t>(key.size()), row.data(), 1.5f,
                 meta.data(), static_cast<uint32_t>(meta.size()));
}

std::vector<uint64_t> find(const CompactRegion& r, const std::string& key, uint64_t* visited = nullptr) {
    std::vector<uint64_t> out;
    r.findLive(keyHash(key.data(), key.size()), key.data(), static_cast<uint32_t>(key.size()), out, visited);
    return out;
}

// The record at entry i holds exactly this key and metadata.
bool holds(const CompactRegion& r, uint64_t i, const std::string& key, const std::string& meta) {
    VarSpan s;
    return r.span(i, &s) && std::string(s.key, s.keyLen) == key && std::string(s.meta, s.metaLen) == meta;
}

}  // namespace

TEST(CompactLayout, AreasOfASmallSegment) {
    CompactLayout l;
    ASSERT_TRUE(computeCompactLayout(16, 128, Quantization::None, 0, &l));
    EXPECT_EQ(l.rowBytes, 512u);
    EXPECT_EQ(l.vectorOffset, 4096u);
    EXPECT_EQ(l.entryOffset, 12288u);
    EXPECT_EQ(l.nodeOffset, 16384u);
    EXPECT_EQ(l.poolOffset, 20480u);
    EXPECT_EQ(l.poolEntries, 256u);
    EXPECT_EQ(l.keyTableOffset, 40960u);
    EXPECT_EQ(l.keyTableBits, kMinKeyTableBits);
    EXPECT_EQ(l.varOffset, 45056u);
    EXPECT_EQ(l.varCapacity, kMinVarAreaBytes);
    EXPECT_EQ(l.textOffset, 45056u + kMinVarAreaBytes);
    EXPECT_EQ(l.textCapacity, l.varCapacity);
    EXPECT_EQ(l.regionBytes, l.textOffset + l.textCapacity);
}

// A region laid out before the text index existed ends where the index
// would begin and says so by a zero text offset: it opens, with no text
// area; a region claiming another text area, or cut inside the one it has,
// does not.
TEST(CompactLayout, RegionWithoutTextAreaStillOpens) {
    const Shape shape = makeShape(8, DistanceMetric::Cosine, Quantization::None, 16);
    CompactLayout l;
    ASSERT_TRUE(computeCompactLayout(16, 8, Quantization::None, 0, &l));
    std::vector<uint8_t> bytes(l.regionBytes, 0);
    ASSERT_TRUE(CompactRegion::init(bytes.data(), bytes.size(), shape, NormOrder::Sequential));
    auto* h = reinterpret_cast<CompactHeader*>(bytes.data());
    EXPECT_TRUE(compactRegionUsable(h, l.regionBytes));
    EXPECT_FALSE(compactRegionUsable(h, l.regionBytes - 1));
    h->tail.textOffset += kCompactAreaAlign;
    EXPECT_FALSE(compactRegionUsable(h, l.regionBytes));
    h->tail.textOffset = 0;
    h->tail.textCapacity = 0;
    h->tail.regionBytes = l.textOffset;
    EXPECT_TRUE(compactRegionUsable(h, l.textOffset));
    EXPECT_FALSE(compactRegionUsable(h, l.textOffset - 1));
}

TEST(CompactLayout, EveryShapeAlignsAndOrdersItsAreas) {
    struct Case {
        uint64_t capacity;
        uint32_t dim;
        Quantization q;
        uint32_t m;
        uint32_t rowBytes;
    };
    const Case cases[] = {
        {16, 384, Quantization::None, 0, 1536},    {30000, 384, Quantization::F16, 0, 768},
        {30000, 384, Quantization::Int8, 0, 416},  {30000, 384, Quantization::Binary, 0, 64},
        {4096, 1536, Quantization::PQ, 96, 96},    {100000, 64, Quantization::None, 0, 256},
        {1, 1, Quantization::Binary, 0, 32},       {1028, 4, Quantization::None, 0, 32},
        {1u << 20, 4096, Quantization::None, 0, 16384},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.capacity) + " x " + std::to_string(c.dim));
        CompactLayout l;
        ASSERT_TRUE(computeCompactLayout(c.capacity, c.dim, c.q, c.m, &l));
        EXPECT_EQ(l.rowBytes, c.rowBytes);
        EXPECT_EQ(l.rowBytes % kVectorRowAlign, 0u);
        const uint64_t starts[] = {l.vectorOffset, l.entryOffset, l.nodeOffset, l.poolOffset, l.keyTableOffset, l.varOffset};
        const uint64_t sizes[] = {c.capacity * l.rowBytes, c.capacity * sizeof(RecordEntry), c.capacity * kNodeBytes,
                                  l.poolEntries * kPoolEntryBytes, (uint64_t{1} << l.keyTableBits) * 4, l.varCapacity};
        EXPECT_GE(l.vectorOffset, kCompactHeaderBytes + l.codebookBytes);
        for (size_t a = 0; a < 6; ++a) {
            EXPECT_EQ(starts[a] % kCompactAreaAlign, 0u) << a;
            const uint64_t next = a + 1 < 6 ? starts[a + 1] : l.regionBytes;
            EXPECT_LE(starts[a] + sizes[a], next) << a;
        }
        EXPECT_GE(uint64_t{1} << l.keyTableBits, 2 * c.capacity);
        EXPECT_LT(uint64_t{1} << l.keyTableBits, 4 * c.capacity + (uint64_t{1} << kMinKeyTableBits));
        EXPECT_GE(l.varCapacity, uint64_t{kCompactMaxKeyBytes} + kCompactMaxMetadataBytes);
        EXPECT_LE(l.varCapacity, kMaxVarAreaBytes);
    }
}

TEST(CompactLayout, RefusesCapacitiesItCannotNumber) {
    CompactLayout l;
    EXPECT_FALSE(computeCompactLayout(0, 128, Quantization::None, 0, &l));
    EXPECT_FALSE(computeCompactLayout(UINT32_MAX / 2, 128, Quantization::None, 0, &l));
    EXPECT_FALSE(computeCompactLayout(UINT64_MAX / 8, 4096, Quantization::None, 0, &l));
    EXPECT_TRUE(computeCompactLayout(UINT32_MAX / 2 - 1, 1, Quantization::Binary, 0, &l));
}

TEST(CompactRegion, RecordsAtTheLimitsRoundTripAndOneBytePastIsRefused) {
    RegionMap map(makeShape(16, DistanceMetric::Cosine, Quantization::None, 8));
    CompactRegion r = map.region();
    ASSERT_TRUE(r.usable());
    const std::string longKey(kCompactMaxKeyBytes, 'k');
    const std::string bigMeta(kCompactMaxMetadataBytes, 'm');
    ASSERT_EQ(addRecord(r, longKey, bigMeta, 1), CompactAdd::Stored);
    ASSERT_EQ(addRecord(r, "", "", 2), CompactAdd::Stored);

    const uint64_t used = map.header()->tail.varUsed.load();
    EXPECT_EQ(addRecord(r, longKey + "k", "", 3), CompactAdd::KeyTooLong);
    EXPECT_EQ(addRecord(r, "x", bigMeta + "m", 4), CompactAdd::MetadataTooLong);
    EXPECT_EQ(map.header()->tail.varUsed.load(), used);
    EXPECT_EQ(r.entryCount(), 2u);
    EXPECT_EQ(map.header()->base.liveCount.load(), 2u);

    ASSERT_EQ(find(r, longKey), std::vector<uint64_t>{0});
    EXPECT_TRUE(holds(r, 0, longKey, bigMeta));
    EXPECT_EQ(std::memcmp(r.row(0), rowOf(r, 1).data(), r.rowBytes()), 0);
    EXPECT_EQ(r.entry(0)->norm, 1.5f);
    EXPECT_EQ(find(r, ""), std::vector<uint64_t>{1});
    EXPECT_TRUE(find(r, longKey.substr(1)).empty());
}

TEST(CompactRegion, KeysWithOneIdAreBothKeptAndTheWholeKeyDecides) {
    RegionMap map(makeShape(8, DistanceMetric::Dot, Quantization::F16, 64));
    CompactRegion r = map.region();
    const std::vector<uint8_t> row = rowOf(r, 0);
    const uint64_t id = 42;  // one id for both keys, as a hash collision gives
    ASSERT_EQ(r.add(id, "alpha", 5, row.data(), 0, "A", 1), CompactAdd::Stored);
    ASSERT_EQ(r.add(id, "beta", 4, row.data(), 0, "B", 1), CompactAdd::Stored);
    std::vector<uint64_t> out;
    EXPECT_EQ(r.findLive(id, "alpha", 5, out), 1u);
    EXPECT_EQ(out, std::vector<uint64_t>{0});
    out.clear();
    EXPECT_EQ(r.findLive(id, "beta", 4, out), 1u);
    EXPECT_EQ(out, std::vector<uint64_t>{1});
    out.clear();
    EXPECT_EQ(r.findLive(id + 1, "beta", 4, out), 0u);  // the id narrows, the key decides
    ASSERT_TRUE(r.markDeleted(0));
    EXPECT_EQ(r.findLive(id, "alpha", 5, out), 0u);
    EXPECT_EQ(r.findLive(id, "beta", 4, out), 1u);
}

TEST(CompactRegion, FullSegmentsRefuseWithoutStoring) {
    RegionMap map(makeShape(8, DistanceMetric::Euclidean, Quantization::None, 3));
    CompactRegion r = map.region();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(addRecord(r, keyOf(0, i), "m", i), CompactAdd::Stored);
    EXPECT_EQ(addRecord(r, "late", "m", 9), CompactAdd::Full);
    EXPECT_EQ(r.entryCount(), 3u);
    EXPECT_EQ(map.header()->base.usedSlots.load(), 3u);
    EXPECT_TRUE(find(r, "late").empty());

    // A variable area too small for the next block ends the segment too.
    RegionMap small(makeShape(8, DistanceMetric::Euclidean, Quantization::None, 16));
    CompactRegion s = small.region();
    const std::string meta(kCompactMaxMetadataBytes, 'x');
    int stored = 0;
    while (addRecord(s, keyOf(1, stored), meta, stored) == CompactAdd::Stored) ++stored;
    EXPECT_EQ(stored, static_cast<int>(kMinVarAreaBytes / (kCompactMaxMetadataBytes + 8)));
    // Refused blocks raise the counter past the capacity once, not again.
    const uint64_t over = small.header()->tail.varUsed.load();
    EXPECT_GT(over, small.header()->tail.varCapacity);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(addRecord(s, "more", meta, 1), CompactAdd::Full);
    EXPECT_EQ(small.header()->tail.varUsed.load(), over);
    EXPECT_EQ(s.entryCount(), static_cast<uint64_t>(stored));
    for (int i = 0; i < stored; ++i) EXPECT_TRUE(holds(s, static_cast<uint64_t>(i), keyOf(1, i), meta));
}

// Opening reads the table as it lies in the region, and a lookup visits a
// handful of buckets whatever the record count.
TEST(CompactRegion, LookupsVisitFewBucketsAtAnySize) {
    for (const uint64_t n : {uint64_t{1000}, uint64_t{100000}}) {
        RegionMap map(makeShape(4, DistanceMetric::Cosine, Quantization::Binary, n));
        CompactRegion r = map.region();
        for (uint64_t i = 0; i < n; ++i) ASSERT_EQ(addRecord(r, keyOf(7, static_cast<int>(i)), "", i), CompactAdd::Stored);
        const CompactRegion opened(map.base(), map.len());
        uint64_t visited = 0;
        for (uint64_t i = 0; i < n; i += n / 1000) {
            const std::vector<uint64_t> got = find(opened, keyOf(7, static_cast<int>(i)), &visited);
            ASSERT_EQ(got, std::vector<uint64_t>{i});
        }
        // A table at most half full: a few buckets per lookup, present or
        // absent, at 1 000 records as at 100 000 (a walk would visit n).
        EXPECT_LT(visited, uint64_t{5000}) << n;
        uint64_t absent = 0;
        for (int i = 0; i < 1000; ++i) find(opened, "absent-" + std::to_string(i), &absent);
        EXPECT_LT(absent, uint64_t{5000}) << n;
    }
}

TEST(CompactRegion, StorageFollowsTheRecordsNotTheReserve) {
    // 30 000 x 384 int8 rows with 20-byte keys and 40-byte metadata: the
    // pages touched are the rows, the entries, the key table and the bytes
    // stored, not a reserve per record.
    const uint64_t n = 30000;
    RegionMap map(makeShape(384, DistanceMetric::Cosine, Quantization::Int8, n));
    CompactRegion r = map.region();
    const std::string meta(40, 'm');
    for (uint64_t i = 0; i < n; ++i) {
        char key[21];
        std::snprintf(key, sizeof key, "record-%013llu", static_cast<unsigned long long>(i));
        ASSERT_EQ(addRecord(r, key, meta, i), CompactAdd::Stored);
    }
    const uint64_t perRecord = map.residentBytes() / n;
    const uint64_t expected = 416 + sizeof(RecordEntry) + 64 + 4 * 2;  // row, entry, key+meta, table share
    EXPECT_LE(perRecord, expected + 8) << perRecord;
    EXPECT_GE(perRecord, 416u);
}

TEST(CompactRegion, KeyTableIsCheckedAndRebuilt) {
    RegionMap map(makeShape(8, DistanceMetric::Cosine, Quantization::None, 200));
    CompactRegion r = map.region();
    for (int i = 0; i < 150; ++i) ASSERT_EQ(addRecord(r, keyOf(3, i), "m", i), CompactAdd::Stored);
    EXPECT_TRUE(r.keyTableSound());

    auto* buckets = reinterpret_cast<std::atomic<uint32_t>*>(map.base() + map.header()->tail.keyTableOffset);
    const uint64_t nb = uint64_t{1} << map.header()->tail.keyTableBits;
    struct Damage {
        const char* what;
        void (*apply)(std::atomic<uint32_t>*, uint64_t, CompactHeader*);
    };
    const Damage damages[] = {
        {"a bucket lost (crash of an older writer)",
         [](std::atomic<uint32_t>* b, uint64_t n, CompactHeader*) {
             for (uint64_t p = 0; p < n; ++p)
                 if (b[p].load() != 0) return b[p].store(0);
         }},
        {"a bucket naming no entry", [](std::atomic<uint32_t>* b, uint64_t n, CompactHeader*) { b[n - 1].store(9999); }},
        {"a rebuild cut short", [](std::atomic<uint32_t>*, uint64_t, CompactHeader* h) { h->tail.keyTableDirty.store(1); }},
        {"an empty table", [](std::atomic<uint32_t>* b, uint64_t n, CompactHeader*) {
             for (uint64_t p = 0; p < n; ++p) b[p].store(0);
         }},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        d.apply(buckets, nb, map.header());
        EXPECT_FALSE(r.keyTableSound());
        r.rebuildKeyTable();
        EXPECT_TRUE(r.keyTableSound());
        for (int i = 0; i < 150; ++i) ASSERT_EQ(find(r, keyOf(3, i)), std::vector<uint64_t>{static_cast<uint64_t>(i)});
    }
}

// Lengths and offsets a corrupt region may hold: the record is skipped, no
// byte outside what the variable area handed out is read.
TEST(CompactRegion, LyingEntriesAreSkipped) {
    struct Lie {
        const char* what;
        void (*apply)(RecordEntry*, CompactHeader*);
    };
    const Lie lies[] = {
        {"key length past the limit", [](RecordEntry* e, CompactHeader*) { e->lengths = packLengths(2047, 0); }},
        {"metadata past the limit", [](RecordEntry* e, CompactHeader*) { e->lengths = packLengths(3, 0x1FFFFF); }},
        {"block past the bytes handed out", [](RecordEntry* e, CompactHeader*) { e->varUnit = 0xFFFFFFFFu; }},
        {"text past the area", [](RecordEntry* e, CompactHeader*) { e->textLen = 0xFFFFFFFFu; }},
        {"variable area counter past its capacity",
         [](RecordEntry* e, CompactHeader* h) {
             h->tail.varUsed.store(UINT64_MAX);
             e->varUnit = static_cast<uint32_t>(h->tail.varCapacity / kVarUnit);
         }},
    };
    for (const Lie& lie : lies) {
        SCOPED_TRACE(lie.what);
        RegionMap map(makeShape(8, DistanceMetric::Cosine, Quantization::None, 8));
        CompactRegion r = map.region();
        ASSERT_EQ(addRecord(r, "key", "meta", 1), CompactAdd::Stored);
        ASSERT_EQ(addRecord(r, "other", "meta", 2), CompactAdd::Stored);
        lie.apply(reinterpret_cast<RecordEntry*>(map.base() + map.header()->tail.entryOffset), map.header());
        VarSpan s;
        EXPECT_FALSE(r.span(0, &s));
        EXPECT_TRUE(find(r, "key").empty());
        if (map.header()->tail.varUsed.load() != UINT64_MAX) {
            EXPECT_EQ(find(r, "other"), std::vector<uint64_t>{1});
        }
    }
}

TEST(CompactRegion, HeadersThatDisagreeWithTheirShapeAreRefused) {
    struct Change {
        const char* what;
        void (*apply)(CompactHeader*);
    };
    const Change changes[] = {
        {"version 6", [](CompactHeader* h) { h->base.version = 6; }},
        {"magic", [](CompactHeader* h) { h->base.magic ^= 1; }},
        {"dimension 0", [](CompactHeader* h) { h->base.dim = 0; }},
        {"capacity raised", [](CompactHeader* h) { h->base.capacity.store(1u << 30); }},
        {"vector offset", [](CompactHeader* h) { h->tail.vectorOffset += 4096; }},
        {"entry offset", [](CompactHeader* h) { h->tail.entryOffset = 0; }},
        {"key table offset", [](CompactHeader* h) { h->tail.keyTableOffset += 64; }},
        {"key table size", [](CompactHeader* h) { h->tail.keyTableBits = 40; }},
        {"variable area offset", [](CompactHeader* h) { h->tail.varOffset = UINT64_MAX; }},
        {"variable area capacity", [](CompactHeader* h) { h->tail.varCapacity *= 2; }},
        {"row size", [](CompactHeader* h) { h->tail.rowBytes = 8; }},
        {"region length", [](CompactHeader* h) { h->tail.regionBytes = 1; }},
        {"graph offset", [](CompactHeader* h) { h->base.graphOffset = 128; }},
        {"norm order", [](CompactHeader* h) { h->tail.normOrder = 9; }},
        {"codebook offset", [](CompactHeader* h) { setHeaderCodebookOffset(&h->base, 128); }},
    };
    const Shape shape = makeShape(16, DistanceMetric::Cosine, Quantization::None, 64);
    for (const Change& c : changes) {
        SCOPED_TRACE(c.what);
        RegionMap map(shape, NormOrder::Sequential);
        ASSERT_TRUE(map.region().usable());
        c.apply(map.header());
        EXPECT_FALSE(map.region().usable());
    }
    RegionMap map(shape);
    EXPECT_FALSE(CompactRegion(map.base(), map.len() - 4096).usable());  // truncated
    EXPECT_FALSE(CompactRegion(map.base(), 100).usable());
}

// Writers in several processes append long, varying records at once while
// the parent reads: every record a reader sees valid is whole, and at the
// end each key is found exactly once.
TEST(CompactRegion, ForkedWritersNeverShowATornRecord) {
    constexpr int kWriters = 3;
    constexpr int kEach = 300;
    RegionMap map(makeShape(8, DistanceMetric::Cosine, Quantization::None, kWriters * kEach));
    std::vector<pid_t> pids;
    for (int w = 0; w < kWriters; ++w) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            CompactRegion r = map.region();
            for (int i = 0; i < kEach; ++i) {
                const std::string key = keyOf(w, i);
                if (addRecord(r, key, metaOf(key, i), static_cast<uint64_t>(w * kEach + i)) != CompactAdd::Stored)
                    _exit(1);
            }
            _exit(0);
        }
        pids.push_back(pid);
    }
    const CompactRegion r = map.region();
    int torn = 0;
    for (int pass = 0; pass < 50; ++pass) {
        for (uint64_t e = 0; e < r.entryCount(); ++e) {
            VarSpan s;
            if (!entryValid(r.entry(e))) continue;
            if (!r.span(e, &s)) {
                ++torn;
                continue;
            }
            const std::string key(s.key, s.keyLen);
            const int i = std::stoi(key.substr(key.find("-k") + 2));
            if (std::string(s.meta, s.metaLen) != metaOf(key, i)) ++torn;
        }
    }
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(torn, 0);
    for (int w = 0; w < kWriters; ++w)
        for (int i = 0; i < kEach; ++i) {
            const std::vector<uint64_t> got = find(r, keyOf(w, i));
            ASSERT_EQ(got.size(), 1u) << keyOf(w, i);
            EXPECT_TRUE(holds(r, got[0], keyOf(w, i), metaOf(keyOf(w, i), i)));
        }
    EXPECT_TRUE(r.keyTableSound());
}

// A writer killed at a random point: every write it acknowledged is there
// and whole, nothing half-written is visible, and the table needs no repair.
TEST(CompactRegion, KilledWriterLeavesNoHalfRecord) {
    std::mt19937 rng(20261211);
    for (int round = 0; round < 5; ++round) {
        RegionMap map(makeShape(8, DistanceMetric::Cosine, Quantization::None, 20000));
        auto* acked = static_cast<std::atomic<uint64_t>*>(
            mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        ASSERT_NE(acked, MAP_FAILED);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            CompactRegion r = map.region();
            for (int i = 0; i < 20000; ++i) {
                const std::string key = keyOf(9, i);
                if (addRecord(r, key, metaOf(key, i), static_cast<uint64_t>(i)) != CompactAdd::Stored) _exit(1);
                acked->store(static_cast<uint64_t>(i) + 1);
            }
            _exit(0);
        }
        usleep(1000 + rng() % 20000);
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        const CompactRegion r = map.region();
        const uint64_t done = acked->load();
        for (uint64_t i = 0; i < done; ++i) {
            const std::vector<uint64_t> got = find(r, keyOf(9, static_cast<int>(i)));
            ASSERT_EQ(got, std::vector<uint64_t>{i});
            ASSERT_TRUE(holds(r, i, keyOf(9, static_cast<int>(i)), metaOf(keyOf(9, static_cast<int>(i)), static_cast<int>(i))));
        }
        for (uint64_t e = done; e < r.entryCount(); ++e) {
            if (!entryValid(r.entry(e))) continue;  // reserved, never published: invisible
            EXPECT_TRUE(holds(r, e, keyOf(9, static_cast<int>(e)), metaOf(keyOf(9, static_cast<int>(e)), static_cast<int>(e))));
        }
        EXPECT_TRUE(r.keyTableSound());
        munmap(acked, 4096);
    }
}

// Writers whose keys all share one id race for the buckets of one probe
// run: every bucket is claimed by exactly one of them.
TEST(CompactRegion, ForkedWritersOfOneIdKeepEveryKey) {
    constexpr int kWriters = 3;
    constexpr int kEach = 400;
    constexpr uint64_t kId = 0x5EED;
    RegionMap map(makeShape(8, DistanceMetric::Cosine, Quantization::None, kWriters * kEach));
    std::vector<pid_t> pids;
    for (int w = 0; w < kWriters; ++w) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            CompactRegion r = map.region();
            const std::vector<uint8_t> row = rowOf(r, 0);
            for (int i = 0; i < kEach; ++i) {
                const std::string key = keyOf(w, i);
                if (r.add(kId, key.data(), static_cast<uint32_t>(key.size()), row.data(), 0, nullptr, 0) !=
                    CompactAdd::Stored)
                    _exit(1);
            }
            _exit(0);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const CompactRegion r = map.region();
    for (int w = 0; w < kWriters; ++w)
        for (int i = 0; i < kEach; ++i) {
            const std::string key = keyOf(w, i);
            std::vector<uint64_t> out;
            ASSERT_EQ(r.findLive(kId, key.data(), static_cast<uint32_t>(key.size()), out), 1u) << key;
        }
    EXPECT_TRUE(r.keyTableSound());
}

TEST(CompactRegion, ClearEmptiesEveryAreaAndACutClearIsRepaired) {
    RegionMap map(makeShape(8, DistanceMetric::Cosine, Quantization::None, 64));
    CompactRegion r = map.region();
    for (int i = 0; i < 40; ++i) ASSERT_EQ(addRecord(r, keyOf(5, i), metaOf(keyOf(5, i), i), i), CompactAdd::Stored);
    const uint64_t gen = map.header()->base.generation.load();
    r.clearRecords();
    EXPECT_EQ(r.entryCount(), 0u);
    EXPECT_EQ(map.header()->base.liveCount.load(), 0u);
    EXPECT_EQ(map.header()->tail.varUsed.load(), 0u);
    EXPECT_EQ(map.header()->base.generation.load(), gen + 1);
    EXPECT_TRUE(r.keyTableSound());
    EXPECT_TRUE(find(r, keyOf(5, 3)).empty());
    // The bytes are gone, not just the counters.
    const uint8_t* var = map.base() + map.header()->tail.varOffset;
    EXPECT_EQ(std::count(var, var + 64 * 1024, 0), 64 * 1024);
    ASSERT_EQ(addRecord(r, "after", "m", 1), CompactAdd::Stored);
    EXPECT_EQ(find(r, "after"), std::vector<uint64_t>{0});

    // A clear that died after marking the table: the check sees it.
    map.header()->tail.keyTableDirty.store(1);
    EXPECT_FALSE(r.keyTableSound());
    r.rebuildKeyTable();
    EXPECT_TRUE(r.keyTableSound());
    EXPECT_EQ(find(r, "after"), std::vector<uint64_t>{0});
}
