#include "core/text/stemmer.h"

#include <libstemmer.h>

namespace qarbin {

Stemmer::Stemmer(const char* language) {
    if (language == nullptr || language[0] == '\0') return;
    stemmer_ = sb_stemmer_new(language, "UTF_8");
    ok_ = stemmer_ != nullptr;
}

Stemmer::~Stemmer() {
    if (stemmer_ != nullptr) sb_stemmer_delete(stemmer_);
}

void Stemmer::stem(std::string* word) {
    if (stemmer_ == nullptr) return;
    const sb_symbol* out =
        sb_stemmer_stem(stemmer_, reinterpret_cast<const sb_symbol*>(word->data()), static_cast<int>(word->size()));
    // Null only when the stemmer ran out of memory: keep the word unstemmed.
    if (out == nullptr) return;
    word->assign(reinterpret_cast<const char*>(out), static_cast<size_t>(sb_stemmer_length(stemmer_)));
}

}  // namespace qarbin
