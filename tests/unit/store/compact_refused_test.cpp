// What this version does with a segment of the compact format (version 7)
// that a later version wrote: it never opens it as a segment, and a store
// over it writes nothing into it; the file or object stays byte for byte.
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

TEST(CompactRefused, SegmentOpenersRefuseAVersion7Region) {
    const qarbin::Shape shape = qarbin_test::makeShape(4, qarbin::DistanceMetric::Cosine, qarbin::Quantization::None, 16);
    const std::string bytes = compactBytes(shape);
    ASSERT_FALSE(bytes.empty());
    qarbin_test::TempDir dir;
    const std::string path = segFile(dir.path(), 0);
    {
        std::ofstream out(path, std::ios::binary);
        out << bytes;
    }
    EXPECT_EQ(std::unique_ptr<Segment>(Segment::openDisk(path.c_str(), 1)), nullptr);
    EXPECT_EQ(std::unique_ptr<Segment>(Segment::openDisk(path.c_str(), 0)), nullptr);
    EXPECT_EQ(std::unique_ptr<Segment>(Segment::loadFromFile(path.c_str())), nullptr);

    const std::string name = "/" + qarbin_test::uniqueShmName("v7obj");
    const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    EXPECT_EQ(std::unique_ptr<Segment>(Segment::openShm(name.c_str(), 1)), nullptr);
    shm_unlink(name.c_str());
}

TEST(CompactRefused, StoresOverAVersion7FileRefuseAndLeaveItUntouched) {
    const qarbin::Shape shape = qarbin_test::makeShape(4, qarbin::DistanceMetric::Cosine, qarbin::Quantization::None, 16);
    const std::string bytes = compactBytes(shape);
    qarbin_test::TempDir dir;
    const std::string path = segFile(dir.path(), 0);
    {
        std::ofstream out(path, std::ios::binary);
        out << bytes;
    }
    // The store refuses to open rather than show a store without the
    // later version's records, and writes nothing into the file.
    EXPECT_EQ(diskStore(dir.path(), 4, 16, qarbin::Quantization::None, 0, qarbin::DistanceMetric::Cosine), nullptr);
    // A memory store reads the directory as a snapshot and writes nothing
    // back; it may refuse, and when it opens it holds none of those records.
    StorePtr mem(qarbin::Store::openMemory(shape, dir.path().c_str()));
    if (mem) {
        EXPECT_EQ(mem->count(), 0u);
        EXPECT_FALSE(fetch(*mem, key(0)).found);
        const std::vector<float> v = vec(9, 4);
        EXPECT_EQ(mem->set("new", v.data(), nullptr, 0), 0);
    }
    mem.reset();
    EXPECT_EQ(fileBytes(path), bytes);
}
