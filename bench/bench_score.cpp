// Exhaustive-scan cost per stored vector: decode + score, one record at a
// time (single: computeScore), in blocks of 16 (block: scoreBlock), and in
// blocks while the next block's encoded bytes are prefetched (block_pf),
// against the cost of only streaming the same encoded bytes, record after
// record (read) and 16 records side by side (read16). Records sit at their
// real slot stride in a region of about 256 MB, well beyond L2 (and most of
// it beyond L3), so every figure includes the memory traffic of a scan.
// The counter ns_per_vec is in nanoseconds (the library prints it with a
// seconds suffix).
//
//   bench_score --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <immintrin.h>
#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/math/codecs.h"
#include "core/math/score.h"
#include "core/segment/segment.h"

using namespace qarbin;

namespace {

constexpr uint64_t kRegionBytes = 256ull << 20;
constexpr uint32_t kBlock = 16;

uint32_t pqSubvectorsFor(uint32_t dim) { return dim == 128 ? 16 : dim == 784 ? 49 : 96; }

const char* quantName(uint32_t q) {
    static const char* names[] = {"f32", "f16", "int8", "binary", "pq"};
    return names[q];
}

// One scan region: `count` slots of `stride` bytes with encoded vectors.
struct Region {
    uint32_t dim = 0, quant = 0, m = 0;
    uint64_t stride = 0, count = 0, vecBytes = 0;
    uint8_t* base = nullptr;
    std::vector<float> codebook;
    std::vector<float> query;

    Region(uint32_t d, uint32_t q) : dim(d), quant(q) {
        m = q == 4 ? pqSubvectorsFor(d) : 0;
        stride = Segment::computeStride(d, static_cast<Quantization>(q), m);
        vecBytes = encodedBytes(d, q, m);
        count = kRegionBytes / stride;
        base = static_cast<uint8_t*>(
            mmap(nullptr, count * stride, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        std::mt19937 rng(d * 7 + q);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        if (m) {
            codebook.resize(uint64_t{d} * 256);
            for (float& f : codebook) f = u(rng);
        }
        std::vector<float> v(d);
        for (uint64_t r = 0; r < count; ++r) {
            for (float& f : v) f = u(rng);
            uint8_t* dst = base + r * stride + kSlotHeaderBytes;
            if (q == 4) {
                for (uint32_t s = 0; s < m; ++s) dst[s] = static_cast<uint8_t>(rng());
            } else {
                encodeVector(dst, v.data(), d, q, m, nullptr);
            }
            reinterpret_cast<Record*>(base + r * stride)->valid = 1;
        }
        query.resize(d);
        for (float& f : query) f = u(rng);
    }
    ~Region() { munmap(base, count * stride); }
    const Record* record(uint64_t r) const { return reinterpret_cast<const Record*>(base + r * stride); }
};

// Benchmarks run in registration order; keep one region alive at a time.
Region* current = nullptr;
Region& region(uint32_t dim, uint32_t q) {
    if (!current || current->dim != dim || current->quant != q) {
        delete current;
        current = nullptr;
        current = new Region(dim, q);
    }
    return *current;
}

struct alignas(64) DecodeBuf {
    float f[kMaxDim];
};

void setCounters(benchmark::State& state, const Region& reg) {
    state.counters["ns_per_vec"] =
        benchmark::Counter(static_cast<double>(reg.count) * 1e-9, benchmark::Counter::kIsIterationInvariantRate |
                                                                      benchmark::Counter::kInvert);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * reg.count * reg.vecBytes));
}

void scanSingle(benchmark::State& state, uint32_t dim, uint32_t q, DistanceMetric metric, bool avx2) {
    Region& reg = region(dim, q);
    static DecodeBuf buf;
    for (auto _ : state) {
        float sink = 0.0f;
        for (uint64_t r = 0; r < reg.count; ++r) {
            const float* v = getVecFloat32(reg.record(r), dim, q, reg.m, reg.codebook.data(), buf.f);
            sink += computeScore(reg.query.data(), v, dim, metric, avx2);
        }
        benchmark::DoNotOptimize(sink);
    }
    setCounters(state, reg);
}

void scanBlock(benchmark::State& state, uint32_t dim, uint32_t q, DistanceMetric metric, bool avx2) {
    Region& reg = region(dim, q);
    static DecodeBuf bufs[kBlock];
    QueryScorer qs;
    qs.init(reg.query.data(), dim, metric, avx2);
    for (auto _ : state) {
        float sink = 0.0f;
        const float* ptrs[kBlock];
        float out[kBlock];
        for (uint64_t r = 0; r < reg.count; r += kBlock) {
            uint32_t n = static_cast<uint32_t>(reg.count - r < kBlock ? reg.count - r : kBlock);
            for (uint32_t j = 0; j < n; ++j)
                ptrs[j] = getVecFloat32(reg.record(r + j), dim, q, reg.m, reg.codebook.data(), bufs[j].f);
            qs.scoreBlock(ptrs, n, out);
            for (uint32_t j = 0; j < n; ++j) sink += out[j];
        }
        benchmark::DoNotOptimize(sink);
    }
    setCounters(state, reg);
}

// As scanBlock, and while a block is decoded the encoded bytes of the next
// block are requested: what a scan gains from prefetching across records.
void scanBlockPrefetch(benchmark::State& state, uint32_t dim, uint32_t q, DistanceMetric metric, bool avx2) {
    Region& reg = region(dim, q);
    static DecodeBuf bufs[kBlock];
    QueryScorer qs;
    qs.init(reg.query.data(), dim, metric, avx2);
    for (auto _ : state) {
        float sink = 0.0f;
        const float* ptrs[kBlock];
        float out[kBlock];
        for (uint64_t r = 0; r < reg.count; r += kBlock) {
            uint32_t n = static_cast<uint32_t>(reg.count - r < kBlock ? reg.count - r : kBlock);
            for (uint32_t j = 0; j < n; ++j) {
                if (r + kBlock + j < reg.count) prefetchVector(reg.record(r + kBlock + j), reg.vecBytes);
                ptrs[j] = getVecFloat32(reg.record(r + j), dim, q, reg.m, reg.codebook.data(), bufs[j].f);
            }
            qs.scoreBlock(ptrs, n, out);
            for (uint32_t j = 0; j < n; ++j) sink += out[j];
        }
        benchmark::DoNotOptimize(sink);
    }
    setCounters(state, reg);
}

// The memory limit: touch every encoded byte once (32-byte loads, four
// independent integer accumulators), nothing else.
void scanRead(benchmark::State& state, uint32_t dim, uint32_t q) {
    Region& reg = region(dim, q);
    for (auto _ : state) {
        __m256i acc[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
                          _mm256_setzero_si256()};
        uint64_t tail = 0;
        for (uint64_t r = 0; r < reg.count; ++r) {
            const uint8_t* p = reg.base + r * reg.stride + kSlotHeaderBytes;
            const __m256i* v = reinterpret_cast<const __m256i*>(p);
            uint64_t i = 0;
            for (; i + 128 <= reg.vecBytes; i += 128, v += 4) {
                acc[0] = _mm256_add_epi32(acc[0], _mm256_load_si256(v));
                acc[1] = _mm256_add_epi32(acc[1], _mm256_load_si256(v + 1));
                acc[2] = _mm256_add_epi32(acc[2], _mm256_load_si256(v + 2));
                acc[3] = _mm256_add_epi32(acc[3], _mm256_load_si256(v + 3));
            }
            for (; i + 32 <= reg.vecBytes; i += 32, ++v) acc[0] = _mm256_add_epi32(acc[0], _mm256_load_si256(v));
            for (; i < reg.vecBytes; ++i) tail += p[i];
        }
        __m256i s = _mm256_add_epi32(_mm256_add_epi32(acc[0], acc[1]), _mm256_add_epi32(acc[2], acc[3]));
        benchmark::DoNotOptimize(s);
        benchmark::DoNotOptimize(tail);
    }
    setCounters(state, reg);
}

// The same bytes read sixteen records side by side, the access pattern of
// the block scorer, for as many streams as it keeps in flight.
void scanRead16(benchmark::State& state, uint32_t dim, uint32_t q) {
    Region& reg = region(dim, q);
    for (auto _ : state) {
        __m256i acc = _mm256_setzero_si256();
        uint64_t tail = 0;
        for (uint64_t r0 = 0; r0 < reg.count; r0 += kBlock) {
            const uint64_t n = reg.count - r0 < kBlock ? reg.count - r0 : kBlock;
            uint64_t i = 0;
            for (; i + 32 <= reg.vecBytes; i += 32)
                for (uint64_t j = 0; j < n; ++j)
                    acc = _mm256_add_epi32(acc, _mm256_load_si256(reinterpret_cast<const __m256i*>(
                                                    reg.base + (r0 + j) * reg.stride + kSlotHeaderBytes + i)));
            for (; i < reg.vecBytes; ++i)
                for (uint64_t j = 0; j < n; ++j) tail += reg.base[(r0 + j) * reg.stride + kSlotHeaderBytes + i];
        }
        benchmark::DoNotOptimize(acc);
        benchmark::DoNotOptimize(tail);
    }
    setCounters(state, reg);
}

struct MetricCase {
    const char* name;
    DistanceMetric metric;
    bool avx2;
};

}  // namespace

int main(int argc, char** argv) {
    const MetricCase metrics[] = {{"cosine", DistanceMetric::Cosine, true},
                                  {"cosine_seq", DistanceMetric::Cosine, false},
                                  {"dot", DistanceMetric::Dot, true},
                                  {"euclidean", DistanceMetric::Euclidean, true},
                                  {"manhattan", DistanceMetric::Manhattan, true}};
    for (uint32_t q = 0; q <= 4; ++q) {
        for (uint32_t dim : {128u, 784u, 1536u}) {
            std::string tag = std::string(quantName(q)) + "/d" + std::to_string(dim);
            benchmark::RegisterBenchmark(("read/" + tag).c_str(), scanRead, dim, q)->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("read16/" + tag).c_str(), scanRead16, dim, q)->Unit(benchmark::kMillisecond);
            for (const MetricCase& mc : metrics) {
                benchmark::RegisterBenchmark(("single/" + tag + "/" + mc.name).c_str(), scanSingle, dim, q, mc.metric,
                                             mc.avx2)
                    ->Unit(benchmark::kMillisecond);
                benchmark::RegisterBenchmark(("block/" + tag + "/" + mc.name).c_str(), scanBlock, dim, q, mc.metric,
                                             mc.avx2)
                    ->Unit(benchmark::kMillisecond);
                benchmark::RegisterBenchmark(("block_pf/" + tag + "/" + mc.name).c_str(), scanBlockPrefetch, dim, q,
                                             mc.metric, mc.avx2)
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    delete current;
    return 0;
}
