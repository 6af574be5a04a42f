// Small helpers shared by the graph tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/index/hnsw.h"
#include "core/segment/key_index.h"
#include "core/segment/segment.h"
#include "test_util.h"

namespace hnsw_test {

using qarbin::DistanceMetric;
using qarbin::HnswNode;
using qarbin::LinkPoolEntry;
using qarbin::Quantization;
using qarbin::Record;
using qarbin::Result;
using qarbin::Segment;

using SegPtr = std::unique_ptr<Segment>;

// The shape of a segment that scores with `metric`, in the 8-lane order when avx2.
inline qarbin::Shape makeShape(uint32_t dim, uint64_t capacity, DistanceMetric metric = DistanceMetric::Cosine,
                               uint32_t m = 16, uint32_t efc = 200, Quantization q = Quantization::None,
                               bool avx2 = true) {
    return qarbin_test::makeShape(dim, metric, q, capacity, avx2, m, efc);
}

inline SegPtr makeSegment(uint32_t dim, uint64_t capacity, DistanceMetric metric = DistanceMetric::Cosine,
                          uint32_t m = 16, uint32_t efc = 200, Quantization q = Quantization::None,
                          bool avx2 = true) {
    return SegPtr(Segment::createMemory(makeShape(dim, capacity, metric, m, efc, q, avx2)));
}

inline std::vector<float> randomVectors(size_t n, uint32_t dim, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> v(n * dim);
    for (float& x : v) x = u(gen);
    return v;
}

inline std::string keyOf(size_t i) { return "k" + std::to_string(i); }

// The id every format gives key k<i>: its hash.
inline uint64_t idOf(size_t i) {
    const std::string k = keyOf(i);
    return qarbin::keyHash(k.data(), k.size());
}

// The i of a result's key k<i>: which of the added vectors it is.
inline size_t recordNumber(const Result& r) {
    EXPECT_GT(r.keyLen, 1u);
    EXPECT_EQ(r.key[0], 'k');
    return static_cast<size_t>(std::stoull(std::string(r.key + 1, r.keyLen - 1)));
}

// Adds vectors[from .. from+n) with keys k<i>.
inline void addRange(Segment& seg, const std::vector<float>& vecs, size_t from, size_t n) {
    for (size_t i = from; i < from + n; ++i)
        ASSERT_EQ(seg.add(idOf(i), keyOf(i).c_str(), &vecs[i * seg.dim], nullptr, 0), 0);
}

using qarbin_test::deleteKey;
inline int deleteKey(Segment& seg, const std::string& key) { return deleteKey(seg, key.c_str()); }

inline const HnswNode* nodeAt(const Segment& seg, uint64_t p) {
    return reinterpret_cast<const HnswNode*>(seg.nodeArea + p * qarbin::kNodeBytes);
}
inline HnswNode* mutableNode(Segment& seg, uint64_t p) {
    return reinterpret_cast<HnswNode*>(seg.nodeArea + p * qarbin::kNodeBytes);
}
inline const LinkPoolEntry* poolAt(const Segment& seg, uint64_t k) {
    return reinterpret_cast<const LinkPoolEntry*>(seg.linkPool + k * qarbin::kPoolEntryBytes);
}

inline std::vector<uint8_t> headerBytes(const Segment& seg) {
    return std::vector<uint8_t>(seg.base, seg.base + qarbin::kHeaderBytes);
}
// The nodes and the link pool (in the compact format the key table, the
// variable area and the text index follow them).
inline std::vector<uint8_t> graphBytes(const Segment& seg) {
    const uint8_t* begin = seg.nodeArea;
    const uint8_t* end = seg.compact() ? seg.base + seg.compactHeader->tail.keyTableOffset : seg.base + seg.mappedLen;
    return std::vector<uint8_t>(begin, end);
}

// Runs a search of the graph (in the segment's metric and order) and returns its hits.
inline std::vector<Result> graphSearch(const Segment& seg, const float* q, int topK, int ef) {
    std::vector<Result> r(topK);
    int count = 0;
    EXPECT_EQ(qarbin::hnswSearch(seg, q, topK, ef, r.data(), &count), 0);
    EXPECT_LE(count, topK);
    r.resize(count);
    return r;
}

inline std::vector<Result> exactSearch(const Segment& seg, const float* q, int topK) {
    std::vector<Result> r(topK);
    int count = 0;
    seg.search(q, topK, r.data(), &count);
    r.resize(count);
    return r;
}

inline std::set<std::string> keysOf(const std::vector<Result>& rs) {
    std::set<std::string> s;
    for (const Result& r : rs) s.insert(std::string(r.key, r.keyLen));
    return s;
}

}  // namespace hnsw_test
