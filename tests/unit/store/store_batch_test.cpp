// Many searches at once on several threads: the rows of one search each.
#include <gtest/gtest.h>

#include <cstdlib>

#include "core/store/store_internal.h"
#include "store_fixture.h"

namespace store_test {
namespace {

// Equal rows: the same records with bit-equal scores, in the same order.
void expectSameRows(const qarbin::Result* a, int na, const qarbin::Result* b, int nb) {
    ASSERT_EQ(na, nb);
    for (int i = 0; i < na; ++i) {
        EXPECT_STREQ(a[i].key, b[i].key) << "row " << i;
        EXPECT_EQ(a[i].id, b[i].id);
        EXPECT_EQ(std::memcmp(&a[i].score, &b[i].score, sizeof(float)), 0);
    }
}

qarbin::Filter evenFilter() {
    qarbin::Filter f;
    qarbin::FilterNode eq;
    eq.op = qarbin::FilterOp::Eq;
    eq.path = {"even"};
    qarbin::FilterValue v;
    v.kind = qarbin::FilterValue::Kind::Bool;
    v.b = true;
    eq.values.push_back(v);
    f.root.children.push_back(eq);
    return f;
}

TEST(StoreBatch, RowsOnThreadsEqualSearchesOneAtATime) {
    const uint32_t dim = 16;
    auto st = memStore(dim, 4096);
    for (int i = 0; i < 3000; ++i) ASSERT_EQ(setVec(*st, i, i % 2 == 0 ? "{\"even\":true}" : "{\"even\":false}"), 0);
    st->threads = 2;
    ASSERT_EQ(st->indexFor(0), 0);
    const uint32_t queries = 120;
    std::vector<float> q;
    for (uint32_t i = 0; i < queries; ++i) {
        auto v = vec(5000 + static_cast<int>(i), dim);
        q.insert(q.end(), v.begin(), v.end());
    }
    const qarbin::Filter even = evenFilter();
    struct Case {
        int topK;
        float precision;
        const qarbin::Filter* filter;
        uint32_t threads;
    };
    const Case cases[] = {{10, 50, nullptr, 3}, {1, 0, nullptr, 2}, {25, 100, &even, 4}, {5, 40, nullptr, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.topK);
        std::vector<qarbin::Result> rows(static_cast<size_t>(queries) * c.topK);
        std::vector<int> counts(queries, -1);
        ASSERT_EQ(st->searchMany(q.data(), queries, c.topK, c.precision, c.filter, c.threads, rows.data(),
                                 counts.data()),
                  0);
        for (uint32_t i = 0; i < queries; ++i) {
            qarbin::Result* one = nullptr;
            const int n = st->search(q.data() + i * dim, c.topK, c.precision, &one, c.filter);
            expectSameRows(rows.data() + static_cast<size_t>(i) * c.topK, counts[i], one, n);
            std::free(one);
        }
    }
}

TEST(StoreBatch, BuildThreadsStayUnderTheMemoryLimit) {
    auto st = memStore(8, 4096);
    ASSERT_EQ(setVec(*st, 1), 0);
    const qarbin::Segment& seg = *st->segments[0];
    const uint64_t mapped = seg.countedBytes();  // what the limit counts of the store
    const uint64_t perThread = qarbin::graphScratchPerThread(seg);
    st->threads = 4;
    struct Case {
        uint64_t limit;
        uint32_t threads;
    };
    const Case cases[] = {{0, 4}, {mapped, 1}, {mapped + perThread - 1, 1}, {mapped + perThread, 2},
                          {mapped + 3 * perThread, 4}, {mapped + 100 * perThread, 4}};
    for (const Case& c : cases) {
        st->memoryLimit = c.limit;
        EXPECT_EQ(qarbin::graphThreads(*st, seg), c.threads) << c.limit;
    }
    st->threads = 1;
    st->memoryLimit = 0;
    EXPECT_EQ(qarbin::graphThreads(*st, seg), 1u);
}

}  // namespace
}  // namespace store_test
