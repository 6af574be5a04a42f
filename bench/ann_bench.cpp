// Figures on real data for bench/RESULTS.md: exhaustive scans against the
// read-bandwidth floor, recall and speed of every encoding, graph search
// across ef (one segment, and a store at PHP's default settings, with goals
// against the previous run's figures), two processes searching one
// shared-memory store, and filtered search at three match rates. Prints Markdown to stdout; recall/QPS points go to
// <data>/recall_qps.tsv and goal verdicts to <data>/goals.md. Run by
// bench/run.sh:
//   ann_bench scan|graph|shm|filter <data dir> [synth_n=N] [queries=N] [synth_queries=N] [previous=FILE]
// Fashion-MNIST comes from <data>/train-images.idx and t10k-images.idx
// (run.sh unpacks them); exact top-10 lists are cached in <data>.
#include <benchmark/benchmark.h>
#include <immintrin.h>
#include <sys/mman.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/alloc.h"
#include "core/index/hnsw.h"
#include "core/segment/segment.h"
#include "core/store/store.h"

namespace {

using qarbin::DistanceMetric;
using qarbin::Quantization;
using qarbin::Result;
using qarbin::Segment;
using qarbin::Store;
using Clock = std::chrono::steady_clock;

constexpr int kTopK = 10;
constexpr int kRounds = 3;
constexpr uint32_t kM = 16;
constexpr uint32_t kEfC = 200;

// The shape every benchmarked segment and store has apart from its data:
// M 16, efConstruction 200, the 8-lane summation order.
qarbin::Shape benchShape(uint32_t dim, DistanceMetric m, Quantization q, uint64_t capacity, uint32_t pqM) {
    qarbin::Shape shape;
    shape.dim = dim;
    shape.metric = m;
    shape.quantization = q;
    shape.pqSubvectors = pqM;
    shape.hnswM = kM;
    shape.efConstruction = kEfC;
    shape.capacity = capacity;
    shape.useAvx2 = true;
    return shape;
}
const int kEfs[] = {10, 20, 40, 80, 160, 320};

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

struct Data {
    uint32_t n = 0, dim = 0;
    std::vector<float> v;
    const float* row(size_t i) const { return &v[i * dim]; }
};

uint32_t bigEndian(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// An idx3 image file (magic 0x803), pixels 0..255 read as floats.
bool readIdx(const std::string& path, uint32_t limit, Data* out) {
    std::ifstream f(path, std::ios::binary);
    unsigned char h[16];
    if (!f.read(reinterpret_cast<char*>(h), 16) || bigEndian(h) != 0x803) return false;
    uint32_t n = std::min(bigEndian(h + 4), limit);
    out->n = n;
    out->dim = bigEndian(h + 8) * bigEndian(h + 12);
    std::vector<unsigned char> px(size_t(n) * out->dim);
    if (!f.read(reinterpret_cast<char*>(px.data()), std::streamsize(px.size()))) return false;
    out->v.assign(px.begin(), px.end());
    return true;
}

Data normalised(const Data& d) {
    Data o = d;
    for (uint32_t i = 0; i < o.n; ++i) {
        double s = 0;
        for (uint32_t j = 0; j < o.dim; ++j) s += double(o.v[size_t(i) * o.dim + j]) * o.v[size_t(i) * o.dim + j];
        float inv = s > 0 ? float(1.0 / std::sqrt(s)) : 0.0f;
        for (uint32_t j = 0; j < o.dim; ++j) o.v[size_t(i) * o.dim + j] *= inv;
    }
    return o;
}

// Clustered Gaussian points: `clusters` centres drawn N(0, 1) per component,
// each point a centre plus N(0, 0.6^2) noise, so clusters overlap as
// embeddings do. Queries are drawn the same way from another stream. The
// centres depend on dim only, so a smaller count takes the first ones.
Data clustered(uint32_t n, uint32_t dim, uint32_t seed, uint32_t clusters) {
    std::mt19937 centreGen(20261210u + dim);
    std::normal_distribution<float> unit(0.0f, 1.0f);
    std::vector<float> centres(size_t(clusters) * dim);
    for (float& c : centres) c = unit(centreGen);
    std::mt19937 gen(seed);
    std::uniform_int_distribution<uint32_t> pick(0, clusters - 1);
    std::normal_distribution<float> noise(0.0f, 0.6f);
    Data d;
    d.n = n;
    d.dim = dim;
    d.v.resize(size_t(n) * dim);
    for (uint32_t i = 0; i < n; ++i) {
        const float* c = &centres[size_t(pick(gen)) * dim];
        for (uint32_t j = 0; j < dim; ++j) d.v[size_t(i) * dim + j] = c[j] + noise(gen);
    }
    return d;
}

// Exact distances in double precision, independent of the extension's kernels.
enum class Exact { L2, Angular, L1 };

double exactDist(Exact kind, const float* a, const float* b, uint32_t dim) {
    __m256d acc = _mm256_setzero_pd(), na = _mm256_setzero_pd(), nb = _mm256_setzero_pd();
    const __m256d signMask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL));
    uint32_t j = 0;
    for (; j + 4 <= dim; j += 4) {
        __m256d x = _mm256_cvtps_pd(_mm_loadu_ps(a + j));
        __m256d y = _mm256_cvtps_pd(_mm_loadu_ps(b + j));
        if (kind == Exact::L2) {
            __m256d t = _mm256_sub_pd(x, y);
            acc = _mm256_fmadd_pd(t, t, acc);
        } else if (kind == Exact::L1) {
            acc = _mm256_add_pd(acc, _mm256_and_pd(_mm256_sub_pd(x, y), signMask));
        } else {
            acc = _mm256_fmadd_pd(x, y, acc);
            na = _mm256_fmadd_pd(x, x, na);
            nb = _mm256_fmadd_pd(y, y, nb);
        }
    }
    double l[4], la[4], lb[4];
    _mm256_storeu_pd(l, acc);
    _mm256_storeu_pd(la, na);
    _mm256_storeu_pd(lb, nb);
    double s = l[0] + l[1] + l[2] + l[3], sa = la[0] + la[1] + la[2] + la[3], sb = lb[0] + lb[1] + lb[2] + lb[3];
    for (; j < dim; ++j) {
        double x = a[j], y = b[j];
        if (kind == Exact::L2) s += (x - y) * (x - y);
        else if (kind == Exact::L1) s += std::fabs(x - y);
        else s += x * y, sa += x * x, sb += y * y;
    }
    if (kind == Exact::L2) return std::sqrt(s);
    if (kind == Exact::L1) return s;
    double den = std::sqrt(sa) * std::sqrt(sb);
    return den > 0 ? 1.0 - s / den : 1.0;
}

struct Truth {
    uint32_t ids[kTopK];  // base indices, nearest first
    double dist[kTopK];
};

std::vector<Truth> computeTruth(Exact kind, const Data& base, const Data& q, uint32_t nq) {
    std::vector<Truth> t(nq);
    auto work = [&](uint32_t from, uint32_t to) {
        std::vector<std::pair<double, uint32_t>> best;
        for (uint32_t i = from; i < to; ++i) {
            best.clear();
            for (uint32_t b = 0; b < base.n; ++b) {
                double d = exactDist(kind, q.row(i), base.row(b), base.dim);
                if (best.size() < kTopK) {
                    best.emplace_back(d, b);
                    std::push_heap(best.begin(), best.end());
                } else if (d < best.front().first) {
                    std::pop_heap(best.begin(), best.end());
                    best.back() = {d, b};
                    std::push_heap(best.begin(), best.end());
                }
            }
            std::sort_heap(best.begin(), best.end());
            for (int k = 0; k < kTopK; ++k) t[i].ids[k] = best[k].second, t[i].dist[k] = best[k].first;
        }
    };
    std::thread other(work, nq / 2, nq);
    work(0, nq / 2);
    other.join();
    return t;
}

// Cached under <data>/gt_<name>.bin; a cache of at least nq queries over
// the same base serves its first nq, anything else is recomputed.
std::vector<Truth> truthFor(const std::string& dir, const std::string& name, Exact kind, const Data& base,
                            const Data& q, uint32_t nq) {
    std::string path = dir + "/gt_" + name + ".bin";
    uint32_t shape[3] = {nq, base.n, base.dim};
    std::vector<Truth> t(nq);
    {
        std::ifstream f(path, std::ios::binary);
        uint32_t s[3];
        if (f.read(reinterpret_cast<char*>(s), sizeof s) && s[0] >= nq && s[1] == base.n && s[2] == base.dim &&
            f.read(reinterpret_cast<char*>(t.data()), std::streamsize(t.size() * sizeof(Truth))))
            return t;
    }
    auto t0 = Clock::now();
    t = computeTruth(kind, base, q, nq);
    std::fprintf(stderr, "ground truth %s: %.1f s\n", name.c_str(), seconds(t0, Clock::now()));
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(shape), sizeof shape);
    f.write(reinterpret_cast<const char*>(t.data()), std::streamsize(t.size() * sizeof(Truth)));
    return t;
}

// A returned id counts as a hit when its exact distance is within the tenth
// true distance (ties at the boundary are common on integer pixels).
int hits(Exact kind, const Data& base, const float* query, const Truth& t, const Result* r, int n) {
    double limit = t.dist[kTopK - 1] * (1 + 1e-6) + 1e-9;
    int h = 0;
    for (int i = 0; i < n; ++i) {
        uint64_t idx = r[i].id - 1;
        if (idx < base.n && exactDist(kind, query, base.row(idx), base.dim) <= limit) ++h;
    }
    return h;
}

// hugePages: ask for transparent huge pages before the first write (a probe
// of what the 4 KiB TLB costs the scan; the extension does not do this).
Segment* filledSegment(const Data& d, Quantization q, DistanceMetric m, uint32_t pqM, uint32_t pqTrain,
                       bool hugePages = false) {
    Segment* seg = Segment::createMemory(benchShape(d.dim, m, q, d.n, pqM));
    if (!seg) return nullptr;
    if (hugePages) madvise(seg->base, seg->mappedLen, MADV_HUGEPAGE);
    if (q == Quantization::PQ && seg->trainPQCodebook(d.v.data(), std::min(pqTrain, d.n)) != 0) {
        delete seg;
        return nullptr;
    }
    char key[32];
    for (uint32_t i = 0; i < d.n; ++i) {
        std::snprintf(key, sizeof key, "k%u", i);
        if (seg->add(i + 1, key, d.row(i), nullptr, 0) != 0) {
            delete seg;
            return nullptr;
        }
    }
    return seg;
}

// Single-core sequential read bandwidth in bytes per second: AVX2 loads over
// a buffer far larger than the caches, median of 5 passes.
double readBandwidth() {
    const size_t floats = size_t(1) << 28;  // 1 GiB
    std::unique_ptr<float[]> buf(new float[floats]);
    for (size_t i = 0; i < floats; ++i) buf[i] = float(i & 1023);
    std::vector<double> rates;
    for (int pass = 0; pass < 6; ++pass) {
        auto t0 = Clock::now();
        __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
        for (size_t i = 0; i < floats; i += 32) {
            a0 = _mm256_add_ps(a0, _mm256_load_ps(&buf[i]));
            a1 = _mm256_add_ps(a1, _mm256_load_ps(&buf[i + 8]));
            a2 = _mm256_add_ps(a2, _mm256_load_ps(&buf[i + 16]));
            a3 = _mm256_add_ps(a3, _mm256_load_ps(&buf[i + 24]));
        }
        __m256 s = _mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3));
        benchmark::DoNotOptimize(s);
        double t = seconds(t0, Clock::now());
        if (pass > 0) rates.push_back(double(floats * sizeof(float)) / t);  // pass 0 warms the TLB
    }
    return median(rates);
}

long residentKiB() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// Median ms per exhaustive query: enough queries for about 0.25 s a round.
double scanMs(const Segment& seg, const Data& qs) {
    std::vector<Result> r(kTopK);
    int count = 0;
    auto t0 = Clock::now();
    seg.search(qs.row(0), kTopK, r.data(), &count);
    double one = std::max(seconds(t0, Clock::now()), 1e-5);
    uint32_t nq = uint32_t(std::clamp(0.25 / one, 5.0, double(std::min<uint32_t>(qs.n, 100))));
    std::vector<double> perQuery;
    for (int round = 0; round < kRounds; ++round) {
        t0 = Clock::now();
        for (uint32_t i = 0; i < nq; ++i) {
            count = 0;
            seg.search(qs.row(i), kTopK, r.data(), &count);
            benchmark::DoNotOptimize(count);
        }
        perQuery.push_back(seconds(t0, Clock::now()) / nq);
    }
    return median(perQuery) * 1e3;
}

struct Options {
    std::string dir;
    uint32_t synthN = 100000;
    uint32_t queries = 1000;       // Fashion-MNIST queries for graph recall
    uint32_t scanQueries = 300;    // queries for the recall of exhaustive scans
    uint32_t synthQueries = 200;
    std::string previous;  // figures of the previous run (graph), as run.sh extracts them
};

struct Sets {
    Data base, query, baseN, queryN;
};

bool loadFashion(const Options& o, Sets* s) {
    if (!readIdx(o.dir + "/train-images.idx", 60000, &s->base) ||
        !readIdx(o.dir + "/t10k-images.idx", o.queries, &s->query)) {
        std::fprintf(stderr, "Fashion-MNIST idx files missing in %s\n", o.dir.c_str());
        return false;
    }
    s->baseN = normalised(s->base);
    s->queryN = normalised(s->query);
    return true;
}

const char* metricName(DistanceMetric m) {
    switch (m) {
        case DistanceMetric::Cosine: return "cosine";
        case DistanceMetric::Dot: return "dot";
        case DistanceMetric::Euclidean: return "euclidean";
        default: return "manhattan";
    }
}

Exact exactFor(DistanceMetric m) {
    if (m == DistanceMetric::Euclidean) return Exact::L2;
    if (m == DistanceMetric::Manhattan) return Exact::L1;
    return Exact::Angular;  // cosine and dot on unit vectors rank alike
}

struct Encoding {
    const char* name;
    Quantization q;
    uint32_t pqM;
};

void appendGoal(const Options& o, const std::string& line) {
    std::ofstream f(o.dir + "/goals.md", std::ios::app);
    f << line << "\n";
}

// QPS of each smaller encoding over the float32 scan of the same data and
// metric, from the scan table's medians, and the goals on the lowest ratio.
void printEncodingSpeedups(const Options& o, const std::map<std::string, double>& ms,
                           const std::vector<std::string>& setNames) {
    struct Goal {
        const char* enc;
        double min;
    };
    const Goal goals[] = {{"f16", 1.6}, {"int8", 2.5}, {"binary", 4.0}, {"pq m16", 4.0}, {"pq m28", 4.0}};
    const char* metrics[] = {"cosine", "dot", "euclidean", "manhattan"};
    std::printf("Scan QPS of each encoding over the float32 scan of the same data and metric:\n\n");
    std::printf("| data | metric | f16 | int8 | binary | pq m16 | pq m28 |\n|---|---|---:|---:|---:|---:|---:|\n");
    std::map<std::string, double> lowest;
    for (const std::string& set : setNames) {
        for (const char* m : metrics) {
            auto f32 = ms.find(set + "|" + m + "|f32");
            if (f32 == ms.end()) continue;
            std::printf("| %s | %s |", set.c_str(), m);
            for (const Goal& g : goals) {
                auto it = ms.find(set + "|" + m + "|" + g.enc);
                if (it == ms.end() || it->second <= 0) {
                    std::printf(" |");
                    continue;
                }
                const double ratio = f32->second / it->second;
                std::printf(" %.2f |", ratio);
                auto lo = lowest.find(g.enc);
                if (lo == lowest.end() || ratio < lo->second) lowest[g.enc] = ratio;
            }
            std::printf("\n");
        }
    }
    std::printf("\n");
    for (const Goal& g : goals) {
        auto lo = lowest.find(g.enc);
        if (lo == lowest.end()) continue;
        char b[256];
        std::snprintf(b, sizeof b, "| %s scan >= %.1fx the float32 scan QPS, every metric (Fashion-MNIST, 768) | lowest %.2fx | %s |",
                      g.enc, g.min, lo->second, lo->second >= g.min ? "met" : "missed");
        appendGoal(o, b);
    }
}

// Figures 1 and 5: per data set, metric and encoding, ms per exhaustive
// query against the bandwidth floor; on Fashion-MNIST also recall@10 of the
// scan against the exact float32 top-10.
int runScan(const Options& o) {
    Sets fm;
    if (!loadFashion(o, &fm)) return 1;
    double bw = readBandwidth();
    std::printf("Single-core sequential read bandwidth, measured in this run: **%.2f GB/s** "
                "(AVX2 loads over 1 GiB, median of 5 passes).\n\n", bw / 1e9);
    std::printf("The floor is the time to read the stored vectors once (records x vector bytes) at that "
                "bandwidth; *floor/scan* is that time over the measured scan time (1.0 = at the floor). "
                "A record slot holds a 128-byte header, the encoded vector and 4 KiB of room for metadata, so the "
                "scan also reads one header line per record and jumps a slot stride of vector + 4 224 bytes; "
                "*lines floor/scan* counts those header lines too (it matters for the small encodings).\n\n");

    const uint32_t nScanQ = std::min(o.scanQueries, fm.query.n);
    // The graph figure needs the same lists for all its queries: compute
    // them once, for the larger count.
    const uint32_t nCached = std::max(nScanQ, std::min(o.queries, fm.query.n));
    Data s384 = clustered(o.synthN, 384, 1, 1000), q384 = clustered(100, 384, 2, 1000);
    Data s1536 = clustered(o.synthN, 1536, 3, 1000), q1536 = clustered(50, 1536, 4, 1000);
    const uint32_t n768 = std::min<uint32_t>(40000, o.synthN);
    Data s768 = clustered(n768, 768, 5, 1000), q768 = clustered(50, 768, 6, 1000);
    const std::string n384 = std::to_string(o.synthN);
    const std::vector<Truth> truths[2][3] = {
        {truthFor(o.dir, "fmnist_angular", Exact::Angular, fm.baseN, fm.queryN, nCached),
         truthFor(o.dir, "fmnist_l2", Exact::L2, fm.base, fm.query, nCached),
         truthFor(o.dir, "fmnist_l1", Exact::L1, fm.base, fm.query, nScanQ)},
        {truthFor(o.dir, "clustered384_angular_" + n384, Exact::Angular, s384, q384, q384.n),
         truthFor(o.dir, "clustered384_l2_" + n384, Exact::L2, s384, q384, q384.n),
         truthFor(o.dir, "clustered384_l1_" + n384, Exact::L1, s384, q384, q384.n)}};

    struct SetRef {
        const char* name;
        const Data* raw;
        const Data* rawQ;
        const Data* unit;
        const Data* unitQ;
        const std::vector<Truth>* truth;  // angular, L2, L1; null: no recall
    };
    const SetRef sets[] = {
        {"fashion-mnist-784", &fm.base, &fm.query, &fm.baseN, &fm.queryN, truths[0]},
        {"clustered-384", &s384, &q384, &s384, &q384, truths[1]},
        {"clustered-1536", &s1536, &q1536, &s1536, &q1536, nullptr},
        {"clustered-768", &s768, &q768, &s768, &q768, nullptr},
    };
    const DistanceMetric metrics[] = {DistanceMetric::Cosine, DistanceMetric::Dot, DistanceMetric::Euclidean,
                                      DistanceMetric::Manhattan};
    const Encoding encs[] = {{"f32", Quantization::None, 0},   {"f16", Quantization::F16, 0},
                             {"int8", Quantization::Int8, 0},  {"binary", Quantization::Binary, 0},
                             {"pq m16", Quantization::PQ, 16}, {"pq m28", Quantization::PQ, 28}};

    struct QuantRow {
        std::string enc, column;
        double recall;
        uint64_t bytes;
    };
    std::vector<QuantRow> quant;
    std::map<std::string, double> worstF32;  // metric -> lowest floor/scan over the data sets
    std::map<std::string, double> scanMsOf;  // "set|metric|encoding" -> ms/query

    std::printf("### 1. Exhaustive scan (precision 0), one query at a time\n\n");
    std::printf("Cosine and dot run on the L2-normalised vectors, Euclidean and Manhattan on the raw ones. "
                "PQ codebooks are trained on the first 256 vectors (the store's default training size). "
                "Median of %d rounds.\n\n", kRounds);
    std::printf("| data | records | metric | encoding | bytes/vector | ms/query | floor ms | floor/scan | lines floor/scan |\n");
    std::printf("|---|---:|---|---|---:|---:|---:|---:|---:|\n");
    std::fflush(stdout);
    for (const SetRef& set : sets) {
        for (DistanceMetric m : metrics) {
            bool unit = m == DistanceMetric::Cosine || m == DistanceMetric::Dot;
            const Data& base = unit ? *set.unit : *set.raw;
            const Data& qs = unit ? *set.unitQ : *set.rawQ;
            for (const Encoding& e : encs) {
                if (e.pqM == 28 && base.dim % 28 != 0) continue;
                std::unique_ptr<Segment> seg(filledSegment(base, e.q, m, e.pqM, 256));
                if (!seg) {
                    std::printf("| %s | %u | %s | %s | | fill failed | | | |\n", set.name, base.n, metricName(m), e.name);
                    continue;
                }
                std::vector<Result> r(kTopK);
                int count = 0;
                double ms = scanMs(*seg, qs);
                scanMsOf[std::string(set.name) + "|" + metricName(m) + "|" + e.name] = ms;
                uint64_t vb = seg->vecBytes();
                double floorMs = double(vb) * base.n / bw * 1e3;
                // Lines a scan cannot avoid: the slot header's first line
                // (valid and deleted flags) and the vector's own lines.
                double lineMs = double(64 + (vb + 63) / 64 * 64) * base.n / bw * 1e3;
                std::printf("| %s | %u | %s | %s | %llu | %.2f | %.2f | %.2f | %.2f |\n", set.name, base.n,
                            metricName(m), e.name, static_cast<unsigned long long>(vb), ms, floorMs, floorMs / ms,
                            lineMs / ms);
                std::fflush(stdout);
                if (e.q == Quantization::None) {
                    auto it = worstF32.find(metricName(m));
                    double ratio = floorMs / ms;
                    if (it == worstF32.end() || ratio < it->second) worstF32[metricName(m)] = ratio;
                }
                if (set.truth && m != DistanceMetric::Dot) {  // dot ranks as cosine on unit vectors
                    const std::vector<Truth>& gt = set.truth[unit ? 0 : m == DistanceMetric::Euclidean ? 1 : 2];
                    const uint32_t nRecall = std::min(uint32_t(gt.size()), nScanQ);
                    size_t h = 0;
                    for (uint32_t i = 0; i < nRecall; ++i) {
                        count = 0;
                        seg->search(qs.row(i), kTopK, r.data(), &count);
                        h += size_t(hits(exactFor(m), base, qs.row(i), gt[i], r.data(), count));
                    }
                    quant.push_back({e.name, std::string(set.name) + " " + metricName(m),
                                     double(h) / (double(nRecall) * kTopK), vb});
                }
            }
        }
    }
    std::printf("\n");

    // What holds the float32 scan back: the slot stride (vector + 4 224
    // bytes) puts every record on fresh 4 KiB pages.
    std::printf("Probe: the float32 scans of Fashion-MNIST again, as the extension maps its segment, with "
                "transparent huge pages requested for the mapping before the first write (MADV_HUGEPAGE; this "
                "machine's THP mode is madvise), and over only the first 1 000 records (7 MiB, cache-resident), "
                "scaled to 60 000: the time the scoring itself takes when memory is no limit.\n\n");
    std::printf("| metric | ms/query, 4 KiB pages | ms/query, huge pages | ms/query from cache (scaled) | floor/scan, 4 KiB | floor/scan, huge | floor/scan from cache |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
    for (DistanceMetric m : metrics) {
        bool unit = m == DistanceMetric::Cosine || m == DistanceMetric::Dot;
        const Data& base = unit ? fm.baseN : fm.base;
        const Data& qs = unit ? fm.queryN : fm.query;
        double t[3] = {0, 0, 0};
        for (int huge = 0; huge < 2; ++huge) {
            std::unique_ptr<Segment> seg(filledSegment(base, Quantization::None, m, 0, 0, huge == 1));
            if (seg) t[huge] = scanMs(*seg, qs);
        }
        Data head = base;
        head.n = 1000;
        head.v.resize(size_t(head.n) * head.dim);
        std::unique_ptr<Segment> small(filledSegment(head, Quantization::None, m, 0, 0));
        if (small) t[2] = scanMs(*small, qs) * base.n / head.n;
        double floorMs = double(base.dim) * 4 * base.n / bw * 1e3;
        std::printf("| %s | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f |\n", metricName(m), t[0], t[1], t[2],
                    floorMs / t[0], floorMs / t[1], floorMs / t[2]);
        std::fflush(stdout);
    }
    std::printf("\n");
    bool all = true;
    std::string worst;
    for (auto& [name, ratio] : worstF32) {
        all = all && ratio >= 0.85;
        char b[64];
        std::snprintf(b, sizeof b, "%s%s %.2f", worst.empty() ? "" : ", ", name.c_str(), ratio);
        worst += b;
    }
    appendGoal(o, std::string("| float32 exhaustive scan >= 0.85 of the bandwidth floor, every metric | lowest "
                              "floor/scan per metric over the data sets: ") + worst + " | " + (all ? "met" : "missed") + " |");
    printEncodingSpeedups(o, scanMsOf, {"fashion-mnist-784", "clustered-768"});

    std::printf("### 5. Quantization: recall@10 of the exhaustive scan against the exact float32 top-10\n\n");
    std::printf("Fashion-MNIST: 60 000 records, the first %u test images as queries; clustered-384: %u records, "
                "%u queries. A hit is a result whose exact distance is within the tenth true distance. Bytes per "
                "vector are the encoded vector alone. Binary keeps one bit per component, set when the component "
                "is >= 0: every Fashion-MNIST pixel is >= 0, so all its records decode to the same vector and the "
                "scan returns arbitrary ties (recall near 0); on zero-centred data the bits carry information.\n\n",
                nScanQ, o.synthN, q384.n);
    std::vector<std::string> columns;
    for (const QuantRow& q : quant)
        if (std::find(columns.begin(), columns.end(), q.column) == columns.end()) columns.push_back(q.column);
    std::printf("| encoding | bytes/vector (784 / 384) |");
    for (const std::string& c : columns) std::printf(" %s |", c.c_str());
    std::printf("\n|---|---:|");
    for (size_t c = 0; c < columns.size(); ++c) std::printf("---:|");
    std::printf("\n");
    for (const Encoding& e : encs) {
        std::string bytes;
        std::vector<double> rec(columns.size(), -1);
        for (const QuantRow& q : quant) {
            if (q.enc != e.name) continue;
            std::string b = std::to_string(q.bytes);
            if (bytes.find(b) == std::string::npos) bytes += (bytes.empty() ? "" : " / ") + b;
            rec[size_t(std::find(columns.begin(), columns.end(), q.column) - columns.begin())] = q.recall;
        }
        std::printf("| %s | %s |", e.name, bytes.c_str());
        for (double r : rec) r < 0 ? std::printf(" - |") : std::printf(" %.3f |", r);
        std::printf("\n");
    }
    std::printf("\n");
    return 0;
}

struct GraphSet {
    std::string name;   // data and metric, e.g. "clustered-128x50k cosine"
    std::string shape;  // for the heading, e.g. "500 clusters"; may be empty
    const Data* base;
    const Data* query;
    DistanceMetric metric;
    std::vector<Truth> truth;
    double recall40Goal = 0;    // one segment, recall@10 at ef 40; 0: none
    bool defaultStore = false;  // also the rows at default settings (with a precision-50 point)
};

// Recall@10 and median ms per query at each precision of one line.
struct Curve {
    std::map<int, double> recall, ms;
};

// One graph query at precision ef. With r non-null the hits are copied
// there, ids as base index + 1; returns their count.
using SearchFn = std::function<int(const float* query, int ef, Result* r)>;

Curve measureCurve(const GraphSet& g, const std::vector<int>& efs, const SearchFn& search, const std::string& title,
                   std::FILE* tsv) {
    const Exact kind = exactFor(g.metric);
    const uint32_t nq = uint32_t(g.truth.size());
    Curve c;
    std::printf("| ef | recall@10 | QPS | ms/query |\n|---:|---:|---:|---:|\n");
    double best[3] = {0, 0, 0};
    int bestEf[3] = {0, 0, 0};
    const double targets[3] = {0.90, 0.95, 0.99};
    std::vector<Result> r(kTopK);
    for (int ef : efs) {
        size_t h = 0;
        for (uint32_t i = 0; i < nq; ++i) {
            int count = search(g.query->row(i), ef, r.data());
            h += size_t(hits(kind, *g.base, g.query->row(i), g.truth[i], r.data(), count));
        }
        double recall = double(h) / (double(nq) * kTopK);
        std::vector<double> perQuery;
        for (int round = 0; round < kRounds; ++round) {
            auto t0 = Clock::now();
            for (uint32_t i = 0; i < nq; ++i) benchmark::DoNotOptimize(search(g.query->row(i), ef, nullptr));
            perQuery.push_back(seconds(t0, Clock::now()) / nq);
        }
        double ms = median(perQuery) * 1e3, q = 1e3 / ms;
        c.recall[ef] = recall;
        c.ms[ef] = ms;
        std::printf("| %d | %.4f | %.0f | %.3f |\n", ef, recall, q, ms);
        std::fprintf(tsv, "%s\t%d\t%.5f\t%.1f\n", title.c_str(), ef, recall, q);
        for (int t = 0; t < 3; ++t)
            if (recall >= targets[t] && q > best[t]) best[t] = q, bestEf[t] = ef;
    }
    std::fprintf(tsv, "\n\n");
    std::fflush(tsv);
    std::printf("\nQPS at recall@10 >= 0.90 / 0.95 / 0.99 (best ef point reaching it):");
    for (int t = 0; t < 3; ++t) {
        if (bestEf[t]) std::printf(" %s%.0f (ef %d)", t ? "/ " : "", best[t], bestEf[t]);
        else std::printf(" %snot reached", t ? "/ " : "");
    }
    std::printf("\n\n");
    std::fflush(stdout);
    return c;
}

uint64_t graphBytes(const Segment& seg) {
    return seg.header->indexedCount.load() * qarbin::kNodeBytes +
           uint64_t(seg.header->linkPoolUsed) * qarbin::kPoolEntryBytes;
}

struct SetFigures {
    Curve one, dflt;
    // Kept for the paired precision-50 timing of the sets with default-store rows.
    std::unique_ptr<Segment> seg;
    std::unique_ptr<Store> store;
    double pairedOneMs = 0, pairedStoreMs = 0;
    double insert = 0, build = 0;  // one segment, seconds
    size_t segments = 0;
    bool oneOk = false, dfltOk = false;
};

std::string headingShape(const GraphSet& g) { return g.shape.empty() ? "" : ", " + g.shape; }

// One segment holding every record: filled, graph built, searched directly.
bool oneSegment(const GraphSet& g, const std::vector<int>& efs, std::FILE* tsv, std::vector<std::string>& summary,
                SetFigures* f) {
    const Data& base = *g.base;
    long rss0 = residentKiB();
    auto t0 = Clock::now();
    std::unique_ptr<Segment> seg(filledSegment(base, Quantization::None, g.metric, 0, 0));
    f->insert = seconds(t0, Clock::now());
    if (!seg) {
        std::printf("**%s, one segment**: fill failed\n\n", g.name.c_str());
        return false;
    }
    long rssFilled = residentKiB();
    t0 = Clock::now();
    int rc = qarbin::buildHnsw(*seg);
    f->build = seconds(t0, Clock::now());
    long rssBuilt = residentKiB();
    if (rc != 0) {
        std::printf("**%s, one segment**: build failed\n\n", g.name.c_str());
        return false;
    }
    char line[512];
    std::snprintf(line, sizeof line, "| %s, one segment | %u | %u | %.1f | %.1f | %.0f | %.0f | %.1f | %.1f |",
                  g.name.c_str(), base.n, base.dim, f->insert, f->build, base.n / f->build,
                  double(graphBytes(*seg)) / base.n, (rssFilled - rss0) / 1024.0, (rssBuilt - rss0) / 1024.0);
    summary.push_back(line);
    std::printf("**%s, one segment** (%s%s, %u records, %u queries)\n\n", g.name.c_str(), metricName(g.metric),
                headingShape(g).c_str(), base.n, uint32_t(g.truth.size()));
    std::vector<Result> scratch(kTopK);
    f->one = measureCurve(
        g, efs,
        [&](const float* q, int ef, Result* r) {
            int count = 0;
            qarbin::hnswSearch(*seg, q, kTopK, ef, r ? r : scratch.data(), &count);
            return count;
        },
        g.name + " one segment", tsv);
    if (g.defaultStore) f->seg = std::move(seg);
    return true;
}

// PHP's default memory store: a first segment of qarbin.mem_initial_capacity slots.
constexpr uint64_t kDefaultMemCapacity = 4096;

// A memory store as a PHP user gets it by default (a first segment of 4096
// slots, auto-index threshold 100), filled with set and searched through
// Store::search, so the figures include the store's own work per query.
bool defaultStore(const GraphSet& g, const std::vector<int>& efs, std::FILE* tsv, std::vector<std::string>& summary,
                  SetFigures* f) {
    const Data& base = *g.base;
    long rss0 = residentKiB();
    std::unique_ptr<Store> st(
        Store::openMemory(benchShape(base.dim, g.metric, Quantization::None, kDefaultMemCapacity, 0), nullptr));
    if (!st) {
        std::printf("**%s, default store**: open failed\n\n", g.name.c_str());
        return false;
    }
    char key[32];
    auto t0 = Clock::now();
    for (uint32_t i = 0; i < base.n; ++i) {
        std::snprintf(key, sizeof key, "k%u", i);
        if (st->set(key, base.row(i), nullptr, 0) != 0) {
            std::printf("**%s, default store**: set failed at record %u\n\n", g.name.c_str(), i);
            return false;
        }
    }
    double insert = seconds(t0, Clock::now());
    long rssFilled = residentKiB();
    // The first graph search builds each segment's graph, as in PHP; not
    // part of the timed rounds.
    Result* out = nullptr;
    t0 = Clock::now();
    st->search(g.query->row(0), kTopK, 50.0f, &out);
    double build = seconds(t0, Clock::now());
    qarbin::releaseBytes(out);
    long rssBuilt = residentKiB();
    f->segments = st->segments.size();
    size_t withGraph = 0;
    uint64_t bytes = 0;
    for (const Segment* seg : st->segments) {
        if (seg->header->flags & qarbin::kFlagGraphUsable) ++withGraph;
        bytes += graphBytes(*seg);
    }
    char line[512];
    std::snprintf(line, sizeof line, "| %s, default store | %u | %u | %.1f | %.1f | %.0f | %.0f | %.1f | %.1f |",
                  g.name.c_str(), base.n, base.dim, insert, build, base.n / build, double(bytes) / base.n,
                  (rssFilled - rss0) / 1024.0, (rssBuilt - rss0) / 1024.0);
    summary.push_back(line);
    std::printf("**%s, default store** (%s%s, %u records in **%zu segment%s** of %llu slots after growing from "
                "%llu, %zu with a graph; %u queries)\n\n",
                g.name.c_str(), metricName(g.metric), headingShape(g).c_str(), base.n, f->segments,
                f->segments == 1 ? "" : "s", static_cast<unsigned long long>(st->segments.back()->capacity()),
                static_cast<unsigned long long>(kDefaultMemCapacity), withGraph, uint32_t(g.truth.size()));
    f->dflt = measureCurve(
        g, efs,
        [&](const float* q, int ef, Result* r) {
            Result* res = nullptr;
            int n = st->search(q, kTopK, float(ef), &res);
            if (r)
                for (int i = 0; i < n; ++i) {
                    r[i] = res[i];
                    r[i].id = std::strtoull(res[i].key + 1, nullptr, 10) + 1;  // key "k<index>"
                }
            qarbin::releaseBytes(res);
            return n;
        },
        g.name + " default store", tsv);
    f->store = std::move(st);
    return true;
}

// Precision-50 time per query of the one segment and of the default store,
// measured in alternating rounds so that load on the machine weighs on both
// alike; medians over the rounds.
void pairedTimes(const GraphSet& g, SetFigures* f) {
    const uint32_t nq = uint32_t(g.truth.size());
    std::vector<Result> r(kTopK);
    std::vector<double> one, store;
    for (int round = 0; round < 2 * kRounds + 1; ++round) {
        auto t0 = Clock::now();
        for (uint32_t i = 0; i < nq; ++i) {
            int count = 0;
            qarbin::hnswSearch(*f->seg, g.query->row(i), kTopK, 50, r.data(), &count);
            benchmark::DoNotOptimize(count);
        }
        auto t1 = Clock::now();
        for (uint32_t i = 0; i < nq; ++i) {
            Result* res = nullptr;
            benchmark::DoNotOptimize(f->store->search(g.query->row(i), kTopK, 50.0f, &res));
            qarbin::releaseBytes(res);
        }
        auto t2 = Clock::now();
        one.push_back(seconds(t0, t1) / nq);
        store.push_back(seconds(t1, t2) / nq);
    }
    f->pairedOneMs = median(one) * 1e3;
    f->pairedStoreMs = median(store) * 1e3;
}

// Figures of the previous committed run, as bench/run.sh extracts them:
// "from <commit>", "graph <set> <ef> <recall> <ms>", "build <set> <s>"
// (tab-separated; set names without ", one segment").
struct Previous {
    std::string commit;
    std::map<std::string, std::map<int, std::pair<double, double>>> graph;  // set -> ef -> recall, ms
    std::map<std::string, double> build;
};

Previous readPrevious(const std::string& path) {
    Previous p;
    if (path.empty()) return p;
    std::ifstream f(path);
    std::string line;
    while (std::getline(f, line)) {
        std::vector<std::string> col;
        size_t at = 0;
        for (size_t tab; (tab = line.find('\t', at)) != std::string::npos; at = tab + 1)
            col.push_back(line.substr(at, tab - at));
        col.push_back(line.substr(at));
        if (col[0] == "from" && col.size() == 2) p.commit = col[1];
        if (col[0] == "graph" && col.size() == 5)
            p.graph[col[1]][std::atoi(col[2].c_str())] = {std::atof(col[3].c_str()), std::atof(col[4].c_str())};
        if (col[0] == "build" && col.size() == 3) p.build[col[1]] = std::atof(col[2].c_str());
    }
    return p;
}

std::string verdict(bool met) { return met ? "met" : "missed"; }

int runGraph(const Options& o) {
    Sets fm;
    if (!loadFashion(o, &fm)) return 1;
    uint32_t nq = std::min(o.queries, fm.query.n);
    const uint32_t n50 = std::max<uint32_t>(o.synthN / 2, 1), n100 = o.synthN;
    auto size = [](uint32_t n) { return n % 1000 == 0 ? std::to_string(n / 1000) + "k" : std::to_string(n); };
    Data c50 = clustered(n50, 128, 5, 500), q50 = clustered(o.synthQueries, 128, 6, 500);
    Data c100 = clustered(n100, 128, 7, 1000), q100 = clustered(o.synthQueries, 128, 8, 1000);
    Data s384 = clustered(o.synthN, 384, 1, 1000), q384 = clustered(o.synthQueries, 384, 2, 1000);
    std::vector<GraphSet> gs;
    gs.push_back({"fashion-mnist-784 cosine", "", &fm.baseN, &fm.queryN, DistanceMetric::Cosine,
                  truthFor(o.dir, "fmnist_angular", Exact::Angular, fm.baseN, fm.queryN, nq), 0.98, false});
    gs.push_back({"fashion-mnist-784 euclidean", "", &fm.base, &fm.query, DistanceMetric::Euclidean,
                  truthFor(o.dir, "fmnist_l2", Exact::L2, fm.base, fm.query, nq), 0.99, false});
    gs.push_back({"clustered-128x" + size(n50) + " cosine", "500 clusters", &c50, &q50, DistanceMetric::Cosine,
                  truthFor(o.dir, "clustered128x" + std::to_string(n50) + "c500_angular", Exact::Angular, c50, q50,
                           o.synthQueries),
                  0.95, true});
    gs.push_back({"clustered-128x" + size(n100) + " cosine", "1000 clusters", &c100, &q100, DistanceMetric::Cosine,
                  truthFor(o.dir, "clustered128x" + std::to_string(n100) + "c1000_angular", Exact::Angular, c100,
                           q100, o.synthQueries),
                  0, true});
    gs.push_back({"clustered-384x" + size(o.synthN) + " cosine", "1000 clusters", &s384, &q384,
                  DistanceMetric::Cosine,
                  truthFor(o.dir, "clustered384_angular_" + std::to_string(o.synthN), Exact::Angular, s384, q384,
                           o.synthQueries),
                  0.95, false});

    std::FILE* tsv = std::fopen((o.dir + "/recall_qps.tsv").c_str(), "w");
    if (!tsv) return 1;
    std::printf("### 2. Graph search (HNSW, M 16, efConstruction 200, float32)\n\n");
    std::printf("Recall@10 against the exact top-10; QPS and ms/query from the median of %d rounds over all "
                "queries, one at a time, single thread. *One segment*: every record in one segment, its graph built "
                "at once and searched directly. *Default store*: a memory store as PHP opens it by default "
                "(a first segment of %llu slots, qarbin.mem_initial_capacity, which doubles as records arrive; its "
                "graph built by the first search), filled with set and searched through the store at precision = "
                "ef, so each query pays the store's allocation, merge and sort. Clustered sets: centres N(0, 1) per "
                "component, points centre + N(0, 0.6^2), fixed seeds. Sets with default-store rows also get a "
                "precision-50 point (PHP's default precision).\n\n",
                kRounds, static_cast<unsigned long long>(kDefaultMemCapacity));
    std::vector<std::string> summary;
    std::vector<SetFigures> figs(gs.size());
    for (size_t s = 0; s < gs.size(); ++s) {
        std::vector<int> efs(std::begin(kEfs), std::end(kEfs));
        if (gs[s].defaultStore) efs.insert(std::upper_bound(efs.begin(), efs.end(), 50), 50);
        figs[s].oneOk = oneSegment(gs[s], efs, tsv, summary, &figs[s]);
        if (gs[s].defaultStore) figs[s].dfltOk = defaultStore(gs[s], efs, tsv, summary, &figs[s]);
        if (figs[s].oneOk && figs[s].dfltOk && figs[s].seg && figs[s].store) pairedTimes(gs[s], &figs[s]);
        figs[s].seg.reset();
        figs[s].store.reset();
    }
    std::fclose(tsv);
    std::printf("Build and memory. *insert s*: adding the records; *build s*: the graph (one segment: buildHnsw; "
                "default store: the first search, which builds every segment's graph). Graph bytes are 144 per node "
                "plus 72 per upper-level link entry in use; resident memory is this process's VmRSS growth after "
                "filling and after the build.\n\n");
    std::printf("| data | records | dim | insert s | build s | vectors/s | graph bytes/vector | RSS after fill MiB | RSS after build MiB |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const std::string& s : summary) std::printf("%s\n", s.c_str());
    std::printf("\n");

    char b[1024];
    for (size_t s = 0; s < gs.size(); ++s) {
        const GraphSet& g = gs[s];
        const SetFigures& f = figs[s];
        if (g.recall40Goal > 0) {
            if (f.oneOk)
                std::snprintf(b, sizeof b, "| graph recall@10 at precision 40 >= %.2f, one segment, %s%s | %.4f | %s |",
                              g.recall40Goal, g.name.c_str(), headingShape(g).c_str(), f.one.recall.at(40),
                              verdict(f.one.recall.at(40) >= g.recall40Goal).c_str());
            else
                std::snprintf(b, sizeof b, "| graph recall@10 at precision 40 >= %.2f, one segment, %s%s | not "
                              "measured | missed |", g.recall40Goal, g.name.c_str(), headingShape(g).c_str());
            appendGoal(o, b);
        }
        if (!g.defaultStore) continue;
        if (!f.dfltOk || !f.oneOk) {
            std::snprintf(b, sizeof b, "| default store, %s: recall@10 at precision 40 >= 0.95; time per query at "
                          "precision 50 within 1.5x of one segment | not measured | missed |", g.name.c_str());
            appendGoal(o, b);
            continue;
        }
        double r = f.dflt.recall.at(40);
        std::snprintf(b, sizeof b, "| default store (%zu segment%s), %s%s: recall@10 at precision 40 >= 0.95 | "
                      "%.4f | %s |", f.segments, f.segments == 1 ? "" : "s", g.name.c_str(), headingShape(g).c_str(), r, verdict(r >= 0.95).c_str());
        appendGoal(o, b);
        double d = f.pairedStoreMs, one = f.pairedOneMs;
        std::snprintf(b, sizeof b, "| default store (%zu segment%s), %s%s: time per graph query at precision 50 "
                      "within 1.5x of one segment holding every record (alternating rounds) | %.3f ms against %.3f "
                      "ms, %.2fx | %s |",
                      f.segments, f.segments == 1 ? "" : "s", g.name.c_str(), headingShape(g).c_str(), d, one, d / one,
                      verdict(d <= 1.5 * one).c_str());
        appendGoal(o, b);
    }

    // Against the previous committed run: build time and time per query.
    const Previous prev = readPrevious(o.previous);
    const std::string from = prev.commit.empty() ? "the previous run" : "the previous run (commit " + prev.commit + ")";
    const SetFigures& fmCos = figs[0];
    auto pb = prev.build.find(gs[0].name);
    if (fmCos.oneOk && pb != prev.build.end() && pb->second > 0) {
        double now = fmCos.insert + fmCos.build, ratio = now / pb->second;
        std::snprintf(b, sizeof b, "| build (insert plus graph) of 60 000 Fashion-MNIST vectors, cosine, one segment, "
                      "within 1.2x of %s | %.1f + %.1f = %.1f s against %.1f s (its graph build alone), %.2fx | %s |",
                      from.c_str(), fmCos.insert, fmCos.build, now, pb->second, ratio, verdict(ratio <= 1.2).c_str());
    } else {
        std::snprintf(b, sizeof b, "| build (insert plus graph) of 60 000 Fashion-MNIST vectors, cosine, one segment, "
                      "within 1.2x of the previous run | %.1f + %.1f s; no previous figure | not evaluable |",
                      fmCos.insert, fmCos.build);
    }
    appendGoal(o, b);

    std::printf("Time per graph query against %s, same data, queries and ef (the previous figures come from the "
                "committed bench/RESULTS.md; both are one-segment rows; the machine is shared, so a few percent "
                "either way is noise).\n\n", from.c_str());
    std::printf("| data | ef | previous recall@10 | recall@10 | previous ms/query | ms/query | ratio |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
    double worst = 0, logSum = 0;
    int compared = 0;
    for (size_t s = 0; s < 2; ++s) {
        auto pg = prev.graph.find(gs[s].name);
        if (!figs[s].oneOk || pg == prev.graph.end()) continue;
        for (int ef : kEfs) {
            auto pe = pg->second.find(ef);
            if (pe == pg->second.end() || pe->second.second <= 0) continue;
            double now = figs[s].one.ms.at(ef), ratio = now / pe->second.second;
            std::printf("| %s | %d | %.4f | %.4f | %.3f | %.3f | %.2f |\n", gs[s].name.c_str(), ef, pe->second.first,
                        figs[s].one.recall.at(ef), pe->second.second, now, ratio);
            worst = std::max(worst, ratio);
            logSum += std::log(ratio);
            ++compared;
        }
    }
    std::printf("\n");
    if (compared > 0) {
        std::snprintf(b, sizeof b, "| time per graph query at equal precision no worse than %s, Fashion-MNIST cosine "
                      "and euclidean, one segment, ef 10-320 | new/previous ms per query: worst %.2f, geometric mean "
                      "%.2f over %d points | %s |",
                      from.c_str(), worst, std::exp(logSum / compared), compared, verdict(worst <= 1.0).c_str());
    } else {
        std::snprintf(b, sizeof b, "| time per graph query at equal precision no worse than the previous run | no "
                      "previous figures | not evaluable |");
    }
    appendGoal(o, b);
    return 0;
}

// Figure 4: QPS of one process, then of two at once, on one shared store.
double shmQps(const char* name, const Data& q, uint32_t nq, float precision, int procs) {
    int ready[2], go[2], res[2];
    if (pipe(ready) || pipe(go) || pipe(res)) return 0;
    std::vector<pid_t> kids;
    for (int p = 0; p < procs; ++p) {
        pid_t pid = fork();
        if (pid == 0) {
            Store* s = Store::openShm(name, benchShape(q.dim, DistanceMetric::Euclidean, Quantization::None, q.n, 0),
                                      false);
            if (!s) _exit(1);
            std::vector<double> times;
            char c = 1;
            if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1) _exit(1);
            for (int round = 0; round < kRounds; ++round) {
                auto t0 = Clock::now();
                for (uint32_t i = 0; i < nq; ++i) {
                    Result* out = nullptr;
                    s->search(q.row((i + p * 7) % q.n), kTopK, precision, &out);
                    qarbin::releaseBytes(out);
                }
                times.push_back(seconds(t0, Clock::now()));
                // Rounds start together so that both processes always overlap.
                if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1) _exit(1);
            }
            if (write(res[1], times.data(), sizeof(double) * times.size()) < 0) _exit(1);
            delete s;
            _exit(0);
        }
        kids.push_back(pid);
    }
    // Only the children write these, so a child that dies ends the reads below.
    close(ready[1]);
    close(res[1]);
    close(go[0]);
    std::vector<double> qps;
    char c = 1;
    for (int round = 0; round <= kRounds; ++round) {
        for (int p = 0; p < procs; ++p)
            if (read(ready[0], &c, 1) != 1) return 0;
        for (int p = 0; p < procs; ++p)
            if (write(go[1], &c, 1) != 1) return 0;
    }
    std::vector<std::vector<double>> times(procs, std::vector<double>(kRounds));
    bool ok = true;
    for (int p = 0; p < procs; ++p)
        ok = ok && read(res[0], times[p].data(), sizeof(double) * kRounds) == ssize_t(sizeof(double) * kRounds);
    for (int fd : {ready[0], go[1], res[0]}) close(fd);
    for (pid_t k : kids) waitpid(k, nullptr, 0);
    if (!ok) return 0;
    for (int round = 0; round < kRounds; ++round) {
        double slowest = 0;
        for (int p = 0; p < procs; ++p) slowest = std::max(slowest, times[p][round]);
        qps.push_back(double(nq) * procs / slowest);
    }
    return median(qps);
}

int runShm(const Options& o) {
    Sets fm;
    if (!loadFashion(o, &fm)) return 1;
    const Data& base = fm.base;
    uint64_t need = Segment::computeMmapSize(base.n, base.dim, Quantization::None, 0);
    struct statvfs sv;
    if (statvfs("/dev/shm", &sv) != 0 || uint64_t(sv.f_bavail) * sv.f_frsize < need * 2) {
        std::printf("### 4. Shared memory\n\nSkipped: /dev/shm has less than %.0f MiB free.\n\n", need * 2 / 1048576.0);
        return 0;
    }
    char name[64];
    std::snprintf(name, sizeof name, "bench%d", int(getpid()));
    Store::destroyShm(name);
    Store* s = Store::openShm(name, benchShape(base.dim, DistanceMetric::Euclidean, Quantization::None, base.n, 0),
                              true);
    if (!s) return 1;
    char key[32];
    for (uint32_t i = 0; i < base.n; ++i) {
        std::snprintf(key, sizeof key, "k%u", i);
        s->set(key, base.row(i), nullptr, 0);
    }
    s->autoIndexThreshold = 0;
    int built = s->buildIndex();
    std::printf("### 4. Shared memory: processes searching one store at once\n\n");
    std::printf("Fashion-MNIST, 60 000 records, euclidean, float32, one shared segment (graph built once by the "
                "writer). Each process opens the store read-only and runs the same number of queries one at a "
                "time; QPS is all queries over the slowest process's time, median of %d rounds.\n\n", kRounds);
    std::printf("| search | 1 process QPS | 2 processes QPS | ratio |\n|---|---:|---:|---:|\n");
    double graphRatio = 0;
    struct Mode {
        const char* label;
        float precision;
        uint32_t nq;
    };
    const Mode modes[] = {{"graph, ef 80", 80.0f, 2000}, {"exhaustive (precision 0)", 0.0f, 40}};
    for (const Mode& m : modes) {
        if (built != 0 && m.precision > 0) continue;
        double one = shmQps(name, fm.query, m.nq, m.precision, 1);
        double two = shmQps(name, fm.query, m.nq, m.precision, 2);
        double ratio = one > 0 ? two / one : 0;
        if (m.precision > 0) graphRatio = ratio;
        std::printf("| %s | %.0f | %.0f | %.2f |\n", m.label, one, two, ratio);
        std::fflush(stdout);
    }
    std::printf("\n");
    delete s;
    Store::destroyShm(name);
    char goal[256];
    std::snprintf(goal, sizeof goal, "| two processes on one shared store >= 1.8x the QPS of one | graph search %.2fx | %s |",
                  graphRatio, graphRatio >= 1.8 ? "met" : "missed");
    appendGoal(o, goal);
    return 0;
}


// Figure: filtered search. clustered-128 cosine (1000 clusters) in a store
// at default settings, each record's metadata {"category":c} with c uniform
// in 0..99; filters matching 50%, 10% and 1% of the records. Recall@10
// against the exact filtered top-10, for the search as PHP runs it
// (precision 50: the walk or the filtered scan, as the store chooses), the
// filtered graph walk alone and the filtered scan alone; QPS of each
// against the unfiltered graph search.
qarbin::Filter categoryBelow(int limit) {
    qarbin::Filter f;
    qarbin::FilterNode n;
    n.op = qarbin::FilterOp::Lt;
    n.path = {"category"};
    n.values.resize(1);
    n.values[0].kind = qarbin::FilterValue::Kind::Int;
    n.values[0].i = limit;
    f.root.children.push_back(n);
    return f;
}

// Exact filtered top-10 by cosine in double precision: indices, best first.
std::vector<uint32_t> filteredTruth(const Data& base, const std::vector<int>& cat, int limit, const float* q) {
    std::vector<std::pair<double, uint32_t>> all;
    for (uint32_t i = 0; i < base.n; ++i)
        if (cat[i] < limit) all.push_back({exactDist(Exact::Angular, q, base.row(i), base.dim), i});
    const size_t k = std::min<size_t>(kTopK, all.size());
    std::partial_sort(all.begin(), all.begin() + k, all.end());
    std::vector<uint32_t> out;
    for (size_t i = 0; i < k; ++i) out.push_back(all[i].second);
    return out;
}

struct FilterPoint {
    double recall = 0, qps = 0;
};

// Recall and QPS (median of kRounds) of Store::search with the filter
// (null: unfiltered) at the given precision.
FilterPoint measureFiltered(Store& st, const Data& qs, const std::vector<std::vector<uint32_t>>* truth,
                            const qarbin::Filter* f, float precision) {
    FilterPoint p;
    std::vector<double> times;
    for (int round = 0; round < kRounds; ++round) {
        uint64_t found = 0, wanted = 0;
        auto t0 = Clock::now();
        for (uint32_t i = 0; i < qs.n; ++i) {
            Result* res = nullptr;
            const int n = st.search(qs.row(i), kTopK, precision, &res, f);
            if (truth) {
                const std::vector<uint32_t>& t = (*truth)[i];
                wanted += t.size();
                for (int j = 0; j < n; ++j) {
                    const uint32_t id = uint32_t(std::strtoul(res[j].key + 1, nullptr, 10));
                    if (std::find(t.begin(), t.end(), id) != t.end()) ++found;
                }
            }
            qarbin::releaseBytes(res);
        }
        times.push_back(seconds(t0, Clock::now()));
        if (truth) p.recall = wanted ? double(found) / double(wanted) : 1.0;
    }
    p.qps = qs.n / median(times);
    return p;
}

// The filtered graph walk of every segment alone, whatever the store
// would choose.
FilterPoint measureWalk(Store& st, const Data& qs, const std::vector<std::vector<uint32_t>>& truth,
                        const qarbin::Filter& f, float share) {
    FilterPoint p;
    qarbin::MetadataTest keep = f.test();
    keep.share = share;  // the true rate, where the store estimates it
    std::vector<Result> res(kTopK);
    std::vector<double> times;
    for (int round = 0; round < kRounds; ++round) {
        uint64_t found = 0, wanted = 0;
        auto t0 = Clock::now();
        for (uint32_t i = 0; i < qs.n; ++i) {
            int n = 0;
            for (const Segment* seg : st.segments) qarbin::hnswSearch(*seg, qs.row(i), kTopK, 50, res.data(), &n, &keep);
            wanted += truth[i].size();
            for (int j = 0; j < n; ++j) {
                const uint32_t id = uint32_t(std::strtoul(res[j].key + 1, nullptr, 10));
                if (std::find(truth[i].begin(), truth[i].end(), id) != truth[i].end()) ++found;
            }
        }
        times.push_back(seconds(t0, Clock::now()));
        p.recall = wanted ? double(found) / double(wanted) : 1.0;
    }
    p.qps = qs.n / median(times);
    return p;
}

int runFilter(const Options& o) {
    const uint32_t n = o.synthN;
    Data base = clustered(n, 128, 7, 1000), qs = clustered(o.synthQueries, 128, 8, 1000);
    std::unique_ptr<Store> st(
        Store::openMemory(benchShape(128, DistanceMetric::Cosine, Quantization::None, kDefaultMemCapacity, 0), nullptr));
    if (!st) return 1;
    std::mt19937 gen(4242);
    std::uniform_int_distribution<int> pick(0, 99);
    std::vector<int> cat(n);
    char key[32], meta[64];
    for (uint32_t i = 0; i < n; ++i) {
        cat[i] = pick(gen);
        std::snprintf(key, sizeof key, "k%u", i);
        const int len = std::snprintf(meta, sizeof meta, "{\"category\":%d}", cat[i]);
        if (st->set(key, base.row(i), meta, uint32_t(len)) != 0) return 1;
    }
    Result* warm = nullptr;
    st->search(qs.row(0), kTopK, 50.0f, &warm);  // builds the graph
    qarbin::releaseBytes(warm);
    const FilterPoint plain = measureFiltered(*st, qs, nullptr, nullptr, 50.0f);
    std::printf("**Filtered search** (clustered-128x%u cosine, default store, category uniform in 0..99, %u queries, "
                "precision 50; unfiltered graph search %.0f QPS)\n\n",
                n, qs.n, plain.qps);
    std::printf("| match rate | search recall | search QPS | vs unfiltered | walk recall | walk QPS | scan recall | scan QPS |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    for (int limit : {50, 10, 1}) {
        const qarbin::Filter f = categoryBelow(limit);
        std::vector<std::vector<uint32_t>> truth;
        for (uint32_t i = 0; i < qs.n; ++i) truth.push_back(filteredTruth(base, cat, limit, qs.row(i)));
        const FilterPoint chosen = measureFiltered(*st, qs, &truth, &f, 50.0f);
        const FilterPoint walk = measureWalk(*st, qs, truth, f, limit / 100.0f);
        const FilterPoint scan = measureFiltered(*st, qs, &truth, &f, 0.0f);
        std::printf("| %d%% | %.3f | %.0f | %.2fx | %.3f | %.0f | %.3f | %.0f |\n", limit, chosen.recall, chosen.qps,
                    chosen.qps / plain.qps, walk.recall, walk.qps, scan.recall, scan.qps);
        char goal[256];
        std::snprintf(goal, sizeof goal, "- filtered recall@10 at %d%%: %.3f (goal >= 0.95): %s", limit, chosen.recall,
                      chosen.recall >= 0.95 ? "met" : "missed");
        appendGoal(o, goal);
        if (limit == 10) {
            std::snprintf(goal, sizeof goal, "- filtered QPS at 10%%: %.2fx unfiltered (goal >= 0.3x): %s",
                          chosen.qps / plain.qps, chosen.qps / plain.qps >= 0.3 ? "met" : "missed");
            appendGoal(o, goal);
        }
        if (limit == 1) {
            std::snprintf(goal, sizeof goal, "- filtered QPS at 1%%: %.0f, filtered scan %.0f (goal: no slower): %s",
                          chosen.qps, scan.qps, chosen.qps >= scan.qps * 0.95 ? "met" : "missed");
            appendGoal(o, goal);
        }
    }
    std::printf("\n");
    return 0;
}

// A quick form of figure 1 for development: the scan table (no recall) and
// the encoding ratios of one run, on the 40 000 x 768 set and, when its idx
// files are in the data directory, Fashion-MNIST. Each figure is the median
// of kRounds rounds.
int runScanQuick(const Options& o) {
    Sets fm;
    const bool haveFm = loadFashion(o, &fm);
    const double bw = readBandwidth();
    std::printf("read bandwidth %.2f GB/s\n\n| data | metric | encoding | ms/query | floor ms | floor/scan |\n"
                "|---|---|---|---:|---:|---:|\n", bw / 1e9);
    const uint32_t n768 = std::min<uint32_t>(40000, o.synthN);
    Data s768 = clustered(n768, 768, 5, 1000), q768 = clustered(50, 768, 6, 1000);
    struct SetRef {
        const char* name;
        const Data *raw, *rawQ, *unit, *unitQ;
    };
    std::vector<SetRef> sets;
    if (haveFm) sets.push_back({"fashion-mnist-784", &fm.base, &fm.query, &fm.baseN, &fm.queryN});
    sets.push_back({"clustered-768", &s768, &q768, &s768, &q768});
    const DistanceMetric metrics[] = {DistanceMetric::Cosine, DistanceMetric::Dot, DistanceMetric::Euclidean,
                                      DistanceMetric::Manhattan};
    const Encoding encs[] = {{"f32", Quantization::None, 0},   {"f16", Quantization::F16, 0},
                             {"int8", Quantization::Int8, 0},  {"binary", Quantization::Binary, 0},
                             {"pq m16", Quantization::PQ, 16}, {"pq m28", Quantization::PQ, 28}};
    std::map<std::string, double> scanMsOf;
    std::vector<std::string> names;
    for (const SetRef& set : sets) {
        names.push_back(set.name);
        for (DistanceMetric m : metrics) {
            const bool unit = m == DistanceMetric::Cosine || m == DistanceMetric::Dot;
            const Data& base = unit ? *set.unit : *set.raw;
            const Data& qs = unit ? *set.unitQ : *set.rawQ;
            for (const Encoding& e : encs) {
                if (e.pqM == 28 && base.dim % 28 != 0) continue;
                std::unique_ptr<Segment> seg(filledSegment(base, e.q, m, e.pqM, 256));
                if (!seg) continue;
                const double ms = scanMs(*seg, qs);
                scanMsOf[std::string(set.name) + "|" + metricName(m) + "|" + e.name] = ms;
                const double floorMs = double(seg->vecBytes()) * base.n / bw * 1e3;
                std::printf("| %s | %s | %s | %.2f | %.2f | %.2f |\n", set.name, metricName(m), e.name, ms, floorMs,
                            floorMs / ms);
                std::fflush(stdout);
            }
        }
    }
    std::printf("\n");
    printEncodingSpeedups(o, scanMsOf, names);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s scan|scanquick|graph|shm|filter <data dir> [synth_n=N] [queries=N] [synth_queries=N] [previous=FILE]\n", argv[0]);
        return 2;
    }
    Options o;
    o.dir = argv[2];
    for (int i = 3; i < argc; ++i) {
        std::string a = argv[i];
        auto val = [&](const char* k) -> long {
            size_t n = std::strlen(k);
            return a.compare(0, n, k) == 0 && a.size() > n && a[n] == '=' ? std::atol(a.c_str() + n + 1) : -1;
        };
        if (val("synth_n") > 0) o.synthN = uint32_t(val("synth_n"));
        if (val("queries") > 0) o.queries = uint32_t(val("queries"));
        if (val("scan_queries") > 0) o.scanQueries = uint32_t(val("scan_queries"));
        if (val("synth_queries") > 0) o.synthQueries = uint32_t(val("synth_queries"));
        if (a.compare(0, 9, "previous=") == 0) o.previous = a.substr(9);
    }
    std::string what = argv[1];
    if (what == "scan") return runScan(o);
    if (what == "scanquick") return runScanQuick(o);
    if (what == "graph") return runGraph(o);
    if (what == "shm") return runShm(o);
    if (what == "filter") return runFilter(o);
    std::fprintf(stderr, "unknown figure %s\n", argv[1]);
    return 2;
}
