// Refined searches: the diverse choice, more-like-this at the row limit,
// and listing by filter.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/store/mmr.h"
#include "store_fixture.h"

using namespace store_test;
using qarbin::DistanceMetric;
using qarbin::Result;

namespace {

Result row(const char* key, float score) {
    Result r{};
    r.key = key;  // a literal: it outlives the rows
    r.keyLen = static_cast<uint32_t>(std::strlen(key));
    r.score = score;
    return r;
}

std::vector<std::string> keysOf(const Result* rows, int n) {
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) out.push_back(rows[i].key);
    return out;
}

}  // namespace

// Two near-copies (a, b) and one row apart (c), scored by dot product.
TEST(ChooseDiverse, WeighsScoreAgainstLikenessAndKeepsTheBestFirst) {
    const float vectors[] = {1, 0, 0.9f, 0.1f, 0, 1};
    struct Case {
        double diversity;
        int k;
        std::vector<std::string> want;
    } cases[] = {
        {0.0, 3, {"a", "b", "c"}},  // the score alone: the search's order
        // b: 0.9 * 0.9 - 0.1 * 0.9 = 0.72 beats c: 0.9 * 0.5 = 0.45
        {0.1, 3, {"a", "b", "c"}},
        // b: 0.6 * 0.9 - 0.4 * 0.9 = 0.18 loses to c: 0.6 * 0.5 = 0.30
        {0.4, 3, {"a", "c", "b"}},
        {1.0, 3, {"a", "c", "b"}},  // likeness alone after the first: a is still first
        {0.5, 1, {"a"}},
        {0.5, 5, {"a", "c", "b"}},  // k beyond the rows: all of them
    };
    for (const Case& c : cases) {
        Result rows[] = {row("a", 1.0f), row("b", 0.9f), row("c", 0.5f)};
        const int n = qarbin::chooseDiverse(rows, vectors, 3, c.k, c.diversity, 2, DistanceMetric::Dot, false);
        EXPECT_EQ(keysOf(rows, n), c.want) << "diversity " << c.diversity << " k " << c.k;
    }
}

TEST(ChooseDiverse, EqualValuesGoToTheBetterRankedRow) {
    const float vectors[] = {1, 0, 0, 1, 0, 1};
    Result rows[] = {row("a", 1.0f), row("b", 0.5f), row("c", 0.5f)};
    const int n = qarbin::chooseDiverse(rows, vectors, 3, 3, 0.5, 2, DistanceMetric::Dot, false);
    EXPECT_EQ(keysOf(rows, n), (std::vector<std::string>{"a", "b", "c"}));
}

// The record left out does not cost a row: topK 1000 still gives 1000.
TEST(StoreRetrieve, SimilarAtTheRowLimitLeavesOutOnlyTheRecord) {
    StorePtr st = memStore(4, 2048);
    ASSERT_TRUE(st);
    for (int i = 0; i < 1100; ++i) ASSERT_EQ(setVec(*st, i), 0);
    Result* out = nullptr;
    const int n = st->similar(key(17).c_str(), 1500, 0.0f, &out, nullptr, qarbin::SearchRefinement{});
    ASSERT_EQ(n, 1000);
    for (int i = 0; i < n; ++i) EXPECT_STRNE(out[i].key, key(17).c_str());
    qarbin::releaseBytes(out);
    out = nullptr;
    EXPECT_EQ(st->similar("absent", 5, 0.0f, &out, nullptr, qarbin::SearchRefinement{}), -1);
    EXPECT_EQ(out, nullptr);
}

TEST(StoreRetrieve, FindPagesInStoreOrderAndAllocatesNoMoreThanStored) {
    StorePtr st = memStore(4, 64);
    ASSERT_TRUE(st);
    Result* out = reinterpret_cast<Result*>(0x1);
    EXPECT_EQ(st->find(nullptr, 0, 10, &out), 0);
    EXPECT_EQ(out, reinterpret_cast<Result*>(0x1));  // nothing stored: untouched
    for (int i = 0; i < 150; ++i) ASSERT_EQ(setVec(*st, i, i % 2 ? "odd" : nullptr), 0);  // across three segments
    std::vector<std::string> seen;
    for (uint64_t offset = 0;; offset += 40) {
        out = nullptr;
        const long n = st->find(nullptr, offset, 40, &out);
        for (long i = 0; i < n; ++i) {
            seen.emplace_back(out[i].key, out[i].keyLen);
            const bool odd = (offset + static_cast<uint64_t>(i)) % 2 != 0;
            EXPECT_EQ(out[i].metadataLen, odd ? 3u : 0u) << out[i].key;
        }
        qarbin::releaseBytes(out);
        if (n == 0) break;
    }
    ASSERT_EQ(seen.size(), 150u);
    for (int i = 0; i < 150; ++i) EXPECT_EQ(seen[i], key(i));
    out = nullptr;
    EXPECT_EQ(st->find(nullptr, 149, UINT64_MAX, &out), 1);
    qarbin::releaseBytes(out);
}
