// A full disk and a full /dev/shm (a small tmpfs mounted in a private mount
// namespace), and what a segment creator killed half-way leaves behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "shm_helpers.h"
#include "store_fixture.h"

using namespace store_test;
using qarbin::Quantization;
using qarbin::Store;

namespace {

std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') out.push_back(e->d_name);
        }
        closedir(d);
    }
    return out;
}

// Runs body in a child inside a new mount namespace with a tmpfs of
// `size` mounted on `target`. Returns the child's exit code, 77 when the
// namespace or the mount is not permitted, -SIG when a signal killed it.
int inSmallTmpfs(const std::string& target, const char* size, const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (unshare(CLONE_NEWNS) != 0) _exit(77);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(77);
        const std::string opts = std::string("size=") + size;
        if (mount("tmpfs", target.c_str(), "tmpfs", 0, opts.c_str()) != 0) _exit(77);
        _exit(body());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1000;
    if (WIFSIGNALED(status)) return -WTERMSIG(status);
    return WEXITSTATUS(status);
}

#define CHILD_CHECK(cond)                                                       \
    do {                                                                        \
        if (!(cond)) {                                                          \
            std::fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
            return 1;                                                           \
        }                                                                       \
    } while (0)

// Fills a store until it refuses; then checks every acknowledged record,
// the count, a graph build, a search and a reopen. `reopen` opens the store
// again; `files` lists what the store left on the file system and `valid`
// says whether each of them belongs to an open segment.
int fillUntilFull(const std::function<Store*()>& reopen, std::string* report) {
    std::unique_ptr<Store> st(reopen());
    CHILD_CHECK(st != nullptr);
    const std::string meta(3000, 'm');
    int stored = 0;
    int refusals = 0;
    for (int i = 0; i < 100000 && refusals < 5; ++i) {
        if (setVec(*st, i, meta.c_str()) == 0) {
            CHILD_CHECK(refusals == 0);  // once full, it stays full
            ++stored;
        } else {
            ++refusals;
        }
    }
    CHILD_CHECK(stored > 16);  // more than one segment before it filled up
    CHILD_CHECK(refusals == 5);
    CHILD_CHECK(st->count() == static_cast<uint64_t>(stored));
    for (int i = 0; i < stored; ++i) {
        const Fetched f = fetch(*st, key(i));
        CHILD_CHECK(f.found && f.v == vec(i, st->shape.dim) && f.meta == meta);
    }
    // Graph areas are backed on demand too: a build on a full file system is
    // refused or partial, never a fault, and the records stay searchable.
    st->buildIndex();
    const std::vector<float> q = vec(3, st->shape.dim);
    const auto hits = search(*st, q.data(), 5, 50.0f);
    CHILD_CHECK(!hits.empty() && hits[0].key == key(3));
    CHILD_CHECK(search(*st, q.data(), 1000, 0.0f).size() == static_cast<size_t>(std::min(stored, 1000)));
    const size_t segments = st->segments.size();
    st.reset(reopen());
    CHILD_CHECK(st != nullptr);
    CHILD_CHECK(st->count() == static_cast<uint64_t>(stored));
    CHILD_CHECK(st->segments.size() == segments);
    CHILD_CHECK(fetch(*st, key(stored - 1)).found);
    CHILD_CHECK(setVec(*st, stored + 1) != 0);
    *report = std::to_string(stored) + " records in " + std::to_string(segments) + " segments";
    return 0;
}

}  // namespace

TEST(Reliability, FullDiskRefusesCleanlyKeepsEveryRecordAndLeavesNoStrayFile) {
    qarbin_test::TempDir tmp;
    const std::string dir = tmp.path() + "/store";
    const int rc = inSmallTmpfs(tmp.path(), "1m", [&] {
        std::string report;
        const int r = fillUntilFull([&] { return diskStore(dir, 16, 16).release(); }, &report);
        if (r != 0) return r;
        // Only numbered segment files, each of them opened by the store.
        const auto files = listDir(dir);
        std::unique_ptr<Store> st(diskStore(dir, 16, 16).release());
        CHILD_CHECK(files.size() == st->segments.size());
        for (size_t n = 0; n < files.size(); ++n) CHILD_CHECK(exists(segFile(dir, static_cast<unsigned>(n))));
        std::fprintf(stderr, "full disk: %s\n", report.c_str());
        return 0;
    });
    if (rc == 77) GTEST_SKIP() << "mount namespaces or tmpfs mounts not permitted";
    EXPECT_EQ(rc, 0) << "negative: killed by that signal";
}

TEST(Reliability, FullDevShmRefusesCleanlyKeepsEveryRecordAndLeavesNoStrayObject) {
    const std::string name = qarbin_test::uniqueShmName("full");
    const int rc = inSmallTmpfs("/dev/shm", "1m", [&] {
        std::string report;
        const int r = fillUntilFull(
            [&] {
                return Store::openShm(name.c_str(), qarbin_test::makeShape(16, qarbin::DistanceMetric::Euclidean, Quantization::None, 16, false, 16, 200, 0), true);
            },
            &report);
        if (r != 0) return r;
        // The control object and one object per attached segment, nothing else.
        std::unique_ptr<Store> st(Store::openShm(name.c_str(), qarbin_test::makeShape(16, qarbin::DistanceMetric::Euclidean, Quantization::None, 16, false, 16, 200, 0), true));
        CHILD_CHECK(st != nullptr);
        std::set<std::string> want{"qb_" + name};
        for (size_t n = 0; n < st->segments.size(); ++n) {
            char buf[300];
            std::snprintf(buf, sizeof buf, "qb_%s_s%04zu", name.c_str(), n);
            want.insert(buf);
        }
        const auto objects = listDir("/dev/shm");
        for (const std::string& o : objects) {
            if (!want.count(o)) std::fprintf(stderr, "stray object: %s\n", o.c_str());
        }
        CHILD_CHECK(std::set<std::string>(objects.begin(), objects.end()) == want);
        st.reset();
        CHILD_CHECK(Store::destroyShm(name.c_str()));
        CHILD_CHECK(listDir("/dev/shm").empty());
        std::fprintf(stderr, "full /dev/shm: %s\n", report.c_str());
        return 0;
    });
    if (rc == 77) GTEST_SKIP() << "mount namespaces or tmpfs mounts not permitted";
    EXPECT_EQ(rc, 0) << "negative: killed by that signal";
}

// A creator killed while it built the next file leaves only its temporary
// file; the next rollover removes it when its process is gone and leaves
// the temporary file of a live creator alone.
TEST(Reliability, RolloverRemovesWhatADeadCreatorLeftAndKeepsALiveOnesFile) {
    qarbin_test::TempDir tmp;
    const std::string dir = tmp.path();
    auto st = diskStore(dir, 4, 2);
    ASSERT_NE(st, nullptr);
    ASSERT_EQ(setVec(*st, 0), 0);
    ASSERT_EQ(setVec(*st, 1), 0);
    const std::string dead = segFile(dir, 1) + ".tmp-" + std::to_string(qarbin_test::deadPid());
    const std::string live = segFile(dir, 1) + ".tmp-" + std::to_string(getppid());
    const std::string other = segFile(dir, 2) + ".tmp-" + std::to_string(qarbin_test::deadPid());
    for (const std::string& p : {dead, live, other}) {
        std::FILE* f = std::fopen(p.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    ASSERT_EQ(setVec(*st, 2), 0);  // creates seg_0001
    EXPECT_TRUE(exists(segFile(dir, 1)));
    EXPECT_FALSE(exists(dead));
    EXPECT_TRUE(exists(live));
    EXPECT_TRUE(exists(other));  // another number's leftovers wait for that number
    ASSERT_EQ(setVec(*st, 3), 0);
    ASSERT_EQ(setVec(*st, 4), 0);  // creates seg_0002
    EXPECT_FALSE(exists(other));
    std::set<std::string> names;
    for (const std::string& n : listDir(dir)) names.insert(n);
    EXPECT_EQ(names, (std::set<std::string>{"seg_0000.qbseg", "seg_0001.qbseg", "seg_0002.qbseg",
                                             "seg_0001.qbseg.tmp-" + std::to_string(getppid())}));
    st.reset(diskStore(dir, 4, 2).release());
    EXPECT_EQ(st->count(), 5u);
}

// The creation of a segment file is all or nothing as its name shows it:
// children killed at many moments while rolling over never leave a numbered
// file the next opener cannot read.
TEST(Reliability, CreatorKilledAtAnyMomentLeavesNoUnreadableSegmentFile) {
    qarbin_test::TempDir tmp;
    int rounds = 0;
    for (int r = 0; r < 40; ++r) {
        const std::string dir = tmp.path() + "/r" + std::to_string(r);
        int pipefd[2];
        ASSERT_EQ(pipe(pipefd), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            close(pipefd[0]);
            auto st = diskStore(dir, 4, 1);  // a new file for every record
            for (int i = 0; st && i < 100000; ++i) {
                if (setVec(*st, i) != 0) break;
                if (i == 0 && write(pipefd[1], "x", 1) != 1) break;
            }
            _exit(1);
        }
        close(pipefd[1]);
        char c;
        ASSERT_EQ(read(pipefd[0], &c, 1), 1);
        close(pipefd[0]);
        usleep(static_cast<useconds_t>(200 + r * 97 % 3000));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        const auto files = listDir(dir);
        size_t numbered = 0;
        for (const std::string& f : files) numbered += f.find(".tmp-") == std::string::npos ? 1 : 0;
        auto st = diskStore(dir, 4, 1);
        ASSERT_NE(st, nullptr);
        // Every numbered file is opened: none is cut short or headerless.
        EXPECT_EQ(st->segments.size(), numbered) << "round " << r;
        const uint64_t before = st->count();
        ASSERT_EQ(setVec(*st, 1000000), 0) << "round " << r;
        EXPECT_EQ(st->count(), before + 1);
        ++rounds;
    }
    EXPECT_EQ(rounds, 40);
}
