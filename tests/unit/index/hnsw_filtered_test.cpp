// The filtered graph walk: only accepted records come back, as many as
// match up to topK, close to the exact filtered answer; records the walk
// passes through but rejects keep the graph connected.
#include <algorithm>
#include <set>

#include "core/filter/filter.h"
#include "hnsw_fixture.h"

namespace hnsw_test {
namespace {

// Accepts records whose id (i + 1) leaves remainder 0 modulo `every`; the
// metadata is "<i>" as text, so the test reads it.
struct EveryNth {
    uint32_t every;
    static bool test(const void* ctx, const char* meta, uint32_t len) {
        if (meta == nullptr || len == 0) return false;
        const uint32_t i = static_cast<uint32_t>(std::stoul(std::string(meta, len)));
        return i % static_cast<const EveryNth*>(ctx)->every == 0;
    }
};

SegPtr clusteredSegment(size_t n, uint32_t dim, std::vector<float>* vecs) {
    SegPtr seg = makeSegment(dim, n);
    std::mt19937 gen(11);
    std::normal_distribution<float> noise(0.0f, 0.3f);
    std::vector<float> centres = randomVectors(40, dim, 5);
    vecs->resize(n * dim);
    for (size_t i = 0; i < n; ++i) {
        const float* c = &centres[(i % 40) * dim];
        for (uint32_t d = 0; d < dim; ++d) (*vecs)[i * dim + d] = c[d] + noise(gen);
        const std::string meta = std::to_string(i);
        EXPECT_EQ(seg->add(idOf(i), keyOf(i).c_str(), &(*vecs)[i * dim], meta.data(), static_cast<uint32_t>(meta.size())), 0);
    }
    EXPECT_EQ(qarbin::buildHnsw(*seg), 0);
    return seg;
}

TEST(HnswFiltered, ReturnsOnlyAcceptedRecordsCloseToTheExactFilteredAnswer) {
    const uint32_t dim = 16;
    const size_t n = 3000;
    std::vector<float> vecs;
    SegPtr seg = clusteredSegment(n, dim, &vecs);
    struct Case {
        uint32_t every;
        double minRecall;
    } cases[] = {{2, 0.95}, {10, 0.9}, {100, 0.9}, {5000, 1.0}};
    for (const Case& c : cases) {
        EveryNth rule{c.every};
        qarbin::MetadataTest keep{EveryNth::test, &rule};
        size_t found = 0, wanted = 0;
        for (size_t q = 0; q < 30; ++q) {
            const float* query = &vecs[(q * 97 % n) * dim];
            Result walk[10], exact[10];
            int nw = 0, ne = 0;
            qarbin::hnswSearch(*seg, query, 10, 50, walk, &nw, &keep);
            seg->search(query, 10, exact, &ne, &keep);
            const size_t matching = (n + c.every - 1) / c.every;
            EXPECT_EQ(static_cast<size_t>(nw), std::min<size_t>(10, matching)) << "every " << c.every;
            std::set<uint64_t> truth;
            for (int i = 0; i < ne; ++i) truth.insert(exact[i].id);
            for (int i = 0; i < nw; ++i) {
                EXPECT_EQ(recordNumber(walk[i]) % c.every, 0u) << "a rejected record came back";
                found += truth.count(walk[i].id);
            }
            wanted += truth.size();
        }
        EXPECT_GE(double(found) / double(wanted), c.minRecall) << "every " << c.every;
    }
}

TEST(HnswFiltered, DeletedRecordsAndRecordsWithoutANodeFollowTheFilter) {
    const uint32_t dim = 8;
    std::vector<float> vecs;
    SegPtr seg = clusteredSegment(600, dim, &vecs);
    for (size_t i = 0; i < 600; i += 4) deleteKey(*seg, keyOf(i));  // every accepted record of rule 4
    EveryNth four{4}, two{2};
    qarbin::MetadataTest none{EveryNth::test, &four}, half{EveryNth::test, &two};
    Result r[10];
    int n = 0;
    qarbin::hnswSearch(*seg, &vecs[0], 10, 50, r, &n, &none);
    EXPECT_EQ(n, 0);
    n = 0;
    qarbin::hnswSearch(*seg, &vecs[0], 10, 50, r, &n, &half);
    ASSERT_EQ(n, 10);
    for (int i = 0; i < n; ++i) EXPECT_EQ(recordNumber(r[i]) % 4, 2u);
}

TEST(Filter, MetadataThatIsNotAJsonObjectMatchesOnlyTheEmptyFilter) {
    qarbin::Filter empty, exists;
    qarbin::FilterNode node;
    node.op = qarbin::FilterOp::Ne;  // holds for any object without the field
    node.path = {"x"};
    node.values.resize(1);
    exists.root.children.push_back(node);
    const std::string cases[] = {"", "not json", "[1,2]", "\"text\"", "12", "null", "{\"a\":\"\xff\"}",
                                 "{\"a\":1", "{\"a\":1}x"};
    for (const std::string& m : cases) {
        EXPECT_TRUE(empty.matches(m.data(), static_cast<uint32_t>(m.size()))) << m;
        EXPECT_FALSE(exists.matches(m.data(), static_cast<uint32_t>(m.size()))) << m;
    }
    EXPECT_TRUE(exists.matches("{}", 2));
    const std::string accented = "{\"a\":\"\xc3\xa9\"}";
    EXPECT_TRUE(exists.matches(accented.data(), static_cast<uint32_t>(accented.size())));
    EXPECT_FALSE(exists.matches(nullptr, 0));
}

}  // namespace
}  // namespace hnsw_test
