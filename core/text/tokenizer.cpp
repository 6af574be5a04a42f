#include "core/text/tokenizer.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <unicode/normalizer2.h>

#include <vector>

namespace qarbin {

namespace {

// What a code point is to the tokenizer.
enum CharClass : uint32_t { kSeparator = 0, kTokenChar = 1, kDroppedMark = 2 };

// FTS5's character data describe Unicode 6.1, and it treats every code
// point that version left unassigned as a token character, unfolded. Code
// points assigned later are handled the same way here so that tokens agree.
bool assignedByUnicode61(UChar32 c) {
    if (U_IS_UNICODE_NONCHAR(c)) return false;
    UVersionInfo age;
    u_charAge(c, age);
    if (age[0] == 0 && age[1] == 0) return false;
    return age[0] < 6 || (age[0] == 6 && age[1] <= 1);
}

bool isAsciiLetter(UChar32 c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The canonical decomposition of c into an ASCII letter and one mark, as
// {letter, mark}; {c, 0} for any other character. Characters with two or
// more marks keep them, as in FTS5's remove_diacritics 1.
std::pair<UChar32, UChar32> letterAndMark(UChar32 c) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status)) return {c, 0};
    icu::UnicodeString parts;
    if (!nfd->getDecomposition(c, parts) || parts.countChar32() != 2) return {c, 0};
    UChar32 base = parts.char32At(0);
    UChar32 mark = parts.char32At(parts.moveIndex32(0, 1));
    if (!isAsciiLetter(base) || u_charType(mark) != U_NON_SPACING_MARK) return {c, 0};
    return {base, mark};
}

// Simple case folding, then a lower-case mapping for the few letters
// (capital I with dot) that simple folding leaves alone. A mapping onto a
// letter Unicode 6.1 did not have is not one FTS5 makes.
UChar32 foldCase(UChar32 c) {
    UChar32 folded = u_foldCase(c, U_FOLD_CASE_DEFAULT);
    if (folded == c) folded = u_tolower(c);
    return assignedByUnicode61(folded) ? folded : c;
}

bool isTokenCategory(UChar32 c) {
    uint32_t mask = U_MASK(u_charType(c));
    return (mask & (U_GC_L_MASK | U_GC_N_MASK | U_GC_CO_MASK)) != 0;
}

// Class in the top bits, folded code point in the low 21.
uint32_t classify(UChar32 c, const std::vector<bool>& droppedMarks) {
    // FTS5 separates at the two noncharacters closing the BMP only.
    if (c == 0xFFFE || c == 0xFFFF) return kSeparator << 24;
    if (!assignedByUnicode61(c)) return (kTokenChar << 24) | static_cast<uint32_t>(c);
    if (isTokenCategory(c)) {
        UChar32 folded = letterAndMark(foldCase(c)).first;
        return (kTokenChar << 24) | static_cast<uint32_t>(folded);
    }
    if (c < 0x10000 && droppedMarks[c]) return kDroppedMark << 24;
    return kSeparator << 24;
}

// The marks that removing diacritics takes off Latin letters: those marks
// are part of a token (and vanish from it); every other mark separates.
std::vector<bool> findDroppedMarks() {
    std::vector<bool> marks(0x10000, false);
    for (UChar32 c = 0x80; c < 0x10000; ++c) {
        if (!assignedByUnicode61(c) || !isTokenCategory(c)) continue;
        std::pair<UChar32, UChar32> split = letterAndMark(c);
        if (split.second > 0 && split.second < 0x10000) marks[split.second] = true;
    }
    return marks;
}

struct CharTable {
    std::vector<uint32_t> bmp;
    std::vector<bool> droppedMarks;
    CharTable() : droppedMarks(findDroppedMarks()) {
        bmp.resize(0x10000);
        for (UChar32 c = 0; c < 0x10000; ++c) bmp[c] = classify(c, droppedMarks);
    }
    uint32_t lookup(UChar32 c) const { return c < 0x10000 ? bmp[c] : classify(c, droppedMarks); }
};

const CharTable& charTable() {
    static const CharTable table;
    return table;
}

void appendUtf8(std::string* out, uint32_t c) {
    char buf[4];
    int32_t n = 0;
    U8_APPEND_UNSAFE(buf, n, c);
    out->append(buf, static_cast<size_t>(n));
}

}  // namespace

bool isValidUtf8(const char* bytes, size_t len) {
    const uint8_t* s = reinterpret_cast<const uint8_t*>(bytes);
    size_t i = 0;
    while (i < len) {
        if (s[i] < 0x80) {
            ++i;
            continue;
        }
        UChar32 c;
        // ICU's macro takes an int32_t length: walk in bounded windows.
        size_t window = len - i < 8 ? len - i : 8;
        int32_t at = 0;
        U8_NEXT(s + i, at, static_cast<int32_t>(window), c);
        if (c < 0) return false;
        i += static_cast<size_t>(at);
    }
    return true;
}

Tokenizer::Tokenizer(const char* stemLanguage) : stemmer_(stemLanguage) { charTable(); }

bool Tokenizer::next(const char* text, size_t len, size_t* pos, std::string* token) {
    const CharTable& table = charTable();
    const uint8_t* s = reinterpret_cast<const uint8_t*>(text);
    token->clear();
    size_t i = *pos;
    while (i < len) {
        UChar32 c;
        size_t start = i;
        if (s[i] < 0x80) {
            c = s[i++];
        } else {
            size_t window = len - i < 8 ? len - i : 8;
            int32_t at = 0;
            U8_NEXT(s + i, at, static_cast<int32_t>(window), c);
            i += static_cast<size_t>(at);
        }
        uint32_t entry = c < 0 ? 0 : table.lookup(c);
        uint32_t cls = entry >> 24;
        if (cls == kSeparator) {
            // A run of dropped marks alone leaves nothing: no token.
            if (!token->empty()) {
                *pos = start;
                stemmer_.stem(token);
                return true;
            }
            continue;
        }
        if (cls == kTokenChar && token->size() < kMaxTokenBytes) {
            appendUtf8(token, entry & 0x1FFFFFu);
            if (token->size() > kMaxTokenBytes) token->resize(kMaxTokenBytes);
        }
    }
    *pos = len;
    if (token->empty()) return false;
    stemmer_.stem(token);
    return true;
}

}  // namespace qarbin
