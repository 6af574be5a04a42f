// Disk-mode stores and the segment-file scan (also of memory stores).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "store_fixture.h"

using namespace store_test;
using qarbin::DistanceMetric;
using qarbin::Quantization;
using qarbin::Segment;
using qarbin::Store;

namespace {

struct FileStamp {
    std::string bytes;
    struct timespec mtime;
};

FileStamp stamp(const std::string& path) {
    struct stat sb {};
    stat(path.c_str(), &sb);
    return {fileBytes(path), sb.st_mtim};
}

bool sameStamp(const FileStamp& a, const FileStamp& b) {
    return a.bytes == b.bytes && a.mtime.tv_sec == b.mtime.tv_sec && a.mtime.tv_nsec == b.mtime.tv_nsec;
}

// A directory holding `files` segment files of capacity 4 with 4 records each.
void fillDirectory(const std::string& dir, int files) {
    StorePtr st = diskStore(dir, 4, 4);
    ASSERT_TRUE(st);
    for (int i = 0; i < files * 4; ++i) ASSERT_EQ(setVec(*st, i), 0);
    ASSERT_EQ(st->segments.size(), static_cast<size_t>(files));
}

}  // namespace

TEST(StoreDisk, NewPathGetsADirectoryAndItsFirstFile) {
    qarbin_test::TempDir tmp;
    const std::string dir = tmp.file("store");
    StorePtr st = diskStore(dir, 4, 8);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->mode, qarbin::StorageMode::Disk);
    EXPECT_STREQ(st->dir, dir.c_str());
    EXPECT_EQ(st->count(), 0u);
    ASSERT_EQ(st->segments.size(), 1u);
    EXPECT_TRUE(exists(segFile(dir, 0)));
    EXPECT_EQ(st->segments[0]->capacity(), 8u);  // no lower bound on disk
}

TEST(StoreDisk, ReopenedStoreHasItsRecordsDeletesAndGraphs) {
    qarbin_test::TempDir tmp;
    {
        StorePtr st = diskStore(tmp.path(), 4, 256);
        ASSERT_TRUE(st);
        for (int i = 0; i < 300; ++i) ASSERT_EQ(setVec(*st, i, i % 2 ? "odd" : nullptr), 0);
        for (int i = 0; i < 300; i += 10) ASSERT_EQ(st->del(key(i).c_str()), 0);
        ASSERT_EQ(st->buildIndex(), 0);
        ASSERT_EQ(st->segments.size(), 2u);
    }
    StorePtr st = diskStore(tmp.path(), 4, 256);
    ASSERT_TRUE(st);
    ASSERT_EQ(st->segments.size(), 2u);
    EXPECT_EQ(st->count(), 270u);
    for (int i = 0; i < 300; ++i) {
        Fetched f = fetch(*st, key(i));
        ASSERT_EQ(f.found, i % 10 != 0) << i;
        if (!f.found) continue;
        EXPECT_EQ(f.v, vec(i, 4)) << i;
        EXPECT_EQ(f.meta, i % 2 ? "odd" : "") << i;
    }
    for (const Segment* seg : st->segments) EXPECT_NE(seg->header->flags & qarbin::kFlagGraphUsable, 0u);
    std::vector<float> q = vec(33, 4);
    std::vector<Hit> hits = search(*st, q.data(), 3, 50.0f);
    ASSERT_FALSE(hits.empty());
    EXPECT_EQ(hits[0].key, key(33));
    // The next record goes on filling the second file.
    ASSERT_EQ(setVec(*st, 1000), 0);
    EXPECT_EQ(st->segments.size(), 2u);
    EXPECT_EQ(st->count(), 271u);
}

TEST(StoreDisk, ReopenedPqStoreKeepsItsCodebook) {
    qarbin_test::TempDir tmp;
    std::string codebook;
    const uint64_t cb = Segment::codebookSize(8, 2);
    {
        StorePtr st = diskStore(tmp.path(), 8, 64, Quantization::PQ, 2);
        ASSERT_TRUE(st);
        st->pqTrainingSize = 32;
        for (int i = 0; i < 40; ++i) ASSERT_EQ(setVec(*st, i), 0);
        ASSERT_EQ(st->pqBuffer, nullptr);
        codebook.assign(reinterpret_cast<const char*>(st->segments[0]->codebook), cb);
    }
    // Opened with other parameters: the file decides.
    StorePtr st = diskStore(tmp.path(), 16, 64, Quantization::None, 0, DistanceMetric::Cosine);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->shape.dim, 8u);
    EXPECT_EQ(st->shape.quantization, Quantization::PQ);
    EXPECT_EQ(st->shape.pqSubvectors, 2u);
    EXPECT_EQ(st->shape.metric, DistanceMetric::Euclidean);
    EXPECT_EQ(st->pqBuffer, nullptr);
    ASSERT_NE(st->segments[0]->codebook, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(st->segments[0]->codebook), cb), codebook);
    EXPECT_EQ(st->count(), 40u);
    EXPECT_TRUE(fetch(*st, key(39)).found);
    ASSERT_EQ(setVec(*st, 99), 0);  // stored at once, encoded with the codebook
    EXPECT_EQ(st->totalCount.load(), 41u);
}

TEST(StoreDisk, UntrainedPqDirectoryCollectsAgainWhateverWasRequested) {
    qarbin_test::TempDir tmp;
    { ASSERT_TRUE(diskStore(tmp.path(), 8, 64, Quantization::PQ, 4)); }
    StorePtr st = diskStore(tmp.path(), 8, 64, Quantization::None, 0);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->shape.quantization, Quantization::PQ);
    EXPECT_EQ(st->shape.pqSubvectors, 4u);
    ASSERT_NE(st->pqBuffer, nullptr);
    ASSERT_EQ(setVec(*st, 1), 0);
    EXPECT_EQ(st->count(), 1u);
}

TEST(StoreDisk, CapacityOneMakesAFilePerRecordAndCountsThemOnReopen) {
    qarbin_test::TempDir tmp;
    {
        StorePtr st = diskStore(tmp.path(), 4, 1);
        ASSERT_TRUE(st);
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(setVec(*st, i), 0);
            EXPECT_EQ(st->segments.size(), static_cast<size_t>(i + 1));
            EXPECT_TRUE(exists(segFile(tmp.path(), i)));
        }
        EXPECT_FALSE(exists(segFile(tmp.path(), 3)));
    }
    StorePtr st = diskStore(tmp.path(), 4, 1);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->count(), 3u);
    ASSERT_EQ(setVec(*st, 3), 0);
    EXPECT_TRUE(exists(segFile(tmp.path(), 3)));
    EXPECT_EQ(st->count(), 4u);
}

TEST(StoreDisk, AMissingFirstFileBeforeALaterOneRefusesTheStore) {
    qarbin_test::TempDir source;
    fillDirectory(source.path(), 3);

    // seg_0001 alone: refused rather than opened as a new, empty store, and
    // the stray file is left as it was.
    qarbin_test::TempDir lone;
    ASSERT_TRUE(copyFile(segFile(source.path(), 1), segFile(lone.path(), 1)));
    FileStamp before = stamp(segFile(lone.path(), 1));
    int why = 0;
    StorePtr st(Store::openDisk(lone.path().c_str(),
                                qarbin_test::makeShape(4, DistanceMetric::Euclidean, Quantization::None, 4, false, 16, 200, 0),
                                &why));
    EXPECT_FALSE(st);
    EXPECT_EQ(why, qarbin::kSegmentMissing);
    EXPECT_FALSE(exists(segFile(lone.path(), 0)));
    EXPECT_TRUE(sameStamp(before, stamp(segFile(lone.path(), 1))));
}

// A number missing before a file that exists: the store is refused (it
// would answer without the files behind the gap), and nothing is written.
TEST(StoreDisk, AGapInTheNumberingRefusesTheStoreAndWritesNothing) {
    qarbin_test::TempDir source;
    fillDirectory(source.path(), 3);
    qarbin_test::TempDir gap;
    ASSERT_TRUE(copyFile(segFile(source.path(), 0), segFile(gap.path(), 0)));
    ASSERT_TRUE(copyFile(segFile(source.path(), 2), segFile(gap.path(), 2)));
    const std::string first = fileBytes(segFile(gap.path(), 0)), later = fileBytes(segFile(gap.path(), 2));
    for (bool disk : {true, false}) {
        SCOPED_TRACE(disk ? "disk" : "memory");
        int why = 0;
        const qarbin::Shape shape = qarbin_test::makeShape(4, DistanceMetric::Euclidean, Quantization::None, 4, false, 16, 200, 0);
        StorePtr st(disk ? Store::openDisk(gap.path().c_str(), shape, &why)
                         : Store::openMemory(shape, gap.path().c_str(), &why));
        EXPECT_FALSE(st);
        EXPECT_EQ(why, qarbin::kSegmentMissing);
        EXPECT_EQ(std::string(qarbin::lastRefusedSegment()), segFile(gap.path(), 1));
    }
    EXPECT_FALSE(exists(segFile(gap.path(), 1)));
    EXPECT_EQ(first, fileBytes(segFile(gap.path(), 0)));
    EXPECT_EQ(later, fileBytes(segFile(gap.path(), 2)));
}

TEST(StoreDisk, FirstFileThatCannotBeOpenedIsNeverTruncated) {
    qarbin_test::TempDir tmp;
    {
        std::ofstream junk(segFile(tmp.path(), 0), std::ios::binary);
        junk << std::string(300, 'j');
    }
    FileStamp before = stamp(segFile(tmp.path(), 0));
    // The opener refuses the directory: it can neither read nor create seg_0000.
    EXPECT_FALSE(diskStore(tmp.path(), 4, 4));
    EXPECT_TRUE(sameStamp(before, stamp(segFile(tmp.path(), 0))));
}

TEST(StoreDisk, LaterFileOfAnotherShapeRefusesTheStore) {
    const struct {
        const char* what;
        uint32_t dim;
        Quantization q;
        uint32_t m;
    } cases[] = {
        {"dim", 8, Quantization::None, 0},
        {"encoding", 4, Quantization::Int8, 0},
        {"sub-vectors", 4, Quantization::None, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        qarbin_test::TempDir tmp;
        fillDirectory(tmp.path(), 1);
        {
            std::unique_ptr<Segment> other(Segment::createDisk(
                segFile(tmp.path(), 1).c_str(),
                qarbin_test::makeShape(c.dim, DistanceMetric::Euclidean, c.q, 4, false, 16, 200, c.m)));
            ASSERT_TRUE(other);
            std::vector<float> v(c.dim, 1.0f);
            ASSERT_EQ(other->add(1, "other", v.data(), nullptr, 0), 0);
        }
        for (bool disk : {true, false}) {
            int why = 0;
            const qarbin::Shape shape =
                qarbin_test::makeShape(4, DistanceMetric::Euclidean, Quantization::None, 4, false, 16, 200, 0);
            StorePtr st(disk ? Store::openDisk(tmp.path().c_str(), shape, &why)
                             : Store::openMemory(shape, tmp.path().c_str(), &why));
            EXPECT_FALSE(st);
            EXPECT_EQ(why, qarbin::kSegmentNotOfStore);
            EXPECT_EQ(std::string(qarbin::lastRefusedSegment()), segFile(tmp.path(), 1));
        }
    }
}

TEST(StoreDisk, MemoryStoreOverADirectoryNeverWritesToIt) {
    qarbin_test::TempDir tmp;
    fillDirectory(tmp.path(), 2);
    FileStamp a = stamp(segFile(tmp.path(), 0)), b = stamp(segFile(tmp.path(), 1));
    {
        StorePtr st = memStore(4, 4, Quantization::None, 0, DistanceMetric::Euclidean, tmp.path().c_str());
        ASSERT_TRUE(st);
        EXPECT_EQ(st->mode, qarbin::StorageMode::Memory);
        EXPECT_EQ(st->count(), 8u);
        ASSERT_EQ(st->del(key(0).c_str()), 0);
        std::vector<float> nv = vec(77, 4);
        ASSERT_EQ(st->set(key(5).c_str(), nv.data(), nullptr, 0), 0);
        for (int i = 20; i < 30; ++i) ASSERT_EQ(setVec(*st, i), 0);
        ASSERT_EQ(st->buildIndex(), 0);
        EXPECT_EQ(fetch(*st, key(5)).v, nv);
        EXPECT_EQ(st->count(), 17u);
    }
    EXPECT_TRUE(sameStamp(a, stamp(segFile(tmp.path(), 0))));
    EXPECT_TRUE(sameStamp(b, stamp(segFile(tmp.path(), 1))));
    EXPECT_FALSE(exists(segFile(tmp.path(), 2)));
}

TEST(StoreDisk, NoSegmentNumberedTenThousandIsCreated) {
    qarbin_test::TempDir tmp;
    StorePtr st = diskStore(tmp.path(), 4, 1);
    ASSERT_TRUE(st);
    // Stand-ins for segments 1 to 9998; nothing reads them here.
    while (st->segments.size() < 9999) st->segments.push_back(new Segment());
    Segment* last = st->createNewSegment();
    ASSERT_NE(last, nullptr);
    EXPECT_STREQ(last->path, segFile(tmp.path(), 9999).c_str());
    st->segments.push_back(last);
    EXPECT_EQ(st->createNewSegment(), nullptr);
    EXPECT_FALSE(exists(tmp.file("seg_10000.qbseg")));
}
