// The bounded top-K merge every search of a segment shares.
#pragma once

#include <cmath>
#include <cstring>

#include "core/segment/format.h"
#include "core/segment/segment.h"

namespace qarbin {

// Merges records into a result array of topK entries that other segments of
// the same query may already have filled: append while there is room, then
// replace the first of the lowest scores when it is strictly beaten. A NaN
// score never enters; one already held ranks below every number. Records
// offered must be readable (recordReadable), so their metadata lies inside
// the slot.
class TopK {
public:
    // results: topK entries of which *count are in use (clamped to 0..topK).
    TopK(const Segment& seg, Result* results, int topK, int* count)
        : seg_(seg), results_(results), topK_(topK), count_(count) {
        if (*count_ < 0) *count_ = 0;
        if (*count_ > topK_) *count_ = topK_;
        worst_ = worstIndex(*count_);
    }

    void offer(const Record* r, float score) {
        if (std::isnan(score)) return;
        int at;
        if (*count_ < topK_) {
            at = (*count_)++;
            if (worst_ < 0 || below(score, results_[worst_].score)) worst_ = at;
            fill(results_[at], r, score);
            return;
        }
        if (!below(results_[worst_].score, score)) return;
        at = worst_;
        fill(results_[at], r, score);
        worst_ = worstIndex(topK_);
    }

private:
    static bool below(float a, float b) { return std::isnan(a) ? !std::isnan(b) : a < b; }

    int worstIndex(int n) const {
        if (n <= 0) return -1;
        int worst = 0;
        for (int i = 1; i < n; ++i)
            if (below(results_[i].score, results_[worst].score)) worst = i;
        return worst;
    }

    void fill(Result& out, const Record* r, float score) const {
        out.id = r->id;
        // The stored key is NUL-padded to its 63 bytes; byte 63 ends it.
        std::memcpy(out.key, r->key, kMaxKeyBytes);
        out.key[kMaxKeyBytes] = '\0';
        out.score = score;
        out.metadataLen = r->metaLen;
        out.metadata = r->metaLen ? seg_.metadataPtr(r) : nullptr;
    }

    const Segment& seg_;
    Result* results_;
    int topK_;
    int* count_;
    int worst_;
};

}  // namespace qarbin
