// A small corpus with accents, digits, punctuation and mixed case, shared
// by the text tests.
#pragma once

#include <string>
#include <vector>

namespace qarbin_test {

inline const std::vector<std::string>& fixtureCorpus() {
    static const std::vector<std::string> corpus = {
        "Café au lait, CAFÉ noir: the café's menu (2024 edition).",
        "Naïve résumé of a naive RESUME; déjà vu at 10:30.",
        "Straße, STRASSE and strasse are not one word; Ærø is an island.",
        "ΣΊΣΥΦΟΣ pushed the stone — again, and again, and AGAIN!",
        "Error E1234: disk /dev/sda1 full (98.7% used) at 03:14:15.",
        "ǅemal and İstanbul; Ǆ ǆ; ﬁne ligatures and ＦＵＬＬwidth letters.",
        "Zoë, Chloë and Noël met in Ñuñoa near the café.",
        "x_y x-y x.y x'y x/y x\\y: separators between the letters.",
        "Version 3.14.159 or v2; build #42; price $19.99 or 19,99€.",
        "Über-fast ÜBER cafe ca\xCC\x81" "fe e\xCC\x81t\xC3\xA9 ete\xCC\x82",
        "Ελληνικά και русский текст и 中文字符 and 日本語のテキスト mixed.",
        "the the the THE The tHe — a record full of one word the",
        "",
        "... --- !!! ???",
        "ấp ǖ ṩ: letters with two marks keep them; ø and đ stay too.",
        "emoji 😀 between words 👍 and \xEE\x80\x80private\xEE\x80\x81use.",
        "marks alone: ( \xCC\x81 ) \xCC\x81\xCC\x88 count for nothing; a\xCC\x81\xCC\x88 b",
    };
    return corpus;
}

}  // namespace qarbin_test
