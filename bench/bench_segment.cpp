// Exhaustive segment scan (batched scoring) against a one-record-at-a-time
// scan of the same records, and the delete-then-add write pattern of the
// store at two sizes (the key index keeps it linear).
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/math/codecs.h"
#include "core/math/score.h"
#include "core/segment/segment.h"

using namespace qarbin;

namespace {

// A cosine segment of n slots that scores in the 8-lane order.
Shape cosineShape(uint32_t dim, Quantization q, uint64_t n) {
    Shape shape;
    shape.dim = dim;
    shape.metric = DistanceMetric::Cosine;
    shape.quantization = q;
    shape.hnswM = 0;
    shape.efConstruction = 0;
    shape.capacity = n;
    shape.useAvx2 = true;
    return shape;
}

// Tombstones every live record stored under key, as the store's delete does.
void deleteKey(Segment& s, const char* key) {
    std::vector<uint64_t> slots;
    s.findLiveByKey(key, slots);
    for (uint64_t slot : slots) s.markDeleted(slot);
}

std::unique_ptr<Segment> filled(uint32_t dim, Quantization q, uint64_t n) {
    std::unique_ptr<Segment> s(Segment::createMemory(cosineShape(dim, q, n)));
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-1, 1);
    std::vector<float> v(dim);
    for (uint64_t i = 0; i < n; ++i) {
        for (float& x : v) x = u(rng);
        s->add(i, ("k" + std::to_string(i)).c_str(), v.data(), nullptr, 0);
    }
    return s;
}

void BM_ScanSearch(benchmark::State& state) {
    const uint32_t dim = static_cast<uint32_t>(state.range(0));
    const Quantization q = static_cast<Quantization>(state.range(1));
    auto s = filled(dim, q, 20000);
    std::vector<float> query(dim, 0.5f);
    Result res[10];
    for (auto _ : state) {
        int count = 0;
        s->search(query.data(), 10, res, &count);
        benchmark::DoNotOptimize(count);
    }
    state.SetItemsProcessed(state.iterations() * 20000);
}

// The same scan scoring one decoded record at a time.
void BM_ScanOneAtATime(benchmark::State& state) {
    const uint32_t dim = static_cast<uint32_t>(state.range(0));
    const Quantization q = static_cast<Quantization>(state.range(1));
    auto s = filled(dim, q, 20000);
    std::vector<float> query(dim, 0.5f);
    alignas(64) static float scratch[4096];
    for (auto _ : state) {
        float best = -INFINITY;
        const uint64_t n = s->usedSlotsClamped();
        for (uint64_t i = 0; i < n; ++i) {
            const Record* r = s->recordAt(i);
            if (!recordLive(r)) continue;
            const float* v = getVecFloat32(r, dim, s->quantization, 0, nullptr, scratch);
            best = std::fmax(best, computeScore(query.data(), v, dim, DistanceMetric::Cosine, true));
        }
        benchmark::DoNotOptimize(best);
    }
    state.SetItemsProcessed(state.iterations() * 20000);
}

void BM_DeleteThenAdd(benchmark::State& state) {
    const uint64_t n = static_cast<uint64_t>(state.range(0));
    std::vector<float> v(8, 0.25f);
    std::vector<std::string> keys;
    for (uint64_t i = 0; i < n; ++i) keys.push_back("key" + std::to_string(i));
    for (auto _ : state) {
        state.PauseTiming();
        std::unique_ptr<Segment> s(Segment::createMemory(cosineShape(8, Quantization::None, n)));
        state.ResumeTiming();
        for (uint64_t i = 0; i < n; ++i) {
            deleteKey(*s, keys[i].c_str());
            s->add(i, keys[i].c_str(), v.data(), nullptr, 0);
        }
        state.PauseTiming();
        s.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}

}  // namespace

BENCHMARK(BM_ScanSearch)->Args({128, 0})->Args({1536, 0})->Args({128, 2})->Args({1536, 1})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ScanOneAtATime)->Args({128, 0})->Args({1536, 0})->Args({128, 2})->Args({1536, 1})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DeleteThenAdd)->Arg(10000)->Arg(40000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
