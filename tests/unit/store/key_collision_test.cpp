// Two keys with one record id (a hash collision, forced through the hash
// seam): in every mode both records are kept, found, replaced and deleted
// on their own; the whole key decides identity.
#include <gtest/gtest.h>

#include <set>

#include "core/segment/key_index.h"
#include "shm_helpers.h"
#include "store_fixture.h"

using namespace store_test;

namespace {

uint64_t oneId(const char*, size_t) { return 0xC0111DE5ull; }

struct OneIdForEveryKey {
    OneIdForEveryKey() { qarbin::setKeyHashForTesting(oneId); }
    ~OneIdForEveryKey() { qarbin::setKeyHashForTesting(nullptr); }
};

void checkBothKept(qarbin::Store& st) {
    const std::vector<float> va = vec(1, st.shape.dim), vb = vec(2, st.shape.dim), vc = vec(3, st.shape.dim);
    ASSERT_EQ(st.set("alpha", va.data(), "A", 1), 0);
    ASSERT_EQ(st.set("beta", vb.data(), "B", 1), 0);
    EXPECT_EQ(st.count(), 2u);
    EXPECT_EQ(fetch(st, "alpha").meta, "A");
    EXPECT_EQ(fetch(st, "beta").meta, "B");
    EXPECT_EQ(fetch(st, "beta").v, vb);

    ASSERT_EQ(st.set("alpha", vc.data(), "A2", 2), 0);  // replaces alpha only
    EXPECT_EQ(st.count(), 2u);
    EXPECT_EQ(fetch(st, "alpha").v, vc);
    EXPECT_EQ(fetch(st, "beta").meta, "B");

    std::set<std::string> keys;
    for (const Hit& h : search(st, va.data(), 10, 0.0f)) keys.insert(h.key);
    EXPECT_EQ(keys, (std::set<std::string>{"alpha", "beta"}));

    ASSERT_EQ(st.del("beta"), 0);
    EXPECT_FALSE(fetch(st, "beta").found);
    EXPECT_EQ(fetch(st, "alpha").meta, "A2");
    EXPECT_EQ(st.count(), 1u);
    EXPECT_NE(st.del("gamma"), 0);  // same id, no such key
}

}  // namespace

TEST(KeyCollision, BothKeysAreKeptInMemory) {
    OneIdForEveryKey seam;
    StorePtr st = memStore(4, 16);
    ASSERT_TRUE(st);
    checkBothKept(*st);
}

TEST(KeyCollision, BothKeysAreKeptOnDiskAndAfterReopening) {
    OneIdForEveryKey seam;
    qarbin_test::TempDir dir;
    {
        StorePtr st = diskStore(dir.path(), 4, 16);
        ASSERT_TRUE(st);
        checkBothKept(*st);
    }
    StorePtr st = diskStore(dir.path(), 4, 16);
    ASSERT_TRUE(st);
    EXPECT_EQ(fetch(*st, "alpha").meta, "A2");
    EXPECT_FALSE(fetch(*st, "beta").found);
}

TEST(KeyCollision, BothKeysAreKeptInSharedMemory) {
    OneIdForEveryKey seam;
    qarbin_test::ShmStoreName name("collide");
    StorePtr st(qarbin::Store::openShm(name.c_str(), qarbin_test::makeShape(4, qarbin::DistanceMetric::Euclidean,
                                                                           qarbin::Quantization::None, 16),
                                       true));
    ASSERT_TRUE(st);
    checkBothKept(*st);
}
