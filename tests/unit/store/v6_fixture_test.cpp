// A version-6 segment file as this format's writer left it (commit 4dbb1bd,
// tests/fixtures/v6/seg_0000.qbseg): it must keep opening and answering
// exactly as it did, as a lone segment, a disk store, a memory store read
// from it and a shared-memory object holding its bytes. The file was written
// from the inputs below: cosine, dimension 8, capacity 8, hnsw M 8 and
// efConstruction 32, sequential order; records doc-0 .. doc-5 with ids
// 1000 + i, metadata {"n":i} and vectorOf(i); doc-3 deleted; graph built.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/index/hnsw.h"
#include "core/math/score.h"
#include "store_fixture.h"

using namespace store_test;
using qarbin::Segment;

namespace {

std::string fixturePath() {
    std::string here = __FILE__;
    return here.substr(0, here.rfind("/unit/")) + "/fixtures/v6/seg_0000.qbseg";
}

std::vector<float> vectorOf(int i) {
    std::vector<float> v(8);
    for (int k = 0; k < 8; ++k) v[k] = static_cast<float>((i * 5 + k * 3) % 7) - 2.5f + 0.125f * k;
    return v;
}

std::string keyOf(int i) { return "doc-" + std::to_string(i); }
std::string metaOf(int i) { return "{\"n\":" + std::to_string(i) + "}"; }
const int kLive[] = {0, 1, 2, 4, 5};

uint32_t bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

// The exact answer: every live record scored in the file's own order, best
// first, ties in record order; through the graph, each score is the one its
// distance (1 - score) turns back into.
std::vector<std::pair<std::string, uint32_t>> expectedTop(const std::vector<float>& q, bool viaGraph) {
    std::vector<std::pair<float, int>> scored;
    for (int i : kLive) {
        const float s = qarbin::computeScore(q.data(), vectorOf(i).data(), 8, qarbin::DistanceMetric::Cosine, false);
        scored.push_back({viaGraph ? 1.0f - (1.0f - s) : s, i});
    }
    std::stable_sort(scored.begin(), scored.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<std::pair<std::string, uint32_t>> out;
    for (const auto& s : scored) out.push_back({keyOf(s.second), bits(s.first)});
    return out;
}

std::vector<std::pair<std::string, uint32_t>> answers(qarbin::Store& st, const std::vector<float>& q, float precision) {
    std::vector<std::pair<std::string, uint32_t>> out;
    for (const Hit& h : search(st, q.data(), 10, precision)) out.push_back({h.key, bits(h.score)});
    return out;
}

void checkRecords(const Segment& s) {
    ASSERT_EQ(s.header->version, 6u);
    EXPECT_EQ(s.dim, 8u);
    EXPECT_EQ(s.usedSlotsClamped(), 6u);
    EXPECT_EQ(s.header->liveCount.load(), 5u);
    EXPECT_NE(s.header->flags & qarbin::kFlagGraphUsable, 0u);
    for (int i = 0; i < 6; ++i) {
        const qarbin::Record* r = s.recordAt(static_cast<uint64_t>(i));
        EXPECT_EQ(r->id, 1000u + static_cast<uint64_t>(i));
        EXPECT_EQ(std::string(r->key), keyOf(i));
        EXPECT_EQ(std::string(s.metadataPtr(r), r->metaLen), metaOf(i));
        EXPECT_EQ(std::memcmp(reinterpret_cast<const uint8_t*>(r) + qarbin::kSlotHeaderBytes, vectorOf(i).data(), 32), 0);
        EXPECT_EQ(r->deleted, i == 3 ? 1 : 0);
    }
    EXPECT_EQ(s.getByKey("doc-3"), nullptr);
    EXPECT_EQ(s.getByKey("doc-4"), s.recordAt(4));
    for (int qi : {0, 3, 7}) {
        const std::vector<float> q = vectorOf(qi);
        qarbin::Result res[8];
        int n = 0;
        ASSERT_EQ(s.search(q.data(), 8, res, &n), 0);
        std::vector<std::pair<float, int>> got;
        for (int k = 0; k < n; ++k) got.push_back({res[k].score, k});
        std::stable_sort(got.begin(), got.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
        std::vector<std::pair<std::string, uint32_t>> top;
        for (const auto& g : got) top.push_back({res[g.second].key, bits(g.first)});
        EXPECT_EQ(top, expectedTop(q, false)) << "scan, query " << qi;
        n = 0;
        ASSERT_EQ(qarbin::hnswSearch(s, q.data(), 8, 50, res, &n), 0);
        EXPECT_EQ(n, 5);
    }
}

void checkStore(qarbin::Store& st) {
    EXPECT_EQ(st.count(), 5u);
    for (int i : kLive) {
        const Fetched f = fetch(st, keyOf(i));
        ASSERT_TRUE(f.found) << keyOf(i);
        EXPECT_EQ(f.v, vectorOf(i));
        EXPECT_EQ(f.meta, metaOf(i));
    }
    EXPECT_FALSE(fetch(st, "doc-3").found);
    for (int qi : {0, 3, 7}) {
        const std::vector<float> q = vectorOf(qi);
        EXPECT_EQ(answers(st, q, 10.0f), expectedTop(q, true)) << "precision 10, query " << qi;
        EXPECT_EQ(answers(st, q, 50.0f), expectedTop(q, true)) << "precision 50, query " << qi;
    }
}

}  // namespace

TEST(V6Fixture, OpensAsASegmentAndAnswersAsWritten) {
    qarbin_test::TempDir dir;
    ASSERT_TRUE(copyFile(fixturePath(), segFile(dir.path(), 0)));
    for (int opener = 0; opener < 2; ++opener) {
        std::unique_ptr<Segment> s(opener == 0 ? Segment::openDisk(segFile(dir.path(), 0).c_str(), 0)
                                               : Segment::loadFromFile(segFile(dir.path(), 0).c_str()));
        ASSERT_TRUE(s) << opener;
        checkRecords(*s);
    }
}

TEST(V6Fixture, OpensAsADiskStoreAndAMemoryStore) {
    qarbin_test::TempDir dir;
    ASSERT_TRUE(copyFile(fixturePath(), segFile(dir.path(), 0)));
    const qarbin::Shape shape = qarbin_test::makeShape(8, qarbin::DistanceMetric::Cosine, qarbin::Quantization::None, 8);
    {
        StorePtr st(qarbin::Store::openMemory(shape, dir.path().c_str()));
        ASSERT_TRUE(st);
        checkStore(*st);
    }
    StorePtr st(qarbin::Store::openDisk(dir.path().c_str(), shape));
    ASSERT_TRUE(st);
    checkStore(*st);
}

TEST(V6Fixture, OpensAsASharedObject) {
    const std::string bytes = fileBytes(fixturePath());
    ASSERT_FALSE(bytes.empty());
    const std::string name = "/" + qarbin_test::uniqueShmName("v6fix");
    const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    std::unique_ptr<Segment> s(Segment::openShm(name.c_str(), 0));
    shm_unlink(name.c_str());
    ASSERT_TRUE(s);
    checkRecords(*s);
}

// A store of the fixture opened to write compact segments: compaction
// rewrites its records in version 7, which answer exactly as before, also
// after reopening.
TEST(V6Fixture, CompactsIntoTheCompactFormatAndAnswersTheSame) {
    qarbin_test::TempDir dir;
    ASSERT_TRUE(copyFile(fixturePath(), segFile(dir.path(), 0)));
    qarbin::Shape shape = qarbin_test::makeShape(8, qarbin::DistanceMetric::Cosine, qarbin::Quantization::None, 8, false,
                                                 8, 32);
    shape.format = qarbin::kCompactSegmentVersion;
    for (int mode = 0; mode < 2; ++mode) {
        SCOPED_TRACE(mode == 0 ? "memory" : "disk");
        StorePtr st(mode == 0 ? qarbin::Store::openMemory(shape, dir.path().c_str())
                              : qarbin::Store::openDisk(dir.path().c_str(), shape));
        ASSERT_TRUE(st);
        ASSERT_FALSE(st->segments[0]->compact());
        checkStore(*st);
        ASSERT_GE(st->compact(), 0);
        ASSERT_EQ(st->buildIndex(), 0);
        ASSERT_FALSE(st->segments.empty());
        for (const Segment* s : st->segments) EXPECT_TRUE(s->compact());
        checkStore(*st);
    }
    StorePtr st(qarbin::Store::openDisk(dir.path().c_str(), shape));
    ASSERT_TRUE(st);
    for (const Segment* s : st->segments) EXPECT_TRUE(s->compact());
    checkStore(*st);
}
