// Which parts of a private memory segment ask for transparent huge pages:
// the kernel marks such a mapping "hg" in /proc/self/smaps.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "core/segment/compact_layout.h"
#include "core/segment/format_compact.h"
#include "core/segment/segment.h"
#include "seg_fixture.h"

using namespace segtest;

namespace {

// Whether the mapping holding address p was advised for huge pages; false
// when smaps does not list it.
bool advisedHuge(const void* p) {
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    const uintptr_t a = reinterpret_cast<uintptr_t>(p);
    bool inside = false;
    while (std::getline(smaps, line)) {
        uintptr_t lo = 0, hi = 0;
        char dash = 0;
        std::istringstream head(line);
        if (head >> std::hex >> lo >> dash >> hi && dash == '-' && line.find(':') > line.find(' ')) {
            inside = a >= lo && a < hi;
            continue;
        }
        if (inside && line.rfind("VmFlags:", 0) == 0) return line.find(" hg") != std::string::npos;
    }
    return false;
}

}  // namespace

TEST(HugePages, CompactMemorySegmentAsksForThemOverRowsAndGraphOnly) {
    if (!std::ifstream("/sys/kernel/mm/transparent_hugepage/enabled")) GTEST_SKIP() << "no transparent huge pages";
    qarbin::Shape shape = shapeOf(128, 40000);
    shape.format = qarbin::kCompactSegmentVersion;
    SegPtr seg(Segment::createMemory(shape));
    ASSERT_NE(seg, nullptr);
    qarbin::CompactLayout l;
    ASSERT_TRUE(qarbin::computeCompactLayout(shape.capacity, shape.dim, shape.quantization, shape.pqSubvectors, &l));
    ASSERT_GE(l.keyTableOffset - l.vectorOffset, uint64_t{16} << 20);  // above the size that asks for them
    EXPECT_TRUE(advisedHuge(seg->base + l.vectorOffset));
    EXPECT_TRUE(advisedHuge(seg->base + l.nodeOffset));
    EXPECT_TRUE(advisedHuge(seg->base + l.poolOffset));
    // The variable area's reserve is backed only as it fills.
    EXPECT_FALSE(advisedHuge(seg->base + l.varOffset));
}
