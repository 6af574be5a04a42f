// A disk segment on a file system that runs full: adds are refused instead
// of the process dying of SIGBUS, and what was stored stays readable.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>
#include <cstring>
#include <string>

#include "core/segment/key_index.h"
#include "core/segment/segment.h"
#include "seg_fixture.h"
#include "test_util.h"

using namespace segtest;

namespace {

class SmallTmpfs : public ::testing::Test {
protected:
    qarbin_test::TempDir dir;
    std::string mnt;
    bool mounted = false;

    void SetUp() override {
        mnt = dir.file("fs");
        ASSERT_EQ(mkdir(mnt.c_str(), 0700), 0);
        if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=256k") != 0)
            GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
        mounted = true;
    }
    void TearDown() override {
        if (mounted) umount2(mnt.c_str(), MNT_DETACH);
    }

    // Adds until the first refusal; returns how many were stored.
    static int fill(Segment& s, int from) {
        const auto v = vec(s.dim, 3);
        int stored = 0;
        for (int i = from;; ++i) {
            const std::string key = "k" + std::to_string(i);
            const int rc = s.add(i, key.c_str(), v.data(), "meta", 4);
            if (rc != 0) {
                EXPECT_EQ(rc, -1);
                return stored;
            }
            ++stored;
        }
    }
};

}  // namespace

TEST_F(SmallTmpfs, AddsFailOnceFullAndEarlierRecordsStay) {
    // 1000 records that take more than the 256 KB file system: fixed slots
    // of 4288 bytes, or compact rows of 512 bytes (dim 128) with their
    // entries and keys. Both regions are sparse files of megabytes.
    const struct {
        uint32_t format, dim;
    } cases[] = {{qarbin::kSegmentVersion, 4}, {qarbin::kCompactSegmentVersion, 128}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        const std::string path = mnt + "/seg_0000.qbseg";
        unlink(path.c_str());
        SegPtr s(Segment::createDisk(
            path.c_str(),
            qarbin_test::inFormat(shapeOf(c.dim, 1000, Quantization::None, 0, DistanceMetric::Cosine, 0, 0), c.format)));
        ASSERT_NE(s, nullptr);
        const int stored = fill(*s, 0);
        // Nothing but whole records fits: the file system is the limit, not the code.
        EXPECT_GT(stored, 40);
        EXPECT_LT(stored, 1000);
        if (!s->compact()) {
            EXPECT_LE(stored * s->stride(), 256u * 1024);
        }
        EXPECT_EQ(s->header->usedSlots.load(), static_cast<uint64_t>(stored));  // refused slot given back
        EXPECT_EQ(s->header->liveCount.load(), static_cast<uint64_t>(stored));
        const auto v = vec(c.dim, 3);
        EXPECT_EQ(s->add(5000, "again", v.data(), nullptr, 0), -1);
        for (int i = 0; i < stored; ++i) {
            const std::string key = "k" + std::to_string(i);
            const int64_t at = s->firstLiveByKey(key.c_str());
            ASSERT_GE(at, 0) << i;
            EXPECT_EQ(s->idAt(at), s->compact() ? qarbin::keyHash(key.data(), key.size()) : static_cast<uint64_t>(i));
            EXPECT_EQ(std::memcmp(s->vectorAt(at), v.data(), 4 * c.dim), 0);
            EXPECT_EQ(std::string(s->metadataAt(at), s->metadataLenAt(at)), "meta");
        }

        // Clearing gives the space back, so the segment fills up as far again.
        s->clearRecords();
        EXPECT_EQ(s->firstLiveByKey("k0"), -1);
        const int again = fill(*s, 100);
        EXPECT_GE(again, stored - 1);
        EXPECT_GE(s->firstLiveByKey(("k" + std::to_string(100 + again - 1)).c_str()), 0);

        // A second mapping in its own right: the same refusal, no SIGBUS.
        SegPtr other(Segment::openDisk(path.c_str(), 1));
        ASSERT_NE(other, nullptr);
        EXPECT_EQ(other->add(7000, "other", v.data(), nullptr, 0), -1);
        EXPECT_EQ(other->header->usedSlots.load(), static_cast<uint64_t>(again));
        s.reset();
        other.reset();
        SegPtr reopened(Segment::openDisk(path.c_str(), 0));
        ASSERT_NE(reopened, nullptr);
        EXPECT_EQ(reopened->header->liveCount.load(), static_cast<uint64_t>(again));
    }
}

// Another mapping's clear hands pages back; what this mapping had backed
// before must be backed again before it is written.
TEST_F(SmallTmpfs, ClearByAnotherMappingIsNoticed) {
    const std::string path = mnt + "/seg_0000.qbseg";
    SegPtr s(Segment::createDisk(path.c_str(), shape6Of(4, 1000, Quantization::None, 0, DistanceMetric::Cosine, 0, 0)));
    ASSERT_NE(s, nullptr);
    SegPtr other(Segment::openDisk(path.c_str(), 1));
    ASSERT_NE(other, nullptr);
    const auto v = vec(4, 1);
    ASSERT_EQ(other->add(1, "first", v.data(), nullptr, 0), 0);
    EXPECT_GT(fill(*s, 0), 0);
    s->clearRecords();

    // Take every free byte with another file.
    const std::string filler = mnt + "/filler";
    FILE* f = std::fopen(filler.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::vector<char> block(4096, 'f');
    while (std::fwrite(block.data(), 1, block.size(), f) == block.size() && std::fflush(f) == 0) {
    }
    std::fclose(f);

    // Full metadata, so that the record reaches into the slot's second page.
    const std::string meta(4096, 'm');
    EXPECT_EQ(other->add(2, "second", v.data(), meta.data(), 4096), -1);
    EXPECT_EQ(other->getByKey("second"), nullptr);
    ASSERT_EQ(unlink(filler.c_str()), 0);
    EXPECT_EQ(other->add(3, "third", v.data(), meta.data(), 4096), 0);
    EXPECT_NE(s->getByKey("third"), nullptr);
}

TEST_F(SmallTmpfs, CreateFailsCleanlyWhenEvenTheHeaderDoesNotFit) {
    // A codebook of 4 MB cannot be backed on 256 KB.
    const std::string path = mnt + "/big.qbseg";
    SegPtr s(Segment::createDisk(path.c_str(), shape6Of(4096, 4, Quantization::PQ, 64, DistanceMetric::Cosine, 0, 0)));
    EXPECT_EQ(s, nullptr);
}


TEST(SegmentBacking, CreationDoesNotAllocateTheWholeCapacity) {
    for (uint32_t format : kBothFormats) {
        SCOPED_TRACE(format);
        qarbin_test::TempDir dir;
        const std::string path = dir.file("sparse.qbseg");
        // 10 million slots: tens of gigabytes of region (a 128 MB key table
        // in the compact format), sparse on disk.
        const qarbin::Shape shape =
            qarbin_test::inFormat(shapeOf(4, 10000000, Quantization::None, 0, DistanceMetric::Cosine, 0, 0), format);
        ASSERT_GT(Segment::regionBytes(shape), uint64_t{30} << 30);
        SegPtr s(Segment::createDisk(path.c_str(), shape));
        ASSERT_NE(s, nullptr);
        const auto v = vec(4, 1);
        for (int i = 0; i < 10; ++i) ASSERT_EQ(s->add(i, ("k" + std::to_string(i)).c_str(), v.data(), nullptr, 0), 0);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_GE(static_cast<uint64_t>(st.st_size), Segment::regionBytes(shape));
        EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, (uint64_t{16} << 20));
    }
}

// Shared memory allocates a page even to read a hole, so a compact
// region's key table is backed whole there (the lookups will touch it).
uint64_t shmKeyTableBytes(const Segment& s) {
    return s.compact() ? (uint64_t{1} << s.compactHeader->tail.keyTableBits) * sizeof(qarbin::KeyBucket) : 0;
}

TEST(SegmentBacking, SharedMemoryIsBackedAsItFills) {
    for (uint32_t format : kBothFormats) {
        SCOPED_TRACE(format);
        ShmName name(qarbin_test::uniqueShmName("sparse"));
        SegPtr s(Segment::createShm(
            name.c_str(),
            qarbin_test::inFormat(shapeOf(4, 1000000, Quantization::None, 0, DistanceMetric::Cosine, 0, 0), format)));
        ASSERT_NE(s, nullptr);
        struct stat st;
        ASSERT_EQ(fstat(s->fd, &st), 0);
        const uint64_t atStart = static_cast<uint64_t>(st.st_blocks) * 512;
        EXPECT_LT(atStart, (uint64_t{2} << 20) + shmKeyTableBytes(*s));
        const auto v = vec(4, 1);
        ASSERT_EQ(s->add(0, "k0", v.data(), nullptr, 0), 0);
        ASSERT_EQ(fstat(s->fd, &st), 0);
        // Backed ahead of the writes (a write alone would allocate two pages).
        EXPECT_GT(static_cast<uint64_t>(st.st_blocks) * 512, atStart + (uint64_t{256} << 10));
        for (int i = 1; i < 600; ++i) ASSERT_EQ(s->add(i, ("k" + std::to_string(i)).c_str(), v.data(), nullptr, 0), 0);
        ASSERT_EQ(fstat(s->fd, &st), 0);
        EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, (uint64_t{16} << 20) + shmKeyTableBytes(*s));
    }
}
