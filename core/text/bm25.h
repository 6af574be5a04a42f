// BM25 as SQLite FTS5's bm25() computes it (k1 1.2, b 0.75), with the sign
// turned so that larger is better: FTS5 reports the negation of this score.
#pragma once

#include <cstdint>

namespace qarbin {

constexpr double kBm25K1 = 1.2;
constexpr double kBm25B = 0.75;
// FTS5 replaces an idf at or below zero (a word in more than half of the
// records) by this, so such words still rank their records a little.
constexpr double kBm25IdfFloor = 1e-6;

// Totals over every live record with text in the whole store.
struct TextCorpusStats {
    uint64_t docCount = 0;    // records with text
    uint64_t tokenCount = 0;  // their tokens, summed
    double averageLength() const {
        return docCount == 0 ? 0.0 : static_cast<double>(tokenCount) / static_cast<double>(docCount);
    }
};

// idf of a word found in docFreq of docCount records.
double bm25Idf(uint64_t docCount, uint64_t docFreq);

// One word's share of a record's score: tf occurrences in a record of
// docLength tokens. averageLength must be > 0 when tf > 0.
inline double bm25TermScore(double idf, uint32_t tf, uint32_t docLength, double averageLength) {
    double f = static_cast<double>(tf);
    double norm = kBm25K1 * (1.0 - kBm25B + kBm25B * static_cast<double>(docLength) / averageLength);
    return idf * (f * (kBm25K1 + 1.0)) / (f + norm);
}

}  // namespace qarbin
