// Store::set throughput while a memory store fills: the time per record
// should not grow with the number of records already stored.
//   unique:  every key new
//   updates: each key set ten times (a tenth of the records stay live)
// BM_SegmentAdd is the floor: the same records appended to segments of the
// same size directly, without keys being looked up; its growth is the cost
// of touching ever more fresh memory.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/segment/segment.h"
#include "core/store/store.h"

namespace {

constexpr uint32_t kDim = 128;
constexpr size_t kPool = 1024;

// Cosine, segments of 4096 slots, M 16, efConstruction 200, the 8-lane order.
qarbin::Shape cosineShape() {
    qarbin::Shape shape;
    shape.dim = kDim;
    shape.metric = qarbin::DistanceMetric::Cosine;
    shape.quantization = qarbin::Quantization::None;
    shape.hnswM = 16;
    shape.efConstruction = 200;
    shape.capacity = 4096;
    shape.useAvx2 = true;
    return shape;
}

const std::vector<float>& vectorPool() {
    static const std::vector<float> pool = [] {
        std::mt19937 rng(7);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        std::vector<float> p(kPool * kDim);
        for (float& x : p) x = u(rng);
        return p;
    }();
    return pool;
}

void BM_Set(benchmark::State& state, bool updates) {
    const int64_t n = state.range(0);
    const int64_t distinct = updates ? n / 10 : n;
    std::vector<std::string> keys(static_cast<size_t>(distinct));
    for (int64_t i = 0; i < distinct; ++i) keys[static_cast<size_t>(i)] = "key-" + std::to_string(i);
    const std::vector<float>& pool = vectorPool();

    for (auto _ : state) {
        qarbin::Store* st = qarbin::Store::openMemory(cosineShape(), nullptr);
        if (st == nullptr) {
            state.SkipWithError("openMemory failed");
            return;
        }
        for (int64_t i = 0; i < n; ++i) {
            const std::string& k = keys[static_cast<size_t>(i % distinct)];
            if (st->set(k.c_str(), pool.data() + static_cast<size_t>(i) % kPool * kDim, nullptr, 0) != 0) {
                state.SkipWithError("set failed");
                break;
            }
        }
        state.PauseTiming();
        if (st->count() != static_cast<uint64_t>(distinct)) state.SkipWithError("wrong count");
        delete st;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * n);
    state.counters["ns_per_set"] = benchmark::Counter(static_cast<double>(n) * 1e-9,
                                                      benchmark::Counter::kIsIterationInvariantRate |
                                                          benchmark::Counter::kInvert);
}

void BM_SegmentAdd(benchmark::State& state) {
    const int64_t n = state.range(0);
    std::vector<std::string> keys(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) keys[static_cast<size_t>(i)] = "key-" + std::to_string(i);
    const std::vector<float>& pool = vectorPool();
    for (auto _ : state) {
        std::vector<qarbin::Segment*> segs;
        for (int64_t i = 0; i < n; ++i) {
            const float* v = pool.data() + static_cast<size_t>(i) % kPool * kDim;
            const std::string& k = keys[static_cast<size_t>(i)];
            if (segs.empty() || segs.back()->add(1, k.c_str(), v, nullptr, 0) != 0) {
                segs.push_back(qarbin::Segment::createMemory(cosineShape()));
                segs.back()->add(1, k.c_str(), v, nullptr, 0);
            }
        }
        state.PauseTiming();
        for (qarbin::Segment* s : segs) delete s;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * n);
    state.counters["ns_per_set"] = benchmark::Counter(static_cast<double>(n) * 1e-9,
                                                      benchmark::Counter::kIsIterationInvariantRate |
                                                          benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(BM_SegmentAdd)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(BM_Set, unique, false)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(BM_Set, updates, true)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
