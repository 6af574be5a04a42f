// One graph set, one segment: build time on one thread, then per precision
// the queries per second of CPU time (median of rounds) and recall@10 against the
// segment's own exhaustive scan. With dump=FILE every hit (key and score
// bits) is written too, so two builds of the project can be compared for
// identical output (bench/compare_graph.sh). Run from a Release build:
//   graph_speed set=c10k128|c100k128|c100k384|fm-cos|fm-l2|uniform384|textlike [format=6|7]
//               [grown=1] [rounds=3] [queries=200] [efs=10,20,...] [dump=FILE] [check=1 [checkn=N]] [save=FILE | load=FILE] [fm=DIR holding train-images.idx, t10k-images.idx]
#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/index/hnsw.h"
#include "core/segment/format.h"
#include "core/segment/segment.h"

namespace {

using qarbin::DistanceMetric;
using qarbin::Result;
using qarbin::Segment;
using Clock = std::chrono::steady_clock;

constexpr int kTopK = 10;

struct Data {
    uint32_t n = 0, dim = 0;
    std::vector<float> v;
    const float* row(size_t i) const { return &v[i * dim]; }
};

// The clustered sets of ann_bench: centres N(0, 1), points centre + N(0, 0.6^2).
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

Data uniform(uint32_t n, uint32_t dim, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    Data d;
    d.n = n;
    d.dim = dim;
    d.v.resize(size_t(n) * dim);
    for (float& x : d.v) x = u(gen);
    return d;
}

// An idx3 image file (unpacked, as bench/run.sh leaves it in bench/data).
void normalise(Data* d);

// Rows shaped like short-text embeddings: each a few topics out of 400,
// drawn with Zipf-like weights (a few topics are in most rows), plus a
// little noise, unit length; one row in ten is a near copy of an earlier
// one (a resent text), so near-equal distances abound.
Data textLike(uint32_t n, uint32_t seed) {
    const uint32_t dim = 256, topics = 400;
    std::mt19937 topicGen(20261211u);
    std::normal_distribution<float> unit(0.0f, 1.0f);
    std::vector<float> topic(size_t(topics) * dim);
    for (float& t : topic) t = unit(topicGen);
    std::vector<double> w(topics);
    for (uint32_t t = 0; t < topics; ++t) w[t] = 1.0 / (t + 1.0);
    std::discrete_distribution<uint32_t> pick(w.begin(), w.end());
    std::mt19937 gen(seed);
    std::uniform_int_distribution<uint32_t> count(2, 6);
    std::uniform_real_distribution<float> weight(0.2f, 1.0f), coin(0.0f, 1.0f);
    std::normal_distribution<float> noise(0.0f, 0.05f), tiny(0.0f, 0.002f);
    Data d;
    d.n = n;
    d.dim = dim;
    d.v.assign(size_t(n) * dim, 0.0f);
    for (uint32_t i = 0; i < n; ++i) {
        float* r = &d.v[size_t(i) * dim];
        if (i > 0 && coin(gen) < 0.1f) {
            const float* src = &d.v[size_t(std::uniform_int_distribution<uint32_t>(0, i - 1)(gen)) * dim];
            for (uint32_t j = 0; j < dim; ++j) r[j] = src[j] + tiny(gen);
        } else {
            for (uint32_t k = count(gen); k > 0; --k) {
                const float* t = &topic[size_t(pick(gen)) * dim];
                const float a = weight(gen);
                for (uint32_t j = 0; j < dim; ++j) r[j] += a * t[j];
            }
            for (uint32_t j = 0; j < dim; ++j) r[j] += noise(gen);
        }
    }
    normalise(&d);
    return d;
}

bool readIdx(const std::string& path, uint32_t limit, Data* out) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    unsigned char h[16];
    auto be = [](const unsigned char* p) {
        return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
    };
    bool ok = std::fread(h, 1, 16, f) == 16 && be(h) == 0x803;
    if (ok) {
        out->n = std::min(be(h + 4), limit);
        out->dim = be(h + 8) * be(h + 12);
        std::vector<unsigned char> px(size_t(out->n) * out->dim);
        ok = std::fread(px.data(), 1, px.size(), f) == px.size();
        out->v.assign(px.begin(), px.end());
    }
    std::fclose(f);
    return ok;
}

void normalise(Data* d) {
    for (uint32_t i = 0; i < d->n; ++i) {
        float* r = &d->v[size_t(i) * d->dim];
        double s = 0;
        for (uint32_t j = 0; j < d->dim; ++j) s += double(r[j]) * r[j];
        float inv = s > 0 ? float(1.0 / std::sqrt(s)) : 0.0f;
        for (uint32_t j = 0; j < d->dim; ++j) r[j] *= inv;
    }
}

std::map<std::string, std::string> parseArgs(int argc, char** argv) {
    std::map<std::string, std::string> a;
    for (int i = 1; i < argc; ++i) {
        const char* eq = std::strchr(argv[i], '=');
        if (eq) a[std::string(argv[i], size_t(eq - argv[i]))] = eq + 1;
    }
    return a;
}

std::string arg(const std::map<std::string, std::string>& a, const char* k, const char* def) {
    auto it = a.find(k);
    return it == a.end() ? def : it->second;
}

qarbin::Shape shapeFor(const Data& d, DistanceMetric m, uint64_t capacity, uint32_t format) {
    qarbin::Shape s;
    s.dim = d.dim;
    s.metric = m;
    s.quantization = qarbin::Quantization::None;
    s.hnswM = 16;
    s.efConstruction = 200;
    s.capacity = capacity;
    s.useAvx2 = true;
    s.format = format;
    return s;
}

// A memory segment holding every row, created at full size or grown by
// doubling from 1 024 slots as a memory store grows its last segment.
Segment* filled(const Data& d, DistanceMetric m, uint32_t format, bool grown) {
    uint64_t cap = grown ? 1024 : d.n;
    Segment* seg = Segment::createMemory(shapeFor(d, m, cap, format));
    char key[32];
    for (uint32_t i = 0; seg && i < d.n; ++i) {
        std::snprintf(key, sizeof key, "k%u", i);
        if (seg->add(i + 1, key, d.row(i), nullptr, 0) == 0) continue;
        Segment* bigger = seg->grownCopy(seg->capacity() * 2);
        delete seg;
        seg = bigger;
        --i;
    }
    return seg;
}

Segment* filledFile(const Data& d, DistanceMetric m, uint32_t format, const std::string& path) {
    Segment* seg = Segment::createDisk(path.c_str(), shapeFor(d, m, d.n, format));
    char key[32];
    for (uint32_t i = 0; seg && i < d.n; ++i) {
        std::snprintf(key, sizeof key, "k%u", i);
        if (seg->add(i + 1, key, d.row(i), nullptr, 0) != 0) {
            delete seg;
            return nullptr;
        }
    }
    return seg;
}

// Seconds of CPU this thread has used: on a shared machine the wall clock
// also counts the time other processes held the core.
double cpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

uint32_t rowOf(const Result& r) { return uint32_t(std::strtoul(std::string(r.key + 1, r.keyLen - 1).c_str(), nullptr, 10)); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    auto a = parseArgs(argc, argv);
    const std::string set = arg(a, "set", "c10k128");
    const uint32_t format = uint32_t(std::atoi(arg(a, "format", "7").c_str()));
    const bool grown = arg(a, "grown", "0") == "1";
    const int rounds = std::atoi(arg(a, "rounds", "3").c_str());
    const uint32_t nq = uint32_t(std::atoi(arg(a, "queries", "200").c_str()));
    const std::string fm = arg(a, "fm", "bench/data");
    std::vector<int> efs;
    {
        std::string e = arg(a, "efs", "10,20,40,50,80,160,320");
        for (char* p = &e[0]; *p;) {
            efs.push_back(int(std::strtol(p, &p, 10)));
            if (*p == ',') ++p;
        }
    }

    Data base, qs;
    DistanceMetric metric = DistanceMetric::Cosine;
    if (set == "c10k128") base = clustered(10000, 128, 5, 500), qs = clustered(nq, 128, 6, 500);
    else if (set == "c100k128") base = clustered(100000, 128, 7, 1000), qs = clustered(nq, 128, 8, 1000);
    else if (set == "c100k384") base = clustered(100000, 384, 1, 1000), qs = clustered(nq, 384, 2, 1000);
    else if (set == "textlike") base = textLike(59000, 21), qs = textLike(nq, 22);
    else if (set == "uniform384") base = uniform(100000, 384, 11), qs = uniform(nq, 384, 12);
    else if (set == "fm-cos" || set == "fm-l2") {
        if (!readIdx(fm + "/train-images.idx", 60000, &base) || !readIdx(fm + "/t10k-images.idx", nq, &qs)) {
            std::fprintf(stderr, "cannot read Fashion-MNIST under %s\n", fm.c_str());
            return 1;
        }
        if (set == "fm-cos") normalise(&base), normalise(&qs);
        else metric = DistanceMetric::Euclidean;
    } else {
        std::fprintf(stderr, "unknown set %s\n", set.c_str());
        return 1;
    }
    if (arg(a, "n", "").size()) base.n = std::min<uint32_t>(base.n, uint32_t(std::atoi(arg(a, "n", "").c_str())));

    // save=FILE builds into a segment file; load=FILE searches a copy of
    // one in memory (same graph for two builds of the project, no build).
    const std::string save = arg(a, "save", ""), load = arg(a, "load", "");
    auto t0 = Clock::now();
    std::unique_ptr<Segment> seg(load.size() ? Segment::loadFromFile(load.c_str())
                                 : save.size() ? filledFile(base, metric, format, save)
                                               : filled(base, metric, format, grown));
    if (!seg) {
        std::fprintf(stderr, "cannot fill the segment\n");
        return 1;
    }
    seg->useAvx2 = true;  // the summation order of the built graph; an opener leaves that to its owner
    auto t1 = Clock::now();
    const double c1 = cpuSeconds();
    if (load.empty() && qarbin::buildHnsw(*seg, nullptr, 1) != 0) {
        std::fprintf(stderr, "build failed\n");
        return 1;
    }
    auto t2 = Clock::now();
    const double buildCpu = cpuSeconds() - c1;
    long hugeKiB = 0;
    if (std::FILE* sm = std::fopen("/proc/self/smaps_rollup", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, sm))
            if (std::sscanf(line, "AnonHugePages: %ld kB", &hugeKiB) == 1) break;
        std::fclose(sm);
    }
    std::printf("set %s format %u %s n %u dim %u: insert %.2f s, build %.2f s (CPU %.2f s), huge pages %ld MiB\n", set.c_str(), format,
                grown ? "grown" : "full-size", base.n, base.dim, std::chrono::duration<double>(t1 - t0).count(),
                std::chrono::duration<double>(t2 - t1).count(), buildCpu, hugeKiB / 1024);

    // Truth: the segment's own exhaustive scan.
    std::vector<std::set<uint32_t>> truth(nq);
    // Kept beside a loaded file, since the scan costs more than the searches.
    std::vector<Result> r(kTopK);
    const std::string cache = load.size() ? load + ".truth" + std::to_string(nq) : "";
    std::FILE* tf = cache.size() ? std::fopen(cache.c_str(), "r") : nullptr;
    if (tf) {
        uint32_t i, row;
        while (std::fscanf(tf, "%u %u", &i, &row) == 2)
            if (i < nq) truth[i].insert(row);
        std::fclose(tf);
    } else {
        tf = cache.size() ? std::fopen(cache.c_str(), "w") : nullptr;
        for (uint32_t i = 0; i < nq; ++i) {
            int c = 0;
            seg->search(qs.row(i), kTopK, r.data(), &c);
            for (int j = 0; j < c; ++j) {
                truth[i].insert(rowOf(r[j]));
                if (tf) std::fprintf(tf, "%u %u\n", i, rowOf(r[j]));
            }
        }
        if (tf) std::fclose(tf);
    }

    // check=1: the records the graph cannot reach. Live records whose node
    // no level-0 list names, and records missing from the top 10 of their
    // own vector at precision 1000 (checkn=N: the first N records only).
    if (arg(a, "check", "0") == "1") {
        const uint64_t nodes = seg->header->indexedCount.load();
        std::vector<uint8_t> named(nodes, 0);
        for (uint64_t p = 0; p < nodes; ++p) {
            const qarbin::HnswNode* nd = reinterpret_cast<const qarbin::HnswNode*>(seg->nodeArea + p * qarbin::kNodeBytes);
            for (uint32_t j = 0; j < nd->linkCount && j < qarbin::kLevel0Links; ++j)
                if (nd->links[j] >= 0 && uint64_t(nd->links[j]) < nodes && uint64_t(nd->links[j]) != p) named[nd->links[j]] = 1;
        }
        uint64_t orphans = 0;
        for (uint64_t p = 0; p < nodes; ++p) orphans += named[p] == 0 && nodes > 1;
        const uint32_t checkn = std::min<uint32_t>(base.n, uint32_t(std::atoi(arg(a, "checkn", "1000000").c_str())));
        uint32_t missing = 0, notFirst = 0;
        for (uint32_t i = 0; i < checkn; ++i) {
            int c = 0;
            qarbin::hnswSearch(*seg, base.row(i), kTopK, 1000, r.data(), &c);
            std::sort(r.begin(), r.begin() + c, [](const Result& x, const Result& y) { return x.score > y.score; });
            bool in = false;
            for (int j = 0; j < c; ++j) in = in || rowOf(r[j]) == i;
            missing += !in;
            notFirst += c == 0 || rowOf(r[0]) != i;
        }
        std::printf("nodes without an incoming level-0 link: %llu of %llu; missing from their own top 10 at precision "
                    "1000: %u of %u (not first: %u)\n",
                    (unsigned long long)orphans, (unsigned long long)nodes, missing, checkn, notFirst);
    }

    std::FILE* dump = nullptr;
    if (arg(a, "dump", "").size()) dump = std::fopen(arg(a, "dump", "").c_str(), "w");
    std::printf("| ef | recall@10 | QPS | us/query |\n|---|---|---|---|\n");
    for (int ef : efs) {
        std::vector<double> times;
        int found = 0;
        for (int round = 0; round < rounds; ++round) {
            found = 0;
            const double s = cpuSeconds();
            for (uint32_t i = 0; i < nq; ++i) {
                int c = 0;
                qarbin::hnswSearch(*seg, qs.row(i), kTopK, ef, r.data(), &c);
                std::sort(r.begin(), r.begin() + c, [](const Result& x, const Result& y) { return x.score > y.score; });
                for (int j = 0; j < c; ++j) found += int(truth[i].count(rowOf(r[j])));
                if (dump && round == 0)
                    for (int j = 0; j < c; ++j) {
                        uint32_t bits;
                        std::memcpy(&bits, &r[j].score, 4);
                        std::fprintf(dump, "%d %u %u %08x\n", ef, i, rowOf(r[j]), bits);
                    }
            }
            times.push_back(cpuSeconds() - s);
        }
        double t = median(times);
        std::printf("| %d | %.4f | %.0f | %.1f |\n", ef, double(found) / (double(nq) * kTopK), nq / t, t / nq * 1e6);
    }
    if (dump) std::fclose(dump);
    return 0;
}
