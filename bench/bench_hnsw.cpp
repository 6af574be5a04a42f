// Graph build and search on 20 000 random vectors of dimension 128 with
// M = 16 and efConstruction = 200: build time and vectors per second, and
// queries per second with recall@10 against the exhaustive scan for ef 10 to
// 320. Run from a Release build: ./bench_hnsw
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/segment/segment.h"

namespace {

using qarbin::DistanceMetric;
using qarbin::Quantization;
using qarbin::Result;
using qarbin::Segment;

constexpr uint32_t kDim = 128;
constexpr size_t kCount = 20000;
constexpr size_t kQueries = 500;
constexpr uint32_t kM = 16;
constexpr uint32_t kEfC = 200;
constexpr int kTopK = 10;
constexpr DistanceMetric kMetric = DistanceMetric::Cosine;

// Uniform points in [-1, 1]^128. (Well separated clusters are a poor fit for
// a graph that links every node to its plain nearest neighbours: the
// clusters end up joined only through the upper levels.)
std::vector<float> randomPoints(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> v(n * kDim);
    for (float& x : v) x = u(gen);
    return v;
}

Segment* makeFilled(const std::vector<float>& data) {
    Segment* seg = Segment::createMemory(kDim, kCount, Quantization::None, kMetric, kM, kEfC, 0);
    if (!seg) return nullptr;
    for (size_t i = 0; i < kCount; ++i) {
        std::string key = "k" + std::to_string(i);
        if (seg->add(i + 1, key.c_str(), &data[i * kDim], nullptr, 0) != 0) {
            delete seg;
            return nullptr;
        }
    }
    return seg;
}

struct Fixture {
    std::vector<float> data = randomPoints(kCount, 1);
    std::vector<float> queries = randomPoints(kQueries, 2);
    std::unique_ptr<Segment> seg;
    std::vector<std::set<uint64_t>> truth;

    Fixture() {
        seg.reset(makeFilled(data));
        if (!seg || seg->buildHnsw(kMetric, true) != 0) {
            seg.reset();
            return;
        }
        truth.resize(kQueries);
        std::vector<Result> r(kTopK);
        for (size_t q = 0; q < kQueries; ++q) {
            int count = 0;
            seg->search(&queries[q * kDim], kTopK, kMetric, true, r.data(), &count);
            for (int i = 0; i < count; ++i) truth[q].insert(r[i].id);
        }
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_Build(benchmark::State& state) {
    auto data = randomPoints(kCount, 1);
    std::unique_ptr<Segment> seg(makeFilled(data));
    if (!seg) {
        state.SkipWithError("segment");
        return;
    }
    for (auto _ : state) {
        if (seg->buildHnsw(kMetric, true) != 0) state.SkipWithError("build failed");
    }
    state.SetItemsProcessed(state.iterations() * kCount);  // vectors per second
    state.counters["levels"] = seg->header->maxLevel;
    state.counters["pool"] = seg->header->linkPoolUsed;
}
BENCHMARK(BM_Build)->Unit(benchmark::kSecond)->Iterations(1)->Repetitions(3)->ReportAggregatesOnly(false);

void BM_Search(benchmark::State& state) {
    Fixture& f = fixture();
    if (!f.seg) {
        state.SkipWithError("fixture");
        return;
    }
    const int ef = static_cast<int>(state.range(0));
    std::vector<Result> r(kTopK);
    size_t hits = 0, wanted = 0, q = 0;
    for (auto _ : state) {
        int count = 0;
        f.seg->hnswSearch(&f.queries[q * kDim], kTopK, ef, kMetric, true, r.data(), &count);
        for (int i = 0; i < count; ++i) hits += f.truth[q].count(r[i].id);
        wanted += f.truth[q].size();
        q = (q + 1) % kQueries;
    }
    state.SetItemsProcessed(state.iterations());  // queries per second
    state.counters["recall@10"] = wanted ? static_cast<double>(hits) / static_cast<double>(wanted) : 0.0;
}
BENCHMARK(BM_Search)->Arg(10)->Arg(20)->Arg(40)->Arg(80)->Arg(160)->Arg(320)
    ->Unit(benchmark::kMicrosecond);

void BM_Exhaustive(benchmark::State& state) {
    Fixture& f = fixture();
    if (!f.seg) {
        state.SkipWithError("fixture");
        return;
    }
    std::vector<Result> r(kTopK);
    size_t q = 0;
    for (auto _ : state) {
        int count = 0;
        f.seg->search(&f.queries[q * kDim], kTopK, kMetric, true, r.data(), &count);
        benchmark::DoNotOptimize(count);
        q = (q + 1) % kQueries;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Exhaustive)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
