#include <gtest/gtest.h>
#include <unicode/utf8.h>

#include <string>
#include <vector>

#include "core/text/tokenizer.h"
#include "fixture_corpus.h"
#include "fts5_reference.h"

using qarbin::Tokenizer;

namespace {

std::vector<std::string> tokensOf(Tokenizer& tokenizer, const std::string& text) {
    std::vector<std::string> out;
    qarbin::forEachToken(tokenizer, text.data(), text.size(), [&](const std::string& t) { out.push_back(t); });
    return out;
}

std::string utf8(UChar32 c) {
    char buf[4];
    int32_t n = 0;
    U8_APPEND_UNSAFE(buf, n, c);
    return std::string(buf, static_cast<size_t>(n));
}

}  // namespace

TEST(Tokenizer, FixtureCorpusTokensEqualFts5) {
    qarbin_test::Fts5Reference fts5;
    Tokenizer tokenizer;
    for (const std::string& text : qarbin_test::fixtureCorpus()) {
        EXPECT_EQ(tokensOf(tokenizer, text), fts5.tokens(text)) << text;
    }
}

// Every code point of the BMP between two letters: a separator splits, a
// token character joins and is folded, a dropped mark vanishes, each as in
// FTS5. The only differences allowed are the characters whose category
// Unicode changed after 6.1 (FTS5's data), which ICU knows only as they are
// now: Mongolian U+1885-1886 (now marks), New Tai Lue U+19B0-19C9 and
// Vedic U+1CF2-1CF3 (now letters).
TEST(Tokenizer, EveryBmpCodePointAsFts5) {
    qarbin_test::Fts5Reference fts5;
    Tokenizer tokenizer;
    std::string all;
    std::vector<UChar32> points;
    for (UChar32 c = 1; c < 0x10000; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        points.push_back(c);
    }
    int differing = 0;
    for (UChar32 c : points) {
        std::string text = "q" + utf8(c) + "z";
        if (tokensOf(tokenizer, text) == fts5.tokens(text)) continue;
        bool recategorized = (c >= 0x1885 && c <= 0x1886) || (c >= 0x19B0 && c <= 0x19C9) || (c >= 0x1CF2 && c <= 0x1CF3);
        EXPECT_TRUE(recategorized) << "U+" << std::hex << c;
        ++differing;
    }
    EXPECT_LE(differing, 2 + 26 + 2);
}

// Tokens longer than FTS5 keeps, counted in folded bytes, with the cut
// falling before, at and inside a two-byte character.
TEST(Tokenizer, LongTokensCutAsFts5) {
    qarbin_test::Fts5Reference fts5;
    Tokenizer tokenizer;
    const std::string a32766(32766, 'a'), a32767(32767, 'a');
    std::string accents = "x";
    for (int i = 0; i < 20000; ++i) accents += "\xC3\xA9";  // folds to 20001 bytes: kept whole
    const std::string cases[] = {
        std::string(40000, 'a') + " b",
        accents + " b",
        a32767 + "\xC3\xA9z b",
        a32766 + "\xC3\x89z",
        a32767 + "\xD0\xB6z b",
        a32766 + "\xD0\xB6",
        std::string(32768, 'a'),
    };
    for (const std::string& text : cases) {
        std::vector<std::string> mine = tokensOf(tokenizer, text);
        EXPECT_EQ(mine, fts5.tokens(text)) << text.size();
        for (const std::string& t : mine) EXPECT_LE(t.size(), qarbin::kMaxTokenBytes);
    }
}

TEST(Tokenizer, SeparatorsOnlyAndEmptyGiveNoTokens) {
    Tokenizer tokenizer;
    for (const char* text : {"", " ", "...", "\t\n\r", "-- !! ?? ;;", "\xE2\x80\x94 \xE2\x80\x9C\xE2\x80\x9D"}) {
        EXPECT_TRUE(tokensOf(tokenizer, text).empty()) << text;
    }
}

TEST(Tokenizer, IllFormedBytesSeparate) {
    Tokenizer tokenizer;
    EXPECT_EQ(tokensOf(tokenizer, std::string("ab\xFF" "cd\xC3", 6)), (std::vector<std::string>{"ab", "cd"}));
}

TEST(Tokenizer, ValidUtf8) {
    struct Case {
        std::string bytes;
        bool valid;
    };
    const Case cases[] = {
        {"", true},
        {"plain ascii", true},
        {"caf\xC3\xA9", true},
        {"\xF0\x9F\x98\x80", true},
        {"\xEF\xBF\xBF", true},
        {"caf\xC3", false},               // truncated
        {"\xC0\xAF", false},              // overlong
        {"\xED\xA0\x80", false},          // surrogate
        {"\xF4\x90\x80\x80", false},      // above U+10FFFF
        {"\x80", false},                  // lone continuation
        {"ok\xFF", false},
        {std::string("a\0b", 3), true},
    };
    for (const Case& c : cases) EXPECT_EQ(qarbin::isValidUtf8(c.bytes.data(), c.bytes.size()), c.valid) << c.bytes;
}

TEST(Tokenizer, EnglishStemming) {
    Tokenizer stemming("english");
    ASSERT_TRUE(stemming.ok());
    EXPECT_TRUE(stemming.stems());
    EXPECT_EQ(tokensOf(stemming, "Running CONNECTIONS connected"),
              (std::vector<std::string>{"run", "connect", "connect"}));
    Tokenizer plain;
    EXPECT_FALSE(plain.stems());
    EXPECT_EQ(tokensOf(plain, "Running"), (std::vector<std::string>{"running"}));
    Tokenizer unknown("klingon");
    EXPECT_FALSE(unknown.ok());
}
