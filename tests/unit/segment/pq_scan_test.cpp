// The PQ scan that skips records by proven score bounds (segments of 1 024
// used slots and more) against scoring every record one at a time into the
// same top-K merge: the same hits, scores and order for every metric and
// summation order, with deletions, results already holding hits of an
// earlier segment (ties with them included), codebooks of near ties, and
// codebooks with NaN or infinite centroids (no bounds: every record scored).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/math/codecs.h"
#include "core/math/score.h"
#include "core/segment/compact_copy.h"
#include "core/segment/segment.h"
#include "core/segment/top_k.h"
#include "seg_fixture.h"

using namespace segtest;
using qarbin::Record;
using qarbin::Result;

namespace {

constexpr uint32_t kDim = 16;
constexpr uint32_t kM = 4;
constexpr uint64_t kUsed = 1100;

enum class Book { Trained, NearTies, NanCentroid, InfCentroid };

std::vector<float> codebookOf(Book b, std::mt19937& rng) {
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> cb(256 * kDim);
    for (size_t i = 0; i < cb.size(); ++i) {
        if (b == Book::NearTies) {
            float x = 0.5f;
            for (size_t k = i % 3; k > 0; --k) x = std::nextafter(x, 1.0f);
            cb[i] = (i / kDim) % 2 ? x : -x;
        } else {
            cb[i] = u(rng);
        }
    }
    // Sub-space 1, centroid 7 (elements 4 .. 7 of the vector).
    if (b == Book::NanCentroid) cb[(1 * 256 + 7) * (kDim / kM) + 2] = std::numeric_limits<float>::quiet_NaN();
    if (b == Book::InfCentroid) cb[(1 * 256 + 7) * (kDim / kM) + 2] = -std::numeric_limits<float>::infinity();
    return cb;
}

// Every live record decoded, scored alone and offered in slot order.
std::vector<Result> oneAtATime(const Segment& s, const float* query, int topK, bool avx2,
                               std::vector<Result> results, int count) {
    results.resize(topK);
    qarbin::TopK top(results.data(), topK, &count);
    alignas(64) float scratch[kDim];
    for (uint64_t i = 0; i < s.usedSlotsClamped(); ++i) {
        if (!s.liveAt(i)) continue;
        const float* d =
            qarbin::decodeVector(s.vectorAt(i), s.dim, s.quantization, s.pqSubvectors, s.codebook, scratch);
        top.offer(s, i, qarbin::computeScore(query, d, s.dim, s.metric, avx2));
    }
    results.resize(count);
    return results;
}

SegPtr filledSegment(uint32_t format, Book book, DistanceMetric metric, bool avx2, bool deletions,
                     std::mt19937& rng) {
    qarbin::Shape shape = qarbin_test::inFormat(shapeOf(kDim, kUsed + 20, Quantization::PQ, kM, metric, 0, 0), format);
    shape.useAvx2 = avx2;
    SegPtr s(Segment::createMemory(shape));
    if (!s || !s->publishCodebook(codebookOf(book, rng).data())) return nullptr;
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> v(kDim);
    for (uint64_t i = 0; i < kUsed; ++i) {
        for (float& x : v) x = book == Book::NearTies ? 0.5f * (u(rng) < 0 ? -1.0f : 1.0f) : u(rng);
        if (s->add(i, ("k" + std::to_string(i)).c_str(), v.data(), nullptr, 0) != 0) return nullptr;
        // Some records on the special centroid, which no encoder picks.
        if (i % 97 == 3) {
            const_cast<uint8_t*>(s->vectorAt(i))[1] = 7;
            // A compact entry keeps its vector's norm: stored as an add of these codes would.
            alignas(64) float scratch[kDim];
            if (s->compact())
                s->entries[i].norm = qarbin::compactNorm(*s->compactHeader, s->vectorAt(i), s->codebook, scratch);
        }
    }
    if (deletions)
        for (uint64_t i = 5; i < kUsed; i += 9) s->markDeleted(i);
    return s;
}

void expectSame(const std::vector<Result>& want, const Result* got, int gotCount, const char* what) {
    ASSERT_EQ(static_cast<size_t>(gotCount), want.size()) << what;
    for (size_t j = 0; j < want.size(); ++j) {
        ASSERT_EQ(got[j].id, want[j].id) << what << " at " << j;
        ASSERT_EQ(std::memcmp(&got[j].score, &want[j].score, 4), 0) << what << " at " << j;
    }
}

}  // namespace

TEST(PqScan, SkippingByBoundsEqualsScoringEveryRecord) {
    std::mt19937 rng(16);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (uint32_t format : kBothFormats) {
        for (Book book : {Book::Trained, Book::NearTies, Book::NanCentroid, Book::InfCentroid}) {
            for (DistanceMetric metric : {DistanceMetric::Cosine, DistanceMetric::Dot, DistanceMetric::Euclidean,
                                          DistanceMetric::Manhattan}) {
                for (bool avx2 : {false, true}) {
                    for (bool deletions : {false, true}) {
                        SCOPED_TRACE(format);
                        SegPtr s = filledSegment(format, book, metric, avx2, deletions, rng);
                        ASSERT_NE(s, nullptr);
                        std::vector<float> query(kDim);
                        for (float& x : query) x = book == Book::NearTies ? 0.5f : u(rng);
                        // An earlier segment's hits, one scoring exactly as record 10.
                        alignas(64) float d[kDim];
                        const float* v10 =
                            qarbin::decodeVector(s->vectorAt(10), kDim, s->quantization, kM, s->codebook, d);
                        Result early{};
                        early.id = 1u << 30;
                        early.score = qarbin::computeScore(query.data(), v10, kDim, metric, avx2);
                        for (int topK : {1, 10, 100}) {
                            for (int prefilled : {0, 1}) {
                                std::vector<Result> got(topK);
                                int gotCount = prefilled;
                                if (prefilled) got[0] = early;
                                ASSERT_EQ(s->search(query.data(), topK, got.data(), &gotCount), 0);
                                const std::vector<Result> want = oneAtATime(
                                    *s, query.data(), topK, avx2, prefilled ? std::vector<Result>{early} : std::vector<Result>{},
                                    prefilled);
                                char what[128];
                                std::snprintf(what, sizeof what, "book %d metric %d avx2 %d del %d k %d pre %d", int(book),
                                              int(metric), avx2, deletions, topK, prefilled);
                                expectSame(want, got.data(), gotCount, what);
                            }
                        }
                    }
                }
            }
        }
    }
}

// The skip rule at its edges: a record is ruled out only by a full array
// whose lowest score is a number at least its bound.
TEST(PqScan, MayEnterRulesOutOnlyWhatCannotEnter) {
    struct Case {
        const char* what;
        std::vector<float> held;  // scores offered first, topK 2
        double bound;
        bool mayEnter;
    };
    const Case cases[] = {
        {"not full", {0.9f}, 0.1, true},
        {"bound equals the lowest", {0.9f, 0.5f}, 0.5, false},
        {"bound below the lowest", {0.9f, 0.5f}, 0.25, false},
        {"bound just above the lowest", {0.9f, 0.5f}, std::nextafter(0.5, 1.0), true},
        {"lowest is -0 and bound +0", {0.9f, -0.0f}, 0.0, false},
        {"bound is NaN", {0.9f, 0.5f}, std::nan(""), true},
        {"bound is +inf", {0.9f, 0.5f}, HUGE_VAL, true},
    };
    for (const Case& c : cases) {
        Result results[2];
        int count = 0;
        qarbin::TopK top(results, 2, &count);
        for (size_t i = 0; i < c.held.size(); ++i) top.offer(i, "k", 1, c.held[i], nullptr, 0);
        EXPECT_EQ(top.mayEnter(c.bound), c.mayEnter) << c.what;
    }
}
