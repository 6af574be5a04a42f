// Regions whose header fields lie, and files cut short: every one is either
// refused or read without touching a byte outside the mapping (this file is
// meant to run under the sanitizer build as well).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/segment/segment.h"
#include "seg_fixture.h"
#include "test_util.h"

using namespace segtest;
using qarbin::SegmentHeader;

namespace {

struct Field {
    const char* name;
    size_t offset;
    size_t width;
};

const Field kFields[] = {
    {"dim", 8, 4},          {"quantization", 12, 4}, {"usedSlots", 16, 8},    {"liveCount", 24, 8},
    {"capacity", 32, 8},    {"hnswM", 40, 4},        {"efConstruction", 44, 4}, {"graphOffset", 48, 8},
    {"entryPoint", 56, 4},  {"maxLevel", 60, 4},     {"indexedCount", 64, 8}, {"linkPoolOffset", 72, 8},
    {"metric", 80, 4},      {"flags", 84, 4},        {"insertSeq", 88, 8},    {"pqSubvectors", 96, 4},
    {"codebookOffset", 100, 8}, {"linkPoolUsed", 108, 4}, {"generation", 112, 8},
};

struct Fixture {
    const char* name;
    uint32_t dim;
    uint64_t cap;
    Quantization q;
    uint32_t m;
    uint32_t format = qarbin::kSegmentVersion;
};

// Fixed-slot files, whose header fields and slot bytes the tables name.
const Fixture kFixtures[] = {{"plain", 4, 4, Quantization::None, 0}, {"pq", 8, 6, Quantization::PQ, 2}};
// The same records in compact files (version 7).
const Fixture kCompactFixtures[] = {{"compact plain", 4, 4, Quantization::None, 0, qarbin::kCompactSegmentVersion},
                                    {"compact pq", 8, 6, Quantization::PQ, 2, qarbin::kCompactSegmentVersion}};

// A valid file with a few records, one of them deleted.
std::vector<char> makeFile(const qarbin_test::TempDir& dir, const Fixture& f) {
    const std::string path = dir.file(std::string(f.name) + ".src");
    {
        SegPtr s(Segment::createDisk(
            path.c_str(),
            qarbin_test::inFormat(shapeOf(f.dim, f.cap, f.q, f.m, DistanceMetric::Cosine, 0, 0), f.format)));
        if (!s) return {};
        if (f.m) {
            const uint64_t at = s->codebookOffset();
            float* cb = reinterpret_cast<float*>(s->base + at);
            for (uint64_t i = 0; i < Segment::codebookSize(f.dim, f.m) / 4; ++i) cb[i] = static_cast<float>(i % 5);
            qarbin::setHeaderCodebookOffset(s->header, at);
            s->mapPointers();
        }
        const auto v = vec(f.dim, 1);
        for (int i = 0; i < 3; ++i) s->add(i, ("k" + std::to_string(i)).c_str(), v.data(), "meta", 4);
        deleteKey(*s, "k1");
    }
    return readFile(path);
}

// Whatever opened must survive every operation.
void exercise(Segment& s) {
    std::vector<float> q(s.dim, 0.5f);
    qarbin::Result res[8];
    int count = 0;
    // Scored under two metrics in the 8-lane order, then under a third in
    // the sequential one.
    for (DistanceMetric m : {DistanceMetric::Cosine, DistanceMetric::Euclidean}) {
        s.metric = m;
        s.useAvx2 = true;
        s.search(q.data(), 8, res, &count);
        for (int i = 0; i < count; ++i) {
            ASSERT_LE(res[i].metadataLen, 4096u);
            ASSERT_LE(res[i].keyLen, qarbin::kMaxKeyBytes);
        }
    }
    std::vector<uint64_t> slots;
    s.findLiveByKey("k0", slots);
    s.getByKey("k2");
    if (s.writable) {
        deleteKey(s, "k2");
        s.add(9, "k9", q.data(), "m", 1);
        s.getByKey("k9");
        s.clearRecords();
        s.add(10, "k10", q.data(), nullptr, 0);
        s.metric = DistanceMetric::Dot;
        s.useAvx2 = false;
        s.search(q.data(), 8, res, &count);
    }
}

void tryAllOpeners(const qarbin_test::TempDir& dir, const std::vector<char>& bytes, bool mustRefuse,
                   const std::string& what) {
    const std::string path = dir.file("case.qbseg");
    for (int opener = 0; opener < 3; ++opener) {
        writeFile(path, bytes);
        SegPtr s(opener == 0   ? Segment::openDisk(path.c_str(), 1)
                 : opener == 1 ? Segment::openDisk(path.c_str(), 0)
                               : Segment::loadFromFile(path.c_str()));
        if (mustRefuse) {
            EXPECT_EQ(s, nullptr) << what << " opener " << opener;
        }
        if (s) exercise(*s);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

uint64_t fieldValue(const std::vector<char>& b, const Field& f) {
    uint64_t v = 0;
    std::memcpy(&v, b.data() + f.offset, f.width);
    return v;
}

// A sub-vector count matters to a PQ segment's decoding; for any encoding it
// sizes the codebook area, so a count that moves the areas is caught by the
// layout checks.
bool pqLieRefused(const Fixture& fx, uint64_t now, uint64_t was) {
    const uint32_t m = static_cast<uint32_t>(now);
    if (fx.q == Quantization::PQ && (m == 0 || fx.dim % m != 0)) return true;
    return Segment::codebookSize(fx.dim, m) != Segment::codebookSize(fx.dim, static_cast<uint32_t>(was));
}

}  // namespace

TEST(SegmentCorrupt, LyingHeaderFields) {
    qarbin_test::TempDir dir;
    for (const Fixture& fx : kFixtures) {
        const std::vector<char> valid = makeFile(dir, fx);
        ASSERT_FALSE(valid.empty());
        tryAllOpeners(dir, valid, false, "untouched");
        const uint64_t lies[] = {0, 1, fx.cap - 1, fx.cap + 1, uint64_t{1} << 32, uint64_t{1} << 63, UINT64_MAX};
        for (const Field& f : kFields) {
            for (uint64_t lie : lies) {
                std::vector<char> bytes = valid;
                std::memcpy(bytes.data() + f.offset, &lie, f.width);  // low bytes: little-endian
                const uint64_t now = fieldValue(bytes, f);
                const uint64_t was = fieldValue(valid, f);
                const std::string name(f.name);
                bool refuse = false;
                if (now != was) {
                    refuse = name == "capacity" || name == "graphOffset" || name == "linkPoolOffset" ||
                             (name == "codebookOffset" && now != 0) || (name == "metric" && now > 3) ||
                             (name == "quantization" && now > 4) || (name == "dim" && (now == 0 || now > 4096)) ||
                             (name == "pqSubvectors" && pqLieRefused(fx, now, was));
                }
                tryAllOpeners(dir, bytes, refuse, std::string(fx.name) + " " + name + "=" + std::to_string(now));
                if (HasFatalFailure()) return;
            }
        }
    }
}

TEST(SegmentCorrupt, LyingSlotFields) {
    qarbin_test::TempDir dir;
    const Fixture& fx = kFixtures[0];
    const std::vector<char> valid = makeFile(dir, fx);
    ASSERT_FALSE(valid.empty());
    const uint64_t slot0 = 128;
    const uint32_t metaLies[] = {4097, 65536, UINT32_MAX};
    for (uint32_t lie : metaLies) {
        std::vector<char> bytes = valid;
        std::memcpy(bytes.data() + slot0 + 80, &lie, 4);
        const std::string path = dir.file("slot.qbseg");
        writeFile(path, bytes);
        SegPtr s(Segment::openDisk(path.c_str(), 0));
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->getByKey("k0"), nullptr) << lie;
        std::vector<float> q(fx.dim, 1.0f);
        qarbin::Result res[4];
        int count = 0;
        s->search(q.data(), 4, res, &count);
        EXPECT_EQ(count, 1) << lie;  // k2 only: k1 is deleted, k0 is skipped
        exercise(*s);
    }
    // A key filling all 64 bytes, no NUL anywhere.
    std::vector<char> bytes = valid;
    std::memset(bytes.data() + slot0 + 8, 'x', 64);
    const std::string path = dir.file("key.qbseg");
    writeFile(path, bytes);
    SegPtr s(Segment::openDisk(path.c_str(), 1));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->getByKey(std::string(63, 'x').c_str()), nullptr);
    std::vector<float> q(fx.dim, 1.0f);
    qarbin::Result res[4];
    int count = 0;
    s->search(q.data(), 4, res, &count);
    ASSERT_EQ(count, 2);
    exercise(*s);
}

// Where a file's areas start, in the order they lie: a cut on either side of
// each must be refused or read safely.
std::vector<uint64_t> areaBounds(const std::vector<char>& valid, const Fixture& fx) {
    const SegmentHeader* h = reinterpret_cast<const SegmentHeader*>(valid.data());
    const uint64_t total = valid.size();
    if (fx.format == qarbin::kSegmentVersion)
        return {0, 128, 128 + Segment::codebookSize(fx.dim, fx.m), h->graphOffset, h->linkPoolOffset, total};
    const auto* t = reinterpret_cast<const qarbin::CompactHeaderTail*>(valid.data() + qarbin::kHeaderBytes);
    return {0,
            qarbin::kCompactHeaderBytes,
            qarbin::kCompactHeaderBytes + Segment::codebookSize(fx.dim, fx.m),
            t->vectorOffset,
            t->entryOffset,
            h->graphOffset,
            h->linkPoolOffset,
            t->keyTableOffset,
            t->varOffset,
            t->varOffset + t->varUsed.load(),
            total};
}

TEST(SegmentCorrupt, FilesCutAtEveryAreaBoundary) {
    qarbin_test::TempDir dir;
    std::vector<Fixture> fixtures(std::begin(kFixtures), std::end(kFixtures));
    fixtures.insert(fixtures.end(), std::begin(kCompactFixtures), std::end(kCompactFixtures));
    for (const Fixture& fx : fixtures) {
        const std::vector<char> valid = makeFile(dir, fx);
        ASSERT_FALSE(valid.empty());
        const uint64_t total = valid.size();
        for (uint64_t b : areaBounds(valid, fx)) {
            for (int64_t d : {-1, 0, 1}) {
                if (b == 0 && d < 0) continue;
                const uint64_t len = b + d;
                std::vector<char> bytes(valid.begin(), valid.begin() + std::min(len, total));
                bytes.resize(len, 0);
                tryAllOpeners(dir, bytes, len < total, std::string(fx.name) + " cut at " + std::to_string(len));
                if (HasFatalFailure()) return;
            }
        }
    }
}
