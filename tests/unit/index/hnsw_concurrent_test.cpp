// A search racing a writer in another process: one child extends and then
// rebuilds the graph of a shared-memory segment while the parent searches it.
// Every hit must be a stored record with its exact score, and no search may
// fail or leave the region.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/math/score.h"
#include "hnsw_fixture.h"
#include "test_util.h"

using namespace hnsw_test;

TEST(HnswConcurrent, SearchesSurviveAnInsertAndARebuildInAnotherProcess) {
    const uint32_t dim = 16;
    const size_t total = 2400;
    const std::string name = "/" + qarbin_test::uniqueShmName("hnswrace");
    auto v = randomVectors(total, dim, 51);
    SegPtr seg(Segment::createShm(name.c_str(), makeShape(dim, total, DistanceMetric::Dot, 16, 40)));
    ASSERT_NE(seg, nullptr);
    addRange(*seg, v, 0, 400);
    ASSERT_EQ(qarbin::buildHnsw(*seg), 0);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int bad = 0;
        for (size_t from = 400; from < total; from += 250) {
            size_t n = std::min<size_t>(250, total - from);
            for (size_t i = from; i < from + n; ++i)
                if (seg->add(i + 1, keyOf(i).c_str(), &v[i * dim], nullptr, 0) != 0) ++bad;
            if (qarbin::hnswInsertIncremental(*seg) != 0) ++bad;
        }
        for (size_t i = 0; i < total; i += 5) deleteKey(*seg, keyOf(i));
        if (qarbin::buildHnsw(*seg) != 0) ++bad;
        _exit(bad == 0 ? 0 : 1);
    }

    size_t searches = 0;
    int status = 0;
    bool done = false;
    while (!done) {
        done = waitpid(child, &status, WNOHANG) == child;
        const float* q = &v[(searches * 37 % total) * dim];
        auto got = graphSearch(*seg, q, 10, 30);
        for (const Result& r : got) {
            const size_t i = recordNumber(r);
            ASSERT_LT(i, total);
            EXPECT_EQ(r.id, idOf(i));
            const float exact = qarbin::computeScore(q, &v[i * dim], dim, DistanceMetric::Dot, true);
            EXPECT_EQ(r.score, exact) << r.key;
        }
        ++searches;
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_GT(searches, 10u);
    EXPECT_EQ(seg->header->indexedCount.load(), total - total / 5);
    seg.reset();
    shm_unlink(name.c_str());
}
