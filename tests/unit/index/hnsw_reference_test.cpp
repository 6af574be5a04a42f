// The segment's graph against a second, deliberately plain model of the same
// algorithm: std::vector nodes, std::priority_queue beams, one distance at a
// time through computeScore. Build, insert and search must agree node for
// node, link place for link place, and hit for hit. The data are random
// floats, so no two distances tie and the order of equal pairs (which the
// algorithm leaves open) never matters.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <queue>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/math/score.h"
#include "hnsw_fixture.h"

using namespace hnsw_test;

namespace {

// 64-byte aligned storage for one vector (the 8-lane cosine reads stored
// vectors with aligned loads).
struct alignas(64) Chunk {
    float f[16];
};

struct RefRecord {
    uint64_t id = 0;
    std::string key;
    std::vector<Chunk> vec;
    bool deleted = false;
    int32_t graphNode = -1;
    const float* data() const { return vec[0].f; }
};

struct RefNode {
    uint32_t slot = 0;
    uint32_t level = 0;
    uint32_t linkCount = 0;
    int32_t poolFirst = -1;
    std::vector<int32_t> links = std::vector<int32_t>(32, -1);
};

struct RefEntry {
    uint32_t node = 0;
    uint32_t level = 0;
    uint32_t linkCount = 0;
    std::vector<int32_t> links = std::vector<int32_t>(16, -1);
};

struct DistNode {
    float d;
    uint32_t node;
};
struct NearestOnTop {
    bool operator()(const DistNode& a, const DistNode& b) const { return a.d > b.d; }
};
struct FarthestOnTop {
    bool operator()(const DistNode& a, const DistNode& b) const { return a.d < b.d; }
};

struct Hit {
    uint64_t id;
    std::string key;
    float score;
};

class RefGraph {
public:
    RefGraph(uint32_t dim, uint64_t capacity, uint32_t hnswM, uint32_t efc, uint64_t poolEntries,
             DistanceMetric metric, bool avx2)
        : pool(poolEntries), dim_(dim), capacity_(capacity), hnswM_(hnswM), efc_(efc), metric_(metric),
          avx2_(avx2) {}

    void add(uint64_t id, const std::string& key, const float* v) {
        RefRecord r;
        r.id = id;
        r.key = key;
        r.vec.resize((dim_ + 15) / 16);
        std::memcpy(r.vec[0].f, v, dim_ * sizeof(float));
        records.push_back(std::move(r));
    }

    void remove(size_t slot) { records[slot].deleted = true; }

    void build() {
        const uint64_t s = std::min<uint64_t>(records.size(), capacity_);
        if (s == 0) return;
        std::vector<uint32_t> live;
        for (uint64_t i = 0; i < s; ++i)
            if (!records[i].deleted) live.push_back(static_cast<uint32_t>(i));
        if (live.empty()) return;
        for (uint64_t i = 0; i < s; ++i) records[i].graphNode = -1;
        usable = false;
        indexedCount = 0;
        const uint32_t m = hnswM_ ? hnswM_ : 16;
        const uint32_t efc = efc_ ? efc_ : 200;
        const double scale = 1.0 / std::log(static_cast<double>(m));
        std::mt19937 gen(42);
        std::vector<uint32_t> levels;
        for (size_t k = 0; k < live.size(); ++k) levels.push_back(drawLevel(gen, scale));

        marks_.assign(live.size(), 0);
        tag_ = 0;
        int32_t ep = -1;
        uint32_t maxL = 0;
        uint32_t j = 0;
        nodes.clear();
        for (uint32_t p = 0; p < live.size(); ++p) {
            uint32_t level = initNode(p, live[p], levels[p], &j);
            if (ep < 0) {
                ep = static_cast<int32_t>(p);
                maxL = level;
                continue;
            }
            connect(p, level, static_cast<uint32_t>(ep), maxL, m, efc);
            if (level > maxL) {
                ep = static_cast<int32_t>(p);
                maxL = level;
            }
        }
        entryPoint = ep;
        maxLevel = maxL;
        indexedCount = live.size();
        linkPoolUsed = j;
        usable = true;
    }

    int insert() {
        if (!usable) return -1;
        const uint64_t s = std::min<uint64_t>(records.size(), capacity_);
        if (s == 0) return 0;
        std::vector<uint32_t> pending;
        for (uint64_t i = 0; i < s; ++i)
            if (!records[i].deleted && records[i].graphNode == -1) pending.push_back(static_cast<uint32_t>(i));
        if (pending.empty()) return 0;
        const uint64_t n0 = indexedCount;
        int32_t ep = entryPoint;
        uint32_t maxL = maxLevel;
        uint32_t j = linkPoolUsed;
        const uint32_t m = hnswM_ ? hnswM_ : 16;
        const uint32_t efc = efc_ ? efc_ : 200;
        const double scale = 1.0 / std::log(static_cast<double>(m));
        std::mt19937 gen(static_cast<uint32_t>(n0 + 1));
        marks_.assign(n0 + pending.size(), 0);
        tag_ = 0;
        uint64_t made = 0;
        for (size_t k = 0; k < pending.size(); ++k) {
            const uint64_t p = n0 + k;
            if (p >= capacity_) break;
            uint32_t level = drawLevel(gen, scale);
            level = initNode(static_cast<uint32_t>(p), pending[k], level, &j);
            connect(static_cast<uint32_t>(p), level, static_cast<uint32_t>(ep), maxL, m, efc);
            if (level > maxL) {
                ep = static_cast<int32_t>(p);
                maxL = level;
            }
            ++made;
        }
        entryPoint = ep;
        maxLevel = maxL;
        indexedCount = n0 + made;
        linkPoolUsed = j;
        return 0;
    }

    std::vector<Hit> search(const float* q, int topK, int ef) {
        std::vector<Hit> results;
        int worst = -1;
        if (!usable || indexedCount == 0 || entryPoint == -1) return results;
        auto offer = [&](const RefRecord& r, float score) {
            if (static_cast<int>(results.size()) < topK) {
                results.push_back(Hit{r.id, r.key, score});
                if (worst < 0 || results[worst].score > score) worst = static_cast<int>(results.size()) - 1;
                return;
            }
            if (results[worst].score >= score) return;
            results[worst] = Hit{r.id, r.key, score};
            worst = 0;
            for (int i = 1; i < topK; ++i)
                if (results[i].score < results[worst].score) worst = i;
        };

        uint32_t c = greedyDescend(q, static_cast<uint32_t>(entryPoint), maxLevel, 0);
        std::vector<uint32_t> marks(indexedCount, 0);
        std::vector<DistNode> w = searchLayer(q, {c}, static_cast<uint32_t>(ef), 0, marks, 1);
        for (size_t i = w.size(); i-- > 0;) {
            const RefRecord& r = records[nodes[w[i].node].slot];
            if (r.deleted) continue;
            offer(r, metric_ == DistanceMetric::Cosine ? 1.0f - w[i].d : -w[i].d);
        }
        const uint64_t s = std::min<uint64_t>(records.size(), capacity_);
        for (uint64_t i = 0; i < s; ++i) {
            const RefRecord& r = records[i];
            if (r.deleted || r.graphNode != -1) continue;
            offer(r, qarbin::computeScore(q, r.data(), dim_, metric_, avx2_));
        }
        return results;
    }

    std::vector<RefRecord> records;
    std::vector<RefNode> nodes;
    std::vector<RefEntry> pool;
    int32_t entryPoint = -1;
    uint32_t maxLevel = 0;
    uint64_t indexedCount = 0;
    uint32_t linkPoolUsed = 0;
    bool usable = false;
    // How often the paths worth covering were taken.
    uint64_t demoted = 0;       // levels that did not fit in the pool
    uint64_t replacements = 0;  // full lists that gave up a link
    uint64_t descentMoves = 0;  // greedy steps to a closer node
    // Choices between pairs of exactly equal distance whose order is left
    // open (which of two equal heap tops goes first, their order in the
    // sorted beam): a case is a valid comparison only while this stays 0.
    uint64_t ties = 0;

private:
    float dist(const float* q, uint32_t node) const {
        float s = qarbin::computeScore(q, records[nodes[node].slot].data(), dim_, metric_, avx2_);
        return metric_ == DistanceMetric::Cosine ? 1.0f - s : -s;
    }

    static uint32_t drawLevel(std::mt19937& gen, double scale) {
        uint64_t a = gen();
        uint64_t b = gen();
        double u = static_cast<double>(a | (b << 32)) * std::ldexp(1.0, -64);
        double x = -std::log(u) * scale;
        if (!std::isfinite(x)) return 0;
        double t = std::trunc(x);
        return t >= 15.0 ? 15u : static_cast<uint32_t>(t);
    }

    uint32_t initNode(uint32_t p, uint32_t slot, uint32_t level, uint32_t* j) {
        if (nodes.size() <= p) nodes.resize(p + 1);
        RefNode& nd = nodes[p];
        nd = RefNode();
        nd.slot = slot;
        nd.level = level;
        if (level > 0) {
            if (*j + level <= pool.size()) {
                nd.poolFirst = static_cast<int32_t>(*j);
                for (uint32_t l = 1; l <= level; ++l) {
                    RefEntry& e = pool[*j + l - 1];
                    e = RefEntry();
                    e.node = p;
                    e.level = l;
                }
                *j += level;
            } else {
                nd.level = 0;
                level = 0;
                ++demoted;
            }
        }
        records[slot].graphNode = static_cast<int32_t>(p);
        return level;
    }

    // The list of `owner` on `level` and its count; null when it has none.
    std::vector<int32_t>* listOf(uint32_t owner, uint32_t level, uint32_t** count) {
        RefNode& nd = nodes[owner];
        if (level == 0) {
            *count = &nd.linkCount;
            return &nd.links;
        }
        if (nd.poolFirst == -1 || nd.level < level) return nullptr;
        RefEntry& e = pool[nd.poolFirst + level - 1];
        *count = &e.linkCount;
        return &e.links;
    }

    uint32_t greedyDescend(const float* q, uint32_t start, uint32_t top, uint32_t bottom) {
        uint32_t c = start;
        for (uint32_t l = top; l > bottom; --l) {
            float d = dist(q, c);
            for (;;) {
                uint32_t* count = nullptr;
                std::vector<int32_t>* links = listOf(c, l, &count);
                if (!links || *count == 0) break;
                bool moved = false;
                for (uint32_t i = 0; i < *count; ++i) {
                    int32_t x = (*links)[i];
                    if (x == -1) continue;
                    float dx = dist(q, static_cast<uint32_t>(x));
                    if (dx < d) {
                        c = static_cast<uint32_t>(x);
                        d = dx;
                        moved = true;
                        ++descentMoves;
                        break;
                    }
                }
                if (!moved) break;
            }
        }
        return c;
    }

    std::vector<DistNode> searchLayer(const float* q, const std::vector<uint32_t>& entries, uint32_t ef,
                                      uint32_t level, std::vector<uint32_t>& marks, uint32_t tag) {
        std::priority_queue<DistNode, std::vector<DistNode>, NearestOnTop> cand;
        std::priority_queue<DistNode, std::vector<DistNode>, FarthestOnTop> w;
        for (uint32_t e : entries) {
            if (e >= marks.size() || marks[e] == tag) continue;
            marks[e] = tag;
            DistNode pr{dist(q, e), e};
            cand.push(pr);
            w.push(pr);
        }
        while (!cand.empty()) {
            DistNode c = cand.top();
            cand.pop();
            if (!cand.empty() && cand.top().d == c.d) ++ties;
            if (c.d > w.top().d) break;
            uint32_t* count = nullptr;
            std::vector<int32_t>* links = listOf(c.node, level, &count);
            if (!links) continue;
            for (uint32_t i = 0; i < *count; ++i) {
                int32_t x = (*links)[i];
                if (x == -1 || static_cast<uint64_t>(x) >= marks.size() || marks[x] == tag) continue;
                marks[x] = tag;
                float dx = dist(q, static_cast<uint32_t>(x));
                if (dx < w.top().d || w.size() < ef) {
                    cand.push(DistNode{dx, static_cast<uint32_t>(x)});
                    w.push(DistNode{dx, static_cast<uint32_t>(x)});
                    if (w.size() > ef) {
                        float gone = w.top().d;
                        w.pop();
                        if (w.top().d == gone) ++ties;
                    }
                }
            }
        }
        std::vector<DistNode> out;
        while (!w.empty()) {
            out.push_back(w.top());
            w.pop();
        }
        std::sort(out.begin(), out.end(),
                  [](const DistNode& a, const DistNode& b) { return a.d < b.d || (a.d == b.d && a.node < b.node); });
        return out;
    }

    // Nearest first; a candidate joins unless a neighbour already chosen is
    // strictly closer to it than the base is.
    std::vector<uint32_t> selectDiverse(const std::vector<DistNode>& cand, uint32_t limit) const {
        std::vector<uint32_t> chosen;
        for (const DistNode& c : cand) {
            if (chosen.size() == limit) break;
            bool diverse = true;
            for (uint32_t r : chosen)
                if (dist(records[nodes[r].slot].data(), c.node) < c.d) diverse = false;
            if (diverse) chosen.push_back(c.node);
        }
        return chosen;
    }

    void addLink(uint32_t owner, uint32_t x, uint32_t level) {
        uint32_t* count = nullptr;
        std::vector<int32_t>* links = listOf(owner, level, &count);
        const uint32_t cap = level == 0 ? 32 : 16;
        const uint32_t n = *count;
        if (n < cap) {
            (*links)[n] = static_cast<int32_t>(x);
            *count = n + 1;
            return;
        }
        // Full: the list is chosen afresh among its links and x.
        const float* v = records[nodes[owner].slot].data();
        std::vector<DistNode> cand{DistNode{dist(v, x), x}};
        for (uint32_t i = 0; i < cap; ++i) {
            int32_t y = (*links)[i];
            if (y == -1 || static_cast<uint32_t>(y) == x) continue;
            cand.push_back(DistNode{dist(v, static_cast<uint32_t>(y)), static_cast<uint32_t>(y)});
        }
        std::sort(cand.begin(), cand.end(), [](const DistNode& a, const DistNode& b) {
            return a.d < b.d || (a.d == b.d && a.node < b.node);
        });
        std::vector<uint32_t> chosen = selectDiverse(cand, cap);
        for (uint32_t i = 0; i < cap; ++i) (*links)[i] = i < chosen.size() ? static_cast<int32_t>(chosen[i]) : -1;
        *count = static_cast<uint32_t>(chosen.size());
        ++replacements;
    }

    void connect(uint32_t p, uint32_t level, uint32_t ep, uint32_t maxL, uint32_t m, uint32_t efc) {
        const float* q = records[nodes[p].slot].data();
        uint32_t c = greedyDescend(q, ep, maxL, level);
        std::vector<uint32_t> entries{c};
        for (uint32_t l = std::min(level, maxL) + 1; l-- > 0;) {
            std::vector<DistNode> w = searchLayer(q, entries, efc, l, marks_, ++tag_);
            for (uint32_t x : selectDiverse(w, l == 0 ? 2 * m : m)) {
                const RefNode& np = nodes[p];
                if (l == 0 || (np.poolFirst != -1 && np.level >= l)) addLink(p, x, l);
                const RefNode& nx = nodes[x];
                if (l == 0 || (nx.poolFirst != -1 && nx.level >= l)) addLink(x, p, l);
            }
            entries.clear();
            for (const DistNode& pr : w) entries.push_back(pr.node);
        }
    }

    uint32_t dim_;
    uint64_t capacity_;
    uint32_t hnswM_;
    uint32_t efc_;
    DistanceMetric metric_;
    bool avx2_;
    std::vector<uint32_t> marks_;
    uint32_t tag_ = 0;
};

// The first place where the segment's graph differs from the model; empty
// when header, graphNode fields, nodes and pool entries all agree.
std::string firstDifference(const Segment& seg, const RefGraph& ref) {
    std::ostringstream out;
    const qarbin::SegmentHeader* h = seg.header;
    if (h->usedSlots.load() != ref.records.size()) out << "usedSlots " << h->usedSlots.load();
    else if (h->entryPoint != ref.entryPoint) out << "entryPoint " << h->entryPoint << ", model " << ref.entryPoint;
    else if (h->maxLevel != ref.maxLevel) out << "maxLevel " << h->maxLevel << ", model " << ref.maxLevel;
    else if (h->indexedCount.load() != ref.indexedCount)
        out << "indexedCount " << h->indexedCount.load() << ", model " << ref.indexedCount;
    else if (h->linkPoolUsed != ref.linkPoolUsed)
        out << "linkPoolUsed " << h->linkPoolUsed << ", model " << ref.linkPoolUsed;
    else if (((h->flags & 2u) != 0) != ref.usable) out << "flags " << h->flags;
    if (!out.str().empty()) return out.str();

    for (size_t i = 0; i < ref.records.size(); ++i)
        if (seg.graphNodeAt(i) != ref.records[i].graphNode)
            return "slot " + std::to_string(i) + " graphNode " + std::to_string(seg.graphNodeAt(i)) +
                   ", model " + std::to_string(ref.records[i].graphNode);
    for (uint64_t p = 0; p < ref.indexedCount; ++p) {
        const HnswNode* nd = nodeAt(seg, p);
        const RefNode& rn = ref.nodes[p];
        out << "node " << p << ": ";
        if (nd->slot != rn.slot) out << "slot " << nd->slot << ", model " << rn.slot;
        else if (nd->level != rn.level) out << "level " << +nd->level << ", model " << rn.level;
        else if (nd->poolFirst != rn.poolFirst) out << "poolFirst " << nd->poolFirst << ", model " << rn.poolFirst;
        else if (nd->linkCount != rn.linkCount) out << "linkCount " << +nd->linkCount << ", model " << rn.linkCount;
        else
            for (uint32_t i = 0; i < 32; ++i)
                if (nd->links[i] != rn.links[i]) {
                    out << "link place " << i << " is " << nd->links[i] << ", model " << rn.links[i];
                    break;
                }
        if (out.str().back() != ' ') return out.str();
        out.str("");
    }
    for (uint32_t k = 0; k < ref.linkPoolUsed; ++k) {
        const LinkPoolEntry* e = poolAt(seg, k);
        const RefEntry& re = ref.pool[k];
        out << "pool entry " << k << ": ";
        if (e->node != re.node) out << "node " << e->node << ", model " << re.node;
        else if (e->level != re.level) out << "level " << +e->level << ", model " << re.level;
        else if (e->linkCount != re.linkCount) out << "linkCount " << +e->linkCount << ", model " << re.linkCount;
        else
            for (uint32_t i = 0; i < 16; ++i)
                if (e->links[i] != re.links[i]) {
                    out << "link place " << i << " is " << e->links[i] << ", model " << re.links[i];
                    break;
                }
        if (out.str().back() != ' ') return out.str();
        out.str("");
    }
    return "";
}

struct Case {
    const char* name;
    uint32_t n;
    uint32_t dim;
    uint32_t m;
    uint32_t efc;
    DistanceMetric metric;
    bool avx2;
    uint32_t deleteEvery;  // 0: none; else every k-th record is deleted before the build
    bool clustered;        // tight blobs instead of uniform points
    uint32_t seed;         // varies the data; chosen so that no open tie arises
};

std::vector<float> caseVectors(const Case& c, size_t count, uint32_t seed) {
    if (!c.clustered) return randomVectors(count, c.dim, seed);
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::normal_distribution<float> g(0.0f, 0.25f);
    std::vector<float> centres(10 * c.dim);
    for (float& x : centres) x = u(gen);
    std::vector<float> v(count * c.dim);
    for (size_t i = 0; i < count; ++i) {
        size_t k = gen() % 10;
        for (uint32_t d = 0; d < c.dim; ++d) v[i * c.dim + d] = centres[k * c.dim + d] + g(gen);
    }
    return v;
}

void addBoth(Segment& seg, RefGraph& ref, const std::vector<float>& v, size_t from, size_t n) {
    addRange(seg, v, from, n);
    for (size_t i = from; i < from + n; ++i) ref.add(idOf(i), keyOf(i), &v[i * seg.dim]);
}

void deleteBoth(Segment& seg, RefGraph& ref, size_t slot) {
    ASSERT_EQ(deleteKey(seg, keyOf(slot)), 1);
    ref.remove(slot);
}

constexpr const char* kTiesMessage = "the data give equal distances whose order is open: choose other data";

// hnswSearch against the model's search for a few queries at ef 10 and 100,
// comparing the unsorted result arrays entry by entry.
void expectSameSearches(const Segment& seg, RefGraph& ref, const Case& c) {
    auto queries = randomVectors(4, c.dim, 991);
    for (int ef : {10, 100}) {
        for (int qi = 0; qi < 4; ++qi) {
            const float* q = &queries[qi * c.dim];
            std::vector<Result> got = graphSearch(seg, q, 10, ef);
            std::vector<Hit> want = ref.search(q, 10, ef);
            ASSERT_EQ(ref.ties, 0u) << kTiesMessage;
            ASSERT_EQ(got.size(), want.size()) << "ef " << ef << " query " << qi;
            for (size_t i = 0; i < want.size(); ++i) {
                EXPECT_EQ(got[i].id, want[i].id) << "ef " << ef << " query " << qi << " place " << i;
                EXPECT_EQ(std::string(got[i].key, got[i].keyLen), want[i].key);
                EXPECT_EQ(got[i].score, want[i].score) << "ef " << ef << " query " << qi << " place " << i;
            }
        }
    }
}

// The segment scores in the case's metric and order, as the model does.
void expectCaseScoring(const Case& c, const Segment& seg) {
    ASSERT_EQ(seg.metric, c.metric);
    ASSERT_EQ(seg.useAvx2, c.avx2);
}

void buildAndCompare(const Case& c, SegPtr& seg, RefGraph& ref) {
    expectCaseScoring(c, *seg);
    ASSERT_EQ(qarbin::buildHnsw(*seg), 0);
    ref.build();
    ASSERT_EQ(ref.ties, 0u) << kTiesMessage;
    ASSERT_EQ(firstDifference(*seg, ref), "");
}

void insertAndCompare(const Case& c, SegPtr& seg, RefGraph& ref) {
    expectCaseScoring(c, *seg);
    ASSERT_EQ(qarbin::hnswInsertIncremental(*seg), 0);
    ASSERT_EQ(ref.insert(), 0);
    ASSERT_EQ(ref.ties, 0u) << kTiesMessage;
    ASSERT_EQ(firstDifference(*seg, ref), "");
}

}  // namespace

TEST(HnswReference, BuildAndSearchMatchTheModel) {
    const Case cases[] = {
        {"50 euclid M4 efc-default", 50, 8, 4, 0, DistanceMetric::Euclidean, false, 0, false, 0},
        {"300 cosine M16 avx2", 300, 32, 16, 100, DistanceMetric::Cosine, true, 0, false, 2},
        {"300 cosine M-default seq", 300, 32, 0, 60, DistanceMetric::Cosine, false, 0, false, 0},
        {"300 dot M8 avx2", 300, 12, 8, 50, DistanceMetric::Dot, true, 0, false, 0},
        {"300 manhattan M3", 300, 8, 3, 40, DistanceMetric::Manhattan, false, 0, false, 0},
        {"2000 euclid M4 avx2", 2000, 8, 4, 32, DistanceMetric::Euclidean, true, 0, false, 1},
        {"2000 cosine M16 avx2", 2000, 32, 16, 40, DistanceMetric::Cosine, true, 0, false, 4},
        {"1000 cosine M8 seq clustered", 1000, 32, 8, 40, DistanceMetric::Cosine, false, 0, true, 0},
        {"2000 euclid M5 clustered", 2000, 16, 5, 30, DistanceMetric::Euclidean, true, 0, true, 4},
        {"400 euclid M8 deletions", 400, 8, 8, 50, DistanceMetric::Euclidean, true, 3, false, 0},
        {"400 cosine M6 deletions", 400, 32, 6, 40, DistanceMetric::Cosine, false, 5, false, 0},
    };
    // Diverse lists seldom fill in few dimensions, so the replacement path
    // is asked of the table as a whole.
    uint64_t replacements = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint64_t cap = c.n;
        SegPtr seg = makeSegment(c.dim, cap, c.metric, c.m, c.efc, Quantization::None, c.avx2);
        ASSERT_TRUE(seg);
        RefGraph ref(c.dim, cap, c.m, c.efc, seg->linkPoolEntries, c.metric, c.avx2);
        auto v = caseVectors(c, c.n, 7 + c.n + c.dim + c.seed);
        addBoth(*seg, ref, v, 0, c.n);
        if (c.deleteEvery)
            for (size_t i = 1; i < c.n; i += c.deleteEvery) deleteBoth(*seg, ref, i);
        buildAndCompare(c, seg, ref);
        replacements += ref.replacements;
        if (c.n >= 300) {
            EXPECT_GT(ref.maxLevel, 0u);
            EXPECT_GT(ref.descentMoves, 0u);
        }
        expectSameSearches(*seg, ref, c);

        // A rebuild after further deletions renumbers from scratch.
        if (c.deleteEvery) {
            for (size_t i = 0; i < c.n; i += 7)
                if (!ref.records[i].deleted) deleteBoth(*seg, ref, i);
            buildAndCompare(c, seg, ref);
            expectSameSearches(*seg, ref, c);
        }
    }
    EXPECT_GT(replacements, 0u) << "full lists never chose again";
}

TEST(HnswReference, InsertsAfterABuildMatchTheModel) {
    const Case cases[] = {
        {"cosine M6 avx2", 0, 16, 6, 40, DistanceMetric::Cosine, true, 0, false, 0},
        {"euclid M-default seq", 0, 8, 0, 30, DistanceMetric::Euclidean, false, 0, false, 0},
        {"cosine M4 seq clustered", 0, 32, 4, 24, DistanceMetric::Cosine, false, 0, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint64_t cap = 900;
        SegPtr seg = makeSegment(c.dim, cap, c.metric, c.m, c.efc, Quantization::None, c.avx2);
        ASSERT_TRUE(seg);
        RefGraph ref(c.dim, cap, c.m, c.efc, seg->linkPoolEntries, c.metric, c.avx2);
        auto v = caseVectors(c, cap, 31 + c.dim + c.seed);
        addBoth(*seg, ref, v, 0, 300);
        deleteBoth(*seg, ref, 4);
        buildAndCompare(c, seg, ref);

        // New records without nodes, one of them deleted before it is indexed,
        // and indexed records deleted: the search scores the first exactly and
        // steps through the others' nodes.
        addBoth(*seg, ref, v, 300, 250);
        deleteBoth(*seg, ref, 310);
        deleteBoth(*seg, ref, 20);
        deleteBoth(*seg, ref, static_cast<size_t>(ref.nodes[ref.entryPoint].slot));
        expectSameSearches(*seg, ref, c);
        insertAndCompare(c, seg, ref);
        EXPECT_EQ(ref.indexedCount, 299u + 249u);
        expectSameSearches(*seg, ref, c);

        // A second insert draws from a generator seeded with the new count.
        addBoth(*seg, ref, v, 550, 350);
        insertAndCompare(c, seg, ref);
        EXPECT_GT(ref.replacements, 0u);
        expectSameSearches(*seg, ref, c);
    }
}

TEST(HnswReference, ShortLinkPoolMatchesTheModel) {
    // M = 2 gives about one upper level per node, so 400 nodes want more than
    // the 256 pool entries a segment of 400 slots has.
    const Case c{"pool short M2", 0, 8, 2, 20, DistanceMetric::Euclidean, true, 0, false, 0};
    const uint64_t cap = 400;
    // The pool size is the fixed-slot layout's (version 6).
    SegPtr seg(Segment::createMemory(qarbin_test::inFormat(
        makeShape(c.dim, cap, c.metric, c.m, c.efc, Quantization::None, c.avx2), qarbin::kSegmentVersion)));
    ASSERT_TRUE(seg);
    ASSERT_EQ(seg->linkPoolEntries, 256u);
    RefGraph ref(c.dim, cap, c.m, c.efc, seg->linkPoolEntries, c.metric, c.avx2);
    auto v = caseVectors(c, cap, 5 + c.seed);
    addBoth(*seg, ref, v, 0, 280);
    buildAndCompare(c, seg, ref);
    expectSameSearches(*seg, ref, c);
    const uint64_t demotedByBuild = ref.demoted;

    addBoth(*seg, ref, v, 280, 120);
    insertAndCompare(c, seg, ref);
    expectSameSearches(*seg, ref, c);
    EXPECT_GT(ref.demoted, demotedByBuild) << "the insert never met a full pool";
    EXPECT_GT(ref.demoted, 0u);
    EXPECT_LE(ref.linkPoolUsed, 256u);
    EXPECT_GT(ref.linkPoolUsed, 240u) << "smaller levels should still take the pool's last entries";
}
