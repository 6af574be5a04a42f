// libFuzzer target: an arbitrary byte string opened as a segment file and as
// the first file of a disk and a memory store (body in fuzz_segment.h).
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/fuzz/fuzz_segment.h"

namespace {
std::string g_dir;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/qarbin_fuzz_XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    g_dir = pattern;
    std::atexit([] {
        qarbin_fuzz::emptyDir(g_dir);
        rmdir(g_dir.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qarbin_fuzz::runOne(data, size, g_dir);
    return 0;
}
