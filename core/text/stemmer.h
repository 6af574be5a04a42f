// The owner of one Snowball stemmer (libstemmer), or of none.
#pragma once

#include <cstddef>
#include <string>

struct sb_stemmer;

namespace qarbin {

class Stemmer {
public:
    // language: a Snowball name ("english"); nullptr or "" for no stemming.
    explicit Stemmer(const char* language);
    ~Stemmer();
    Stemmer(const Stemmer&) = delete;
    Stemmer& operator=(const Stemmer&) = delete;

    bool ok() const { return ok_; }
    bool active() const { return stemmer_ != nullptr; }
    // Replaces *word (UTF-8) by its stem; leaves it when not active.
    void stem(std::string* word);

private:
    sb_stemmer* stemmer_ = nullptr;
    bool ok_ = true;
};

}  // namespace qarbin
