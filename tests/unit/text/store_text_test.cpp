// Text kept with a store's records and searched by BM25 through the store,
// in every storage mode, against SQLite FTS5 holding the same live texts.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/alloc.h"
#include "core/store/store.h"
#include "core/store/store_internal.h"
#include "core/text/text_format.h"
#include "core/text/text_index.h"
#include "core/text/tokenizer.h"
#include "fixture_corpus.h"
#include "fts5_reference.h"
#include "test_util.h"

namespace {

using qarbin::Store;
using StorePtr = std::unique_ptr<Store>;

constexpr uint32_t kDim = 4;

qarbin::Shape textShape(uint64_t capacity) {
    qarbin::Shape s = qarbin_test::makeShape(kDim, qarbin::DistanceMetric::Cosine, qarbin::Quantization::None, capacity);
    s.format = qarbin::kCompactSegmentVersion;
    return s;
}

std::vector<float> vecOf(int i) {
    return {1.0f + static_cast<float>(i), 0.5f, static_cast<float>(i % 3), -1.0f};
}

std::string keyOf(int i) { return "d" + std::to_string(i); }

int setText(Store& st, int i, const std::string& text) {
    const std::vector<float> v = vecOf(i);
    return st.set(keyOf(i).c_str(), v.data(), nullptr, 0, text.data(), static_cast<uint32_t>(text.size()));
}

// What the store should hold, mirrored in FTS5 (a fresh table per check).
struct Mirror {
    std::map<int, std::string> live;  // key number => text

    std::vector<std::pair<int64_t, double>> expected(const std::vector<std::string>& words) const {
        qarbin_test::Fts5Reference fts;
        for (const auto& [i, text] : live) fts.insert(i, text);
        return fts.search(words);
    }
};

struct Row {
    std::string key;
    double score;
    std::string text;
    bool hasText;
};

std::vector<Row> searchText(Store& st, const std::string& query, int topK = 1000) {
    qarbin::Result* out = nullptr;
    const int n = st.searchText(query.data(), query.size(), topK, nullptr, -INFINITY, &out);
    EXPECT_GE(n, 0);
    std::vector<Row> rows;
    for (int i = 0; i < n; ++i)
        rows.push_back(Row{std::string(out[i].key, out[i].keyLen), out[i].score,
                           out[i].text ? std::string(out[i].text, out[i].textLen) : std::string(), out[i].text != nullptr});
    qarbin::releaseBytes(out);
    return rows;
}

const std::vector<std::string>& queries() {
    static const std::vector<std::string> q = {"café",    "cafe",        "the AGAIN", "naive résumé", "e1234 disk",
                                               "strasse", "x y",         "19",        "中文字符",     "ete",
                                               "missing", "Über-fast", "noël zoë", "a b private"};
    return q;
}

// Every query ranks the store's live texts as FTS5 does: the same records,
// best first, scores within 1e-5 (relative; the rows carry floats).
void expectLikeFts5(Store& st, const Mirror& mirror, const char* when) {
    SCOPED_TRACE(when);
    qarbin::Tokenizer tokenizer;
    for (const std::string& q : queries()) {
        SCOPED_TRACE(q);
        const std::vector<std::string> words = qarbin::queryTokens(tokenizer, q.data(), q.size());
        const auto want = mirror.expected(words);
        const std::vector<Row> got = searchText(st, q);
        ASSERT_EQ(got.size(), want.size());
        std::map<std::string, double> wanted;
        for (const auto& [rowid, score] : want) wanted[keyOf(static_cast<int>(rowid))] = score;
        for (size_t r = 0; r < got.size(); ++r) {
            ASSERT_EQ(wanted.count(got[r].key), 1u) << got[r].key;
            EXPECT_NEAR(got[r].score, wanted[got[r].key], 1e-5 * std::fabs(wanted[got[r].key]) + 1e-9) << got[r].key;
            EXPECT_EQ(got[r].text, mirror.live.at(std::stoi(got[r].key.substr(1))));
            if (r > 0) {
                EXPECT_GE(got[r - 1].score, got[r].score);
            }
        }
    }
}

uint64_t textIndexed(const Store& st) {
    qarbin::TextStats t;
    st.textStats(&t);
    return t.indexed;
}

struct ModeCase {
    const char* name;
    qarbin::StorageMode mode;
};

class StoreText : public testing::TestWithParam<ModeCase> {
protected:
    qarbin_test::TempDir dir;
    std::string shmName = qarbin_test::uniqueShmName("text");

    ~StoreText() override { Store::destroyShm(shmName.c_str()); }

    StorePtr open(uint64_t capacity = 8) {
        const qarbin::Shape shape = textShape(capacity);
        switch (GetParam().mode) {
            case qarbin::StorageMode::Memory: return StorePtr(Store::openMemory(shape, nullptr));
            case qarbin::StorageMode::Disk: return StorePtr(Store::openDisk(dir.path().c_str(), shape));
            default: return StorePtr(Store::openShm(shmName.c_str(), shape, true));
        }
    }
};

// Stored, indexed, deleted, replaced, compacted and reopened: every step
// ranks as FTS5 does over the live texts.
TEST_P(StoreText, RanksAsFts5ThroughEveryChange) {
    StorePtr st = open();
    ASSERT_TRUE(st);
    st->autoIndexThreshold = 0;
    Mirror mirror;
    const auto& corpus = qarbin_test::fixtureCorpus();
    for (size_t i = 0; i < corpus.size(); ++i) {
        ASSERT_EQ(setText(*st, static_cast<int>(i), corpus[i]), 0);
        mirror.live[static_cast<int>(i)] = corpus[i];
    }
    // A record without text is no document.
    const std::vector<float> v = vecOf(99);
    ASSERT_EQ(st->set("plain", v.data(), nullptr, 0), 0);
    // Several segments (a memory store grows its one instead).
    if (GetParam().mode != qarbin::StorageMode::Memory) {
        ASSERT_GT(st->segments.size(), 1u);
    }
    EXPECT_EQ(textIndexed(*st), 0u);
    expectLikeFts5(*st, mirror, "before indexing");

    ASSERT_EQ(st->buildIndex(), 0);
    EXPECT_EQ(textIndexed(*st), corpus.size());
    expectLikeFts5(*st, mirror, "indexed");

    ASSERT_EQ(st->del(keyOf(0).c_str()), 0);
    mirror.live.erase(0);
    ASSERT_EQ(setText(*st, 6, "café café café, replaced"), 0);
    mirror.live[6] = "café café café, replaced";
    ASSERT_EQ(setText(*st, 40, "a later café, not yet indexed"), 0);
    mirror.live[40] = "a later café, not yet indexed";
    expectLikeFts5(*st, mirror, "deleted and replaced");

    ASSERT_GE(st->compact(), 0);
    expectLikeFts5(*st, mirror, "compacted");
    ASSERT_EQ(st->buildIndex(), 0);
    EXPECT_EQ(textIndexed(*st), mirror.live.size());
    expectLikeFts5(*st, mirror, "compacted and indexed");

    if (GetParam().mode == qarbin::StorageMode::Memory) return;
    st.reset();
    st = open();
    ASSERT_TRUE(st);
    expectLikeFts5(*st, mirror, "reopened");
}

// get, search rows and the walk of dump carry the text (null when none),
// and a text of no words is kept as an empty text, not as none.
TEST_P(StoreText, ReadersCarryTheText) {
    StorePtr st = open();
    ASSERT_TRUE(st);
    const std::vector<float> v = vecOf(1);
    const std::string text = "Zoë's text — 1 MiB at most";
    ASSERT_EQ(st->set("with", v.data(), "{\"a\":1}", 7, text.data(), static_cast<uint32_t>(text.size())), 0);
    ASSERT_EQ(st->set("empty", v.data(), nullptr, 0, "", 0), 0);
    ASSERT_EQ(st->set("none", v.data(), nullptr, 0), 0);
    struct Want {
        const char* key;
        bool has;
        std::string text;
    };
    for (const Want& w : {Want{"with", true, text}, Want{"empty", true, ""}, Want{"none", false, ""}}) {
        SCOPED_TRACE(w.key);
        std::vector<float> out(kDim);
        char* meta = nullptr;
        char* got = nullptr;
        uint32_t metaLen = 0, textLen = 0;
        ASSERT_EQ(st->get(w.key, out.data(), &meta, &metaLen, &got, &textLen), 0);
        EXPECT_EQ(got != nullptr, w.has);
        if (got != nullptr) {
            EXPECT_EQ(std::string(got, textLen), w.text);
        }
        qarbin::releaseBytes(meta);
        qarbin::releaseBytes(got);
    }
    qarbin::Result* rows = nullptr;
    const int n = st->search(v.data(), 3, 50.0f, &rows);
    ASSERT_EQ(n, 3);
    for (int i = 0; i < n; ++i) {
        const std::string key(rows[i].key, rows[i].keyLen);
        EXPECT_EQ(rows[i].text != nullptr, key != "none") << key;
        if (key == "with") {
            EXPECT_EQ(std::string(rows[i].text, rows[i].textLen), text);
        }
    }
    qarbin::releaseBytes(rows);
    struct Seen {
        std::map<std::string, std::pair<bool, std::string>> texts;
    } seen;
    std::vector<float> scratch(qarbin::kMaxDim);
    st->forEachRecord(
        scratch.data(),
        [](void* ctx, const char* key, const float*, const char*, uint32_t, const char* t, uint32_t len) {
            static_cast<Seen*>(ctx)->texts[key] = {t != nullptr, t ? std::string(t, len) : std::string()};
            return true;
        },
        &seen);
    EXPECT_EQ(seen.texts["with"], std::make_pair(true, text));
    EXPECT_EQ(seen.texts["empty"], std::make_pair(true, std::string()));
    EXPECT_EQ(seen.texts["none"], std::make_pair(false, std::string()));
}

INSTANTIATE_TEST_SUITE_P(Modes, StoreText,
                         testing::Values(ModeCase{"memory", qarbin::StorageMode::Memory},
                                         ModeCase{"disk", qarbin::StorageMode::Disk},
                                         ModeCase{"shm", qarbin::StorageMode::Shm}),
                         [](const testing::TestParamInfo<ModeCase>& info) { return info.param.name; });

// A memory segment that grows carries its text index into the larger
// region: what was indexed stays indexed, and ranks as before.
TEST(StoreTextGrowth, GrownMemorySegmentKeepsItsIndex) {
    StorePtr st(Store::openMemory(textShape(8), nullptr));
    ASSERT_TRUE(st);
    st->autoIndexThreshold = 0;
    Mirror mirror;
    const auto& corpus = qarbin_test::fixtureCorpus();
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(setText(*st, i, corpus[static_cast<size_t>(i)]), 0);
        mirror.live[i] = corpus[static_cast<size_t>(i)];
    }
    ASSERT_EQ(st->buildIndex(), 0);
    ASSERT_EQ(textIndexed(*st), 8u);
    const uint64_t before = st->segments[0]->capacity();
    for (int i = 8; i < static_cast<int>(corpus.size()); ++i) {
        ASSERT_EQ(setText(*st, i, corpus[static_cast<size_t>(i)]), 0);
        mirror.live[i] = corpus[static_cast<size_t>(i)];
    }
    ASSERT_EQ(st->segments.size(), 1u);
    ASSERT_GT(st->segments[0]->capacity(), before);
    EXPECT_EQ(textIndexed(*st), 8u);
    expectLikeFts5(*st, mirror, "grown");
    ASSERT_EQ(st->buildIndex(), 0);
    EXPECT_EQ(textIndexed(*st), corpus.size());
    expectLikeFts5(*st, mirror, "grown and indexed");
}

// A product-quantization store holds records back until its codebook is
// trained: their text is searched, read and kept through the training.
TEST(StoreTextHeldBack, PqRecordsHeldBackKeepTheirText) {
    qarbin::Shape shape = textShape(64);
    shape.quantization = qarbin::Quantization::PQ;
    shape.pqSubvectors = 2;
    StorePtr st(Store::openMemory(shape, nullptr));
    ASSERT_TRUE(st);
    st->pqTrainingSize = 20;
    Mirror mirror;
    const auto& corpus = qarbin_test::fixtureCorpus();
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(setText(*st, i, corpus[static_cast<size_t>(i)]), 0);
        mirror.live[i] = corpus[static_cast<size_t>(i)];
    }
    ASSERT_NE(st->pqBuffer, nullptr);
    expectLikeFts5(*st, mirror, "held back");
    std::vector<float> out(kDim);
    char* text = nullptr;
    uint32_t textLen = 0;
    ASSERT_EQ(st->get(keyOf(3).c_str(), out.data(), nullptr, nullptr, &text, &textLen), 0);
    EXPECT_EQ(std::string(text, textLen), corpus[3]);
    qarbin::releaseBytes(text);
    for (int i = 10; i < 25; ++i) {
        const std::string t = i < static_cast<int>(corpus.size()) ? corpus[static_cast<size_t>(i)] : "more words " + std::to_string(i);
        ASSERT_EQ(setText(*st, i, t), 0);
        mirror.live[i] = t;
    }
    ASSERT_EQ(st->pqBuffer, nullptr);
    expectLikeFts5(*st, mirror, "trained");
}

// A store of version-6 slots has no room for text: the record is refused
// whole, and the check says why before anything is written.
TEST(StoreTextLimits, RefusedWhereNoTextFitsTooLongOrNotUtf8) {
    qarbin::Shape slots = textShape(8);
    slots.format = qarbin::kSegmentVersion;
    StorePtr v6(Store::openMemory(slots, nullptr));
    ASSERT_TRUE(v6);
    EXPECT_EQ(qarbin::textLimit(*v6, "word", 4), qarbin::TextLimit::NotAllowed);
    const std::vector<float> v = vecOf(1);
    EXPECT_EQ(v6->set("k", v.data(), nullptr, 0, "word", 4), -1);
    EXPECT_EQ(v6->count(), 0u);
    EXPECT_EQ(v6->set("k", v.data(), nullptr, 0), 0);
    std::vector<float> out(kDim);
    char* text = reinterpret_cast<char*>(1);
    uint32_t textLen = 7;
    ASSERT_EQ(v6->get("k", out.data(), nullptr, nullptr, &text, &textLen), 0);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(textLen, 0u);

    StorePtr st(Store::openMemory(textShape(8), nullptr));
    ASSERT_TRUE(st);
    const std::string atLimit(qarbin::kCompactMaxTextBytes, 'a');
    EXPECT_EQ(qarbin::textLimit(*st, atLimit.data(), atLimit.size()), qarbin::TextLimit::Ok);
    EXPECT_EQ(qarbin::textLimit(*st, atLimit.data(), atLimit.size() + 1), qarbin::TextLimit::TooLong);
    const char* bad[] = {"\xC3", "ok \xFF", "\xED\xA0\x80", "\xC0\xAF"};
    for (const char* b : bad) EXPECT_EQ(qarbin::textLimit(*st, b, std::strlen(b)), qarbin::TextLimit::NotUtf8) << b;
    EXPECT_EQ(st->set("big", v.data(), nullptr, 0, atLimit.data(), static_cast<uint32_t>(atLimit.size())), 0);
    const std::string over(qarbin::kCompactMaxTextBytes + 1, 'a');
    EXPECT_EQ(st->set("over", v.data(), nullptr, 0, over.data(), static_cast<uint32_t>(over.size())), -1);
    EXPECT_FALSE(st->has("over"));
}

// Empty queries and queries of separators only give no rows.
TEST(StoreTextLimits, QueriesWithoutWordsGiveNoRows) {
    StorePtr st(Store::openMemory(textShape(8), nullptr));
    ASSERT_TRUE(st);
    ASSERT_EQ(setText(*st, 1, "some words"), 0);
    for (const char* q : {"", " ", "... --- !!!", "\xCC\x81"}) EXPECT_TRUE(searchText(*st, q).empty()) << q;
    EXPECT_EQ(searchText(*st, "WORDS").size(), 1u);
}

// A writer killed while rewriting a segment's index in place leaves its
// generation odd: readers score the segment's records from their text,
// and the next build makes the index again from the first record.
TEST(StoreTextKill, IndexLeftMidRewriteIsRebuilt) {
    qarbin_test::TempDir dir;
    Mirror mirror;
    {
        StorePtr st(Store::openDisk(dir.path().c_str(), textShape(64)));
        ASSERT_TRUE(st);
        st->autoIndexThreshold = 0;
        const auto& corpus = qarbin_test::fixtureCorpus();
        for (size_t i = 0; i < corpus.size(); ++i) {
            ASSERT_EQ(setText(*st, static_cast<int>(i), corpus[i]), 0);
            mirror.live[static_cast<int>(i)] = corpus[i];
        }
        ASSERT_EQ(st->buildIndex(), 0);
        ASSERT_EQ(textIndexed(*st), corpus.size());
        auto* header = reinterpret_cast<qarbin::TextIndexHeader*>(st->segments[0]->textArea());
        header->generation |= 1;
    }
    StorePtr st(Store::openDisk(dir.path().c_str(), textShape(64)));
    ASSERT_TRUE(st);
    st->autoIndexThreshold = 0;
    EXPECT_EQ(textIndexed(*st), 0u);
    expectLikeFts5(*st, mirror, "index left mid-rewrite");
    ASSERT_EQ(st->buildIndex(), 0);
    EXPECT_EQ(textIndexed(*st), mirror.live.size());
    expectLikeFts5(*st, mirror, "rebuilt");
}

// A record another process just stored in a shared store is found by its
// words at once, before any index covers it.
TEST(StoreTextShared, AnotherProcessFindsTextJustStored) {
    const std::string name = qarbin_test::uniqueShmName("textproc");
    StorePtr reader(Store::openShm(name.c_str(), textShape(16), true));
    ASSERT_TRUE(reader);
    ASSERT_EQ(setText(*reader, 1, "an older record"), 0);
    EXPECT_TRUE(searchText(*reader, "fresh").empty());
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        StorePtr writer(Store::openShm(name.c_str(), textShape(16), true));
        const bool ok = writer && setText(*writer, 2, "a fresh record from another process") == 0;
        writer.reset();
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::vector<Row> rows = searchText(*reader, "FRESH process");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].key, keyOf(2));
    EXPECT_EQ(rows[0].text, "a fresh record from another process");
    reader.reset();
    Store::destroyShm(name.c_str());
}

}  // namespace
