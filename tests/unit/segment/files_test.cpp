#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/segment/key_index.h"
#include "core/segment/segment.h"
#include "seg_fixture.h"
#include "test_util.h"

using namespace segtest;
using qarbin::SegmentHeader;
using qarbin::StorageMode;

namespace {

SegPtr diskSeg(const std::string& path, uint32_t dim, uint64_t cap, Quantization q = Quantization::None,
               uint32_t m = 0, bool exclusive = false) {
    return SegPtr(Segment::createDisk(path.c_str(), shape6Of(dim, cap, q, m, DistanceMetric::Dot, 0, 0), exclusive));
}

off_t fileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

uint64_t residentBytes() {
    unsigned long pages = 0, resident = 0;
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f) {
        if (std::fscanf(f, "%lu %lu", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return uint64_t{resident} * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

int openFds() {
    int n = 0;
    for (int fd = 0; fd < 1024; ++fd)
        if (fcntl(fd, F_GETFD) != -1) ++n;
    return n;
}

}  // namespace

TEST(SegmentFiles, CreateDiskTruncatesOrRefusesExisting) {
    qarbin_test::TempDir dir;
    const std::string path = dir.file("seg.qbseg");
    writeFile(path, std::vector<char>(300000, 'j'));
    const std::vector<char> junk = readFile(path);
    EXPECT_EQ(diskSeg(path, 4, 8, Quantization::None, 0, true), nullptr);
    EXPECT_EQ(readFile(path), junk);

    SegPtr s = diskSeg(path, 4, 8);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->mode, StorageMode::Disk);
    EXPECT_EQ(s->writable, 1u);
    EXPECT_GE(s->fd, 0);
    EXPECT_STREQ(s->path, path.c_str());
    EXPECT_EQ(static_cast<uint64_t>(fileSize(path)), Segment::computeMmapSize(8, 4, Quantization::None, 0));
    EXPECT_EQ(s->header->usedSlots.load(), 0u);
    EXPECT_EQ(s->slots[s->stride() * 2], 0);  // old bytes gone

    const std::string fresh = dir.file("fresh.qbseg");
    EXPECT_NE(diskSeg(fresh, 4, 8, Quantization::None, 0, true), nullptr);
    EXPECT_EQ(diskSeg(dir.file("no/such/dir.qbseg"), 4, 8), nullptr);
}

TEST(SegmentFiles, ReopenAfterAddsShowsEverything) {
    for (uint32_t format : kBothFormats) {
        SCOPED_TRACE(format);
        qarbin_test::TempDir dir;
        const std::string path = dir.file("seg.qbseg");
        const auto v = vec(8, 1);
        {
            SegPtr s(Segment::createDisk(
                path.c_str(),
                qarbin_test::inFormat(shapeOf(8, 16, Quantization::PQ, 2, DistanceMetric::Dot, 0, 0), format)));
            ASSERT_NE(s, nullptr);
            const uint64_t at = s->codebookOffset();
            float* cb = reinterpret_cast<float*>(s->base + at);
            for (uint64_t i = 0; i < Segment::codebookSize(8, 2) / 4; ++i) cb[i] = static_cast<float>(i % 13);
            qarbin::setHeaderCodebookOffset(s->header, at);  // what training does
            s->mapPointers();
            for (int i = 0; i < 5; ++i) ASSERT_EQ(s->add(i, ("k" + std::to_string(i)).c_str(), v.data(), "meta", 4), 0);
            ASSERT_EQ(deleteKey(*s, "k1"), 1);
        }
        for (int writable : {1, 0}) {
            SegPtr s(Segment::openDisk(path.c_str(), writable));
            ASSERT_NE(s, nullptr);
            EXPECT_EQ(s->compact(), format == qarbin::kCompactSegmentVersion);
            EXPECT_EQ(s->writable, static_cast<uint32_t>(writable));
            EXPECT_EQ(s->dim, 8u);
            EXPECT_EQ(s->quantization, 4u);
            EXPECT_EQ(s->pqSubvectors, 2u);
            EXPECT_EQ(s->header->usedSlots.load(), 5u);
            EXPECT_EQ(s->header->liveCount.load(), 4u);
            ASSERT_NE(s->codebook, nullptr);
            EXPECT_EQ(s->codebook[14], 1.0f);
            EXPECT_EQ(s->firstLiveByKey("k1"), -1);
            const int64_t r = s->firstLiveByKey("k3");
            ASSERT_EQ(r, 3);
            EXPECT_EQ(s->idAt(3), s->compact() ? qarbin::keyHash("k3", 2) : 3u);
            EXPECT_EQ(std::string(s->metadataAt(3), s->metadataLenAt(3)), "meta");
            qarbin::Result res[8];
            int count = 0;
            EXPECT_EQ(s->metric, DistanceMetric::Dot);
            s->useAvx2 = true;
            s->search(v.data(), 8, res, &count);
            EXPECT_EQ(count, 4);
        }
    }
}

TEST(SegmentFiles, ReadOnlyOpenNeverWrites) {
    qarbin_test::TempDir dir;
    const std::string path = dir.file("seg.qbseg");
    const auto v = vec(4, 2);
    {
        SegPtr s = diskSeg(path, 4, 4, Quantization::Int8, 2);
        ASSERT_EQ(s->add(1, "a", v.data(), nullptr, 0), 0);
    }
    const std::vector<char> before = readFile(path);
    {
        SegPtr s(Segment::openDisk(path.c_str(), 0));
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->writable, 0u);
        std::vector<float> training(4 * 300);
        for (size_t i = 0; i < training.size(); ++i) training[i] = static_cast<float>(i % 17);
        EXPECT_EQ(s->trainPQCodebook(training.data(), 300), -1);
        EXPECT_EQ(s->codebook, nullptr);
        // Writes are refused instead of faulting on the read-only mapping.
        EXPECT_EQ(s->add(2, "b", v.data(), nullptr, 0), -1);
        EXPECT_EQ(deleteKey(*s, "a"), 0);
        EXPECT_FALSE(s->markDeleted(0));
        s->clearRecords();
        EXPECT_NE(s->getByKey("a"), nullptr);
    }
    EXPECT_EQ(readFile(path), before);
}

TEST(SegmentFiles, OpenRefusesUnusableFiles) {
    qarbin_test::TempDir dir;
    const std::string good = dir.file("good.qbseg");
    { ASSERT_NE(diskSeg(good, 4, 4), nullptr); }
    const std::vector<char> valid = readFile(good);

    std::vector<char> zeros(valid.size(), 0);
    std::vector<char> v5 = valid;
    reinterpret_cast<SegmentHeader*>(v5.data())->version = 5;
    std::vector<char> v7 = valid;
    reinterpret_cast<SegmentHeader*>(v7.data())->version = 7;
    std::vector<char> badMagic = valid;
    badMagic[0] ^= 1;
    const std::vector<std::pair<const char*, std::vector<char>>> files = {
        {"zeros", zeros},
        {"version5", v5},
        {"version7", v7},
        {"magic", badMagic},
        {"100bytes", std::vector<char>(valid.begin(), valid.begin() + 100)},
        {"127bytes", std::vector<char>(valid.begin(), valid.begin() + 127)},
        {"empty", {}},
    };
    const int fdsBefore = openFds();
    for (const auto& [name, bytes] : files) {
        const std::string path = dir.file(name);
        writeFile(path, bytes);
        EXPECT_EQ(SegPtr(Segment::openDisk(path.c_str(), 1)), nullptr) << name;
        EXPECT_EQ(SegPtr(Segment::openDisk(path.c_str(), 0)), nullptr) << name;
        EXPECT_EQ(SegPtr(Segment::loadFromFile(path.c_str())), nullptr) << name;
        EXPECT_EQ(readFile(path), bytes) << name << " changed";
    }
    EXPECT_EQ(openFds(), fdsBefore);
    EXPECT_EQ(SegPtr(Segment::openDisk(dir.file("missing").c_str(), 1)), nullptr);
    EXPECT_EQ(SegPtr(Segment::loadFromFile(dir.file("missing").c_str())), nullptr);
    EXPECT_EQ(SegPtr(Segment::loadFromFile(dir.path().c_str())), nullptr);  // a directory
}

TEST(SegmentFiles, LoadFromFileIsAPrivateCopy) {
    qarbin_test::TempDir dir;
    const std::string path = dir.file("seg.qbseg");
    const auto v = vec(4, 3);
    {
        SegPtr s = diskSeg(path, 4, 4);
        ASSERT_EQ(s->add(1, "a", v.data(), "x", 1), 0);
    }
    const std::vector<char> before = readFile(path);
    {
        SegPtr s(Segment::loadFromFile(path.c_str()));
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->mode, StorageMode::Memory);
        EXPECT_EQ(s->writable, 1u);
        EXPECT_EQ(s->fd, -1);
        EXPECT_EQ(s->mappedLen, before.size());
        ASSERT_NE(s->getByKey("a"), nullptr);
        EXPECT_EQ(s->add(2, "b", v.data(), nullptr, 0), 0);
        EXPECT_EQ(deleteKey(*s, "a"), 1);
        s->clearRecords();
        EXPECT_EQ(s->add(3, "c", v.data(), nullptr, 0), 0);
    }
    EXPECT_EQ(readFile(path), before);
}

TEST(SegmentShm, CreateReuseOpen) {
    ShmName name(qarbin_test::uniqueShmName("seg"));
    const auto v = vec(4, 4);
    {
        SegPtr s(Segment::createShm(name.c_str(), shape6Of(4, 8, Quantization::None, 0, DistanceMetric::Cosine, 0, 0)));
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->mode, StorageMode::Shm);
        EXPECT_STREQ(s->shmName, name.c_str());
        ASSERT_EQ(s->add(1, "a", v.data(), nullptr, 0), 0);
        SegPtr other(Segment::openShm(name.c_str(), 0));
        ASSERT_NE(other, nullptr);
        EXPECT_EQ(other->writable, 0u);
        EXPECT_NE(other->getByKey("a"), nullptr);
    }
    // Still there after the segment is gone; reused with another shape.
    SegPtr s(Segment::createShm(name.c_str(), shape6Of(8, 16, Quantization::F16, 0, DistanceMetric::Cosine, 0, 0)));
    ASSERT_NE(s, nullptr);
    struct stat st;
    ASSERT_EQ(fstat(s->fd, &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), Segment::computeMmapSize(16, 8, Quantization::F16, 0));
    EXPECT_EQ(s->header->usedSlots.load(), 0u);
    EXPECT_EQ(s->header->dim, 8u);
    EXPECT_EQ(s->getByKey("a"), nullptr);
    SegPtr reopened(Segment::openShm(name.c_str(), 1));
    ASSERT_NE(reopened, nullptr);
    EXPECT_EQ(reopened->dim, 8u);
    EXPECT_EQ(reopened->quantization, 1u);

    EXPECT_EQ(SegPtr(Segment::openShm("/qarbin_no_such_object_x", 1)), nullptr);
    EXPECT_EQ(SegPtr(Segment::openShm("/qarbin_no_such_object_x", 0)), nullptr);
    EXPECT_EQ(SegPtr(Segment::createShm(std::string(300, 'n').c_str(),
                                        shape6Of(4, 8, Quantization::None, 0, DistanceMetric::Cosine, 0, 0))),
              nullptr);
}

TEST(SegmentShm, OpenRefusesShortObject) {
    ShmName name(qarbin_test::uniqueShmName("short"));
    {
        SegPtr s(Segment::createShm(name.c_str(), shape6Of(4, 8, Quantization::None, 0, DistanceMetric::Cosine, 0, 0)));
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(ftruncate(s->fd, static_cast<off_t>(s->header->graphOffset)), 0);
        s->writable = 0;  // the mapping now reaches past the object's end
    }
    EXPECT_EQ(SegPtr(Segment::openShm(name.c_str(), 1)), nullptr);
}

TEST(SegmentFiles, AdviseRecordsKeepsContents) {
    qarbin_test::TempDir dir;
    const std::string path = dir.file("seg.qbseg");
    SegPtr s = diskSeg(path, 4, 64);
    const auto v = vec(4, 5);
    ASSERT_EQ(s->add(1, "a", v.data(), nullptr, 0), 0);
    msync(s->base, s->mappedLen, MS_SYNC);
    s->adviseRecords(MADV_DONTNEED);
    EXPECT_NE(s->getByKey("a"), nullptr);
    EXPECT_EQ(std::memcmp(reinterpret_cast<const uint8_t*>(s->recordAt(0)) + 128, v.data(), 16), 0);

    SegPtr mem = memSeg6(4, 64);
    ASSERT_EQ(mem->add(1, "a", v.data(), nullptr, 0), 0);
    mem->adviseRecords(MADV_DONTNEED);  // would zero private memory: ignored
    mem->adviseRecords(MADV_SEQUENTIAL);
    EXPECT_NE(mem->getByKey("a"), nullptr);
}

TEST(SegmentFiles, LoadFromFileReadsOnlyTheData) {
    qarbin_test::TempDir dir;
    const std::string path = dir.file("sparse.qbseg");
    const auto v = vec(4, 6);
    {
        // 4.3 GB of region, a few pages of data.
        SegPtr s = diskSeg(path, 4, 1000000);
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(s->add(1, "first", v.data(), "m1", 2), 0);
        s->header->usedSlots.store(700000);  // a gap of never-written slots
        ASSERT_EQ(s->add(2, "far", v.data(), "m2", 2), 0);
    }
    const uint64_t rssBefore = residentBytes();
    SegPtr s(Segment::loadFromFile(path.c_str()));
    ASSERT_NE(s, nullptr);
    EXPECT_LT(residentBytes() - rssBefore, uint64_t{64} << 20);  // the file's holes were not read
    EXPECT_EQ(s->header->usedSlots.load(), 700001u);
    EXPECT_EQ(s->header->liveCount.load(), 2u);
    EXPECT_EQ(s->getByKey("far"), s->recordAt(700000));
    EXPECT_EQ(std::memcmp(s->metadataPtr(s->recordAt(0)), "m1", 2), 0);
    qarbin::Result res[4];
    int count = 0;
    s->useAvx2 = true;
    s->search(v.data(), 4, res, &count);
    EXPECT_EQ(count, 2);
}
