// The byte layout of a full-text index inside a mapped area. Everything is
// an offset from the area's first byte; blocks are appended and never
// rewritten, so a reader that loaded the directory offset keeps a
// consistent index while one writer appends.
//
//   header (64 B) | run | ... | directory | run | directory | ...
//
// A run indexes the records [firstDoc, firstDoc + docSpan) (record numbers
// are the segment's slot positions): which have text and their token counts, a term table
// sorted by the terms' bytes, the terms' bytes and their posting lists.
// A posting list holds, per record in increasing order, the varint
// (gap << 1 | (tf == 1)) and, when tf != 1, the varint tf; the first gap
// is counted from firstDoc, the later ones from the previous record.
// The directory lists the runs in record order; the header points at the
// current directory, stored last with release ordering. When superseded
// runs outweigh the live ones, the writer rewrites the area in place as one
// run, with the header's generation odd meanwhile (a seqlock: every read a
// reader makes stays bounded by the run headers it copied, and it retries
// when the generation moved).
#pragma once

#include <cstddef>
#include <cstdint>

namespace qarbin {

constexpr uint32_t kTextIndexMagic = 0x58544251;  // "QBTX"
constexpr uint32_t kTextDirectoryMagic = 0x44544251;  // "QBTD"
constexpr uint32_t kTextRunMagic = 0x52544251;  // "QBTR"
// Changes whenever these bytes change; an opener reads this version only.
constexpr uint32_t kTextIndexVersion = 1;
// Runs one directory lists at most.
constexpr uint32_t kMaxTextRuns = 16;
constexpr uint64_t kTextBlockAlign = 8;

struct TextIndexHeader {
    uint32_t magic;
    uint32_t version;
    uint64_t capacity;   // bytes of the area, header included
    uint64_t usedBytes;  // the writer's append mark
    uint64_t directory;  // offset of the current TextDirectory; 0: nothing indexed
    // Odd while the writer rewrites the area in place; readers whose
    // snapshot saw another value retry.
    uint64_t generation;
    uint8_t reserved[24];
};

struct TextDirectory {
    uint32_t magic;
    uint32_t runCount;   // at most kMaxTextRuns
    uint64_t docCount;   // records with text in all runs
    uint64_t tokenCount; // their tokens
    uint32_t endDoc;     // one past the last record the runs cover
    uint32_t reserved;
    // followed by runCount uint64_t run offsets
};

struct TextRun {
    uint32_t magic;
    uint32_t termCount;
    uint32_t firstDoc;
    uint32_t docSpan;
    uint64_t docCount;     // records with text among the span
    uint64_t tokenCount;   // their tokens
    uint64_t lengths;      // docSpan uint32_t: 0 no text, else 1 + token count
    uint64_t terms;        // termCount TextTermEntry
    uint64_t strings;      // the terms' bytes
    uint64_t postings;     // the posting lists
    uint64_t stringBytes;
    uint64_t postingBytes;
};

struct TextTermEntry {
    uint32_t stringOffset;   // from TextRun::strings
    uint32_t stringLength;   // at least 1
    uint32_t docFreq;        // records of the run holding the term
    uint32_t postingOffset;  // from TextRun::postings
    uint32_t postingBytes;
};

static_assert(sizeof(TextIndexHeader) == 64, "text index header is 64 bytes");
static_assert(offsetof(TextIndexHeader, capacity) == 8, "");
static_assert(offsetof(TextIndexHeader, usedBytes) == 16, "");
static_assert(offsetof(TextIndexHeader, directory) == 24, "");
static_assert(offsetof(TextIndexHeader, generation) == 32, "");
static_assert(sizeof(TextDirectory) == 32, "text directory is 32 bytes before its run offsets");
static_assert(offsetof(TextDirectory, docCount) == 8, "");
static_assert(offsetof(TextDirectory, tokenCount) == 16, "");
static_assert(offsetof(TextDirectory, endDoc) == 24, "");
static_assert(sizeof(TextRun) == 80, "text run header is 80 bytes");
static_assert(offsetof(TextRun, firstDoc) == 8, "");
static_assert(offsetof(TextRun, docCount) == 16, "");
static_assert(offsetof(TextRun, lengths) == 32, "");
static_assert(offsetof(TextRun, terms) == 40, "");
static_assert(offsetof(TextRun, strings) == 48, "");
static_assert(offsetof(TextRun, postings) == 56, "");
static_assert(offsetof(TextRun, stringBytes) == 64, "");
static_assert(offsetof(TextRun, postingBytes) == 72, "");
static_assert(sizeof(TextTermEntry) == 20, "term entry is 20 bytes");
static_assert(offsetof(TextTermEntry, docFreq) == 8, "");
static_assert(offsetof(TextTermEntry, postingBytes) == 16, "");

// The smallest area an index fits in (its header).
constexpr uint64_t kMinTextIndexBytes = sizeof(TextIndexHeader);

}  // namespace qarbin
