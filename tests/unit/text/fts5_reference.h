// SQLite FTS5 in memory, the reference the text tests compare with.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qarbin_test {

class Fts5Reference {
public:
    Fts5Reference();
    ~Fts5Reference();
    Fts5Reference(const Fts5Reference&) = delete;
    Fts5Reference& operator=(const Fts5Reference&) = delete;

    void insert(int64_t rowid, const std::string& text);
    // The tokens FTS5 makes of text, in order.
    std::vector<std::string> tokens(const std::string& text);
    // (rowid, -bm25) of every row holding any of words, best first.
    std::vector<std::pair<int64_t, double>> search(const std::vector<std::string>& words);

private:
    void exec(const char* sql);
    sqlite3* db_ = nullptr;
};

}  // namespace qarbin_test
