// Full text over a store: the check of a record's text, the writer that
// extends a segment's text index (under the segment's graph writer word,
// beside its graph), and BM25 search over every segment with store-wide
// statistics, records not yet indexed scored from their text.
#include <sched.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/alloc.h"
#include "core/store/store.h"
#include "core/store/store_internal.h"
#include "core/text/text_index.h"

namespace qarbin {

static_assert(kTextAreaHeaderBytes == sizeof(TextIndexHeader), "the segment knows the text index's header size");
static_assert(offsetof(TextIndexHeader, usedBytes) == kTextAreaUsedAt, "Segment::textUsedBytes reads the mark there");
static_assert(offsetof(TextIndexHeader, capacity) == kTextAreaCapacityAt, "a grown copy sets the capacity there");

TextLimit textLimit(const Store& st, const char* text, size_t len) {
    if (!st.textAllowed()) return TextLimit::NotAllowed;
    if (len > kCompactMaxTextBytes) return TextLimit::TooLong;
    if (!isValidUtf8(text, len)) return TextLimit::NotUtf8;
    return TextLimit::Ok;
}

namespace {

// How often a reader opens an index again while its writer rewrites it in
// place; a writer killed there leaves it so, and the segment's records are
// then scored from their text.
constexpr int kViewAttempts = 64;

bool formatted(const uint8_t* area) {
    return __atomic_load_n(reinterpret_cast<const uint32_t*>(area), __ATOMIC_ACQUIRE) != 0;
}

// Opens seg's index; false when it has none, none yet, or none usable.
bool openView(const Segment& seg, TextIndexView* view) {
    const uint8_t* area = seg.textArea();
    if (area == nullptr || !formatted(area)) return false;
    for (int attempt = 0; attempt < kViewAttempts; ++attempt) {
        const TextStatus status = view->open(area, seg.textCapacity());
        if (status == TextStatus::Ok) return true;
        if (status != TextStatus::Busy) return false;
        sched_yield();
    }
    return false;
}

// Bytes to back before an append of `textBytes` of new text: what the
// index holds may be written once more by a merge or a rewrite, and an
// index takes at most a few bytes per byte of text.
uint64_t appendRoom(uint64_t used, uint64_t textBytes, uint64_t docs) {
    return 2 * used + 4 * textBytes + 8 * docs + (uint64_t{1} << 20);
}

}  // namespace

int indexSegmentText(Segment& seg) {
    uint8_t* area = seg.textArea();
    if (area == nullptr || !seg.writable) return 0;
    const uint64_t capacity = seg.textCapacity();
    const uint64_t offset = seg.compactHeader->tail.textOffset;
    if (!seg.ensureBacked(offset, kTextAreaHeaderBytes)) return -1;
    TextIndexView view;
    // A writer killed while rewriting in place (or a damaged index): the
    // index is made again from the first record.
    if (!formatted(area) || view.open(area, capacity) != TextStatus::Ok) {
        seg.dirty = true;
        formatTextIndex(area, capacity);
        if (view.open(area, capacity) != TextStatus::Ok) return -1;
    }
    const uint32_t from = view.endDoc();
    // Up to the first entry not yet published: a writer may still fill it.
    const uint64_t used = std::min<uint64_t>(seg.usedSlotsClamped(), UINT32_MAX);
    uint64_t end = from;
    while (end < used && seg.validAt(end)) ++end;
    if (end == from) return 0;
    std::vector<TextDocument> docs;
    uint64_t textBytes = 0;
    for (uint64_t d = from; d < end; ++d) {
        if (!seg.readableAt(d) || !seg.hasTextAt(d)) continue;
        docs.push_back(TextDocument{static_cast<uint32_t>(d), seg.textAt(d), seg.textLenAt(d)});
        textBytes += seg.textLenAt(d);
    }
    Tokenizer tokenizer;
    seg.dirty = true;
    uint64_t room = appendRoom(view.usedBytes(), textBytes, docs.size());
    for (;;) {
        const uint64_t backed = std::min(capacity, room);
        if (!seg.ensureBacked(offset, backed)) return -1;
        const TextStatus status =
            appendTextRun(area, backed, tokenizer, docs.data(), docs.size(), static_cast<uint32_t>(end));
        if (status == TextStatus::Ok) return 0;
        // Left unindexed, the records are still found from their text.
        if (status != TextStatus::Full || backed == capacity) return -1;
        room *= 2;
    }
}

namespace {

// A record of one segment may be returned: live and, with a filter, matched.
struct DocContext {
    const Segment* seg;
    const MetadataTest* keep;  // null: no filter
    uint32_t endDoc;           // records at or above it are scored from their text
};

bool docPasses(const void* ctx, uint32_t doc) {
    const DocContext& c = *static_cast<const DocContext*>(ctx);
    if (doc >= c.endDoc || doc >= c.seg->usedSlotsClamped() || !c.seg->readableAt(doc)) return false;
    if (c.keep == nullptr) return true;
    const KeyRef meta = c.seg->metadataRefAt(doc);
    return c.keep->accepts(meta.data, meta.len);
}

// A record scored from its text, with its token count and query counts.
struct CountedDoc {
    size_t segment;  // SIZE_MAX: held back
    uint64_t doc;
    uint32_t length;
    std::vector<uint32_t> tf;
};

struct SegmentSnapshot {
    TextIndexView view;
    bool indexed = false;
    uint32_t endDoc = 0;
};

// Adds a text's counts to the statistics, and keeps it when a query word occurs.
void countText(Tokenizer& tokenizer, const char* text, size_t len, const std::vector<QueryTerm>& terms,
               CountedDoc doc, TextCorpusStats* stats, std::vector<uint64_t>* df, std::vector<CountedDoc>* out) {
    doc.tf.assign(terms.size(), 0);
    doc.length = countQueryTerms(tokenizer, text, len, terms.data(), terms.size(), doc.tf.data());
    stats->docCount += 1;
    stats->tokenCount += doc.length;
    bool any = false;
    for (size_t t = 0; t < terms.size(); ++t) {
        if (doc.tf[t] == 0) continue;
        (*df)[t] += 1;
        any = true;
    }
    if (any) out->push_back(std::move(doc));
}

// Statistics of one segment: its index below endDoc, its texts above.
// False when the index moved meanwhile (the caller counts again).
bool countSegment(const Segment& seg, size_t index, Tokenizer& tokenizer, const std::vector<QueryTerm>& terms,
                  SegmentSnapshot* snap, TextCorpusStats* stats, std::vector<uint64_t>* df,
                  std::vector<CountedDoc>* counted) {
    TextCorpusStats local;
    std::vector<uint64_t> localDf(terms.size(), 0);
    std::vector<CountedDoc> localCounted;
    snap->indexed = openView(seg, &snap->view);
    const uint64_t used = seg.usedSlotsClamped();
    snap->endDoc = snap->indexed ? static_cast<uint32_t>(std::min<uint64_t>(snap->view.endDoc(), used)) : 0;
    if (snap->indexed) {
        const DocContext ctx{&seg, nullptr, snap->endDoc};
        // A segment none of whose records was deleted counts from the
        // index's totals, without a walk; otherwise the dead are left out.
        const bool allLive = seg.header->liveCount.load() >= used && snap->endDoc == snap->view.endDoc();
        const DocTest live = allLive ? DocTest{} : DocTest{docPasses, &ctx};
        if (snap->view.countDocs(live, &local) != TextStatus::Ok) snap->indexed = false;
        for (size_t t = 0; snap->indexed && t < terms.size(); ++t)
            if (snap->view.countTerm(terms[t].text, live, &localDf[t]) != TextStatus::Ok) snap->indexed = false;
        if (!snap->indexed) {
            // A damaged index: every record is scored from its text.
            local = TextCorpusStats{};
            std::fill(localDf.begin(), localDf.end(), 0);
            snap->endDoc = 0;
        }
    }
    for (uint64_t d = snap->endDoc; d < used; ++d) {
        if (!seg.readableAt(d) || !seg.hasTextAt(d)) continue;
        countText(tokenizer, seg.textAt(d), seg.textLenAt(d), terms, CountedDoc{index, d, 0, {}}, &local, &localDf,
                  &localCounted);
    }
    if (snap->indexed && !snap->view.current()) return false;
    stats->docCount += local.docCount;
    stats->tokenCount += local.tokenCount;
    for (size_t t = 0; t < terms.size(); ++t) (*df)[t] += localDf[t];
    for (CountedDoc& c : localCounted) counted->push_back(std::move(c));
    return true;
}

struct Candidate {
    double score;
    Result row;
};

bool rankedBefore(const Candidate& a, const Candidate& b) {
    if (a.score != b.score) return a.score > b.score;
    const int c = std::memcmp(a.row.key, b.row.key, std::min(a.row.keyLen, b.row.keyLen));
    return c != 0 ? c < 0 : a.row.keyLen < b.row.keyLen;
}

Result rowOf(const Segment& seg, uint64_t doc) {
    Result r{};
    const KeyRef k = seg.keyAt(doc);
    r.id = seg.idAt(doc);
    r.key = k.data;
    r.keyLen = k.len;
    const KeyRef meta = seg.metadataRefAt(doc);
    const uint32_t metaLen = meta.len;
    r.metadata = metaLen != 0 ? meta.data : nullptr;
    r.metadataLen = metaLen;
    r.text = seg.hasTextAt(doc) ? seg.textAt(doc) : nullptr;
    r.textLen = seg.textLenAt(doc);
    return r;
}

Result heldBackRow(const PQTrainingBuffer& b, uint32_t i) {
    Result r{};
    r.id = b.ids[i];
    r.key = b.keys[i].data();
    r.keyLen = static_cast<uint32_t>(b.keys[i].size());
    const std::string& meta = b.metadata[i];
    r.metadata = meta.empty() ? nullptr : meta.data();
    r.metadataLen = static_cast<uint32_t>(meta.size());
    r.text = b.texts[i].data();
    r.textLen = static_cast<uint32_t>(b.texts[i].size());
    return r;
}

// The indexed records of one segment that may enter the best k.
bool searchSegment(const Segment& seg, const SegmentSnapshot& snap, const std::vector<QueryTerm>& terms,
                   double averageLength, const MetadataTest* keep, size_t k, std::vector<Candidate>* out) {
    const DocContext ctx{&seg, keep, snap.endDoc};
    std::vector<TextHit> hits;
    if (snap.view.search(terms.data(), terms.size(), averageLength, DocTest{docPasses, &ctx}, k, &hits) !=
            TextStatus::Ok ||
        !snap.view.current())
        return false;
    for (const TextHit& h : hits) out->push_back(Candidate{h.score, rowOf(seg, h.doc)});
    return true;
}

}  // namespace

int Store::searchText(const char* query, size_t queryLen, int topK, const Filter* filter, double minScore,
                      Result** out) {
    if (query == nullptr || topK < 1 || out == nullptr) return 0;
    const size_t k = static_cast<size_t>(std::min(topK, kMaxTopK));
    if (!catchUpForReading()) return -1;
    Result* results = static_cast<Result*>(allocZeroed(k, sizeof(Result)));
    if (results == nullptr) return 0;
    *out = results;
    if (writable && autoIndexThreshold != 0) maybeAutoIndex();
    Tokenizer tokenizer;
    std::vector<QueryTerm> terms;
    for (std::string& token : queryTokens(tokenizer, query, queryLen)) terms.push_back(QueryTerm{std::move(token), 0});
    if (terms.empty()) return 0;
    const MetadataTest keep = filter != nullptr ? filter->test() : MetadataTest{};
    const MetadataTest* keepArg = keep.test != nullptr ? &keep : nullptr;

    std::vector<SegmentSnapshot> snaps(segments.size());
    TextCorpusStats stats;
    std::vector<uint64_t> df(terms.size(), 0);
    std::vector<CountedDoc> counted;
    for (size_t i = 0; i < segments.size(); ++i) {
        // An index that moves under every attempt is left aside: its
        // records are then all scored from their text.
        bool done = false;
        for (int attempt = 0; attempt < kViewAttempts && !done; ++attempt)
            done = countSegment(*segments[i], i, tokenizer, terms, &snaps[i], &stats, &df, &counted);
        if (!done) {
            snaps[i].indexed = false;
            snaps[i].endDoc = 0;
            countSegment(*segments[i], i, tokenizer, terms, &snaps[i], &stats, &df, &counted);
        }
    }
    if (pqBuffer != nullptr) {
        const PQTrainingBuffer& b = *pqBuffer;
        for (uint32_t i = 0; i < b.count && i < b.hasText.size(); ++i) {
            if (b.hasText[i] == 0) continue;
            countText(tokenizer, b.texts[i].data(), b.texts[i].size(), terms, CountedDoc{SIZE_MAX, i, 0, {}}, &stats,
                      &df, &counted);
        }
    }
    for (size_t t = 0; t < terms.size(); ++t) terms[t].idf = bm25Idf(stats.docCount, df[t]);
    const double averageLength = stats.averageLength();
    if (averageLength <= 0.0) return 0;

    std::vector<Candidate> candidates;
    for (size_t i = 0; i < segments.size(); ++i) {
        if (!snaps[i].indexed) continue;
        // The index moved after it was counted: the same records (those
        // below the counted end) are read from the new snapshot.
        for (int attempt = 0; attempt < kViewAttempts; ++attempt) {
            if (searchSegment(*segments[i], snaps[i], terms, averageLength, keepArg, k, &candidates)) break;
            const uint32_t endDoc = snaps[i].endDoc;
            if (!openView(*segments[i], &snaps[i].view)) break;
            snaps[i].endDoc = std::min(endDoc, snaps[i].view.endDoc());
        }
    }
    for (const CountedDoc& c : counted) {
        Result row;
        if (c.segment == SIZE_MAX) {
            row = heldBackRow(*pqBuffer, static_cast<uint32_t>(c.doc));
        } else {
            const Segment& seg = *segments[c.segment];
            if (keepArg != nullptr) {
                const KeyRef meta = seg.metadataRefAt(c.doc);
                if (!keep.accepts(meta.data, meta.len)) continue;
            }
            row = rowOf(seg, c.doc);
        }
        if (c.segment == SIZE_MAX && keepArg != nullptr && !keep.accepts(row.metadata, row.metadataLen)) continue;
        candidates.push_back(Candidate{scoreCounts(terms.data(), terms.size(), c.tf.data(), c.length, averageLength), row});
    }
    std::sort(candidates.begin(), candidates.end(), rankedBefore);
    size_t n = 0;
    for (const Candidate& c : candidates) {
        // Judged as the row reports it, so a row's own score passed back keeps it.
        if (n == k || static_cast<float>(c.score) < minScore) break;
        results[n] = c.row;
        results[n].score = static_cast<float>(c.score);
        ++n;
    }
    return static_cast<int>(n);
}

void Store::textStats(TextStats* out) const {
    *out = TextStats{};
    for (const Segment* seg : segments) {
        const uint64_t used = seg->usedSlotsClamped();
        for (uint64_t d = 0; d < used; ++d)
            if (seg->readableAt(d) && seg->hasTextAt(d)) ++out->records;
        TextIndexView view;
        if (!openView(*seg, &view)) continue;
        const uint64_t end = std::min<uint64_t>(view.endDoc(), used);
        for (uint64_t d = 0; d < end; ++d)
            if (seg->readableAt(d) && seg->hasTextAt(d)) ++out->indexed;
        out->terms += view.termCount();
        out->bytes += view.usedBytes();
    }
    if (pqBuffer != nullptr)
        for (uint8_t has : pqBuffer->hasText) out->records += has;
}

}  // namespace qarbin
