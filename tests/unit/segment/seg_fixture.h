// Helpers shared by the segment tests.
#pragma once

#include <sys/mman.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "core/segment/segment.h"
#include "test_util.h"

namespace segtest {

using qarbin::DistanceMetric;
using qarbin::Quantization;
using qarbin::Segment;
using SegPtr = std::unique_ptr<Segment>;

inline qarbin::Shape shapeOf(uint32_t dim, uint64_t cap, Quantization q = Quantization::None, uint32_t m = 0,
                             DistanceMetric metric = DistanceMetric::Cosine, uint32_t hnswM = 16,
                             uint32_t efc = 200) {
    return qarbin_test::makeShape(dim, metric, q, cap, false, hnswM, efc, m);
}

inline SegPtr memSeg(uint32_t dim, uint64_t cap, Quantization q = Quantization::None, uint32_t m = 0) {
    return SegPtr(Segment::createMemory(shapeOf(dim, cap, q, m)));
}

// The same in the fixed-slot format (version 6), for tests of its layout.
inline qarbin::Shape shape6Of(uint32_t dim, uint64_t cap, Quantization q = Quantization::None, uint32_t m = 0,
                              DistanceMetric metric = DistanceMetric::Cosine, uint32_t hnswM = 16,
                              uint32_t efc = 200) {
    return qarbin_test::inFormat(shapeOf(dim, cap, q, m, metric, hnswM, efc), qarbin::kSegmentVersion);
}

inline SegPtr memSeg6(uint32_t dim, uint64_t cap, Quantization q = Quantization::None, uint32_t m = 0) {
    return SegPtr(Segment::createMemory(shape6Of(dim, cap, q, m)));
}

// Both segment formats, for tests that hold for each.
constexpr uint32_t kBothFormats[] = {qarbin::kSegmentVersion, qarbin::kCompactSegmentVersion};

using qarbin_test::deleteKey;

inline std::vector<char> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::vector<char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A vector whose components depend on `seed`, never all equal.
inline std::vector<float> vec(uint32_t dim, uint32_t seed) {
    std::vector<float> v(dim);
    for (uint32_t i = 0; i < dim; ++i) v[i] = static_cast<float>((seed * 7 + i * 3) % 11) - 5.0f + 0.25f * i;
    return v;
}

// Keys of live records by a plain walk over the slots: the oracle for
// everything the key index answers.
inline std::vector<uint64_t> walkLive(const Segment& s, const char* key) {
    std::vector<uint64_t> out;
    const uint64_t n = s.usedSlotsClamped();
    for (uint64_t i = 0; i < n; ++i) {
        if (!s.liveAt(i)) continue;
        const qarbin::KeyRef k = s.keyAt(i);
        if (std::string(k.data, k.len) == key) out.push_back(i);
    }
    return out;
}

// Shared-memory object removed at scope exit.
struct ShmName {
    std::string name;
    explicit ShmName(std::string n) : name("/" + std::move(n)) {}
    ~ShmName() { shm_unlink(name.c_str()); }
    const char* c_str() const { return name.c_str(); }
};

}  // namespace segtest
