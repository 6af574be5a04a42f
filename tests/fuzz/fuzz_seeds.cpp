// Writes the seed corpus of the segment fuzz target: one small valid segment
// file per encoding, with records, a tombstone, a graph and a codebook, and
// three small compact regions.
// usage: fuzz_seeds OUTDIR
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "tests/fuzz/fuzz_segment.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    const std::string out = argv[1];
    mkdir(out.c_str(), 0755);
    const auto seeds = qarbin_fuzz::makeSeeds(out);
    int i = 0;
    for (const auto& bytes : seeds) {
        const std::string path = out + "/seed_" + std::to_string(i++);
        if (!qarbin_fuzz::writeBytes(path, bytes.data(), bytes.size())) return 1;
    }
    for (const auto& bytes : qarbin_fuzz::makeCompactSeeds()) {
        const std::string path = out + "/compact_" + std::to_string(i++);
        if (!qarbin_fuzz::writeBytes(path, bytes.data(), bytes.size())) return 1;
    }
    std::printf("%d seeds in %s\n", i, out.c_str());
    return i == 9 ? 0 : 1;
}
