#include <algorithm>
#include <queue>

#include "core/text/text_format.h"
#include "core/text/text_index.h"
#include "core/text/text_postings.h"

namespace qarbin {

namespace {

// Better first: higher score, then lower record number.
bool better(const TextHit& a, const TextHit& b) { return a.score > b.score || (a.score == b.score && a.doc < b.doc); }

struct WorstOnTop {
    bool operator()(const TextHit& a, const TextHit& b) const { return better(a, b); }
};

using HitHeap = std::priority_queue<TextHit, std::vector<TextHit>, WorstOnTop>;

void offer(HitHeap* heap, size_t topK, TextHit hit) {
    if (heap->size() < topK) {
        heap->push(hit);
    } else if (better(hit, heap->top())) {
        heap->pop();
        heap->push(hit);
    }
}

struct TermCursor {
    PostingCursor postings;
    double idf;
    bool live;
};

// Document at a time over one run: the cursors advance together, so each
// record is scored once, from all its query words, with no accumulator.
bool searchRun(RunAccess access, const QueryTerm* terms, size_t n, double averageLength, DocTest test, size_t topK,
               HitHeap* heap) {
    std::vector<TermCursor> cursors;
    for (size_t i = 0; i < n; ++i) {
        const TextTermEntry* entry;
        if (!access.find(terms[i].text, &entry)) return false;
        if (entry == nullptr) continue;
        TermCursor c;
        if (!access.cursor(*entry, &c.postings)) return false;
        c.idf = terms[i].idf;
        c.live = c.postings.next();
        if (c.postings.corrupt) return false;
        if (c.live) cursors.push_back(c);
    }
    const uint32_t* lengths = access.lengths();
    const uint32_t firstDoc = access.run->firstDoc;
    while (!cursors.empty()) {
        uint32_t doc = cursors[0].postings.doc;
        for (const TermCursor& c : cursors) doc = std::min(doc, c.postings.doc);
        bool wanted = test.passes(doc);
        uint32_t length = lengths[doc - firstDoc] - 1;  // stored as 1 + tokens
        double score = 0.0;
        for (size_t i = 0; i < cursors.size();) {
            TermCursor& c = cursors[i];
            if (c.postings.doc == doc) {
                if (wanted) score += bm25TermScore(c.idf, c.postings.tf, length, averageLength);
                if (!c.postings.next()) {
                    if (c.postings.corrupt) return false;
                    cursors[i] = cursors.back();
                    cursors.pop_back();
                    continue;
                }
            }
            ++i;
        }
        if (wanted) offer(heap, topK, TextHit{doc, score});
    }
    return true;
}

}  // namespace

TextStatus TextIndexView::search(const QueryTerm* terms, size_t n, double averageLength, DocTest test, size_t topK,
                                 std::vector<TextHit>* hits) const {
    if (topK == 0 || n == 0 || averageLength <= 0.0) return TextStatus::Ok;
    HitHeap heap;
    for (const TextRun& run : runs_) {
        if (!searchRun(RunAccess{area_, &run}, terms, n, averageLength, test, topK, &heap)) return TextStatus::Corrupt;
    }
    size_t start = hits->size();
    while (!heap.empty()) {
        hits->push_back(heap.top());
        heap.pop();
    }
    std::reverse(hits->begin() + static_cast<std::ptrdiff_t>(start), hits->end());
    return TextStatus::Ok;
}

std::vector<std::string> queryTokens(Tokenizer& tokenizer, const char* query, size_t length) {
    std::vector<std::string> tokens;
    forEachToken(tokenizer, query, length, [&](const std::string& token) {
        if (std::find(tokens.begin(), tokens.end(), token) == tokens.end()) tokens.push_back(token);
    });
    return tokens;
}

uint32_t countQueryTerms(Tokenizer& tokenizer, const char* text, size_t length, const QueryTerm* terms, size_t n,
                         uint32_t* tf) {
    std::fill(tf, tf + n, 0u);
    uint32_t tokens = 0;
    forEachToken(tokenizer, text, length, [&](const std::string& token) {
        ++tokens;
        for (size_t i = 0; i < n; ++i) tf[i] += token == terms[i].text ? 1 : 0;
    });
    return tokens;
}

double scoreCounts(const QueryTerm* terms, size_t n, const uint32_t* tf, uint32_t docLength, double averageLength) {
    double score = 0.0;
    for (size_t i = 0; i < n; ++i) {
        if (tf[i] > 0) score += bm25TermScore(terms[i].idf, tf[i], docLength, averageLength);
    }
    return score;
}

}  // namespace qarbin
