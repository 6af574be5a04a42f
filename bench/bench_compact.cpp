// Figures of the compact segment format against today's slots, one run:
// resident bytes per record (pages counted with mincore, not timed), the
// cost of opening a segment file and its first key lookup, and the cosine
// scan over stored norms against the scan that sums every norm again.
// usage: bench_compact [records=30000] [stores]  ("stores": the figures
// through real stores, version 6 against compact segments)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/math/codecs.h"
#include "core/math/score.h"
#include "core/segment/compact_copy.h"
#include "core/segment/compact_region.h"
#include "core/segment/key_index.h"
#include "core/segment/segment.h"
#include "core/alloc.h"
#include "core/store/store.h"

using namespace qarbin;

namespace {

double nowMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

uint64_t residentBytes(const void* p, uint64_t len) {
    std::vector<unsigned char> pages((len + 4095) / 4096);
    if (mincore(const_cast<void*>(p), len, pages.data()) != 0) return 0;
    uint64_t n = 0;
    for (unsigned char b : pages) n += b & 1;
    return n * 4096;
}

Shape shapeOf(uint32_t dim, Quantization q, uint64_t capacity) {
    Shape s;
    s.dim = dim;
    s.metric = DistanceMetric::Cosine;
    s.quantization = q;
    s.capacity = capacity;
    s.useAvx2 = true;
    s.format = kSegmentVersion;  // "today": the fixed slots; compact regions are laid out apart
    return s;
}

std::string keyOf(uint64_t i) {
    char key[32];
    std::snprintf(key, sizeof key, "doc-%016llu", static_cast<unsigned long long>(i));
    return key;
}

const std::string kMeta = R"({"source":"a/b/c.txt","chunk":17,"lang":"en"})";

std::vector<float> vectors(uint64_t n, uint32_t dim) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-1, 1);
    std::vector<float> v(n * dim);
    for (float& x : v) x = u(rng);
    return v;
}

// A compact region in anonymous memory, reserved but not backed.
struct Mapped {
    uint8_t* base = nullptr;
    uint64_t len = 0;
    explicit Mapped(const Shape& s) {
        CompactLayout l;
        computeCompactLayout(s.capacity, s.dim, s.quantization, s.pqSubvectors, &l);
        len = l.regionBytes;
        base = static_cast<uint8_t*>(
            mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
        CompactRegion::init(base, len, s, NormOrder::EightLane);
    }
    ~Mapped() { munmap(base, len); }
};

void fillCompact(CompactRegion& r, const Shape& s, const std::vector<float>& v, uint64_t n) {
    std::vector<uint8_t> row(r.rowBytes());
    for (uint64_t i = 0; i < n; ++i) {
        const float* x = v.data() + i * s.dim;
        encodeVector(row.data(), x, s.dim, static_cast<uint32_t>(s.quantization), 0, nullptr);
        const std::string key = keyOf(i);
        r.add(keyHash(key.data(), key.size()), key.data(), static_cast<uint32_t>(key.size()), row.data(),
              storedNorm(x, s.dim, true), kMeta.data(), static_cast<uint32_t>(kMeta.size()));
    }
}

void residentPerRecord(uint64_t n) {
    std::printf("## Resident bytes per record, memory, %llu x 384, 20-byte keys, %zu-byte metadata\n\n",
                static_cast<unsigned long long>(n), kMeta.size());
    std::printf("| encoding | slots today | compact records | graph (nodes + pool share, both formats) | compact total |\n");
    std::printf("|---|---|---|---|---|\n");
    const std::vector<float> v = vectors(n, 384);
    const struct {
        const char* name;
        Quantization q;
    } encodings[] = {{"float32", Quantization::None}, {"int8", Quantization::Int8}, {"binary", Quantization::Binary}};
    for (const auto& e : encodings) {
        const Shape s = shapeOf(384, e.q, n);
        std::unique_ptr<Segment> seg(Segment::createMemory(s));
        for (uint64_t i = 0; i < n; ++i)
            seg->add(i, keyOf(i).c_str(), v.data() + i * 384, kMeta.data(), static_cast<uint32_t>(kMeta.size()));
        const uint64_t today = residentBytes(seg->base, seg->mappedLen) / n;
        Mapped m(s);
        CompactRegion r(m.base, m.len);
        fillCompact(r, s, v, n);
        const uint64_t compact = residentBytes(m.base, m.len) / n;
        const uint64_t graph = kNodeBytes + kPoolEntryBytes / 4;
        std::printf("| %s | %llu | %llu | %llu | %llu |\n", e.name, static_cast<unsigned long long>(today),
                    static_cast<unsigned long long>(compact), static_cast<unsigned long long>(graph),
                    static_cast<unsigned long long>(compact + graph));
    }
    std::printf("\n");
}

// Opening a segment file in a fresh state and the first lookup of a key:
// today the per-process key index is built from every slot; the compact
// table is read where it lies.
void openAndFirstGet(const char* dir) {
    std::printf("## Open a segment file of 64-dimension float records (no graph) and get one key (page cache warm, median of 15)\n\n");
    std::printf("| records | today ms | today slots visited | compact ms | compact buckets visited |\n");
    std::printf("|---|---|---|---|---|\n");
    for (const uint64_t n : {uint64_t{1000}, uint64_t{100000}}) {
        const Shape s = shapeOf(64, Quantization::None, n);
        const std::vector<float> v = vectors(n, 64);
        const std::string oldPath = std::string(dir) + "/today.qbseg";
        const std::string newPath = std::string(dir) + "/compact.qbseg";
        {
            std::unique_ptr<Segment> seg(Segment::createDisk(oldPath.c_str(), s));
            for (uint64_t i = 0; i < n; ++i)
                seg->add(i, keyOf(i).c_str(), v.data() + i * 64, kMeta.data(), static_cast<uint32_t>(kMeta.size()));
        }
        {
            Mapped m(s);
            CompactRegion r(m.base, m.len);
            fillCompact(r, s, v, n);
            const int fd = open(newPath.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
            if (fd < 0 || ftruncate(fd, static_cast<off_t>(m.len)) != 0) return;
            // Only the pages in use are written: the file stays sparse.
            for (uint64_t at = 0; at < m.len; at += 4096) {
                std::vector<unsigned char> page(1);
                mincore(m.base + at, 4096, page.data());
                if ((page[0] & 1) != 0 && pwrite(fd, m.base + at, 4096, static_cast<off_t>(at)) != 4096) return;
            }
            close(fd);
        }
        const std::string probe = keyOf(n / 2);
        std::vector<double> today, compact;
        uint64_t visited = 0;
        for (int round = 0; round < 15; ++round) {
            double t0 = nowMs();
            std::unique_ptr<Segment> seg(Segment::openDisk(oldPath.c_str(), 0));
            const Record* hit = seg ? seg->getByKey(probe.c_str()) : nullptr;
            today.push_back(nowMs() - t0);
            if (hit == nullptr) std::printf("(today's lookup failed)\n");

            t0 = nowMs();
            const int fd = open(newPath.c_str(), O_RDONLY);
            struct stat st;
            fstat(fd, &st);
            void* p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
            const CompactRegion r(static_cast<uint8_t*>(p), static_cast<uint64_t>(st.st_size));
            std::vector<uint64_t> found;
            visited = 0;
            if (r.usable()) r.findLive(keyHash(probe.data(), probe.size()), probe.data(),
                                       static_cast<uint32_t>(probe.size()), found, &visited);
            munmap(p, static_cast<size_t>(st.st_size));
            close(fd);
            compact.push_back(nowMs() - t0);
            if (found.size() != 1) std::printf("(compact lookup failed)\n");
        }
        struct stat a, b;
        stat(oldPath.c_str(), &a);
        stat(newPath.c_str(), &b);
        std::printf("| %llu | %.3f | %llu | %.3f | %llu |\n", static_cast<unsigned long long>(n), median(today),
                    static_cast<unsigned long long>(n), median(compact), static_cast<unsigned long long>(visited));
        std::printf("|   file bytes | %llu allocated |  | %llu allocated |  |\n",
                    static_cast<unsigned long long>(a.st_blocks) * 512, static_cast<unsigned long long>(b.st_blocks) * 512);
        unlink(oldPath.c_str());
        unlink(newPath.c_str());
    }
    std::printf("\n");
}

// Scores n packed float rows in blocks of 32: the cosine that sums each
// row's norm, and the dot-only pass finished with the stored norms.
void cosineScan(uint64_t n, uint32_t dim) {
    const std::vector<float> v = vectors(n, dim);
    float* rows = static_cast<float*>(std::aligned_alloc(32, n * dim * sizeof(float)));
    std::memcpy(rows, v.data(), n * dim * sizeof(float));
    std::vector<float> norms(n);
    for (uint64_t i = 0; i < n; ++i) norms[i] = storedNorm(rows + i * dim, dim, true);
    QueryScorer qs;
    qs.init(v.data() + 5 * dim, dim, DistanceMetric::Cosine, true);
    const QueryScorer dots = qs.dotPart();
    std::vector<double> full, normed;
    float sink = 0;
    for (int round = 0; round < 9; ++round) {
        const float* ptrs[32];
        float out[32];
        double t0 = nowMs();
        for (uint64_t i = 0; i < n; i += 32) {
            const uint32_t c = static_cast<uint32_t>(std::min<uint64_t>(32, n - i));
            for (uint32_t k = 0; k < c; ++k) ptrs[k] = rows + (i + k) * dim;
            qs.scoreBlock(ptrs, c, out);
            sink += out[0];
        }
        full.push_back(nowMs() - t0);
        t0 = nowMs();
        for (uint64_t i = 0; i < n; i += 32) {
            const uint32_t c = static_cast<uint32_t>(std::min<uint64_t>(32, n - i));
            for (uint32_t k = 0; k < c; ++k) ptrs[k] = rows + (i + k) * dim;
            dots.scoreBlock(ptrs, c, out);
            for (uint32_t k = 0; k < c; ++k) out[k] = qs.cosineWithNorm(out[k], norms[i + k]);
            sink += out[0];
        }
        normed.push_back(nowMs() - t0);
    }
    std::printf("| %llu x %u | %.2f | %.2f | %.2fx |\n", static_cast<unsigned long long>(n), dim, median(full),
                median(normed), median(full) / median(normed));
    if (sink == 12345.0f) std::printf(" ");
    std::free(rows);
}

// The exhaustive scan of n random records, today's slots against the
// compact region's packed rows (records copied over as stored), queries per
// second of one thread, median of 7 queries.
void scans(uint64_t n, uint32_t dim) {
    std::printf("## Exhaustive scan, %llu random records x %u, top 10, queries per second (median of 7)\n\n",
                static_cast<unsigned long long>(n), dim);
    std::printf("| metric | encoding | today | compact | compact / today | today / its float32 | compact / its float32 |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    const std::vector<float> v = vectors(n, dim);
    const struct {
        const char* name;
        Quantization q;
    } encodings[] = {{"float32", Quantization::None}, {"f16", Quantization::F16}, {"int8", Quantization::Int8},
                     {"binary", Quantization::Binary}};
    const DistanceMetric metrics[] = {DistanceMetric::Cosine, DistanceMetric::Euclidean};
    const char* names[] = {"cosine", "euclidean"};
    double base[2][2] = {{0, 0}, {0, 0}};
    for (const auto& e : encodings) {
        Shape s = shapeOf(dim, e.q, n);
        std::unique_ptr<Segment> seg(Segment::createMemory(s));
        for (uint64_t i = 0; i < n; ++i) seg->add(i, keyOf(i).c_str(), v.data() + i * dim, kMeta.data(), 45);
        Mapped m(s);
        CompactRegion r(m.base, m.len);
        for (uint64_t i = 0; i < n; ++i) copySlotIntoCompact(r, *seg, i);
        for (int mi = 0; mi < 2; ++mi) {
            seg->metric = metrics[mi];
            std::vector<double> today, compact;
            for (int k = 0; k < 7; ++k) {
                const float* q = v.data() + (k * 101) * dim;
                Result res[10];
                int count = 0;
                double t0 = nowMs();
                seg->search(q, 10, res, &count);
                today.push_back(nowMs() - t0);
                QueryScorer scorer;
                scorer.init(q, dim, metrics[mi], true);
                count = 0;
                TopK top(res, 10, &count);
                t0 = nowMs();
                scanCompact(r, scorer, nullptr, top);
                compact.push_back(nowMs() - t0);
            }
            const double qt = 1000.0 / median(today), qc = 1000.0 / median(compact);
            if (e.q == Quantization::None) base[mi][0] = qt, base[mi][1] = qc;
            std::printf("| %s | %s | %.1f | %.1f | %.2fx | %.2fx | %.2fx |\n", names[mi], e.name, qt, qc, qc / qt,
                        qt / base[mi][0], qc / base[mi][1]);
        }
    }
    std::printf("\n");
}

// Through a real store, graph built: the resident pages of its segments
// per record (memory), the blocks its files take (disk), and opening a
// disk store and its first get, version-6 segments against compact ones.
uint64_t residentOfStore(const Store& st) {
    uint64_t bytes = 0;
    for (const Segment* seg : st.segments) bytes += residentBytes(seg->base, seg->mappedLen);
    return bytes;
}

uint64_t blocksOf(const char* dir) {
    uint64_t bytes = 0;
    for (int i = 0; i < 10000; ++i) {
        char path[512];
        std::snprintf(path, sizeof path, "%s/seg_%04d.qbseg", dir, i);
        struct stat st;
        if (stat(path, &st) != 0) break;
        bytes += static_cast<uint64_t>(st.st_blocks) * 512;
    }
    return bytes;
}

void fillStore(Store& st, const std::vector<float>& v, uint64_t n, uint32_t dim) {
    for (uint64_t i = 0; i < n; ++i)
        st.set(keyOf(i).c_str(), v.data() + i * dim, kMeta.data(), static_cast<uint32_t>(kMeta.size()));
    st.buildIndex();
}

void throughStores(uint64_t n, const char* dir) {
    std::printf("## Through a store, graph built (M 16, efConstruction 40): version-6 slots against compact segments\n\n");
    std::printf("| figure | today | compact |\n|---|---|---|\n");
    const std::vector<float> v = vectors(n, 384);
    const struct {
        const char* name;
        Quantization q;
    } encodings[] = {{"float32", Quantization::None}, {"int8", Quantization::Int8}, {"binary", Quantization::Binary}};
    for (const auto& e : encodings) {
        uint64_t perRecord[2];
        for (uint32_t f = 0; f < 2; ++f) {
            // A default memory store: 4096 slots at first, doubled as it fills.
            Shape s = shapeOf(384, e.q, 4096);
            s.efConstruction = 40;
            s.format = f ? kCompactSegmentVersion : kSegmentVersion;
            std::unique_ptr<Store> st(Store::openMemory(s, nullptr));
            fillStore(*st, v, n, 384);
            perRecord[f] = residentOfStore(*st) / n;
        }
        std::printf("| resident bytes per record, memory, %llu x 384 %s | %llu | %llu |\n",
                    static_cast<unsigned long long>(n), e.name, static_cast<unsigned long long>(perRecord[0]),
                    static_cast<unsigned long long>(perRecord[1]));
    }
    const uint64_t diskN = 100000;
    const std::vector<float> small = vectors(diskN, 64);
    uint64_t blocks[2];
    double openMs[2];
    for (uint32_t f = 0; f < 2; ++f) {
        const std::string sub = std::string(dir) + (f ? "/seven" : "/six");
        Shape s = shapeOf(64, Quantization::None, 100000);
        s.efConstruction = 40;
        s.format = f ? kCompactSegmentVersion : kSegmentVersion;
        {
            std::unique_ptr<Store> st(Store::openDisk(sub.c_str(), s));
            fillStore(*st, small, diskN, 64);
        }
        blocks[f] = blocksOf(sub.c_str());
        std::vector<double> ms;
        for (int r = 0; r < 5; ++r) {
            const double t0 = nowMs();
            std::unique_ptr<Store> st(Store::openDisk(sub.c_str(), s));
            float out[64];
            char* meta = nullptr;
            uint32_t len = 0;
            st->get(keyOf(diskN / 2).c_str(), out, &meta, &len);
            releaseBytes(meta);
            ms.push_back(nowMs() - t0);
        }
        openMs[f] = median(ms);
    }
    const uint64_t data = diskN * (64 * 4 + 20 + kMeta.size() + kNodeBytes);
    std::printf("| disk files of 100000 x 64 float32, bytes allocated (data with nodes: %llu) | %llu | %llu |\n",
                static_cast<unsigned long long>(data), static_cast<unsigned long long>(blocks[0]),
                static_cast<unsigned long long>(blocks[1]));
    std::printf("| open + first get, 100000-record disk store, same process, page cache warm, median of 5, ms | %.2f | %.2f |\n\n",
                openMs[0], openMs[1]);
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 30000;
    char dir[] = "/tmp/qb_bench_compact_XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    if (argc > 2 && std::strcmp(argv[2], "stores") == 0) {
        throughStores(n, dir);
        return 0;
    }
    residentPerRecord(n);
    openAndFirstGet(dir);
    std::printf("## Cosine over packed float rows, 8-lane order, median of 9 passes\n\n");
    std::printf("| rows | norm summed per row, ms | stored norm, ms | speed-up |\n|---|---|---|---|\n");
    cosineScan(100000, 384);
    cosineScan(60000, 768);
    std::printf("\n");
    scans(60000, 768);
    rmdir(dir);
    return 0;
}
