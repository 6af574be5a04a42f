// The segment fuzz target's body in the regular suite: its seeds, every
// crash it ever found (tests/fuzz/crashes) and a few thousand seeded
// mutations of the seeds, so a fault the fuzzer found stays found.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "test_util.h"
#include "tests/fuzz/fuzz_segment.h"

namespace {

std::string crashDir() {
    std::string here = __FILE__;
    return here.substr(0, here.rfind("/unit/")) + "/fuzz/crashes";
}

std::vector<std::string> crashFiles() {
    std::vector<std::string> out;
    if (DIR* d = opendir(crashDir().c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') out.push_back(crashDir() + "/" + e->d_name);
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

TEST(FuzzReplay, SeedsAreValidSegmentsOfEveryEncodingWithGraphAndCodebook) {
    qarbin_test::TempDir dir;
    const auto seeds = qarbin_fuzz::makeSeeds(dir.path());
    ASSERT_EQ(seeds.size(), 6u);
    uint32_t encodings = 0;
    for (const auto& bytes : seeds) {
        const std::string path = dir.file("check.qbseg");
        ASSERT_TRUE(qarbin_fuzz::writeBytes(path, bytes.data(), bytes.size()));
        std::unique_ptr<qarbin::Segment> s(qarbin::Segment::openDisk(path.c_str(), 0));
        ASSERT_NE(s, nullptr);
        encodings |= 1u << s->quantization;
        EXPECT_NE(s->header->flags & qarbin::kFlagGraphUsable, 0u) << "quantization " << s->quantization;
        EXPECT_GE(s->header->liveCount.load(), 1u);
        if (s->quantization == 4) {
            EXPECT_NE(s->codebook, nullptr);
        }
    }
    EXPECT_EQ(encodings, 0x1fu);
}

TEST(FuzzReplay, EveryRecordedCrashRunsCleanly) {
    const std::vector<std::string> crashes = crashFiles();
    if (crashes.empty()) GTEST_SKIP() << "no recorded crashes in " << crashDir();
    qarbin_test::TempDir dir;
    for (const std::string& path : crashes) {
        SCOPED_TRACE(path);
        const auto bytes = qarbin_fuzz::readBytes(path);
        qarbin_fuzz::runOne(bytes.data(), bytes.size(), dir.path());
    }
}

// A cheap stand-in for fuzzing in the default build: header words set to
// boundary values, random bytes flipped anywhere, and cuts, each seeded.
TEST(FuzzReplay, SeededMutationsOfTheSeedsRunCleanly) {
    qarbin_test::TempDir dir;
    // Every run flushes its files on close: in memory that costs nothing.
    char shmDir[] = "/dev/shm/qarbin_replay_XXXXXX";
    const bool inShm = mkdtemp(shmDir) != nullptr;
    const std::string work = inShm ? std::string(shmDir) : dir.file("work");
    ASSERT_TRUE(inShm || mkdir(work.c_str(), 0700) == 0);
    const auto seeds = qarbin_fuzz::makeSeeds(dir.path());
    ASSERT_FALSE(seeds.empty());
    const uint64_t words[] = {0, 1, 2, 3, 7, 8, 0x7f, 0xff, 0x7fffffff, 0x80000000, 0xffffffff,
                              0x100000000ull, 0x7fffffffffffffffull, 0xffffffffffffffffull};
    std::mt19937_64 rng(20261210);
    int runs = 0;
    for (const auto& seed : seeds) {
        for (int round = 0; round < 400; ++round) {
            std::vector<uint8_t> b = seed;
            const int edits = 1 + static_cast<int>(rng() % 4);
            for (int e = 0; e < edits; ++e) {
                switch (rng() % 4) {
                    case 0: {  // a header word, 4 or 8 bytes
                        const size_t off = (rng() % 28) * 4;
                        const uint64_t w = words[rng() % (sizeof words / sizeof words[0])];
                        std::memcpy(b.data() + off, &w, (rng() & 1) ? 8 : 4);
                        break;
                    }
                    case 1:  // a byte of a slot header or graph entry
                        b[rng() % b.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
                        break;
                    case 2:
                        b[rng() % b.size()] = static_cast<uint8_t>(rng());
                        break;
                    default:
                        b.resize(rng() % b.size());
                        if (b.empty()) b.push_back(0);
                        break;
                }
            }
            qarbin_fuzz::runOne(b.data(), b.size(), work);
            ++runs;
        }
    }
    qarbin_fuzz::emptyDir(work);
    if (inShm) rmdir(shmDir);
    EXPECT_EQ(runs, 6 * 400);
}

TEST(FuzzReplay, CompactSeedsAreUsableRegions) {
    const auto seeds = qarbin_fuzz::makeCompactSeeds();
    ASSERT_EQ(seeds.size(), 3u);
    for (const auto& bytes : seeds) {
        const uint64_t len = qarbin_fuzz::compactLengthOf(bytes.data(), bytes.size());
        ASSERT_GT(len, bytes.size());
        std::vector<uint8_t> region(len, 0);
        std::memcpy(region.data(), bytes.data(), bytes.size());
        const qarbin::CompactRegion r(region.data(), region.size());
        ASSERT_TRUE(r.usable());
        EXPECT_GE(r.entryCount(), 4u);
        std::vector<uint64_t> out;
        EXPECT_EQ(r.findLive(qarbin::keyHash("k2", 2), "k2", 2, out), 1u);
    }
}

// Mutations aimed at the compact areas a reader follows: header words, the
// entries' lengths and offsets, key-table buckets, and cuts.
TEST(FuzzReplay, SeededMutationsOfCompactSeedsRunCleanly) {
    const auto seeds = qarbin_fuzz::makeCompactSeeds();
    ASSERT_FALSE(seeds.empty());
    const uint64_t words[] = {0, 1, 2, 7, 8, 0xff, 0x7ff, 0x800, 0xfffff, 0x7fffffff, 0x80000000, 0xffffffff,
                              0x100000000ull, 0xffffffffffffffffull};
    std::mt19937_64 rng(20261211);
    int runs = 0;
    for (const auto& seed : seeds) {
        qarbin::CompactHeader h;
        std::memcpy(static_cast<void*>(&h), seed.data(), sizeof h);
        const uint64_t areas[][2] = {{0, qarbin::kCompactHeaderBytes},
                                     {h.tail.entryOffset, h.base.capacity.load() * sizeof(qarbin::RecordEntry)},
                                     {h.tail.keyTableOffset, (uint64_t{1} << h.tail.keyTableBits) * 4},
                                     {h.tail.varOffset, seed.size() - h.tail.varOffset}};
        for (int round = 0; round < 300; ++round) {
            std::vector<uint8_t> b = seed;
            const int edits = 1 + static_cast<int>(rng() % 3);
            for (int e = 0; e < edits; ++e) {
                const auto& area = areas[rng() % 4];
                if (area[1] < 8) continue;
                const size_t off = area[0] + ((rng() % (area[1] - 4)) & ~size_t{3});
                if (rng() % 8 == 0) {
                    b.resize(std::min<size_t>(b.size(), off + 1));
                    break;
                }
                const uint64_t w = words[rng() % (sizeof words / sizeof words[0])];
                std::memcpy(b.data() + off, &w, off + 8 <= b.size() && (rng() & 1) ? 8 : 4);
            }
            qarbin_fuzz::runCompactOne(b.data(), b.size());
            ++runs;
        }
    }
    EXPECT_EQ(runs, 3 * 300);
}
