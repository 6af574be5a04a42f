// A writer killed in the middle of extending a shared-memory graph: a child
// extends the graph of half the records and SIGKILLs itself at a chosen poll,
// leaving old nodes linked to nodes it never published. Every record must
// still be found by its own vector, and the next build must give every
// record a node in the graph an uninterrupted build makes.
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/store/store_internal.h"
#include "hnsw_fixture.h"
#include "test_util.h"

using namespace hnsw_test;

namespace {

struct KillAt {
    int left;
};
bool killWhenDue(void* ctx) {
    if (--static_cast<KillAt*>(ctx)->left < 0) raise(SIGKILL);
    return false;
}

// Records whose own vector does not come back first, searched as a store
// does: through a usable graph, otherwise exactly.
size_t lostRecords(const Segment& seg, const std::vector<float>& v, size_t total) {
    const bool usable = (seg.header->flags & qarbin::kFlagGraphUsable) != 0;
    size_t lost = 0;
    for (size_t i = 0; i < total; ++i) {
        const float* q = &v[i * seg.dim];
        auto got = usable ? graphSearch(seg, q, 1, 200) : exactSearch(seg, q, 1);
        if (got.empty() || std::string(got[0].key) != keyOf(i)) ++lost;
    }
    return lost;
}

// Links of published nodes (below the count) that name a position at or
// past it: links given up by the old nodes for nodes nobody publishes.
size_t linksPastCount(const Segment& seg) {
    const uint64_t n = seg.header->indexedCount.load();
    size_t past = 0;
    for (uint64_t p = 0; p < n; ++p) {
        const HnswNode* nd = nodeAt(seg, p);
        for (uint32_t i = 0; i < nd->linkCount && i < qarbin::kLevel0Links; ++i)
            past += nd->links[i] >= 0 && static_cast<uint64_t>(nd->links[i]) >= n;
        for (uint32_t l = 1; l <= nd->level && nd->poolFirst >= 0; ++l) {
            const LinkPoolEntry* e = poolAt(seg, nd->poolFirst + l - 1);
            for (uint32_t i = 0; i < e->linkCount && i < qarbin::kUpperLinks; ++i)
                past += e->links[i] >= 0 && static_cast<uint64_t>(e->links[i]) >= n;
        }
    }
    return past;
}

}  // namespace

TEST(HnswKilled, AnExtensionKilledMidwayHidesNoRecordAndTheNextBuildIsClean) {
    const uint32_t dim = 32;
    const size_t total = 4000;
    const size_t half = total / 2;
    const auto v = randomVectors(total, dim, 61);
    // (threads of the killed extension, polls before the kill)
    // (the calling thread polls every 16 nodes it makes; with two threads it
    // makes about half of the 2000, fewer when the other thread runs faster)
    const int cases[][2] = {{1, 60}, {2, 20}, {2, 30}};
    // The graph of one uninterrupted one-thread build of every record.
    auto whole = makeSegment(dim, total, DistanceMetric::Cosine, 16, 200);
    addRange(*whole, v, 0, total);
    ASSERT_EQ(qarbin::buildHnsw(*whole), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c[0]) + " threads, kill at poll " + std::to_string(c[1]));
        const std::string name = "/" + qarbin_test::uniqueShmName("hnswkill");
        SegPtr seg(Segment::createShm(name.c_str(), makeShape(dim, total, DistanceMetric::Cosine, 16, 200)));
        ASSERT_NE(seg, nullptr);
        addRange(*seg, v, 0, half);
        ASSERT_EQ(qarbin::buildHnsw(*seg), 0);
        addRange(*seg, v, half, total - half);

        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            KillAt budget{c[1]};
            const qarbin::GraphStop stop{killWhenDue, &budget};
            qarbin::indexSegment(*seg, false, &stop, static_cast<uint32_t>(c[0]));
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the extension finished before its kill";
        ASSERT_LT(seg->header->indexedCount.load(), total);
        // What opening the store does.
        qarbin::settleDeadExtension(*seg);
        // A graph still searched must not route through nodes never published.
        if (seg->header->flags & qarbin::kFlagGraphUsable) {
            EXPECT_EQ(linksPastCount(*seg), 0u);
        }

        EXPECT_EQ(lostRecords(*seg, v, total), 0u) << "before the next build";
        ASSERT_EQ(qarbin::indexSegment(*seg, false, nullptr, 1), 0);
        EXPECT_EQ(seg->header->indexedCount.load(), total);
        for (size_t i = 0; i < total; ++i) {
            const int32_t gn = seg->graphNodeAt(i);
            ASSERT_GE(gn, 0);
            ASSERT_LT(static_cast<uint64_t>(gn), total);
        }
        // No trace of the killed writer is left: the next build on one
        // thread gives the graph of an uninterrupted one.
        EXPECT_EQ(seg->header->entryPoint, whole->header->entryPoint);
        EXPECT_EQ(seg->header->linkPoolUsed, whole->header->linkPoolUsed);
        EXPECT_TRUE(graphBytes(*seg) == graphBytes(*whole));
        seg.reset();
        shm_unlink(name.c_str());
    }
}
