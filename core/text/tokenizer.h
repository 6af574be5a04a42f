// Splits UTF-8 text into search tokens the way SQLite FTS5's default
// tokenizer (unicode61, remove_diacritics 1) does, with the character
// properties taken from ICU, and optionally stems each token.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/text/stemmer.h"

namespace qarbin {

// True when bytes[0, len) is well-formed UTF-8 (no surrogates, no overlong
// forms, nothing above U+10FFFF).
bool isValidUtf8(const char* bytes, size_t len);

// FTS5 keeps the first 32768 bytes of a longer token (cutting inside a
// character if need be) and drops the rest; tokens are cut the same way
// so that such records count and match alike.
constexpr size_t kMaxTokenBytes = 32768;

class Tokenizer {
public:
    // stemLanguage: a Snowball language name ("english") or nullptr/"" for
    // none. ok() is false when the language is unknown.
    explicit Tokenizer(const char* stemLanguage = nullptr);

    bool ok() const { return stemmer_.ok(); }
    bool stems() const { return stemmer_.active(); }

    // Finds the next token of text[0, len) at or after *pos. On success
    // stores its folded (and stemmed) bytes in *token, moves *pos past it
    // and returns true; returns false at the end. Ill-formed UTF-8 bytes
    // are separators. Not safe to share between threads (the stemmer keeps
    // state); one tokenizer per thread.
    bool next(const char* text, size_t len, size_t* pos, std::string* token);

private:
    Stemmer stemmer_;
};

// Calls sink(const std::string& token) for each token of text[0, len).
template <class Sink>
void forEachToken(Tokenizer& tokenizer, const char* text, size_t len, Sink&& sink) {
    size_t pos = 0;
    std::string token;
    while (tokenizer.next(text, len, &pos, &token)) sink(token);
}

}  // namespace qarbin
