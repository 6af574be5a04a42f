// The body of the segment fuzz target, shared by the libFuzzer program
// (fuzz_segment.cpp), the seed generator and the replay test of the regular
// suite: an arbitrary byte string is written as a segment file and opened
// through every opener, as a lone segment (file, private copy, shared-memory
// object) and as the first file of a disk and a memory store, and every operation is run on whatever opens;
// the same bytes are also read as the start of a compact region (fuzz_compact.h).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/alloc.h"
#include "core/index/hnsw.h"
#include "core/math/codecs.h"
#include "core/segment/segment.h"
#include "core/store/store.h"
#include "tests/fuzz/fuzz_compact.h"

namespace qarbin_fuzz {

using qarbin::DistanceMetric;
using qarbin::Quantization;
using qarbin::Segment;
using qarbin::Store;

inline bool writeBytes(const std::string& path, const uint8_t* data, size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    return done == size;
}

inline std::vector<uint8_t> readBytes(const std::string& path) {
    std::vector<uint8_t> out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return out;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

// Removes every file in `dir` (the fuzz directory holds no subdirectories).
inline void emptyDir(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return;
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        ::unlink((dir + "/" + e->d_name).c_str());
    }
    closedir(d);
}

// A failure here means a result broke an invariant the binding relies on;
// abort so that libFuzzer and the replay test both see it.
inline void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
        std::abort();
    }
}

inline void checkResults(const qarbin::Result* res, int n, int k) {
    check(n >= 0 && n <= k, "result count within k");
    for (int i = 0; i < n; ++i) {
        check(res[i].metadataLen <= qarbin::kMaxMetadataBytes, "metadata length bounded");
        check(res[i].keyLen <= qarbin::kMaxKeyBytes && (res[i].key != nullptr || res[i].keyLen == 0), "key bounded");
        // Touch every metadata byte so that a pointer outside the mapping shows.
        volatile uint8_t sink = 0;
        for (uint32_t j = 0; j < res[i].metadataLen; ++j) sink ^= static_cast<uint8_t>(res[i].metadata[j]);
        (void)sink;
    }
}

// Tombstones every live record stored under key; returns how many it marked.
inline int deleteKey(Segment& s, const char* key) {
    std::vector<uint64_t> slots;
    s.findLiveByKey(key, slots);
    int marked = 0;
    for (uint64_t slot : slots)
        if (s.markDeleted(slot)) ++marked;
    return marked;
}

// Scores with metric m in the 8-lane order when avx2, whatever the header says.
inline void scoreWith(Segment& s, DistanceMetric m, bool avx2) {
    s.metric = m;
    s.useAvx2 = avx2;
}

inline void exerciseSegment(Segment& s) {
    const uint32_t dim = s.dim;
    check(dim >= 1 && dim <= qarbin::kMaxDim, "opened segment has a valid dim");
    std::vector<float> q(dim);
    for (uint32_t i = 0; i < dim; ++i) q[i] = 0.25f * static_cast<float>(i % 7) - 0.5f;
    qarbin::Result res[16];
    int n = 0;
    const DistanceMetric metrics[] = {DistanceMetric::Cosine, DistanceMetric::Dot, DistanceMetric::Euclidean,
                                      DistanceMetric::Manhattan};
    for (DistanceMetric m : metrics) {
        scoreWith(s, m, (dim & 1) == 0);
        if (s.search(q.data(), 16, res, &n) == 0) checkResults(res, n, 16);
        scoreWith(s, m, true);
        if (qarbin::hnswSearch(s, q.data(), 16, 20, res, &n) == 0) checkResults(res, n, 16);
    }
    const uint64_t used = s.usedSlotsClamped();
    check(used <= s.slotCapacity, "used slots within the mapping");
    std::vector<uint64_t> slots;
    for (const char* key : {"k0", "k1", "k2", "", "seed"}) {
        slots.clear();
        s.findLiveByKey(key, slots);
        for (uint64_t slot : slots) check(slot < used, "found slot within used slots");
        s.getByKey(key);
    }
    std::vector<float> out(dim);
    for (uint64_t i = 0; i < used && i < 4; ++i) {
        const float* v = qarbin::decodeVector(s.vectorAt(i), s.dim, s.quantization, s.pqSubvectors, s.codebook,
                                              out.data());
        volatile float sink = v[dim - 1];
        (void)sink;
    }
    if (!s.writable) return;
    deleteKey(s, "k1");
    s.add(0x1234, "fuzz-new", q.data(), "meta", 4);
    s.add(0x1235, "fuzz-new2", q.data(), nullptr, 0);
    scoreWith(s, DistanceMetric::Cosine, true);
    qarbin::buildHnsw(s);
    s.add(0x1236, "fuzz-new3", q.data(), "m", 1);
    scoreWith(s, DistanceMetric::Euclidean, false);
    qarbin::hnswInsertIncremental(s);
    scoreWith(s, DistanceMetric::Cosine, true);
    if (qarbin::hnswSearch(s, q.data(), 16, 20, res, &n) == 0) checkResults(res, n, 16);
    deleteKey(s, "fuzz-new");
    s.clearRecords();
    s.add(0x1237, "after-clear", q.data(), "x", 1);
    scoreWith(s, DistanceMetric::Dot, false);
    if (s.search(q.data(), 16, res, &n) == 0) checkResults(res, n, 16);
}

inline void exerciseStore(Store& st) {
    const uint32_t dim = st.shape.dim;
    std::vector<float> q(dim, 0.5f);
    q[0] = -1.0f;
    qarbin::Result* res = nullptr;
    for (float precision : {0.0f, 50.0f}) {
        const int n = st.search(q.data(), 10, precision, &res);
        if (res != nullptr) {
            checkResults(res, n, 10);
            qarbin::releaseBytes(res);
            res = nullptr;
        }
    }
    st.count();
    std::vector<float> out(dim);
    char* meta = nullptr;
    uint32_t len = 0;
    if (st.get("k0", out.data(), &meta, &len) == 0 && meta != nullptr) qarbin::releaseBytes(meta);
    st.del("k2");
    for (int i = 0; i < 3; ++i) {
        const std::string key = "store-new" + std::to_string(i);
        st.set(key.c_str(), q.data(), "meta", 4);
    }
    st.buildIndex();
    const int n = st.search(q.data(), 10, 10.0f, &res);
    if (res != nullptr) {
        checkResults(res, n, 10);
        qarbin::releaseBytes(res);
    }
}

// Header fields a store needs before it opens the file: read them the way a
// user would pass them (the file's own dim, encoding and metric).
inline void storeParams(const uint8_t* data, size_t size, uint32_t* dim, Quantization* q, DistanceMetric* metric,
                        uint32_t* m) {
    auto u32 = [&](size_t off) {
        uint32_t v = 0;
        if (off + 4 <= size) std::memcpy(&v, data + off, 4);
        return v;
    };
    *dim = u32(8);
    if (*dim == 0 || *dim > 64) *dim = 4;
    *q = static_cast<Quantization>(u32(12) % 5);
    *metric = static_cast<DistanceMetric>(u32(80) % 4);
    *m = u32(96);
    if (*q == Quantization::PQ && (*m == 0 || *dim % *m != 0)) *m = 1;
}

// Runs one input; `dir` is an existing directory the target owns.
inline void runOne(const uint8_t* data, size_t size, const std::string& dir) {
    runCompactOne(data, size);
    const std::string seg = dir + "/seg_0000.qbseg";
    for (int opener = 0; opener < 3; ++opener) {
        emptyDir(dir);
        if (!writeBytes(seg, data, size)) return;
        std::unique_ptr<Segment> s(opener == 0   ? Segment::openDisk(seg.c_str(), 1)
                                   : opener == 1 ? Segment::openDisk(seg.c_str(), 0)
                                                 : Segment::loadFromFile(seg.c_str()));
        if (s) exerciseSegment(*s);
    }
    // The same bytes as a shared-memory segment object.
    const std::string shm = "/qarbin_fuzz_" + std::to_string(getpid());
    for (int writable = 1; writable >= 0; --writable) {
        const int fd = shm_open(shm.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        if (fd < 0) break;
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::write(fd, data + done, size - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        ::close(fd);
        std::unique_ptr<Segment> s(done == size ? Segment::openShm(shm.c_str(), writable) : nullptr);
        if (s) exerciseSegment(*s);
        s.reset();
        shm_unlink(shm.c_str());
    }
    qarbin::Shape shape;
    storeParams(data, size, &shape.dim, &shape.quantization, &shape.metric, &shape.pqSubvectors);
    shape.hnswM = 8;
    shape.efConstruction = 32;
    shape.capacity = 4;
    shape.useAvx2 = true;
    for (int mode = 0; mode < 2; ++mode) {
        emptyDir(dir);
        if (!writeBytes(seg, data, size)) return;
        std::unique_ptr<Store> st(mode == 0 ? Store::openDisk(dir.c_str(), shape)
                                            : Store::openMemory(shape, dir.c_str()));
        if (st) {
            st->pqTrainingSize = 4;
            st->autoIndexThreshold = 2;
            exerciseStore(*st);
        }
    }
    emptyDir(dir);
}

// Small valid segments of every encoding, each with records, a deleted
// record, a built graph and, for PQ, a trained codebook: the seed corpus.
// Returns the files' bytes; `dir` is scratch space.
inline std::vector<std::vector<uint8_t>> makeSeeds(const std::string& dir) {
    std::vector<std::vector<uint8_t>> seeds;
    struct SeedShape {
        uint32_t dim;
        Quantization q;
        uint32_t m;
        DistanceMetric metric;
        uint64_t cap;
    };
    const SeedShape shapes[] = {
        {8, Quantization::None, 0, DistanceMetric::Cosine, 10},   {8, Quantization::F16, 0, DistanceMetric::Dot, 10},
        {8, Quantization::Int8, 0, DistanceMetric::Euclidean, 10}, {16, Quantization::Binary, 0, DistanceMetric::Manhattan, 10},
        {8, Quantization::PQ, 2, DistanceMetric::Cosine, 10},      {4, Quantization::None, 0, DistanceMetric::Euclidean, 1},
    };
    int index = 0;
    for (const SeedShape& sh : shapes) {
        const std::string path = dir + "/seed_" + std::to_string(index++) + ".qbseg";
        ::unlink(path.c_str());
        {
            qarbin::Shape shape;
            shape.dim = sh.dim;
            shape.metric = sh.metric;
            shape.quantization = sh.q;
            shape.pqSubvectors = sh.m;
            shape.hnswM = 8;
            shape.efConstruction = 32;
            shape.capacity = sh.cap;
            shape.useAvx2 = true;
            std::unique_ptr<Segment> s(Segment::createDisk(path.c_str(), shape));
            if (!s) continue;
            std::vector<float> v(sh.dim);
            auto fill = [&](uint32_t r) {
                for (uint32_t i = 0; i < sh.dim; ++i)
                    v[i] = static_cast<float>((r * 7 + i * 3) % 11) - 5.0f + 0.25f * static_cast<float>(i);
            };
            if (sh.q == Quantization::PQ) {
                std::vector<float> train;
                for (uint32_t r = 0; r < 16; ++r) {
                    fill(r);
                    train.insert(train.end(), v.begin(), v.end());
                }
                s->trainPQCodebook(train.data(), 16);
            }
            const uint64_t records = sh.cap < 8 ? sh.cap : 8;
            for (uint64_t r = 0; r < records; ++r) {
                fill(static_cast<uint32_t>(r));
                const std::string key = "k" + std::to_string(r);
                const std::string meta = "meta-" + std::to_string(r);
                s->add(r + 1, key.c_str(), v.data(), meta.c_str(), static_cast<uint32_t>(meta.size()));
            }
            qarbin::buildHnsw(*s);
            if (records > 2) deleteKey(*s, "k1");
        }
        seeds.push_back(readBytes(path));
        ::unlink(path.c_str());
    }
    return seeds;
}

}  // namespace qarbin_fuzz
