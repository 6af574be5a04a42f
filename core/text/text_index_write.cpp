#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "core/text/text_format.h"
#include "core/text/text_index.h"
#include "core/text/text_postings.h"

namespace qarbin {

namespace {

using Postings = std::vector<std::pair<uint32_t, uint32_t>>;  // (record, tf), increasing records

// A run being built in process memory before it is written out.
struct RunDraft {
    uint32_t firstDoc = 0;
    std::vector<uint32_t> lengths;  // 0 no text, else 1 + tokens
    std::unordered_map<std::string, Postings> terms;
    uint64_t docCount = 0;
    uint64_t tokenCount = 0;
};

bool addDocument(RunDraft* draft, Tokenizer& tokenizer, const TextDocument& d, std::vector<std::string>* scratch) {
    scratch->clear();
    forEachToken(tokenizer, d.text, d.length, [&](const std::string& token) { scratch->push_back(token); });
    if (scratch->size() >= UINT32_MAX) return false;
    std::sort(scratch->begin(), scratch->end());
    for (size_t i = 0; i < scratch->size();) {
        size_t j = i + 1;
        while (j < scratch->size() && (*scratch)[j] == (*scratch)[i]) ++j;
        draft->terms[(*scratch)[i]].emplace_back(d.doc, static_cast<uint32_t>(j - i));
        i = j;
    }
    draft->lengths[d.doc - draft->firstDoc] = static_cast<uint32_t>(scratch->size()) + 1;
    draft->docCount += 1;
    draft->tokenCount += scratch->size();
    return true;
}

// Copies a published run's records into the draft (runs come in record order).
bool addRun(RunDraft* draft, RunAccess access) {
    const TextRun* run = access.run;
    for (uint32_t i = 0; i < run->docSpan; ++i) draft->lengths[run->firstDoc + i - draft->firstDoc] = access.lengths()[i];
    draft->docCount += run->docCount;
    draft->tokenCount += run->tokenCount;
    for (uint32_t t = 0; t < run->termCount; ++t) {
        const char* bytes;
        uint32_t length;
        PostingCursor cursor;
        if (!access.termBytes(access.terms()[t], &bytes, &length) || !access.cursor(access.terms()[t], &cursor))
            return false;
        Postings& postings = draft->terms[std::string(bytes, length)];
        while (cursor.next()) postings.emplace_back(cursor.doc, cursor.tf);
        if (cursor.corrupt) return false;
    }
    return true;
}

uint64_t alignUp(uint64_t v) { return (v + kTextBlockAlign - 1) & ~(kTextBlockAlign - 1); }

// Appends bytes at *mark inside area[0, capacity); false when they do not fit.
bool put(uint8_t* area, uint64_t capacity, uint64_t* mark, const void* bytes, uint64_t size) {
    if (*mark > capacity || size > capacity - *mark) return false;
    if (size > 0) std::memcpy(area + *mark, bytes, size);  // empty arrays may have no data pointer
    *mark += size;
    return true;
}

// Writes the draft as a run at *mark; *runOffset: where it starts.
bool writeRun(uint8_t* area, uint64_t capacity, uint64_t* mark, const RunDraft& draft, uint64_t* runOffset) {
    std::vector<const std::pair<const std::string, Postings>*> sorted;
    sorted.reserve(draft.terms.size());
    for (const auto& term : draft.terms) sorted.push_back(&term);
    std::sort(sorted.begin(), sorted.end(), [](const auto* a, const auto* b) { return a->first < b->first; });
    std::string strings, postings;
    std::vector<TextTermEntry> entries;
    entries.reserve(sorted.size());
    for (const auto* term : sorted) {
        TextTermEntry e{};
        e.stringOffset = static_cast<uint32_t>(strings.size());
        e.stringLength = static_cast<uint32_t>(term->first.size());
        e.docFreq = static_cast<uint32_t>(term->second.size());
        e.postingOffset = static_cast<uint32_t>(postings.size());
        uint32_t previous = draft.firstDoc;
        bool first = true;
        for (const auto& [doc, tf] : term->second) {
            uint32_t gap = first ? doc - draft.firstDoc : doc - previous;
            appendVarint(&postings, (gap << 1) | (tf == 1 ? 1u : 0u));
            if (tf != 1) appendVarint(&postings, tf);
            previous = doc;
            first = false;
        }
        e.postingBytes = static_cast<uint32_t>(postings.size() - e.postingOffset);
        strings += term->first;
        entries.push_back(e);
        // Offsets are 32-bit: a run beyond 4 GiB of strings or postings is refused.
        if (strings.size() > UINT32_MAX || postings.size() > UINT32_MAX) return false;
    }
    TextRun run{};
    run.magic = kTextRunMagic;
    run.termCount = static_cast<uint32_t>(entries.size());
    run.firstDoc = draft.firstDoc;
    run.docSpan = static_cast<uint32_t>(draft.lengths.size());
    run.docCount = draft.docCount;
    run.tokenCount = draft.tokenCount;
    *runOffset = alignUp(*mark);
    run.lengths = *runOffset + sizeof(TextRun);
    run.terms = run.lengths + 4 * static_cast<uint64_t>(draft.lengths.size());
    run.strings = run.terms + sizeof(TextTermEntry) * entries.size();
    run.postings = run.strings + strings.size();
    run.stringBytes = strings.size();
    run.postingBytes = postings.size();
    *mark = *runOffset;
    return put(area, capacity, mark, &run, sizeof run) &&
           put(area, capacity, mark, draft.lengths.data(), 4 * draft.lengths.size()) &&
           put(area, capacity, mark, entries.data(), sizeof(TextTermEntry) * entries.size()) &&
           put(area, capacity, mark, strings.data(), strings.size()) &&
           put(area, capacity, mark, postings.data(), postings.size());
}

bool writeDirectory(uint8_t* area, uint64_t capacity, uint64_t* mark, const std::vector<uint64_t>& runs,
                    const RunDraft& totals, uint32_t endDoc, uint64_t* directoryOffset) {
    TextDirectory dir{};
    dir.magic = kTextDirectoryMagic;
    dir.runCount = static_cast<uint32_t>(runs.size());
    dir.docCount = totals.docCount;
    dir.tokenCount = totals.tokenCount;
    dir.endDoc = endDoc;
    *directoryOffset = alignUp(*mark);
    *mark = *directoryOffset;
    return put(area, capacity, mark, &dir, sizeof dir) && put(area, capacity, mark, runs.data(), 8 * runs.size());
}

constexpr size_t kMergeFanout = 4;
// Superseded bytes tolerated beyond half the live ones before a rewrite.
constexpr uint64_t kRewriteSlack = 64 * 1024;

const TextRun* runAt(const uint8_t* area, uint64_t offset) { return reinterpret_cast<const TextRun*>(area + offset); }

uint64_t runBytes(const TextRun* run) {
    return sizeof(TextRun) + 4 * static_cast<uint64_t>(run->docSpan) + sizeof(TextTermEntry) * run->termCount +
           run->stringBytes + run->postingBytes;
}

// Runs of one tier are within a factor of four of each other in bytes.
int runTier(const TextRun* run) {
    int tier = 0;
    for (uint64_t bytes = runBytes(run); bytes >= kMergeFanout; bytes /= kMergeFanout) ++tier;
    return tier;
}

bool tailShareTier(const uint8_t* area, const std::vector<uint64_t>& runs) {
    int tier = runTier(runAt(area, runs.back()));
    for (size_t i = runs.size() - kMergeFanout; i + 1 < runs.size(); ++i) {
        if (runTier(runAt(area, runs[i])) != tier) return false;
    }
    return true;
}

// Writes runs[from, end) merged into one run at *mark and lists it in
// their place. The runs are adjacent, so the merged one covers their spans.
TextStatus mergeTail(uint8_t* area, uint64_t limit, uint64_t* mark, std::vector<uint64_t>* runs, size_t from) {
    const TextRun* first = runAt(area, (*runs)[from]);
    const TextRun* last = runAt(area, runs->back());
    RunDraft draft;
    draft.firstDoc = first->firstDoc;
    draft.lengths.assign(static_cast<size_t>(last->firstDoc) + last->docSpan - first->firstDoc, 0);
    for (size_t i = from; i < runs->size(); ++i) {
        if (!addRun(&draft, RunAccess{area, runAt(area, (*runs)[i])})) return TextStatus::Corrupt;
    }
    uint64_t offset = 0;
    if (!writeRun(area, limit, mark, draft, &offset)) return TextStatus::Full;
    runs->resize(from);
    runs->push_back(offset);
    return TextStatus::Ok;
}

// Adds a draft of later records (the new ones) to a draft of earlier ones.
void appendDraft(RunDraft* into, const RunDraft& later) {
    std::copy(later.lengths.begin(), later.lengths.end(), into->lengths.begin() + (later.firstDoc - into->firstDoc));
    for (const auto& [term, postings] : later.terms) {
        Postings& target = into->terms[term];
        target.insert(target.end(), postings.begin(), postings.end());
    }
    into->docCount += later.docCount;
    into->tokenCount += later.tokenCount;
}

// Bytes the draft takes at most once written as the only run of an area.
uint64_t imageBound(const RunDraft& draft) {
    uint64_t bytes = kMinTextIndexBytes + kTextBlockAlign + sizeof(TextRun) + 4 * draft.lengths.size();
    for (const auto& [term, postings] : draft.terms) bytes += sizeof(TextTermEntry) + term.size() + 10 * postings.size();
    return bytes + kTextBlockAlign + sizeof(TextDirectory) + 8;
}

// Replaces the whole index by one run of every record, written over the
// old bytes. Readers see an odd generation meanwhile and retry; a writer
// killed here leaves it odd, and the index must be formatted again.
TextStatus rewriteInPlace(uint8_t* area, uint64_t limit, const TextIndexView& view, const RunDraft& fresh,
                          uint32_t endDoc) {
    RunDraft all;
    all.firstDoc = view.runs().empty() ? fresh.firstDoc : view.runs()[0].firstDoc;
    all.lengths.assign(endDoc - all.firstDoc, 0);
    for (const TextRun& run : view.runs()) {
        if (!addRun(&all, RunAccess{area, &run})) return TextStatus::Corrupt;
    }
    appendDraft(&all, fresh);
    std::vector<uint8_t> image(imageBound(all));
    uint64_t mark = kMinTextIndexBytes, runOffset = 0, directory = 0;
    if (!writeRun(image.data(), image.size(), &mark, all, &runOffset)) return TextStatus::Full;
    if (!writeDirectory(image.data(), image.size(), &mark, {runOffset}, all, endDoc, &directory)) return TextStatus::Full;
    if (mark > limit) return TextStatus::Full;
    TextIndexHeader* header = reinterpret_cast<TextIndexHeader*>(area);
    uint64_t generation = header->generation;
    __atomic_store_n(&header->generation, generation + 1, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_RELEASE);
    std::memcpy(area + kMinTextIndexBytes, image.data() + kMinTextIndexBytes, mark - kMinTextIndexBytes);
    __atomic_store_n(&header->usedBytes, mark, __ATOMIC_RELAXED);
    __atomic_store_n(&header->directory, directory, __ATOMIC_RELAXED);
    __atomic_store_n(&header->generation, generation + 2, __ATOMIC_RELEASE);
    return TextStatus::Ok;
}

// Bytes of the runs listed and their directory: what a rewrite would keep.
uint64_t liveBytes(const uint8_t* area, const std::vector<uint64_t>& runs) {
    uint64_t bytes = sizeof(TextDirectory) + 8 * runs.size();
    for (uint64_t offset : runs) bytes += runBytes(runAt(area, offset));
    return bytes;
}

bool inputInOrder(const TextDocument* docs, size_t count, uint32_t fromDoc, uint32_t endDoc) {
    if (endDoc < fromDoc) return false;
    for (size_t i = 0; i < count; ++i) {
        if (docs[i].doc < fromDoc || docs[i].doc >= endDoc || (i > 0 && docs[i].doc <= docs[i - 1].doc)) return false;
    }
    return true;
}

}  // namespace

TextStatus formatTextIndex(uint8_t* area, uint64_t capacity) {
    if (capacity < kMinTextIndexBytes) return TextStatus::Full;
    TextIndexHeader header{};
    header.magic = kTextIndexMagic;
    header.version = kTextIndexVersion;
    header.capacity = capacity;
    header.usedBytes = sizeof(TextIndexHeader);
    std::memcpy(area, &header, sizeof header);
    return TextStatus::Ok;
}

TextStatus appendTextRun(uint8_t* area, uint64_t capacity, Tokenizer& tokenizer, const TextDocument* docs,
                         size_t count, uint32_t endDoc) {
    TextIndexView view;
    TextStatus status = view.open(area, capacity);
    // Only the writer rewrites: Busy here means one was killed mid-rewrite.
    if (status == TextStatus::Busy) return TextStatus::Corrupt;
    if (status != TextStatus::Ok) return status;
    if (!inputInOrder(docs, count, view.endDoc(), endDoc)) return TextStatus::BadInput;
    if (count == 0 && endDoc == view.endDoc()) return TextStatus::Ok;
    RunDraft draft;
    draft.firstDoc = view.endDoc();
    draft.lengths.assign(endDoc - draft.firstDoc, 0);
    std::vector<std::string> scratch;
    for (size_t i = 0; i < count; ++i) {
        if (!addDocument(&draft, tokenizer, docs[i], &scratch)) return TextStatus::BadInput;
    }
    RunDraft totals;
    totals.docCount = view.docCount() + draft.docCount;
    totals.tokenCount = view.tokenCount() + draft.tokenCount;
    std::vector<uint64_t> runs = view.runOffsets();

    TextIndexHeader* header = reinterpret_cast<TextIndexHeader*>(area);
    uint64_t limit = std::min(header->capacity, capacity);
    uint64_t mark = header->usedBytes, runOffset = 0, directory = 0;
    // A mark below the published bytes would overwrite what readers use.
    if (mark < kMinTextIndexBytes || mark > limit || mark < view.publishedEnd()) return TextStatus::Corrupt;
    bool appended = writeRun(area, limit, &mark, draft, &runOffset);
    if (appended) {
        runs.push_back(runOffset);
        // Size-tiered merging: four runs of one tier at the tail become one,
        // so a record is rewritten about log4(runs) times and few runs remain.
        while (appended && runs.size() >= kMergeFanout && tailShareTier(area, runs)) {
            status = mergeTail(area, limit, &mark, &runs, runs.size() - kMergeFanout);
            if (status == TextStatus::Corrupt) return status;
            appended = status == TextStatus::Ok;
        }
        if (appended && runs.size() > kMaxTextRuns) appended = mergeTail(area, limit, &mark, &runs, 0) == TextStatus::Ok;
        appended = appended && writeDirectory(area, limit, &mark, runs, totals, endDoc, &directory);
    }
    // Superseded runs are reclaimed by a rewrite once they outweigh the live ones.
    if (!appended || mark - kMinTextIndexBytes > liveBytes(area, runs) + liveBytes(area, runs) / 2 + kRewriteSlack)
        return rewriteInPlace(area, limit, view, draft, endDoc);
    __atomic_store_n(&header->usedBytes, mark, __ATOMIC_RELEASE);
    __atomic_store_n(&header->directory, directory, __ATOMIC_RELEASE);
    return TextStatus::Ok;
}

}  // namespace qarbin
