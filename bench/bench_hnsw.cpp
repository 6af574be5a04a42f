// Graph build and search on 20 000 vectors of dimension 128 (uniform and
// clustered), cosine, M = 16 and efConstruction = 200: build time and vectors
// per second, and queries per second with recall@10 against the exhaustive
// scan for ef 10 to 320. Run from a Release build configured with
// -DQARBIN_BENCH=ON: ./bench_hnsw
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/index/hnsw.h"
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

// Two data sets: uniform points in [-1, 1]^128, the hard case for any graph
// (neighbourhoods without structure), and points scattered around 100
// random centres with a spread that lets clusters overlap. (Well separated
// clusters are a poor fit for a graph that links every node to its plain
// nearest neighbours: they end up joined only through the upper levels.)
enum DataSet { kUniform = 0, kClustered = 1 };

std::vector<float> points(DataSet set, size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> v(n * kDim);
    if (set == kUniform) {
        for (float& x : v) x = u(gen);
        return v;
    }
    std::mt19937 centreGen(7);  // the same centres for data and queries
    std::vector<float> centres(100 * kDim);
    for (float& c : centres) c = u(centreGen);
    std::uniform_int_distribution<size_t> pick(0, 99);
    std::normal_distribution<float> noise(0.0f, 0.5f);
    for (size_t i = 0; i < n; ++i) {
        const float* c = &centres[pick(gen) * kDim];
        for (uint32_t d = 0; d < kDim; ++d) v[i * kDim + d] = c[d] + noise(gen);
    }
    return v;
}

Segment* makeFilled(const std::vector<float>& data) {
    qarbin::Shape shape;
    shape.dim = kDim;
    shape.metric = kMetric;
    shape.quantization = Quantization::None;
    shape.hnswM = kM;
    shape.efConstruction = kEfC;
    shape.capacity = kCount;
    shape.useAvx2 = true;
    Segment* seg = Segment::createMemory(shape);
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
    std::vector<float> data;
    std::vector<float> queries;
    std::unique_ptr<Segment> seg;
    std::vector<std::set<uint64_t>> truth;

    explicit Fixture(DataSet set) : data(points(set, kCount, 1)), queries(points(set, kQueries, 2)) {
        seg.reset(makeFilled(data));
        if (!seg || qarbin::buildHnsw(*seg) != 0) {
            seg.reset();
            return;
        }
        truth.resize(kQueries);
        std::vector<Result> r(kTopK);
        for (size_t q = 0; q < kQueries; ++q) {
            int count = 0;
            seg->search(&queries[q * kDim], kTopK, r.data(), &count);
            for (int i = 0; i < count; ++i) truth[q].insert(r[i].id);
        }
    }
};

Fixture& fixture(int64_t set) {
    static Fixture uniform(kUniform);
    if (set == kUniform) return uniform;
    static Fixture clustered(kClustered);
    return clustered;
}

void BM_Build(benchmark::State& state) {
    auto data = points(static_cast<DataSet>(state.range(0)), kCount, 1);
    std::unique_ptr<Segment> seg(makeFilled(data));
    if (!seg) {
        state.SkipWithError("segment");
        return;
    }
    for (auto _ : state) {
        if (qarbin::buildHnsw(*seg) != 0) state.SkipWithError("build failed");
    }
    state.SetItemsProcessed(state.iterations() * kCount);  // vectors per second
    state.counters["levels"] = seg->header->maxLevel;
    state.counters["pool"] = seg->header->linkPoolUsed;
}
BENCHMARK(BM_Build)->ArgName("clustered")->Arg(kUniform)->Arg(kClustered)->Unit(benchmark::kSecond)->Iterations(1)
    ->Repetitions(3);

void BM_Search(benchmark::State& state) {
    Fixture& f = fixture(state.range(0));
    if (!f.seg) {
        state.SkipWithError("fixture");
        return;
    }
    const int ef = static_cast<int>(state.range(1));
    std::vector<Result> r(kTopK);
    size_t hits = 0, wanted = 0, q = 0;
    for (auto _ : state) {
        int count = 0;
        qarbin::hnswSearch(*f.seg, &f.queries[q * kDim], kTopK, ef, r.data(), &count);
        for (int i = 0; i < count; ++i) hits += f.truth[q].count(r[i].id);
        wanted += f.truth[q].size();
        q = (q + 1) % kQueries;
    }
    state.SetItemsProcessed(state.iterations());  // queries per second
    state.counters["recall@10"] = wanted ? static_cast<double>(hits) / static_cast<double>(wanted) : 0.0;
}
BENCHMARK(BM_Search)->ArgNames({"clustered", "ef"})->ArgsProduct({{kUniform, kClustered}, {10, 20, 40, 80, 160, 320}})
    ->Unit(benchmark::kMicrosecond);

void BM_Exhaustive(benchmark::State& state) {
    Fixture& f = fixture(state.range(0));
    if (!f.seg) {
        state.SkipWithError("fixture");
        return;
    }
    std::vector<Result> r(kTopK);
    size_t q = 0;
    for (auto _ : state) {
        int count = 0;
        f.seg->search(&f.queries[q * kDim], kTopK, r.data(), &count);
        benchmark::DoNotOptimize(count);
        q = (q + 1) % kQueries;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Exhaustive)->ArgName("clustered")->Arg(kUniform)->Arg(kClustered)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
