// A per-segment full-text index in a mapped area (layout: text_format.h):
// one writer formats and extends it; any number of readers, in any
// process, score BM25 over a consistent snapshot of it. Every value read
// from the area is checked before it is followed: a damaged index gives
// TextStatus::Corrupt, never a read outside the area.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/text/bm25.h"
#include "core/text/text_format.h"
#include "core/text/tokenizer.h"

namespace qarbin {

enum class TextStatus : int {
    Ok = 0,
    Full = 1,      // the area has no room for the new bytes; nothing changed
    Corrupt = 2,   // a value read from the area is out of bounds
    BadInput = 3,  // records out of order, or below what is indexed already
    Busy = 4,      // the writer is rewriting the area in place: open again
};

// One record to index: its number (the segment's slot position) and text.
struct TextDocument {
    uint32_t doc;
    const char* text;
    size_t length;
};

// Which records count: deleted and replaced ones do not. fn null: all do.
struct DocTest {
    bool (*fn)(const void* context, uint32_t doc) = nullptr;
    const void* context = nullptr;
    bool passes(uint32_t doc) const { return fn == nullptr || fn(context, doc); }
};

// A query word with its idf from store-wide statistics.
struct QueryTerm {
    std::string text;
    double idf = 0.0;
};

struct TextHit {
    uint32_t doc;
    double score;  // BM25, larger is better
};

// Writes an empty index over area[0, capacity). Full when capacity is
// below kMinTextIndexBytes. Not safe while readers use the area.
TextStatus formatTextIndex(uint8_t* area, uint64_t capacity);

// Indexes docs[0, count) (record numbers strictly increasing, the first at
// or above the index's endDoc) as one new run covering records up to
// endDoc (exclusive; at least the last doc + 1), and publishes it. Runs of
// similar size at the tail are merged (four into one), and all of them
// when more than kMaxTextRuns would remain.
// One writer at a time (the caller's lock); readers may run meanwhile and
// see the old index or the new one. Full: not enough room, nothing visible
// changed.
TextStatus appendTextRun(uint8_t* area, uint64_t capacity, Tokenizer& tokenizer, const TextDocument* docs,
                         size_t count, uint32_t endDoc);

// The distinct tokens of a query, in first-seen order.
std::vector<std::string> queryTokens(Tokenizer& tokenizer, const char* query, size_t length);

// A snapshot of an index: open() reads the published directory once.
class TextIndexView {
public:
    // Checks the header, the directory and each run's arrays against
    // area[0, capacity). The area must stay mapped while the view is used.
    // Busy while the writer rewrites the area (or a killed writer left it
    // mid-rewrite, which appendTextRun reports as Corrupt).
    TextStatus open(const uint8_t* area, uint64_t capacity);

    // True while the area still holds this snapshot. Results read from a
    // view are trusted only when current() is true after reading them;
    // otherwise open again and repeat (a rewrite in place moved the bytes;
    // every read stayed inside the area meanwhile).
    bool current() const;

    uint32_t endDoc() const { return endDoc_; }
    uint64_t docCount() const { return docCount_; }
    uint64_t tokenCount() const { return tokenCount_; }
    uint64_t termCount() const;  // summed over runs; a term in two runs counts twice
    uint64_t usedBytes() const { return usedBytes_; }
    size_t runCount() const { return runs_.size(); }
    // One past the last byte of the published directory (the header's end
    // when nothing is indexed).
    uint64_t publishedEnd() const { return publishedEnd_; }

    // *length: the token count of record doc (0: no text, no tokens or not
    // indexed).
    TextStatus docLength(uint32_t doc, uint32_t* length) const;
    // Adds to *docFreq the records that hold term and pass test.
    TextStatus countTerm(const std::string& term, DocTest test, uint64_t* docFreq) const;
    // Tokens and records with text among those passing test (walks lengths).
    TextStatus countDocs(DocTest test, TextCorpusStats* stats) const;

    // Scores every record passing test that holds any of terms[0, n) (OR)
    // with BM25 under averageLength, and appends the best topK to *hits,
    // best first, ties by lower record number.
    TextStatus search(const QueryTerm* terms, size_t n, double averageLength, DocTest test, size_t topK,
                      std::vector<TextHit>* hits) const;

    const uint8_t* area() const { return area_; }
    // The runs as checked at open, and where each lies in the area.
    const std::vector<TextRun>& runs() const { return runs_; }
    const std::vector<uint64_t>& runOffsets() const { return runOffsets_; }

private:
    const uint8_t* area_ = nullptr;
    uint64_t capacity_ = 0;
    uint64_t usedBytes_ = 0;
    uint64_t publishedEnd_ = 0;
    uint32_t endDoc_ = 0;
    uint64_t docCount_ = 0;
    uint64_t tokenCount_ = 0;
    TextStatus readDirectory(const uint8_t* area, uint64_t capacity);

    uint64_t generation_ = 0;
    std::vector<TextRun> runs_;
    std::vector<uint64_t> runOffsets_;
};

// The path for records not yet indexed: tokenizes text once and returns its
// token count, with tf[i] the occurrences of terms[i] (tf: n entries).
uint32_t countQueryTerms(Tokenizer& tokenizer, const char* text, size_t length, const QueryTerm* terms, size_t n,
                         uint32_t* tf);

// BM25 of a record from its counts (tf: n entries).
double scoreCounts(const QueryTerm* terms, size_t n, const uint32_t* tf, uint32_t docLength, double averageLength);

}  // namespace qarbin
