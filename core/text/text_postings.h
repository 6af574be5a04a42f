// Internal to core/text: bounded reads of one run's term table and posting
// lists, shared by the readers and by the writer's merge.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "core/text/text_format.h"

namespace qarbin {

// Reads a varint from [*p, end); false when it runs past end or over 32 bits.
inline bool readVarint(const uint8_t** p, const uint8_t* end, uint32_t* value) {
    uint32_t v = 0;
    for (int shift = 0; shift < 35; shift += 7) {
        if (*p >= end) return false;
        uint8_t byte = *(*p)++;
        if (shift == 28 && byte > 0x0F) return false;
        v |= static_cast<uint32_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) {
            *value = v;
            return true;
        }
    }
    return false;
}

inline void appendVarint(std::string* out, uint32_t v) {
    while (v >= 0x80) {
        out->push_back(static_cast<char>((v & 0x7F) | 0x80));
        v >>= 7;
    }
    out->push_back(static_cast<char>(v));
}

// Walks one posting list of a run, checking each record number against the
// run's span and each tf against the record's token count.
struct PostingCursor {
    const uint8_t* p = nullptr;
    const uint8_t* end = nullptr;
    const uint32_t* lengths = nullptr;
    uint32_t firstDoc = 0;
    uint32_t spanEnd = 0;  // one past the last record of the run
    uint32_t doc = 0;
    uint32_t tf = 0;
    bool started = false;
    bool corrupt = false;

    // Moves to the next record; false at the end or on damage (corrupt set).
    bool next() {
        if (p == end) return false;
        uint32_t code = 0;
        if (!readVarint(&p, end, &code)) return fail();
        uint32_t gap = code >> 1;
        uint64_t at = started ? static_cast<uint64_t>(doc) + gap : static_cast<uint64_t>(firstDoc) + gap;
        if ((started && gap == 0) || at >= spanEnd) return fail();
        doc = static_cast<uint32_t>(at);
        started = true;
        tf = 1;
        if ((code & 1) == 0 && (!readVarint(&p, end, &tf) || tf < 2)) return fail();
        // lengths hold 1 + tokens, 0 for a record without text.
        if (tf >= lengths[doc - firstDoc]) return fail();
        return true;
    }
    bool fail() {
        corrupt = true;
        p = end;
        return false;
    }
};

// A run checked by TextIndexView::open (or written by this process).
struct RunAccess {
    const uint8_t* area;
    const TextRun* run;

    const uint32_t* lengths() const { return reinterpret_cast<const uint32_t*>(area + run->lengths); }
    const TextTermEntry* terms() const { return reinterpret_cast<const TextTermEntry*>(area + run->terms); }
    const char* strings() const { return reinterpret_cast<const char*>(area + run->strings); }

    // The entry's bytes, or false when they lie outside the string pool.
    // Entries are taken by value: each field is read from the area once.
    bool termBytes(TextTermEntry e, const char** bytes, uint32_t* length) const {
        if (e.stringLength == 0 || e.stringOffset > run->stringBytes ||
            e.stringLength > run->stringBytes - e.stringOffset)
            return false;
        *bytes = strings() + e.stringOffset;
        *length = e.stringLength;
        return true;
    }

    // Binary search for term. *entry null when absent; false on damage.
    bool find(const std::string& term, const TextTermEntry** entry) const {
        *entry = nullptr;
        size_t lo = 0, hi = run->termCount;
        while (lo < hi) {
            size_t mid = lo + (hi - lo) / 2;
            const char* bytes;
            uint32_t length;
            if (!termBytes(terms()[mid], &bytes, &length)) return false;
            int c = std::memcmp(bytes, term.data(), length < term.size() ? length : term.size());
            if (c == 0) c = length < term.size() ? -1 : (length > term.size() ? 1 : 0);
            if (c == 0) {
                *entry = &terms()[mid];
                return true;
            }
            if (c < 0) lo = mid + 1; else hi = mid;
        }
        return true;
    }

    // A cursor over the entry's postings, or false when they lie outside.
    bool cursor(TextTermEntry e, PostingCursor* c) const {
        if (e.postingOffset > run->postingBytes || e.postingBytes > run->postingBytes - e.postingOffset) return false;
        *c = PostingCursor{};
        c->p = area + run->postings + e.postingOffset;
        c->end = c->p + e.postingBytes;
        c->lengths = lengths();
        c->firstDoc = run->firstDoc;
        c->spanEnd = run->firstDoc + run->docSpan;
        return true;
    }
};

}  // namespace qarbin
