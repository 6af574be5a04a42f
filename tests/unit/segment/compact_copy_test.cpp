// Records copied from version-6 slots into a compact region keep their
// bytes, and the scan over packed rows (cosine on stored norms) returns what
// the version-6 scan returns, scores bit for bit, for every encoding,
// metric and summation order.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/math/codecs.h"
#include "core/segment/compact_copy.h"
#include "core/segment/key_index.h"
#include "test_util.h"

using namespace qarbin;

namespace {

struct Hit {
    std::string key;
    uint32_t bits;
    std::string meta;
    bool operator==(const Hit& o) const { return key == o.key && bits == o.bits && meta == o.meta; }
};

std::vector<Hit> sorted(const Result* res, int n) {
    std::vector<Hit> out;
    for (int i = 0; i < n; ++i) {
        uint32_t b;
        std::memcpy(&b, &res[i].score, 4);
        out.push_back({std::string(res[i].key, res[i].keyLen), b, res[i].metadata ? std::string(res[i].metadata, res[i].metadataLen) : ""});
    }
    std::sort(out.begin(), out.end(), [](const Hit& a, const Hit& b) { return a.key < b.key; });
    return out;
}

struct Region {
    uint8_t* base = nullptr;
    uint64_t len = 0;
    Region(const Shape& s, NormOrder order) {
        CompactLayout l;
        computeCompactLayout(s.capacity, s.dim, s.quantization, s.pqSubvectors, &l);
        len = l.regionBytes;
        base = static_cast<uint8_t*>(
            mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
        CompactRegion::init(base, len, s, order);
    }
    ~Region() { munmap(base, len); }
};

}  // namespace

TEST(CompactCopy, CopiedRecordsScanAsTheirVersion6Slots) {
    const uint32_t dim = 20;  // a tail after the full 8-lane blocks
    const Quantization encodings[] = {Quantization::None, Quantization::F16, Quantization::Int8, Quantization::Binary,
                                      Quantization::PQ};
    const DistanceMetric metrics[] = {DistanceMetric::Cosine, DistanceMetric::Dot, DistanceMetric::Euclidean,
                                      DistanceMetric::Manhattan};
    std::mt19937 rng(24);
    std::normal_distribution<float> g(0.0f, 1.0f);
    for (Quantization q : encodings) {
        for (bool avx2 : {false, true}) {
            Shape shape = qarbin_test::makeShape(dim, DistanceMetric::Cosine, q, 300, avx2, 16, 200,
                                                 q == Quantization::PQ ? 4 : 0);
            shape.format = qarbin::kSegmentVersion;  // the source is a fixed-slot segment
            std::unique_ptr<Segment> seg(Segment::createMemory(shape));
            ASSERT_TRUE(seg);
            std::vector<float> data(260 * dim);
            for (float& x : data) x = 3.0f * g(rng);
            if (q == Quantization::PQ) {
                ASSERT_EQ(seg->trainPQCodebook(data.data(), 260), 0);
            }
            for (int i = 0; i < 260; ++i) {
                const std::string key = "rec-" + std::to_string(i);
                const std::string meta = std::string(static_cast<size_t>(i % 9), 'm') + std::to_string(i);
                ASSERT_EQ(seg->add(keyHash(key.data(), key.size()), key.c_str(), data.data() + i * dim, meta.data(),
                                   static_cast<uint32_t>(meta.size())),
                          0);
            }
            for (int i = 0; i < 260; i += 13) seg->markDeleted(static_cast<uint64_t>(i));

            Region region(shape, avx2 ? NormOrder::EightLane : NormOrder::Sequential);
            CompactRegion r(region.base, region.len);
            ASSERT_TRUE(r.usable());
            for (uint64_t i = 0; i < seg->usedSlotsClamped(); ++i) {
                const Record* rec = seg->recordAt(i);
                if (!recordLive(rec)) continue;
                ASSERT_EQ(copySlotIntoCompact(r, *seg, i), CompactAdd::Stored);
                const uint64_t e = r.entryCount() - 1;
                EXPECT_EQ(std::memcmp(r.row(e), reinterpret_cast<const uint8_t*>(rec) + kSlotHeaderBytes, seg->vecBytes()), 0);
                VarSpan s;
                ASSERT_TRUE(r.span(e, &s));
                EXPECT_EQ(std::string(s.key, s.keyLen), std::string(rec->key));
                EXPECT_EQ(std::string(s.meta, s.metaLen), std::string(seg->metadataPtr(rec), rec->metaLen));
            }
            EXPECT_EQ(r.entryCount(), 240u);
            for (DistanceMetric m : metrics) {
                seg->metric = m;
                for (int qi = 0; qi < 3; ++qi) {
                    const float* query = data.data() + (qi * 37 + 5) * dim;
                    Result a[25], b[25];
                    int na = 0, nb = 0;
                    ASSERT_EQ(seg->search(query, 25, a, &na), 0);
                    QueryScorer scorer;
                    scorer.init(query, dim, m, avx2);
                    TopK top(b, 25, &nb);
                    ASSERT_TRUE(scanCompact(r, scorer, seg->codebook, top));
                    ASSERT_EQ(na, 25);
                    ASSERT_EQ(sorted(a, na), sorted(b, nb))
                        << "quant " << int(q) << " metric " << int(m) << " avx2 " << avx2 << " query " << qi;
                }
            }
        }
    }
}
