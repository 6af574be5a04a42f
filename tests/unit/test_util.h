// Shared helpers of the unit tests.
#pragma once

#include <string>

namespace qarbin_test {

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
