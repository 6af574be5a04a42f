#include "fts5_reference.h"

#include <gtest/gtest.h>

namespace qarbin_test {

namespace {

// A word as an FTS5 string literal, so that no word is read as an operator.
std::string quoted(const std::string& word) {
    std::string out = "\"";
    for (char c : word) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

}  // namespace

Fts5Reference::Fts5Reference() {
    EXPECT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
    exec("CREATE VIRTUAL TABLE docs USING fts5(body)");
    exec("CREATE VIRTUAL TABLE probe USING fts5(body)");
    exec("CREATE VIRTUAL TABLE probe_terms USING fts5vocab(probe, 'instance')");
}

Fts5Reference::~Fts5Reference() { sqlite3_close(db_); }

void Fts5Reference::exec(const char* sql) {
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db_, sql, nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
}

void Fts5Reference::insert(int64_t rowid, const std::string& text) {
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db_, "INSERT INTO docs(rowid, body) VALUES (?, ?)", -1, &st, nullptr), SQLITE_OK);
    sqlite3_bind_int64(st, 1, rowid);
    sqlite3_bind_text(st, 2, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(st), SQLITE_DONE);
    sqlite3_finalize(st);
}

std::vector<std::string> Fts5Reference::tokens(const std::string& text) {
    exec("DELETE FROM probe");
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, "INSERT INTO probe(rowid, body) VALUES (1, ?)", -1, &st, nullptr), SQLITE_OK);
    sqlite3_bind_text(st, 1, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(st), SQLITE_DONE);
    sqlite3_finalize(st);
    std::vector<std::string> out;
    EXPECT_EQ(sqlite3_prepare_v2(db_, "SELECT term FROM probe_terms ORDER BY offset", -1, &st, nullptr), SQLITE_OK);
    while (sqlite3_step(st) == SQLITE_ROW) {
        out.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), sqlite3_column_bytes(st, 0));
    }
    sqlite3_finalize(st);
    return out;
}

std::vector<std::pair<int64_t, double>> Fts5Reference::search(const std::vector<std::string>& words) {
    std::string match;
    for (const std::string& w : words) match += (match.empty() ? "" : " OR ") + quoted(w);
    std::vector<std::pair<int64_t, double>> out;
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, "SELECT rowid, -bm25(docs) FROM docs WHERE docs MATCH ? ORDER BY bm25(docs), rowid",
                                 -1, &st, nullptr),
              SQLITE_OK);
    sqlite3_bind_text(st, 1, match.data(), static_cast<int>(match.size()), SQLITE_TRANSIENT);
    while (sqlite3_step(st) == SQLITE_ROW) out.emplace_back(sqlite3_column_int64(st, 0), sqlite3_column_double(st, 1));
    sqlite3_finalize(st);
    return out;
}

}  // namespace qarbin_test
