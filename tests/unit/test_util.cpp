#include "test_util.h"

#include <atomic>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace qarbin_test {

TempDir::TempDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/qarbin_test_XXXXXX";
    char* made = mkdtemp(tmpl.data());
    path_ = made ? made : "";
}

TempDir::~TempDir() {
    if (!path_.empty()) {
        std::string cmd = "rm -rf '" + path_ + "'";
        if (std::system(cmd.c_str()) != 0) {
        }
    }
}

std::string uniqueShmName(const char* tag) {
    static std::atomic<unsigned> counter{0};
    return std::string("t") + tag + "_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
}

}  // namespace qarbin_test
