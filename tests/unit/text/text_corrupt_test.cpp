#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/text/text_format.h"
#include "core/text/text_index.h"
#include "fixture_corpus.h"

using namespace qarbin;

namespace {

std::vector<uint8_t> fixtureIndex(size_t perRun) {
    std::vector<uint8_t> area(1 << 16, 0);
    Tokenizer tokenizer;
    EXPECT_EQ(formatTextIndex(area.data(), area.size()), TextStatus::Ok);
    const auto& corpus = qarbin_test::fixtureCorpus();
    for (size_t start = 0; start < corpus.size(); start += perRun) {
        std::vector<TextDocument> docs;
        for (size_t i = start; i < std::min(corpus.size(), start + perRun); ++i)
            docs.push_back(TextDocument{static_cast<uint32_t>(i), corpus[i].data(), corpus[i].size()});
        EXPECT_EQ(appendTextRun(area.data(), area.size(), tokenizer, docs.data(), docs.size(),
                                static_cast<uint32_t>(start + docs.size())),
                  TextStatus::Ok);
    }
    return area;
}

TextIndexHeader* header(std::vector<uint8_t>& a) { return reinterpret_cast<TextIndexHeader*>(a.data()); }
TextDirectory* directory(std::vector<uint8_t>& a) {
    return reinterpret_cast<TextDirectory*>(a.data() + header(a)->directory);
}
TextRun* run(std::vector<uint8_t>& a, uint32_t i) {
    uint64_t* offsets = reinterpret_cast<uint64_t*>(a.data() + header(a)->directory + sizeof(TextDirectory));
    return reinterpret_cast<TextRun*>(a.data() + offsets[i]);
}
TextTermEntry* entry(std::vector<uint8_t>& a, uint32_t r, uint32_t t) {
    return reinterpret_cast<TextTermEntry*>(a.data() + run(a, r)->terms) + t;
}

// Opens, counts and searches every term of the fixture; the first status
// other than Ok, or Ok.
TextStatus useEverything(const std::vector<uint8_t>& area, uint64_t capacity) {
    TextIndexView view;
    TextStatus s = view.open(area.data(), capacity);
    if (s != TextStatus::Ok) return s;
    Tokenizer tokenizer;
    std::vector<QueryTerm> terms;
    for (const std::string& text : qarbin_test::fixtureCorpus()) {
        for (const std::string& w : queryTokens(tokenizer, text.data(), text.size())) terms.push_back({w, 1.0});
    }
    std::vector<TextHit> hits;
    auto everyone = [](const void*, uint32_t) { return true; };
    for (const QueryTerm& t : terms) {
        uint64_t df = 0;
        if ((s = view.countTerm(t.text, DocTest{everyone, nullptr}, &df)) != TextStatus::Ok) return s;
        if ((s = view.search(&t, 1, 5.0, {}, 10, &hits)) != TextStatus::Ok) return s;
    }
    TextCorpusStats stats;
    return view.countDocs(DocTest{everyone, nullptr}, &stats);
}

}  // namespace

// Each damage to a valid index is reported as Corrupt by the reader (and
// by the writer when it lies in what the writer reads); under the sanitizer build none of
// them reads outside the area.
TEST(TextIndexCorrupt, DamagedFieldsAreReported) {
    using Damage = std::function<void(std::vector<uint8_t>&)>;
    const std::vector<std::pair<const char*, Damage>> cases = {
        {"header magic", [](auto& a) { header(a)->magic ^= 1; }},
        {"version", [](auto& a) { header(a)->version = kTextIndexVersion + 1; }},
        {"directory beyond the area", [](auto& a) { header(a)->directory = a.size() - 8; }},
        {"directory unaligned", [](auto& a) { header(a)->directory += 1; }},
        {"directory inside the header", [](auto& a) { header(a)->directory = 8; }},
        {"directory magic", [](auto& a) { directory(a)->magic = 0; }},
        {"too many runs", [](auto& a) { directory(a)->runCount = kMaxTextRuns + 1; }},
        {"run count past the area", [](auto& a) { directory(a)->runCount = 1000000; }},
        {"record total", [](auto& a) { directory(a)->docCount += 1; }},
        {"end below the runs", [](auto& a) { directory(a)->endDoc = 1; }},
        {"run offset", [](auto& a) {
             reinterpret_cast<uint64_t*>(a.data() + header(a)->directory + sizeof(TextDirectory))[1] = 1u << 30;
         }},
        {"run magic", [](auto& a) { run(a, 0)->magic = 0; }},
        {"runs out of order", [](auto& a) { run(a, 1)->firstDoc = 0; }},
        {"lengths past the area", [](auto& a) { run(a, 0)->lengths = a.size() - 4; }},
        {"span past the area", [](auto& a) { run(a, 0)->docSpan = UINT32_MAX; }},
        {"term count past the area", [](auto& a) { run(a, 0)->termCount = 100000; }},
        {"strings past the area", [](auto& a) { run(a, 1)->stringBytes = UINT32_MAX; }},
        {"postings past the area", [](auto& a) { run(a, 1)->postings = UINT64_MAX - 2; }},
        {"term bytes outside the pool", [](auto& a) { entry(a, 0, 0)->stringOffset = UINT32_MAX - 1; }},
        {"term length outside the pool", [](auto& a) { entry(a, 0, 3)->stringLength = 100000; }},
        {"empty term", [](auto& a) { entry(a, 0, 3)->stringLength = 0; }},
        {"postings outside the list", [](auto& a) { entry(a, 1, 2)->postingBytes = UINT32_MAX; }},
        {"posting gap past the span", [](auto& a) {
             a[run(a, 0)->postings + entry(a, 0, 0)->postingOffset] = 0x7F;
         }},
        {"varint running off the list", [](auto& a) {
             TextTermEntry* e = entry(a, 0, 0);
             std::memset(a.data() + run(a, 0)->postings + e->postingOffset, 0xFF, e->postingBytes);
         }},
        {"tf above the record's length", [](auto& a) {
             TextTermEntry* e = entry(a, 0, 0);
             uint8_t* p = a.data() + run(a, 0)->postings + e->postingOffset;
             p[0] &= 0xFE;  // tf follows
             p[1] = 0x7F;
         }},
    };
    for (const auto& [name, damage] : cases) {
        std::vector<uint8_t> area = fixtureIndex(4);
        ASSERT_EQ(useEverything(area, area.size()), TextStatus::Ok);
        damage(area);
        EXPECT_EQ(useEverything(area, area.size()), TextStatus::Corrupt) << name;
        // The writer reads what open() checks; damage inside a term's entry
        // or postings is found by the readers that follow it.
        TextIndexView view;
        if (view.open(area.data(), area.size()) == TextStatus::Ok) continue;
        Tokenizer tokenizer;
        std::string text = "more";
        TextDocument d{1000, text.data(), text.size()};
        EXPECT_NE(appendTextRun(area.data(), area.size(), tokenizer, &d, 1, 1001), TextStatus::Ok) << name;
    }
}

// An area cut short (a truncated file) is reported, at every length.
TEST(TextIndexCorrupt, EveryTruncationIsReported) {
    std::vector<uint8_t> area = fixtureIndex(5);
    TextIndexView view;
    ASSERT_EQ(view.open(area.data(), area.size()), TextStatus::Ok);
    uint64_t used = view.usedBytes();
    for (uint64_t cut = 0; cut < used; ++cut) {
        std::vector<uint8_t> prefix(area.begin(), area.begin() + static_cast<std::ptrdiff_t>(cut));
        EXPECT_EQ(useEverything(prefix, prefix.size()), TextStatus::Corrupt) << cut;
    }
    EXPECT_EQ(useEverything(area, used), TextStatus::Ok);
}

// A writer's mark pulled below the published bytes would overwrite what
// readers use: refused.
TEST(TextIndexCorrupt, MarkBelowPublishedBytesIsRefused) {
    std::vector<uint8_t> area = fixtureIndex(4);
    header(area)->usedBytes = header(area)->directory;
    Tokenizer tokenizer;
    std::string text = "more";
    TextDocument d{1000, text.data(), text.size()};
    EXPECT_EQ(appendTextRun(area.data(), area.size(), tokenizer, &d, 1, 1001), TextStatus::Corrupt);
}
