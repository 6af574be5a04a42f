// Opening, parameters, read-only handles and removal of shared-memory stores.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/store/store.h"
#include "shm_helpers.h"

using qarbin::DistanceMetric;
using qarbin::Quantization;
using qarbin::ShmControl;
using qarbin::Store;
using qarbin_test::ShmStoreName;

namespace {

std::unique_ptr<Store> openRw(const ShmStoreName& n, uint32_t dim = 4, uint64_t cap = 16,
                              DistanceMetric metric = DistanceMetric::Euclidean, Quantization q = Quantization::None,
                              uint32_t m = 0) {
    return std::unique_ptr<Store>(Store::openShm(n.c_str(), qarbin_test::makeShape(dim, metric, q, cap, false, 16, 200, m), true));
}

std::unique_ptr<Store> openRo(const ShmStoreName& n) {
    return std::unique_ptr<Store>(
        Store::openShm(n.c_str(), qarbin_test::makeShape(4, DistanceMetric::Cosine, Quantization::None, 16, false, 16, 200, 0), false));
}

bool shmExists(const std::string& name) {
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) return false;
    close(fd);
    return true;
}

// The control object's 128 bytes as they are now.
std::vector<uint8_t> controlBytes(const ShmStoreName& n) {
    std::vector<uint8_t> out;
    int fd = shm_open(n.control().c_str(), O_RDONLY, 0);
    if (fd < 0) return out;
    void* m = mmap(nullptr, sizeof(ShmControl), PROT_READ, MAP_SHARED, fd, 0);
    if (m != MAP_FAILED) {
        out.assign(static_cast<uint8_t*>(m), static_cast<uint8_t*>(m) + sizeof(ShmControl));
        munmap(m, sizeof(ShmControl));
    }
    close(fd);
    return out;
}

void writeControl(const ShmStoreName& n, size_t offset, uint32_t value) {
    int fd = shm_open(n.control().c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    void* m = mmap(nullptr, sizeof(ShmControl), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(m, MAP_FAILED);
    std::memcpy(static_cast<uint8_t*>(m) + offset, &value, sizeof value);
    munmap(m, sizeof(ShmControl));
    close(fd);
}

TEST(ShmOpen, NewNameCreatesControlObjectAndFirstSegment) {
    // The control object's version says the format of the segments.
    const struct {
        uint32_t format, controlVersion;
    } formats[] = {{qarbin::kSegmentVersion, qarbin::kShmControlVersion},
                   {qarbin::kCompactSegmentVersion, qarbin::kShmCompactControlVersion}};
    for (const auto& fm : formats) {
        SCOPED_TRACE(fm.format);
        ShmStoreName n("new");
        auto st = std::unique_ptr<Store>(Store::openShm(
            n.c_str(),
            qarbin_test::inFormat(qarbin_test::makeShape(8, DistanceMetric::Dot, Quantization::F16, 32, false, 16, 200, 0),
                                  fm.format),
            true));
        ASSERT_TRUE(st);
        EXPECT_EQ(st->segments[0]->compact(), fm.format == qarbin::kCompactSegmentVersion);
        EXPECT_EQ(st->mode, qarbin::StorageMode::Shm);
        EXPECT_STREQ(st->name, n.c_str());
        EXPECT_TRUE(st->writable);
        EXPECT_EQ(st->count(), 0u);
        ASSERT_EQ(st->segments.size(), 1u);
        EXPECT_EQ(st->segments[0]->mode, qarbin::StorageMode::Shm);
        EXPECT_EQ(st->segments[0]->capacity(), 32u);
        EXPECT_TRUE(shmExists(n.control()));
        EXPECT_TRUE(shmExists(n.segment(0)));
        EXPECT_FALSE(shmExists(n.segment(1)));

        const ShmControl* c = st->control;
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->magic, qarbin::kShmControlMagic);
        EXPECT_EQ(c->version, fm.controlVersion);
        EXPECT_EQ(c->dim, 8u);
        EXPECT_EQ(c->metric, static_cast<uint32_t>(DistanceMetric::Dot));
        EXPECT_EQ(c->quantization, static_cast<uint32_t>(Quantization::F16));
        EXPECT_EQ(c->segmentCapacity, 32u);
        EXPECT_EQ(c->segmentCount.load(), 1u);
        EXPECT_EQ(c->createLock.load(), 0u);
        EXPECT_EQ(c->totalCount.load(), 0u);
        EXPECT_EQ(c->creatorPid, static_cast<uint32_t>(getpid()));
        EXPECT_STREQ(c->name, n.c_str());
        EXPECT_EQ(c->name[63], '\0');
    }
}

TEST(ShmOpen, ExistingNameTakesStoredParametersAndSharedTotal) {
    ShmStoreName n("params");
    auto first = openRw(n, 4, 16, DistanceMetric::Euclidean, Quantization::Int8);
    ASSERT_TRUE(first);
    const float v[4] = {1, 2, 3, 4};
    ASSERT_EQ(first->set("a", v, "m", 1), 0);
    ASSERT_EQ(first->set("b", v, nullptr, 0), 0);
    EXPECT_EQ(first->control->totalCount.load(), 2u);

    auto second = openRw(n, 64, 1000, DistanceMetric::Cosine, Quantization::None);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->shape.dim, 4u);
    EXPECT_EQ(second->shape.metric, DistanceMetric::Euclidean);
    EXPECT_EQ(second->shape.quantization, Quantization::Int8);
    EXPECT_EQ(second->shape.capacity, 16u);
    EXPECT_EQ(second->count(), 2u);
    ASSERT_EQ(second->segments.size(), 1u);

    // The local total follows only this handle's own writes after opening.
    ASSERT_EQ(first->set("c", v, nullptr, 0), 0);
    EXPECT_EQ(second->count(), 2u);
    EXPECT_EQ(first->count(), 3u);
    EXPECT_EQ(second->control->totalCount.load(), 3u);
    ASSERT_EQ(second->del("a"), 0);
    EXPECT_EQ(second->count(), 1u);
    EXPECT_EQ(first->control->totalCount.load(), 2u);
}

TEST(ShmOpen, ReadOnlyHandleSearchesButNeverCreates) {
    ShmStoreName n("ro");
    EXPECT_FALSE(openRo(n));
    EXPECT_FALSE(shmExists(n.control()));

    auto rw = openRw(n);
    ASSERT_TRUE(rw);
    const float v[4] = {1, 0, 0, 0};
    const float w[4] = {0, 5, 0, 0};
    ASSERT_EQ(rw->set("x", v, nullptr, 0), 0);
    ASSERT_EQ(rw->set("y", w, nullptr, 0), 0);

    auto ro = openRo(n);
    ASSERT_TRUE(ro);
    EXPECT_FALSE(ro->writable);
    EXPECT_EQ(ro->shape.dim, 4u);
    EXPECT_EQ(ro->count(), 2u);
    ASSERT_EQ(ro->segments.size(), 1u);
    EXPECT_EQ(ro->segments[0]->writable, 0u);
    EXPECT_EQ(ro->pqBuffer, nullptr);

    qarbin::Result* res = nullptr;
    int found = ro->search(w, 1, 0.0f, &res);
    ASSERT_EQ(found, 1);
    EXPECT_STREQ(res[0].key, "y");
    qarbin::releaseBytes(res);

    // A read-only handle never makes segments, even when all are full.
    EXPECT_EQ(ro->addToNewShmSegment(1, "z", v, nullptr, 0), -1);
    EXPECT_EQ(rw->control->segmentCount.load(), 1u);
}

TEST(ShmOpen, ForeignControlObjectIsRefusedAndLeftUnchanged) {
    struct Case {
        const char* what;
        size_t offset;
        uint32_t value;
    };
    const Case cases[] = {
        {"magic", 0, 0x12345678},
        {"version", 4, 5},
        {"magic zero, version kept", 0, 0},
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.what);
        ShmStoreName n("magic");
        ASSERT_TRUE(openRw(n));
        writeControl(n, tc.offset, tc.value);
        std::vector<uint8_t> before = controlBytes(n);
        ASSERT_EQ(before.size(), sizeof(ShmControl));
        EXPECT_FALSE(openRw(n));
        EXPECT_FALSE(openRo(n));
        EXPECT_EQ(controlBytes(n), before);
    }
}

TEST(ShmOpen, ParametersThatMakeNoReadableSegmentCreateNothing) {
    struct Case {
        const char* what;
        uint32_t dim;
        uint64_t cap;
        Quantization q;
        uint32_t m;
    };
    const Case cases[] = {
        {"dim 0", 0, 16, Quantization::None, 0},
        {"dim 4097", 4097, 16, Quantization::None, 0},
        {"capacity 0", 4, 0, Quantization::None, 0},
        {"pq without sub-vectors", 8, 16, Quantization::PQ, 0},
        {"sub-vectors not dividing dim", 8, 16, Quantization::PQ, 3},
        {"capacity overflowing the region", 4, UINT64_MAX / 64, Quantization::None, 0},
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.what);
        ShmStoreName n("bad");
        EXPECT_FALSE(openRw(n, tc.dim, tc.cap, DistanceMetric::Cosine, tc.q, tc.m));
        EXPECT_FALSE(shmExists(n.control()));
        EXPECT_FALSE(shmExists(n.segment(0)));
    }
    // The same arguments still open an existing store: its own parameters win.
    ShmStoreName n("badexisting");
    ASSERT_TRUE(openRw(n));
    auto again = openRw(n, 0, 0);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->shape.dim, 4u);
    EXPECT_EQ(again->shape.capacity, 16u);
}

TEST(ShmOpen, DestroyRemovesControlAndSegmentsOnce) {
    ShmStoreName n("destroy");
    {
        auto st = openRw(n, 4, 16);
        ASSERT_TRUE(st);
        const float v[4] = {1, 1, 1, 1};
        for (int i = 0; i < 40; ++i) {
            std::string key = "k" + std::to_string(i);
            ASSERT_EQ(st->set(key.c_str(), v, nullptr, 0), 0);
        }
        ASSERT_EQ(st->control->segmentCount.load(), 3u);
    }
    ASSERT_TRUE(shmExists(n.segment(2)));
    EXPECT_TRUE(Store::destroyShm(n.c_str()));
    EXPECT_FALSE(shmExists(n.control()));
    for (unsigned i = 0; i < 3; ++i) EXPECT_FALSE(shmExists(n.segment(i)));
    EXPECT_FALSE(Store::destroyShm(n.c_str()));

    // A later open of the name starts a new, empty store.
    auto fresh = openRw(n, 4, 16);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->count(), 0u);
    EXPECT_EQ(fresh->control->segmentCount.load(), 1u);
}

TEST(ShmOpen, NewObjectLeftByACreatorThatDiedIsInitialisedByTheNextOpener) {
    ShmStoreName n("orphan");
    // The creator made the object, sized it and took the lock, then died
    // before publishing anything.
    int fd = shm_open(n.control().c_str(), O_RDWR | O_CREAT | O_EXCL, 0660);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, sizeof(ShmControl)), 0);
    close(fd);
    writeControl(n, offsetof(ShmControl, createLock), qarbin_test::deadPid());

    auto st = openRw(n, 4, 16);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->control->magic, qarbin::kShmControlMagic);
    EXPECT_EQ(st->control->createLock.load(), 0u);
    EXPECT_EQ(st->control->segmentCount.load(), 1u);
    ASSERT_EQ(st->segments.size(), 1u);
    const float v[4] = {1, 2, 3, 4};
    EXPECT_EQ(st->set("k", v, nullptr, 0), 0);
    auto other = openRw(n, 4, 16);
    ASSERT_TRUE(other);
    EXPECT_EQ(other->count(), 1u);
}

TEST(ShmOpen, NameLimits) {
    const std::string longName(300, 'a');
    const char* names[] = {"", "a/b", longName.c_str()};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Store::openShm(name, qarbin_test::makeShape(4, DistanceMetric::Cosine, Quantization::None, 16, false, 16, 200, 0), true),
                  nullptr);
        EXPECT_FALSE(Store::destroyShm(name));
    }
    EXPECT_EQ(Store::openShm(nullptr, qarbin_test::makeShape(4, DistanceMetric::Cosine, Quantization::None, 16, false, 16, 200, 0), true),
              nullptr);

    // A long name works; the control object keeps its first 63 bytes.
    ShmStoreName n("long");
    n.name += std::string(150, 'x');
    auto st = openRw(n);
    ASSERT_TRUE(st);
    EXPECT_STREQ(st->name, n.c_str());
    EXPECT_EQ(std::string(st->control->name), n.name.substr(0, 63));
    EXPECT_TRUE(shmExists(n.segment(0)));
}

}  // namespace
