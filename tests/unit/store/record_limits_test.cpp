// The longest key and metadata a store takes follow the format of its new
// segments: 1024 and 1048576 bytes in the compact format, 63 and 4096 in
// slots. At a limit the record is kept whole through get, search, a dump
// walk, compaction and reopening; one byte past it nothing is stored.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/filter/filter.h"
#include "core/segment/format_compact.h"
#include "shm_helpers.h"
#include "store_fixture.h"

using namespace store_test;
using qarbin::StorageMode;

namespace {

constexpr uint32_t kDim = 8;

struct Case {
    StorageMode mode;
    uint32_t format;
};

std::string caseName(const testing::TestParamInfo<Case>& info) {
    static const char* modes[] = {"disk", "memory", "shm"};
    return std::string(modes[static_cast<int>(info.param.mode)]) + (info.param.format ? "_v7" : "_v6");
}

struct Opened {
    qarbin_test::TempDir dir;
    std::unique_ptr<qarbin_test::ShmStoreName> shm;
    StorePtr st;
};

qarbin::Shape shapeOf(uint32_t format) {
    qarbin::Shape s = qarbin_test::makeShape(kDim, qarbin::DistanceMetric::Euclidean, qarbin::Quantization::None, 16,
                                             false, 8, 40);
    s.format = format;
    return s;
}

void open(Opened& o, const Case& c) {
    o.st.reset();
    const qarbin::Shape s = shapeOf(c.format);
    switch (c.mode) {
        case StorageMode::Memory: o.st.reset(qarbin::Store::openMemory(s, nullptr)); break;
        case StorageMode::Disk: o.st.reset(qarbin::Store::openDisk(o.dir.path().c_str(), s)); break;
        case StorageMode::Shm:
            if (!o.shm) o.shm = std::make_unique<qarbin_test::ShmStoreName>("lim");
            o.st.reset(qarbin::Store::openShm(o.shm->c_str(), s, true));
            break;
    }
}

// Bytes that differ along the string, so a cut or a shifted copy shows.
std::string pattern(size_t n, char first) {
    std::string s(n, first);
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + static_cast<size_t>(first)) % 26);
    return s;
}

int put(qarbin::Store& st, const std::string& k, int i, const std::string& meta) {
    const std::vector<float> v = vec(i, kDim);
    return st.set(k.c_str(), v.data(), meta.data(), static_cast<uint32_t>(meta.size()));
}

struct Seen {
    int records = 0;
    bool found = false;
    const std::string* key;
    const std::string* meta;
};

bool visit(void* ctx, const char* key, const float*, const char* meta, uint32_t metaLen, const char*, uint32_t) {
    Seen& s = *static_cast<Seen*>(ctx);
    ++s.records;
    if (*s.key == key && meta != nullptr && std::string(meta, metaLen) == *s.meta) s.found = true;
    return true;
}

// The record under key answers with meta through every reader.
void expectWhole(qarbin::Store& st, const std::string& k, int i, const std::string& meta) {
    const Fetched f = fetch(st, k);
    ASSERT_TRUE(f.found);
    EXPECT_EQ(f.v, vec(i, kDim));
    EXPECT_TRUE(f.meta == meta) << "metadata of " << f.meta.size() << " bytes, stored " << meta.size();
    EXPECT_TRUE(st.has(k.c_str()));
    const std::vector<float> q = vec(i, kDim);
    const std::vector<Hit> hits = search(st, q.data(), 1, 1.0f);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_TRUE(hits[0].key == k);
    EXPECT_TRUE(hits[0].meta == meta);
    std::vector<float> scratch(qarbin::kMaxDim);
    Seen seen{0, false, &k, &meta};
    st.forEachRecord(scratch.data(), visit, &seen);
    EXPECT_TRUE(seen.found);
}

class RecordLimits : public testing::TestWithParam<Case> {};

TEST_P(RecordLimits, AtTheLimitKeptWholeOnePastRefusedWithNothingStored) {
    const Case c = GetParam();
    const uint32_t maxKey = c.format ? qarbin::kCompactMaxKeyBytes : qarbin::kMaxKeyBytes;
    const uint32_t maxMeta = c.format ? qarbin::kCompactMaxMetadataBytes : qarbin::kMaxMetadataBytes;
    EXPECT_EQ(qarbin::maxKeyBytes(c.format), maxKey);
    EXPECT_EQ(qarbin::maxMetadataBytes(c.format), maxMeta);
    Opened o;
    open(o, c);
    ASSERT_TRUE(o.st);
    const std::string longKey = pattern(maxKey, 'k');
    const std::string longMeta = pattern(maxMeta, 'm');
    ASSERT_EQ(put(*o.st, "small", 1, "{}"), 0);
    ASSERT_EQ(put(*o.st, longKey, 2, longMeta), 0);

    // One byte past either limit, as a new key and as a rewrite.
    EXPECT_NE(put(*o.st, pattern(maxKey + 1, 'k'), 3, "x"), 0);
    EXPECT_NE(put(*o.st, "other", 4, pattern(maxMeta + 1, 'm')), 0);
    EXPECT_NE(put(*o.st, longKey, 5, pattern(maxMeta + 1, 'n')), 0);
    EXPECT_FALSE(fetch(*o.st, pattern(maxKey + 1, 'k')).found);
    EXPECT_FALSE(fetch(*o.st, "other").found);
    EXPECT_EQ(o.st->count(), 2u);
    expectWhole(*o.st, longKey, 2, longMeta);

    // Past every segment's limit, a lookup is refused before any segment is read.
    EXPECT_FALSE(o.st->has(pattern(qarbin::kLongestKeyBytes + 1, 'k').c_str()));

    o.st->compact();
    expectWhole(*o.st, longKey, 2, longMeta);
    if (c.mode != StorageMode::Memory) {  // a memory store ends with its handle
        open(o, c);
        ASSERT_TRUE(o.st);
        expectWhole(*o.st, longKey, 2, longMeta);
    }
    EXPECT_EQ(o.st->del(longKey.c_str()), 0);
    EXPECT_FALSE(fetch(*o.st, longKey).found);
    EXPECT_EQ(o.st->count(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Modes, RecordLimits,
                         testing::Values(Case{StorageMode::Memory, 0}, Case{StorageMode::Disk, 0}, Case{StorageMode::Shm, 0},
                                         Case{StorageMode::Memory, qarbin::kCompactSegmentVersion},
                                         Case{StorageMode::Disk, qarbin::kCompactSegmentVersion},
                                         Case{StorageMode::Shm, qarbin::kCompactSegmentVersion}),
                         caseName);

// A store goes on in the format of its newest segment: a disk store of slot
// segments opened asking for compact ones still refuses a record longer
// than a slot holds, whole, and keeps what it has; once compaction has
// rewritten it compact, the same record goes in and both are whole.
TEST(RecordLimitsMixed, SlotSegmentRefusesALongRecordAndACompactOneTakesIt) {
    Opened o;
    open(o, Case{StorageMode::Disk, qarbin::kSegmentVersion});
    ASSERT_TRUE(o.st);
    ASSERT_EQ(put(*o.st, "small", 1, "{}"), 0);
    open(o, Case{StorageMode::Disk, qarbin::kCompactSegmentVersion});
    ASSERT_TRUE(o.st);
    EXPECT_EQ(o.st->shape.format, qarbin::kSegmentVersion);
    const std::string longKey = pattern(200, 'k');
    const std::string longMeta = pattern(10000, 'm');
    EXPECT_EQ(put(*o.st, longKey, 2, longMeta), -1);
    EXPECT_FALSE(fetch(*o.st, longKey).found);
    ASSERT_EQ(o.st->segments.size(), 1u);
    EXPECT_FALSE(o.st->segments[0]->compact());
    expectWhole(*o.st, "small", 1, "{}");

    o.st->compact();
    ASSERT_FALSE(o.st->segments.empty());
    EXPECT_TRUE(o.st->segments.back()->compact());
    ASSERT_EQ(put(*o.st, longKey, 2, longMeta), 0);
    for (const qarbin::Segment* seg : o.st->segments) EXPECT_TRUE(seg->compact());
    expectWhole(*o.st, longKey, 2, longMeta);
    expectWhole(*o.st, "small", 1, "{}");
}

// A slot segment asked directly refuses a key or metadata one byte past its
// slot, and keeps one at the limit whole.
TEST(RecordLimitsMixed, SlotSegmentAddRefusesInsteadOfCutting) {
    StorePtr st(qarbin::Store::openMemory(shapeOf(0), nullptr));
    ASSERT_TRUE(st);
    qarbin::Segment* seg = st->segments[0];
    const std::vector<float> v = vec(1, kDim);
    const std::string meta(qarbin::kMaxMetadataBytes + 1, 'm');
    const std::string longKey(qarbin::kMaxKeyBytes + 1, 'k');
    EXPECT_EQ(seg->add(qarbin::recordId(longKey.c_str()), longKey.c_str(), v.data(), nullptr, 0), -1);
    EXPECT_EQ(seg->add(qarbin::recordId("a"), "a", v.data(), meta.data(), static_cast<uint32_t>(meta.size())), -1);
    EXPECT_EQ(seg->usedSlotsClamped(), 0u);
    const std::string atKey(qarbin::kMaxKeyBytes, 'k');
    ASSERT_EQ(seg->add(qarbin::recordId(atKey.c_str()), atKey.c_str(), v.data(), meta.data(), qarbin::kMaxMetadataBytes), 0);
    EXPECT_EQ(seg->keyAt(0).len, qarbin::kMaxKeyBytes);
    EXPECT_EQ(seg->metadataLenAt(0), qarbin::kMaxMetadataBytes);
}

// A filter reads metadata of any length the store holds: a field after
// 1 MiB of text still decides.
TEST(RecordLimitsMixed, FilterMatchesMetadataOfTheLongestLength) {
    StorePtr st(qarbin::Store::openMemory(shapeOf(qarbin::kCompactSegmentVersion), nullptr));
    ASSERT_TRUE(st);
    const std::string head = "{\"text\":\"";
    const std::string tail = "\",\"even\":true}";
    const std::string meta = head + pattern(qarbin::kCompactMaxMetadataBytes - head.size() - tail.size(), 't') + tail;
    ASSERT_EQ(meta.size(), qarbin::kCompactMaxMetadataBytes);
    ASSERT_EQ(put(*st, "long", 1, meta), 0);
    ASSERT_EQ(put(*st, "short", 2, "{\"even\":false}"), 0);
    qarbin::Filter f;
    qarbin::FilterNode eq;
    eq.op = qarbin::FilterOp::Eq;
    eq.path = {"even"};
    qarbin::FilterValue v;
    v.kind = qarbin::FilterValue::Kind::Bool;
    v.b = true;
    eq.values.push_back(v);
    f.root.children.push_back(eq);
    const std::vector<float> q = vec(2, kDim);
    qarbin::Result* out = nullptr;
    const int n = st->search(q.data(), 5, 1.0f, &out, &f);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(std::string(out[0].key, out[0].keyLen), "long");
    EXPECT_EQ(out[0].metadataLen, qarbin::kCompactMaxMetadataBytes);
    qarbin::releaseBytes(out);
}

}  // namespace

namespace {

// A compact memory segment's variable area is a sparse reserve: the memory
// limit counts the bytes records take, so a limit below the reserve still
// lets records in, and the metadata they bring is what fills it.
TEST(CompactMemoryLimit, CountsTheVariableBytesStoredNotTheReserve) {
    const qarbin::Shape shape = shapeOf(qarbin::kCompactSegmentVersion);
    StorePtr st(qarbin::Store::openMemory(shape, nullptr));
    ASSERT_TRUE(st);
    const uint64_t fresh = qarbin::Segment::countedRegionBytes(shape);
    ASSERT_LT(fresh, qarbin::Segment::regionBytes(shape));
    EXPECT_EQ(st->segments[0]->countedBytes(), fresh);
    const uint64_t metaBytes = 64 * 1024;
    st->memoryLimit = fresh + 3 * metaBytes + 512;  // below the region's mapped length
    ASSERT_LT(st->memoryLimit, st->segments[0]->mappedLen);
    const std::string meta = pattern(metaBytes, 'm');
    int stored = 0;
    for (int i = 0; i < 10 && put(*st, "k" + std::to_string(i), i, meta) == 0; ++i) ++stored;
    EXPECT_EQ(stored, 3);
    EXPECT_EQ(st->writeFailure, qarbin::WriteFailure::MemoryLimit);
    EXPECT_LE(st->segments[0]->countedBytes(), st->memoryLimit);
    EXPECT_GE(st->segments[0]->countedBytes(), fresh + 3 * metaBytes);
    EXPECT_EQ(put(*st, "small", 20, "{}"), 0);  // what still fits goes in
    EXPECT_EQ(st->count(), 4u);
}

}  // namespace
