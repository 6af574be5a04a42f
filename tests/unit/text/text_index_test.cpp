#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "core/text/bm25.h"
#include "core/text/text_format.h"
#include "core/text/text_index.h"
#include "fixture_corpus.h"
#include "fts5_reference.h"

using namespace qarbin;

namespace {

const std::vector<std::string> kQueries = {
    "cafe", "Café noir", "CAFE resume", "the", "again stone", "e1234 sda1", "straße strasse", "istanbul ǆemal",
    "3 14 159", "über ete", "中文字符 русский", "missing", "the café again", "ấp ø", "private", "x y",
};

bool everyOtherFails(const void*, uint32_t doc) { return doc % 2 == 0; }

struct Built {
    std::vector<uint8_t> area;
    TextIndexView view;
};

// Indexes the fixture (record i = corpus line i) in runs of the given size.
void buildFixture(Built* b, size_t perRun, uint64_t capacity = 1 << 20) {
    b->area.assign(capacity, 0);
    Tokenizer tokenizer;
    ASSERT_EQ(formatTextIndex(b->area.data(), capacity), TextStatus::Ok);
    const auto& corpus = qarbin_test::fixtureCorpus();
    for (size_t start = 0; start < corpus.size(); start += perRun) {
        std::vector<TextDocument> docs;
        for (size_t i = start; i < std::min(corpus.size(), start + perRun); ++i)
            docs.push_back(TextDocument{static_cast<uint32_t>(i), corpus[i].data(), corpus[i].size()});
        uint32_t end = static_cast<uint32_t>(start + docs.size());
        ASSERT_EQ(appendTextRun(b->area.data(), capacity, tokenizer, docs.data(), docs.size(), end), TextStatus::Ok);
    }
    ASSERT_EQ(b->view.open(b->area.data(), capacity), TextStatus::Ok);
}

std::vector<QueryTerm> prepare(const TextIndexView& view, Tokenizer& tokenizer, const std::string& query,
                               uint64_t docCount, DocTest test = {}) {
    std::vector<QueryTerm> terms;
    for (const std::string& word : queryTokens(tokenizer, query.data(), query.size())) {
        uint64_t df = 0;
        EXPECT_EQ(view.countTerm(word, test, &df), TextStatus::Ok);
        terms.push_back(QueryTerm{word, bm25Idf(docCount, df)});
    }
    return terms;
}

bool near(double a, double b) { return std::fabs(a - b) <= 1e-9 * std::max(std::fabs(a), std::fabs(b)); }

}  // namespace

TEST(Bm25, IdfAndFloor) {
    EXPECT_NEAR(bm25Idf(100, 1), std::log(99.5 / 1.5), 1e-12);
    EXPECT_EQ(bm25Idf(1, 1), kBm25IdfFloor);
    EXPECT_EQ(bm25Idf(10, 5), kBm25IdfFloor);  // log(1) = 0 is floored too
    EXPECT_GT(bm25Idf(11, 5), kBm25IdfFloor);
}

// The index's scores and order against FTS5's bm25(), with the whole
// fixture in one run, in runs of three, and in single-record runs (beyond
// the directory's limit, so merged).
TEST(TextIndex, SearchMatchesFts5) {
    qarbin_test::Fts5Reference fts5;
    const auto& corpus = qarbin_test::fixtureCorpus();
    for (size_t i = 0; i < corpus.size(); ++i) fts5.insert(static_cast<int64_t>(i), corpus[i]);
    for (size_t perRun : {corpus.size(), size_t{3}, size_t{1}}) {
        Built b;
        buildFixture(&b, perRun);
        EXPECT_EQ(b.view.docCount(), corpus.size());
        EXPECT_LE(b.view.runCount(), kMaxTextRuns);
        Tokenizer tokenizer;
        TextCorpusStats stats{b.view.docCount(), b.view.tokenCount()};
        for (const std::string& q : kQueries) {
            std::vector<QueryTerm> terms = prepare(b.view, tokenizer, q, stats.docCount);
            std::vector<std::string> words;
            for (const QueryTerm& t : terms) words.push_back(t.text);
            auto want = fts5.search(words);
            std::vector<TextHit> hits;
            ASSERT_EQ(b.view.search(terms.data(), terms.size(), stats.averageLength(), {}, 100, &hits), TextStatus::Ok);
            ASSERT_EQ(hits.size(), want.size()) << q;
            for (size_t i = 0; i < hits.size(); ++i) {
                EXPECT_EQ(hits[i].doc, want[i].first) << q << " rank " << i;
                EXPECT_TRUE(near(hits[i].score, want[i].second)) << q << ": " << hits[i].score << " vs " << want[i].second;
            }
        }
    }
}

// Records not yet indexed, scored from their text, agree with the index.
TEST(TextIndex, UnindexedPathScoresAsTheIndex) {
    Built b;
    buildFixture(&b, 4);
    Tokenizer tokenizer;
    TextCorpusStats stats{b.view.docCount(), b.view.tokenCount()};
    const auto& corpus = qarbin_test::fixtureCorpus();
    for (const std::string& q : kQueries) {
        std::vector<QueryTerm> terms = prepare(b.view, tokenizer, q, stats.docCount);
        std::vector<TextHit> hits;
        ASSERT_EQ(b.view.search(terms.data(), terms.size(), stats.averageLength(), {}, 100, &hits), TextStatus::Ok);
        std::map<uint32_t, double> indexed;
        for (const TextHit& h : hits) indexed[h.doc] = h.score;
        for (size_t i = 0; i < corpus.size(); ++i) {
            std::vector<uint32_t> tf(terms.size());
            uint32_t length = countQueryTerms(tokenizer, corpus[i].data(), corpus[i].size(), terms.data(), terms.size(),
                                              tf.data());
            uint32_t stored = 0;
            ASSERT_EQ(b.view.docLength(static_cast<uint32_t>(i), &stored), TextStatus::Ok);
            EXPECT_EQ(length, stored);
            double score = scoreCounts(terms.data(), terms.size(), tf.data(), length, stats.averageLength());
            auto found = indexed.find(static_cast<uint32_t>(i));
            if (found == indexed.end()) {
                EXPECT_EQ(score, 0.0) << q << " record " << i;
            } else {
                EXPECT_TRUE(near(score, found->second)) << q << " record " << i;
            }
        }
    }
}

// A test that rejects records removes them from counts and from results,
// and the scores then equal FTS5's over the remaining records.
TEST(TextIndex, RejectedRecordsNeverMatch) {
    Built b;
    buildFixture(&b, 5);
    qarbin_test::Fts5Reference fts5;
    const auto& corpus = qarbin_test::fixtureCorpus();
    for (size_t i = 0; i < corpus.size(); i += 2) fts5.insert(static_cast<int64_t>(i), corpus[i]);
    DocTest even{everyOtherFails, nullptr};
    TextCorpusStats stats;
    ASSERT_EQ(b.view.countDocs(even, &stats), TextStatus::Ok);
    EXPECT_EQ(stats.docCount, (corpus.size() + 1) / 2);
    Tokenizer tokenizer;
    for (const std::string& q : kQueries) {
        std::vector<QueryTerm> terms = prepare(b.view, tokenizer, q, stats.docCount, even);
        std::vector<std::string> words;
        for (const QueryTerm& t : terms) words.push_back(t.text);
        auto want = fts5.search(words);
        std::vector<TextHit> hits;
        ASSERT_EQ(b.view.search(terms.data(), terms.size(), stats.averageLength(), even, 100, &hits), TextStatus::Ok);
        ASSERT_EQ(hits.size(), want.size()) << q;
        for (size_t i = 0; i < hits.size(); ++i) {
            EXPECT_EQ(hits[i].doc % 2, 0u);
            EXPECT_EQ(hits[i].doc, want[i].first) << q;
            EXPECT_TRUE(near(hits[i].score, want[i].second)) << q;
        }
    }
}

TEST(TextIndex, TopKKeepsTheBestAndBreaksTiesByRecord) {
    Built b;
    buildFixture(&b, 16);
    Tokenizer tokenizer;
    TextCorpusStats stats{b.view.docCount(), b.view.tokenCount()};
    std::vector<QueryTerm> terms = prepare(b.view, tokenizer, "the cafe and", stats.docCount);
    std::vector<TextHit> all, top;
    ASSERT_EQ(b.view.search(terms.data(), terms.size(), stats.averageLength(), {}, 100, &all), TextStatus::Ok);
    for (size_t k : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, all.size(), all.size() + 5}) {
        top.clear();
        ASSERT_EQ(b.view.search(terms.data(), terms.size(), stats.averageLength(), {}, k, &top), TextStatus::Ok);
        ASSERT_EQ(top.size(), std::min(k, all.size()));
        for (size_t i = 0; i < top.size(); ++i) EXPECT_EQ(top[i].doc, all[i].doc);
    }
    for (size_t i = 1; i < all.size(); ++i) {
        EXPECT_TRUE(all[i - 1].score > all[i].score || (all[i - 1].score == all[i].score && all[i - 1].doc < all[i].doc));
    }
}

// Gaps (records without text) are covered but never match; an empty query
// or one of separators only finds nothing.
TEST(TextIndex, GapsEmptyQueriesAndOrder) {
    std::vector<uint8_t> area(1 << 16);
    Tokenizer tokenizer;
    ASSERT_EQ(formatTextIndex(area.data(), area.size()), TextStatus::Ok);
    std::string a = "alpha beta", c = "beta gamma";
    TextDocument docs[] = {{2, a.data(), a.size()}, {7, c.data(), c.size()}};
    ASSERT_EQ(appendTextRun(area.data(), area.size(), tokenizer, docs, 2, 10), TextStatus::Ok);
    TextDocument early[] = {{9, a.data(), a.size()}};
    EXPECT_EQ(appendTextRun(area.data(), area.size(), tokenizer, early, 1, 12), TextStatus::BadInput);
    TextDocument backwards[] = {{11, a.data(), a.size()}, {10, a.data(), a.size()}};
    EXPECT_EQ(appendTextRun(area.data(), area.size(), tokenizer, backwards, 2, 12), TextStatus::BadInput);
    TextDocument beyond[] = {{12, a.data(), a.size()}};
    EXPECT_EQ(appendTextRun(area.data(), area.size(), tokenizer, beyond, 1, 12), TextStatus::BadInput);
    TextIndexView view;
    ASSERT_EQ(view.open(area.data(), area.size()), TextStatus::Ok);
    EXPECT_EQ(view.endDoc(), 10u);
    EXPECT_EQ(view.docCount(), 2u);
    EXPECT_EQ(view.tokenCount(), 4u);
    uint64_t df = 0;
    ASSERT_EQ(view.countTerm("beta", {}, &df), TextStatus::Ok);
    EXPECT_EQ(df, 2u);
    EXPECT_TRUE(queryTokens(tokenizer, "", 0).empty());
    EXPECT_TRUE(queryTokens(tokenizer, " ?! ", 4).empty());
    std::vector<TextHit> hits;
    ASSERT_EQ(view.search(nullptr, 0, 2.0, {}, 10, &hits), TextStatus::Ok);
    EXPECT_TRUE(hits.empty());
    EXPECT_EQ(queryTokens(tokenizer, "Beta beta BETA gamma", 20), (std::vector<std::string>{"beta", "gamma"}));
}

// A reader's view stays as it was opened while the writer appends, and a
// full area refuses the run without changing what readers see.
TEST(TextIndex, SnapshotsAndFullArea) {
    std::vector<uint8_t> area(1024);
    Tokenizer tokenizer;
    ASSERT_EQ(formatTextIndex(area.data(), area.size()), TextStatus::Ok);
    std::string one = "first words";
    TextDocument d0{0, one.data(), one.size()};
    ASSERT_EQ(appendTextRun(area.data(), area.size(), tokenizer, &d0, 1, 1), TextStatus::Ok);
    TextIndexView before;
    ASSERT_EQ(before.open(area.data(), area.size()), TextStatus::Ok);
    std::string big(4000, 'x');
    TextDocument d1{1, big.data(), big.size()};
    // One token of 4000 bytes cannot fit in 1 KiB.
    EXPECT_EQ(appendTextRun(area.data(), area.size(), tokenizer, &d1, 1, 2), TextStatus::Full);
    TextIndexView after;
    ASSERT_EQ(after.open(area.data(), area.size()), TextStatus::Ok);
    EXPECT_EQ(after.endDoc(), 1u);
    EXPECT_EQ(after.usedBytes(), before.usedBytes());
    std::string two = "second words";
    TextDocument d2{1, two.data(), two.size()};
    ASSERT_EQ(appendTextRun(area.data(), area.size(), tokenizer, &d2, 1, 2), TextStatus::Ok);
    EXPECT_EQ(before.docCount(), 1u);
    uint64_t df = 0;
    ASSERT_EQ(before.countTerm("words", {}, &df), TextStatus::Ok);
    EXPECT_EQ(df, 1u);
    ASSERT_EQ(after.open(area.data(), area.size()), TextStatus::Ok);
    df = 0;
    ASSERT_EQ(after.countTerm("words", {}, &df), TextStatus::Ok);
    EXPECT_EQ(df, 2u);
    EXPECT_EQ(formatTextIndex(area.data(), kMinTextIndexBytes - 1), TextStatus::Full);
}

// Built in 80 small runs, the index answers as when built in one, keeps
// few runs, and its bytes (superseded runs included) stay close to the
// one-run index's.
TEST(TextIndex, IncrementalRunsStayFewAndSmall) {
    std::vector<std::string> texts;
    for (uint32_t i = 0; i < 800; ++i) {
        texts.push_back("record " + std::to_string(i) + " word" + std::to_string(i % 37) + " tag" +
                        std::to_string(i % 5) + " common text " + std::to_string(i * 7919 % 1000));
    }
    Tokenizer tokenizer;
    std::vector<TextDocument> docs;
    for (uint32_t i = 0; i < texts.size(); ++i) docs.push_back({i, texts[i].data(), texts[i].size()});
    std::vector<uint8_t> whole(1 << 22), pieces(1 << 22);
    ASSERT_EQ(formatTextIndex(whole.data(), whole.size()), TextStatus::Ok);
    ASSERT_EQ(appendTextRun(whole.data(), whole.size(), tokenizer, docs.data(), docs.size(), 800), TextStatus::Ok);
    ASSERT_EQ(formatTextIndex(pieces.data(), pieces.size()), TextStatus::Ok);
    size_t mostRuns = 0;
    const uint32_t batch = 10;
    for (uint32_t i = 0; i < 800; i += batch) {
        ASSERT_EQ(appendTextRun(pieces.data(), pieces.size(), tokenizer, &docs[i], batch, i + batch), TextStatus::Ok);
        TextIndexView v;
        ASSERT_EQ(v.open(pieces.data(), pieces.size()), TextStatus::Ok);
        mostRuns = std::max(mostRuns, v.runCount());
    }
    TextIndexView a, b;
    ASSERT_EQ(a.open(whole.data(), whole.size()), TextStatus::Ok);
    ASSERT_EQ(b.open(pieces.data(), pieces.size()), TextStatus::Ok);
    EXPECT_LE(mostRuns, kMaxTextRuns);
    // Superseded runs are reclaimed once they pass half the live bytes and
    // 64 KiB: without that, this index takes about 7x the one-run bytes.
    EXPECT_LE(b.usedBytes(), 2 * a.usedBytes() + 64 * 1024) << b.usedBytes() << " vs " << a.usedBytes();
    EXPECT_EQ(a.docCount(), b.docCount());
    EXPECT_EQ(a.tokenCount(), b.tokenCount());
    TextCorpusStats stats{a.docCount(), a.tokenCount()};
    for (const std::string q : {"word3 tag1", "common", "record 17 999", "text word36"}) {
        std::vector<QueryTerm> ta = prepare(a, tokenizer, q, stats.docCount), tb = prepare(b, tokenizer, q, stats.docCount);
        std::vector<TextHit> ha, hb;
        ASSERT_EQ(a.search(ta.data(), ta.size(), stats.averageLength(), {}, 50, &ha), TextStatus::Ok);
        ASSERT_EQ(b.search(tb.data(), tb.size(), stats.averageLength(), {}, 50, &hb), TextStatus::Ok);
        ASSERT_EQ(ha.size(), hb.size()) << q;
        for (size_t i = 0; i < ha.size(); ++i) {
            EXPECT_EQ(ha[i].doc, hb[i].doc) << q;
            EXPECT_TRUE(near(ha[i].score, hb[i].score)) << q;
        }
    }
}

// An area too small for the superseded runs is rewritten in place as one
// run; a generation left odd (a writer killed mid-rewrite) makes readers
// wait and the next writer report the index unusable.
TEST(TextIndex, RewriteInPlaceAndKilledRewrite) {
    std::vector<uint8_t> area(2048);
    Tokenizer tokenizer;
    ASSERT_EQ(formatTextIndex(area.data(), area.size()), TextStatus::Ok);
    const TextIndexHeader* header = reinterpret_cast<const TextIndexHeader*>(area.data());
    for (uint32_t i = 0; i < 40; ++i) {
        std::string text = "shared word" + std::to_string(i % 3);
        TextDocument d{i, text.data(), text.size()};
        ASSERT_EQ(appendTextRun(area.data(), area.size(), tokenizer, &d, 1, i + 1), TextStatus::Ok) << i;
    }
    EXPECT_GT(header->generation, 0u);
    EXPECT_EQ(header->generation % 2, 0u);
    TextIndexView view;
    ASSERT_EQ(view.open(area.data(), area.size()), TextStatus::Ok);
    EXPECT_EQ(view.docCount(), 40u);
    uint64_t df = 0;
    ASSERT_EQ(view.countTerm("word1", {}, &df), TextStatus::Ok);
    EXPECT_EQ(df, 13u);
    EXPECT_TRUE(view.current());

    reinterpret_cast<TextIndexHeader*>(area.data())->generation += 1;
    EXPECT_FALSE(view.current());
    TextIndexView busy;
    EXPECT_EQ(busy.open(area.data(), area.size()), TextStatus::Busy);
    std::string text = "more";
    TextDocument d{40, text.data(), text.size()};
    EXPECT_EQ(appendTextRun(area.data(), area.size(), tokenizer, &d, 1, 41), TextStatus::Corrupt);
    ASSERT_EQ(formatTextIndex(area.data(), area.size()), TextStatus::Ok);
    d.doc = 0;
    ASSERT_EQ(appendTextRun(area.data(), area.size(), tokenizer, &d, 1, 1), TextStatus::Ok);
}

// With a stemming tokenizer for both the records and the query, inflected
// forms find each other; without it they do not.
TEST(TextIndex, StemmedIndexMatchesInflectedForms) {
    const std::string texts[] = {"The runner was running", "Connections connected", "nothing here"};
    for (const char* language : {"english", ""}) {
        Tokenizer tokenizer(language);
        ASSERT_TRUE(tokenizer.ok());
        std::vector<uint8_t> area(1 << 14);
        ASSERT_EQ(formatTextIndex(area.data(), area.size()), TextStatus::Ok);
        std::vector<TextDocument> docs;
        for (uint32_t i = 0; i < 3; ++i) docs.push_back({i, texts[i].data(), texts[i].size()});
        ASSERT_EQ(appendTextRun(area.data(), area.size(), tokenizer, docs.data(), 3, 3), TextStatus::Ok);
        TextIndexView view;
        ASSERT_EQ(view.open(area.data(), area.size()), TextStatus::Ok);
        std::vector<QueryTerm> terms = prepare(view, tokenizer, "runs connecting", 3);
        std::vector<TextHit> hits;
        ASSERT_EQ(view.search(terms.data(), terms.size(), 3.0, {}, 10, &hits), TextStatus::Ok);
        EXPECT_EQ(hits.size(), language[0] != '\0' ? 2u : 0u) << language;
    }
}
