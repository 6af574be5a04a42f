// Shared helpers of the unit tests.
#pragma once

#include <cstdint>
#include <vector>

#include "core/base.h"
#include "core/segment/segment.h"

#include <string>

namespace qarbin_test {

// A store's shape from the values tests name in this order.
inline qarbin::Shape makeShape(uint32_t dim, qarbin::DistanceMetric metric, qarbin::Quantization q, uint64_t capacity,
                               bool useAvx2 = false, uint32_t hnswM = 16, uint32_t efConstruction = 200,
                               uint32_t pqSubvectors = 0) {
    qarbin::Shape s;
    s.dim = dim;
    s.metric = metric;
    s.quantization = q;
    s.capacity = capacity;
    s.useAvx2 = useAvx2;
    s.hnswM = hnswM;
    s.efConstruction = efConstruction;
    s.pqSubvectors = pqSubvectors;
    return s;
}

// The same shape written in segment format `format` (6: fixed slots, 7: compact).
inline qarbin::Shape inFormat(qarbin::Shape s, uint32_t format) {
    s.format = format;
    return s;
}

// A fresh empty directory under the system temp dir, removed by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Tombstones every live record stored under key; returns how many it marked.
inline int deleteKey(qarbin::Segment& seg, const char* key) {
    std::vector<uint64_t> slots;
    seg.findLiveByKey(key, slots);
    int marked = 0;
    for (uint64_t s : slots)
        if (seg.markDeleted(s)) ++marked;
    return marked;
}

// Record i's key as a string, whatever the segment's format.
inline std::string keyAt(const qarbin::Segment& seg, uint64_t i) {
    const qarbin::KeyRef k = seg.keyAt(i);
    return std::string(k.data, k.len);
}

// A shared-memory name unique to this process and call.
std::string uniqueShmName(const char* tag);

}  // namespace qarbin_test
