// Shared helpers of the unit tests.
#pragma once

#include "core/base.h"

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

// A shared-memory name unique to this process and call.
std::string uniqueShmName(const char* tag);

}  // namespace qarbin_test
