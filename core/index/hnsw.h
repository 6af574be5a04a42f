// A segment's HNSW graph, kept in the segment's own node area and link
// pool: built from scratch, extended with records that have no node yet,
// and searched. Every distance uses the segment's metric and summation
// order. Each routine owns its working memory and takes no lock.
#pragma once

#include "core/base.h"

namespace qarbin {

class Segment;

// Asked between nodes whether a build or an extension should stop now (a
// deadline, say); true stops it with the nodes made so far published.
struct GraphStop {
    bool (*stop)(void* ctx);
    void* ctx;
};

// Where the level draws of a build or an extension come from. A routine
// given one that is not yet started draws from its own seed and records it
// here; given one started at node `first`, it goes on drawing as if the
// nodes since `first` had been made by one uninterrupted call. So a graph
// built in steps (cut by a clock, say) is the graph built in one go.
struct LevelStream {
    bool started = false;
    uint32_t seed = 0;
    uint64_t first = 0;
};

// Rebuilds the graph over the segment's live records (node p for the p-th
// live slot). -1 when the segment is read-only or lacks graph areas
// (nothing changed), or when the build could not finish (out of memory,
// bytes that cannot be backed): the graph is then unusable and every
// graphNode -1, so the segment is scanned exhaustively. 0 otherwise, also
// when there is nothing to build. 1 when `stop` ended it early: the nodes
// made are a usable graph, the other records have none (they are scored
// exactly and the next extension adds them).
// With threads above 1 the nodes are made by that many threads, the calling
// one among them, all joined before it returns: the levels are the ones a
// single thread draws, the links may differ from run to run. Only the
// calling thread asks `stop`.
int buildHnsw(Segment& seg, const GraphStop* stop = nullptr, uint32_t threads = 1, LevelStream* levels = nullptr);

// Extends a usable graph with the live records that have no published node
// (none, one at or beyond indexedCount, or one naming another slot). The
// single writer of the segment; searches may run meanwhile. -1 when the
// segment is read-only, has no usable graph or a header naming positions
// outside its areas (nothing changed), or when it stopped early (the nodes
// made so far are published). 1 when `stop` ended it early (likewise
// published). 0 otherwise.
// threads and levels as for buildHnsw.
int hnswInsertIncremental(Segment& seg, const GraphStop* stop = nullptr, uint32_t threads = 1,
                          LevelStream* levels = nullptr);

// query: dim floats; results: topK entries of which *count are in use
// (read and updated). Graph hits plus every live record the graph cannot
// cover, scored exactly, merged into results. With a test (keep), only
// records it accepts are returned; the others are still walked through.
// Read-only; always 0.
int hnswSearch(const Segment& seg, const float* query, int topK, int ef, Result* results, int* count,
               const MetadataTest* keep = nullptr);

// How many matching records a filtered walk gathers to return topK when
// about `share` of the records match: more than topK for a selective
// filter, so the walk covers enough of the graph around the query.
uint32_t filteredHitsKept(uint32_t topK, float share);

}  // namespace qarbin
