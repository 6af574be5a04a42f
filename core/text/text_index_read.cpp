#include <cstring>

#include "core/text/text_format.h"
#include "core/text/text_index.h"
#include "core/text/text_postings.h"

namespace qarbin {

namespace {

// [offset, offset + bytes) lies inside [kMinTextIndexBytes, limit) and
// offset is aligned for alignment.
bool spanInside(uint64_t offset, uint64_t bytes, uint64_t limit, uint64_t alignment) {
    if (offset < kMinTextIndexBytes || offset > limit || bytes > limit - offset) return false;
    return offset % alignment == 0;
}

bool arrayInside(uint64_t offset, uint64_t count, uint64_t size, uint64_t limit, uint64_t alignment) {
    if (count > limit / size) return false;
    return spanInside(offset, count * size, limit, alignment);
}

bool runInside(const TextRun& run, uint64_t offset, uint64_t limit) {
    if (!spanInside(offset, sizeof(TextRun), limit, kTextBlockAlign)) return false;
    return run.magic == kTextRunMagic && arrayInside(run.lengths, run.docSpan, 4, limit, 4) &&
           arrayInside(run.terms, run.termCount, sizeof(TextTermEntry), limit, 4) &&
           spanInside(run.strings, run.stringBytes, limit, 1) && spanInside(run.postings, run.postingBytes, limit, 1) &&
           run.postingBytes <= UINT32_MAX && run.stringBytes <= UINT32_MAX && run.docCount <= run.docSpan;
}

uint64_t loadGeneration(const uint8_t* area) {
    return __atomic_load_n(&reinterpret_cast<const TextIndexHeader*>(area)->generation, __ATOMIC_ACQUIRE);
}

}  // namespace

TextStatus TextIndexView::open(const uint8_t* area, uint64_t capacity) {
    *this = TextIndexView{};
    if (capacity < kMinTextIndexBytes) return TextStatus::Corrupt;
    const TextIndexHeader* header = reinterpret_cast<const TextIndexHeader*>(area);
    if (header->magic != kTextIndexMagic || header->version != kTextIndexVersion) return TextStatus::Corrupt;
    generation_ = loadGeneration(area);
    if (generation_ % 2 != 0) return TextStatus::Busy;
    TextStatus status = readDirectory(area, capacity);
    // What a rewrite in place overlapped may look damaged: not trusted either way.
    if (!current()) {
        *this = TextIndexView{};
        return TextStatus::Busy;
    }
    return status;
}

bool TextIndexView::current() const {
    if (area_ == nullptr) return false;
    // The reads of the snapshot come before this load.
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    return loadGeneration(area_) == generation_;
}

// Everything is copied out of the area before it is checked, so a
// concurrent rewrite cannot change a value between its check and its use.
TextStatus TextIndexView::readDirectory(const uint8_t* area, uint64_t capacity) {
    const TextIndexHeader* header = reinterpret_cast<const TextIndexHeader*>(area);
    uint64_t directory = __atomic_load_n(&header->directory, __ATOMIC_ACQUIRE);
    uint64_t headerCapacity = header->capacity;
    uint64_t limit = headerCapacity < capacity ? headerCapacity : capacity;
    area_ = area;
    capacity_ = limit;
    usedBytes_ = __atomic_load_n(&header->usedBytes, __ATOMIC_ACQUIRE);
    publishedEnd_ = kMinTextIndexBytes;
    if (directory == 0) return TextStatus::Ok;
    if (!spanInside(directory, sizeof(TextDirectory), limit, kTextBlockAlign)) return TextStatus::Corrupt;
    TextDirectory dir;
    std::memcpy(&dir, area + directory, sizeof dir);
    if (dir.magic != kTextDirectoryMagic || dir.runCount > kMaxTextRuns ||
        !arrayInside(directory + sizeof(TextDirectory), dir.runCount, 8, limit, 8))
        return TextStatus::Corrupt;
    publishedEnd_ = directory + sizeof(TextDirectory) + 8 * static_cast<uint64_t>(dir.runCount);
    uint64_t offsets[kMaxTextRuns];
    std::memcpy(offsets, area + directory + sizeof(TextDirectory), 8 * static_cast<size_t>(dir.runCount));
    uint64_t nextDoc = 0, docs = 0, tokens = 0;
    for (uint32_t i = 0; i < dir.runCount; ++i) {
        if (!spanInside(offsets[i], sizeof(TextRun), limit, kTextBlockAlign)) return TextStatus::Corrupt;
        TextRun run;
        std::memcpy(&run, area + offsets[i], sizeof run);
        if (!runInside(run, offsets[i], limit) || run.firstDoc < nextDoc ||
            static_cast<uint64_t>(run.firstDoc) + run.docSpan > dir.endDoc)
            return TextStatus::Corrupt;
        nextDoc = static_cast<uint64_t>(run.firstDoc) + run.docSpan;
        docs += run.docCount;
        tokens += run.tokenCount;
        runs_.push_back(run);
        runOffsets_.push_back(offsets[i]);
    }
    if (docs != dir.docCount || tokens != dir.tokenCount) return TextStatus::Corrupt;
    endDoc_ = dir.endDoc;
    docCount_ = docs;
    tokenCount_ = tokens;
    return TextStatus::Ok;
}

uint64_t TextIndexView::termCount() const {
    uint64_t total = 0;
    for (const TextRun& run : runs_) total += run.termCount;
    return total;
}

TextStatus TextIndexView::docLength(uint32_t doc, uint32_t* length) const {
    *length = 0;
    for (const TextRun& run : runs_) {
        if (doc >= run.firstDoc && doc - run.firstDoc < run.docSpan) {
            uint32_t stored = RunAccess{area_, &run}.lengths()[doc - run.firstDoc];
            *length = stored == 0 ? 0 : stored - 1;
            return TextStatus::Ok;
        }
    }
    return TextStatus::Ok;
}

TextStatus TextIndexView::countTerm(const std::string& term, DocTest test, uint64_t* docFreq) const {
    for (const TextRun& run : runs_) {
        RunAccess access{area_, &run};
        const TextTermEntry* entry;
        if (!access.find(term, &entry)) return TextStatus::Corrupt;
        if (entry == nullptr) continue;
        if (test.fn == nullptr) {
            *docFreq += entry->docFreq;
            continue;
        }
        PostingCursor cursor;
        if (!access.cursor(*entry, &cursor)) return TextStatus::Corrupt;
        while (cursor.next()) *docFreq += test.passes(cursor.doc) ? 1 : 0;
        if (cursor.corrupt) return TextStatus::Corrupt;
    }
    return TextStatus::Ok;
}

TextStatus TextIndexView::countDocs(DocTest test, TextCorpusStats* stats) const {
    for (const TextRun& run : runs_) {
        if (test.fn == nullptr) {
            stats->docCount += run.docCount;
            stats->tokenCount += run.tokenCount;
            continue;
        }
        const uint32_t* lengths = RunAccess{area_, &run}.lengths();
        for (uint32_t i = 0; i < run.docSpan; ++i) {
            if (lengths[i] == 0 || !test.passes(run.firstDoc + i)) continue;
            stats->docCount += 1;
            stats->tokenCount += lengths[i] - 1;
        }
    }
    return TextStatus::Ok;
}

}  // namespace qarbin
