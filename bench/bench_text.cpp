// core/text against SQLite FTS5 on this machine's Debian package
// descriptions: top-10 overlap, score agreement, queries per second and
// index size, for 200 queries of one to three words.
// usage: bench_text [max documents]   (needs apt-get update -o Acquire::Languages=en)
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <glob.h>
#include <map>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/text/text_index.h"

using namespace qarbin;
using Clock = std::chrono::steady_clock;

namespace {

// Each package's short and long description as one text.
std::vector<std::string> readDescriptions(size_t limit) {
    std::vector<std::string> docs;
    glob_t found{};
    glob("/var/lib/apt/lists/*Translation-en*", 0, nullptr, &found);
    for (size_t f = 0; f < found.gl_pathc && docs.size() < limit; ++f) {
        std::string cmd = std::string("/usr/lib/apt/apt-helper cat-file '") + found.gl_pathv[f] + "'";
        FILE* in = popen(cmd.c_str(), "r");
        if (!in) continue;
        char* line = nullptr;
        size_t cap = 0;
        std::string current;
        bool inDescription = false;
        while (getline(&line, &cap, in) > 0 && docs.size() < limit) {
            std::string s(line);
            if (s.rfind("Description-en: ", 0) == 0) {
                if (!current.empty()) docs.push_back(current);
                current = s.substr(16);
                inDescription = true;
            } else if (inDescription && s.size() > 1 && s[0] == ' ') {
                current += s.compare(0, 3, " .\n") == 0 ? "\n" : s.substr(1);
            } else {
                inDescription = false;
            }
        }
        if (!current.empty() && docs.size() < limit) docs.push_back(current);
        free(line);
        pclose(in);
    }
    globfree(&found);
    return docs;
}

void exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "sqlite: %s\n", error ? error : "?");
        std::exit(1);
    }
}

std::string ftsQuery(const std::vector<std::string>& words) {
    std::string q;
    for (const std::string& w : words) q += (q.empty() ? "\"" : " OR \"") + w + "\"";
    return q;
}

std::vector<std::pair<int64_t, double>> ftsTop10(sqlite3_stmt* st, const std::string& match) {
    std::vector<std::pair<int64_t, double>> out;
    sqlite3_reset(st);
    sqlite3_bind_text(st, 1, match.data(), static_cast<int>(match.size()), SQLITE_TRANSIENT);
    while (sqlite3_step(st) == SQLITE_ROW) out.emplace_back(sqlite3_column_int64(st, 0), sqlite3_column_double(st, 1));
    return out;
}

struct Ours {
    TextIndexView view;
    Tokenizer tokenizer;
    std::vector<TextHit> top10(const std::string& query) {
        std::vector<QueryTerm> terms;
        for (const std::string& w : queryTokens(tokenizer, query.data(), query.size())) {
            uint64_t df = 0;
            view.countTerm(w, {}, &df);
            terms.push_back(QueryTerm{w, bm25Idf(view.docCount(), df)});
        }
        TextCorpusStats stats{view.docCount(), view.tokenCount()};
        std::vector<TextHit> hits;
        view.search(terms.data(), terms.size(), stats.averageLength(), {}, 10, &hits);
        return hits;
    }
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    size_t limit = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : SIZE_MAX;
    std::vector<std::string> docs = readDescriptions(limit);
    if (docs.size() < 10000) {
        std::fprintf(stderr, "only %zu descriptions; run apt-get update -o Acquire::Languages=en\n", docs.size());
        return 1;
    }
    uint64_t textBytes = 0;
    for (const std::string& d : docs) textBytes += d.size();

    Ours ours;
    std::vector<uint8_t> area(textBytes * 2 + (1 << 20));
    formatTextIndex(area.data(), area.size());
    std::vector<TextDocument> batch;
    for (size_t i = 0; i < docs.size(); ++i) batch.push_back({static_cast<uint32_t>(i), docs[i].data(), docs[i].size()});
    auto t0 = Clock::now();
    if (appendTextRun(area.data(), area.size(), ours.tokenizer, batch.data(), batch.size(),
                      static_cast<uint32_t>(docs.size())) != TextStatus::Ok) {
        std::fprintf(stderr, "indexing failed\n");
        return 1;
    }
    double buildOurs = std::chrono::duration<double>(Clock::now() - t0).count();
    ours.view.open(area.data(), area.size());

    // Extended run by run as automatic indexing would, superseded runs included.
    std::vector<std::pair<size_t, uint64_t>> incremental;
    for (size_t batchSize : {size_t{100}, size_t{1000}}) {
        std::vector<uint8_t> grown(textBytes * 4 + (1 << 20));
        formatTextIndex(grown.data(), grown.size());
        for (size_t i = 0; i < batch.size(); i += batchSize) {
            size_t n = std::min(batchSize, batch.size() - i);
            if (appendTextRun(grown.data(), grown.size(), ours.tokenizer, &batch[i], n, static_cast<uint32_t>(i + n)) !=
                TextStatus::Ok) {
                std::fprintf(stderr, "incremental indexing failed\n");
                return 1;
            }
        }
        TextIndexView grownView;
        grownView.open(grown.data(), grown.size());
        incremental.emplace_back(batchSize, grownView.usedBytes());
    }

    // Contentless, so its file holds the index alone (terms, postings, lengths).
    std::string path = "/tmp/bench_text_" + std::to_string(getpid()) + ".db";
    std::remove(path.c_str());
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;");
    exec(db, "CREATE VIRTUAL TABLE docs USING fts5(body, content='')");
    t0 = Clock::now();
    exec(db, "BEGIN");
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO docs(rowid, body) VALUES (?, ?)", -1, &ins, nullptr);
    for (size_t i = 0; i < docs.size(); ++i) {
        sqlite3_reset(ins);
        sqlite3_bind_int64(ins, 1, static_cast<int64_t>(i));
        sqlite3_bind_text(ins, 2, docs[i].data(), static_cast<int>(docs[i].size()), SQLITE_STATIC);
        sqlite3_step(ins);
    }
    sqlite3_finalize(ins);
    exec(db, "COMMIT");
    exec(db, "INSERT INTO docs(docs) VALUES ('optimize')");
    double buildFts = std::chrono::duration<double>(Clock::now() - t0).count();
    exec(db, "VACUUM");
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA page_count", -1, &st, nullptr);
    sqlite3_step(st);
    int64_t pages = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
    sqlite3_prepare_v2(db, "PRAGMA page_size", -1, &st, nullptr);
    sqlite3_step(st);
    int64_t ftsBytes = pages * sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);

    // 200 queries: one to three words of a random description.
    std::mt19937 rng(28);
    std::vector<std::string> queries;
    while (queries.size() < 200) {
        const std::string& d = docs[rng() % docs.size()];
        std::vector<std::string> words = queryTokens(ours.tokenizer, d.data(), d.size());
        if (words.empty()) continue;
        size_t n = 1 + rng() % 3, at = rng() % words.size();
        std::string q;
        for (size_t i = 0; i < n && at + i < words.size(); ++i) q += (q.empty() ? "" : " ") + words[at + i];
        queries.push_back(q);
    }
    sqlite3_stmt* search = nullptr;
    sqlite3_prepare_v2(db, "SELECT rowid, -bm25(docs) FROM docs WHERE docs MATCH ? ORDER BY bm25(docs) LIMIT 10", -1,
                       &search, nullptr);

    double overlapSum = 0, worstRel = 0;
    size_t compared = 0;
    for (const std::string& q : queries) {
        auto want = ftsTop10(search, ftsQuery(queryTokens(ours.tokenizer, q.data(), q.size())));
        auto got = ours.top10(q);
        std::map<uint32_t, double> mine;
        for (const TextHit& h : got) mine[h.doc] = h.score;
        size_t common = 0;
        for (const auto& [rowid, score] : want) {
            auto it = mine.find(static_cast<uint32_t>(rowid));
            if (it == mine.end()) continue;
            ++common;
            ++compared;
            worstRel = std::max(worstRel, std::fabs(it->second - score) / std::fabs(score));
        }
        overlapSum += want.empty() ? 1.0 : static_cast<double>(common) / static_cast<double>(want.size());
    }

    // Alternating rounds, so that load on the shared machine meets both.
    std::vector<double> qpsOurs, qpsFts;
    std::vector<std::string> matches;
    for (const std::string& q : queries) matches.push_back(ftsQuery(queryTokens(ours.tokenizer, q.data(), q.size())));
    size_t sink = 0;
    for (int round = 0; round < 7; ++round) {
        t0 = Clock::now();
        for (const std::string& q : queries) sink += ours.top10(q).size();
        qpsOurs.push_back(queries.size() / std::chrono::duration<double>(Clock::now() - t0).count());
        t0 = Clock::now();
        for (const std::string& m : matches) sink += ftsTop10(search, m).size();
        qpsFts.push_back(queries.size() / std::chrono::duration<double>(Clock::now() - t0).count());
    }
    sqlite3_finalize(search);
    sqlite3_close(db);
    std::remove(path.c_str());

    std::printf("documents %zu (%.1f MB of text), queries %zu (1-3 words, OR)\n", docs.size(), textBytes / 1e6,
                queries.size());
    std::printf("top-10 overlap (mean)     %.4f\n", overlapSum / queries.size());
    std::printf("score rel. diff (max)     %.2e over %zu shared rows\n", worstRel, compared);
    std::printf("QPS (median of 7)         core/text %.0f   FTS5 %.0f   ratio %.2f\n", median(qpsOurs),
                median(qpsFts), median(qpsOurs) / median(qpsFts));
    std::printf("index bytes               core/text %llu   FTS5 %lld   ratio %.2f\n",
                static_cast<unsigned long long>(ours.view.usedBytes()), static_cast<long long>(ftsBytes),
                static_cast<double>(ours.view.usedBytes()) / static_cast<double>(ftsBytes));
    for (const auto& [batchSize, bytes] : incremental) {
        std::printf("index bytes, runs of %-5zu core/text %llu   ratio to FTS5 %.2f\n", batchSize,
                    static_cast<unsigned long long>(bytes), static_cast<double>(bytes) / static_cast<double>(ftsBytes));
    }
    std::printf("build seconds             core/text %.2f   FTS5 %.2f\n", buildOurs, buildFts);
    return sink == 0 ? 1 : 0;
}
