// A segment of the compact format (version 7) written by the region code
// alone opens as a segment in every mode and as a store.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "core/segment/compact_region.h"
#include "core/segment/key_index.h"
#include "store_fixture.h"

using namespace store_test;
using qarbin::Segment;

namespace {

// The used part of a compact region with a few records (its zero tail left
// as a hole would be), as a later version's file holds it.
std::string compactBytes(const qarbin::Shape& shape) {
    qarbin::CompactLayout l;
    if (!qarbin::computeCompactLayout(shape.capacity, shape.dim, shape.quantization, 0, &l)) return {};
    std::string region(l.regionBytes, '\0');
    uint8_t* base = reinterpret_cast<uint8_t*>(region.data());
    qarbin::CompactRegion::init(base, region.size(), shape, qarbin::NormOrder::Sequential);
    qarbin::CompactRegion r(base, region.size());
    std::vector<uint8_t> row(r.rowBytes(), 0x11);
    for (int i = 0; i < 3; ++i) {
        const std::string k = key(i);
        r.add(qarbin::keyHash(k.data(), k.size()), k.data(), static_cast<uint32_t>(k.size()), row.data(), 1.0f, "m", 1);
    }
    return region;
}

}  // namespace

// A region written by the region code alone (as another process or a later
// version leaves it) opens in every mode and answers from its key table.
void expectAnswers(const Segment* s) {
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(s->compact());
    EXPECT_EQ(s->usedSlotsClamped(), 3u);
    for (int i = 0; i < 3; ++i) {
        std::vector<uint64_t> slots;
        ASSERT_EQ(s->findLiveByKey(key(i).c_str(), slots), 1u) << key(i);
        EXPECT_EQ(slots[0], static_cast<uint64_t>(i));
        EXPECT_EQ(std::string(s->metadataAt(slots[0]), s->metadataLenAt(slots[0])), "m");
    }
}

TEST(CompactOpened, SegmentOpenersOpenAVersion7Region) {
    const qarbin::Shape shape = qarbin_test::makeShape(4, qarbin::DistanceMetric::Cosine, qarbin::Quantization::None, 16);
    const std::string bytes = compactBytes(shape);
    ASSERT_FALSE(bytes.empty());
    qarbin_test::TempDir dir;
    const std::string path = segFile(dir.path(), 0);
    {
        std::ofstream out(path, std::ios::binary);
        out << bytes;
    }
    expectAnswers(std::unique_ptr<Segment>(Segment::openDisk(path.c_str(), 1)).get());
    expectAnswers(std::unique_ptr<Segment>(Segment::openDisk(path.c_str(), 0)).get());
    expectAnswers(std::unique_ptr<Segment>(Segment::loadFromFile(path.c_str())).get());

    const std::string name = "/" + qarbin_test::uniqueShmName("v7obj");
    const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    expectAnswers(std::unique_ptr<Segment>(Segment::openShm(name.c_str(), 1)).get());
    shm_unlink(name.c_str());

    // One byte short of its layout, it is refused.
    const std::string cut = path + ".cut";
    {
        std::ofstream out(cut, std::ios::binary);
        out << bytes.substr(0, bytes.size() - 1);
    }
    EXPECT_EQ(std::unique_ptr<Segment>(Segment::openDisk(cut.c_str(), 0)), nullptr);
    EXPECT_EQ(std::unique_ptr<Segment>(Segment::loadFromFile(cut.c_str())), nullptr);
}

TEST(CompactOpened, StoresOverAVersion7FileShowItsRecords) {
    const qarbin::Shape shape = qarbin_test::makeShape(4, qarbin::DistanceMetric::Cosine, qarbin::Quantization::None, 16);
    const std::string bytes = compactBytes(shape);
    qarbin_test::TempDir dir;
    const std::string path = segFile(dir.path(), 0);
    {
        std::ofstream out(path, std::ios::binary);
        out << bytes;
    }
    // A memory store reads the directory as a snapshot and writes nothing back.
    {
        StorePtr mem(qarbin::Store::openMemory(shape, dir.path().c_str()));
        ASSERT_TRUE(mem);
        EXPECT_EQ(mem->count(), 3u);
        EXPECT_EQ(fetch(*mem, key(0)).meta, "m");
        const std::vector<float> v = vec(9, 4);
        EXPECT_EQ(mem->set("new", v.data(), nullptr, 0), 0);
    }
    EXPECT_EQ(fileBytes(path), bytes);
    StorePtr disk = diskStore(dir.path(), 4, 16, qarbin::Quantization::None, 0, qarbin::DistanceMetric::Cosine);
    ASSERT_TRUE(disk);
    EXPECT_EQ(disk->count(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(fetch(*disk, key(i)).meta, "m") << key(i);
    const std::vector<float> v = vec(9, 4);
    ASSERT_EQ(disk->set(key(1).c_str(), v.data(), "n", 1), 0);
    EXPECT_EQ(fetch(*disk, key(1)).v, v);
    EXPECT_EQ(disk->count(), 3u);
}
