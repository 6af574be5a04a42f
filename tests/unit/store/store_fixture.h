// Helpers of the store tests: openers with test defaults, vectors, files.
#pragma once

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "core/alloc.h"
#include "core/segment/segment.h"
#include "core/store/store.h"
#include "test_util.h"

namespace store_test {

using StorePtr = std::unique_ptr<qarbin::Store>;

inline StorePtr memStore(uint32_t dim, uint64_t cap, qarbin::Quantization q = qarbin::Quantization::None,
                         uint32_t m = 0, qarbin::DistanceMetric metric = qarbin::DistanceMetric::Euclidean,
                         const char* dir = nullptr) {
    return StorePtr(qarbin::Store::openMemory(qarbin_test::makeShape(dim, metric, q, cap, false, 16, 200, m), dir));
}

// A memory store whose segments are written in segment format `format`.
inline StorePtr memStoreIn(uint32_t format, uint32_t dim, uint64_t cap,
                           qarbin::Quantization q = qarbin::Quantization::None, uint32_t m = 0) {
    return StorePtr(qarbin::Store::openMemory(
        qarbin_test::inFormat(qarbin_test::makeShape(dim, qarbin::DistanceMetric::Euclidean, q, cap, false, 16, 200, m),
                              format),
        nullptr));
}

inline StorePtr diskStore(const std::string& dir, uint32_t dim, uint64_t cap,
                          qarbin::Quantization q = qarbin::Quantization::None, uint32_t m = 0,
                          qarbin::DistanceMetric metric = qarbin::DistanceMetric::Euclidean) {
    return StorePtr(qarbin::Store::openDisk(dir.c_str(), qarbin_test::makeShape(dim, metric, q, cap, false, 16, 200, m)));
}

inline std::string key(int i) { return "key" + std::to_string(i); }

// Distinct vectors of multiples of 1/8 in [-125, 125], exact in float32.
inline std::vector<float> vec(int i, uint32_t dim) {
    std::vector<float> v(dim);
    for (uint32_t k = 0; k < dim; ++k) {
        uint32_t h = (static_cast<uint32_t>(i) * 2654435761u) ^ (k * 40503u + 0x9e37u);
        h ^= h >> 15;
        h *= 0x2c1b3c6du;
        h ^= h >> 12;
        v[k] = static_cast<float>(static_cast<int>(h % 2001) - 1000) / 8.0f;
    }
    return v;
}

inline int setVec(qarbin::Store& st, int i, const char* meta = nullptr) {
    std::vector<float> v = vec(i, st.shape.dim);
    return st.set(key(i).c_str(), v.data(), meta, meta ? static_cast<uint32_t>(std::strlen(meta)) : 0);
}

// get() as a value: found, vector, metadata.
struct Fetched {
    bool found = false;
    std::vector<float> v;
    std::string meta;
    bool metaNull = true;
};

inline Fetched fetch(qarbin::Store& st, const std::string& k) {
    Fetched f;
    f.v.assign(st.shape.dim, 0.0f);
    char* meta = reinterpret_cast<char*>(1);
    uint32_t len = 12345;
    f.found = st.get(k.c_str(), f.v.data(), &meta, &len) == 0;
    if (f.found) {
        f.metaNull = meta == nullptr;
        if (meta != nullptr) f.meta.assign(meta, len);
        qarbin::releaseBytes(meta);
    }
    return f;
}

// Search results as (key, score), best first.
struct Hit {
    std::string key;
    float score;
    std::string meta;
};

inline std::vector<Hit> search(qarbin::Store& st, const float* q, int topK, float precision) {
    qarbin::Result* out = nullptr;
    int n = st.search(q, topK, precision, &out);
    std::vector<Hit> hits;
    for (int i = 0; i < n; ++i)
        hits.push_back({std::string(out[i].key, out[i].keyLen), out[i].score,
                        out[i].metadata ? std::string(out[i].metadata, out[i].metadataLen) : std::string()});
    qarbin::releaseBytes(out);
    return hits;
}

inline std::string segFile(const std::string& dir, unsigned n) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "/seg_%04u.qbseg", n);
    return dir + buf;
}

inline bool exists(const std::string& path) {
    struct stat sb;
    return stat(path.c_str(), &sb) == 0;
}

inline std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool copyFile(const std::string& from, const std::string& to) {
    std::ofstream out(to, std::ios::binary);
    out << fileBytes(from);
    return static_cast<bool>(out);
}

}  // namespace store_test
