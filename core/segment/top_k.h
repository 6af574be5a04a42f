// The bounded top-K merge every search shares: segment scans, graph
// searches and the store's held-back records.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/base.h"
#include "core/segment/segment.h"

namespace qarbin {

// Merges hits into a result array of topK entries that earlier parts of the
// same query may already have filled: append while there is room, then
// replace the first of the lowest scores when it is strictly beaten. A NaN
// score never enters; one already held ranks below every number.
class TopK {
public:
    // results: topK entries of which *count are in use (clamped to 0..topK).
    TopK(Result* results, int topK, int* count) : results_(results), topK_(topK), count_(count) {
        if (*count_ < 0) *count_ = 0;
        if (*count_ > topK_) *count_ = topK_;
        worst_ = worstIndex(*count_);
    }

    // key: keyLen bytes; meta: metaLen bytes or null. Both are kept by
    // address, so they must outlive the results' use.
    void offer(uint64_t id, const char* key, size_t keyLen, float score, const char* meta, uint32_t metaLen,
               const char* text = nullptr, uint32_t textLen = 0) {
        Result* out = slotFor(score);
        if (out == nullptr) return;
        out->text = text;
        out->textLen = text != nullptr ? textLen : 0;
        out->id = id;
        out->key = key;
        out->keyLen = static_cast<uint32_t>(keyLen);
        out->score = score;
        out->metadataLen = meta != nullptr ? metaLen : 0;
        out->metadata = metaLen != 0 ? meta : nullptr;
    }

    // Readable record i of seg (Segment::readableAt).
    void offer(const Segment& seg, uint64_t i, float score) {
        const KeyRef k = seg.keyAt(i);
        const KeyRef meta = seg.metadataRefAt(i);
        const KeyRef text = seg.textRefAt(i);
        offer(seg.idAt(i), k.data, k.len, score, meta.data, meta.len, text.data, text.len);
    }

    // False only when no score <= ub can enter: the array is full and its
    // lowest score is a number >= ub. The lowest score only ever rises, so
    // what this rules out stays ruled out for the rest of the merge.
    bool mayEnter(double ub) const {
        if (*count_ < topK_ || worst_ < 0) return true;
        const float w = results_[worst_].score;
        return std::isnan(w) || !(ub <= double(w));
    }

private:
    static bool below(float a, float b) { return std::isnan(a) ? !std::isnan(b) : a < b; }

    // Where a hit of this score goes, or null when it does not enter.
    Result* slotFor(float score) {
        if (std::isnan(score)) return nullptr;
        if (*count_ < topK_) {
            const int at = (*count_)++;
            if (worst_ < 0 || below(score, results_[worst_].score)) worst_ = at;
            return &results_[at];
        }
        if (!below(results_[worst_].score, score)) return nullptr;
        Result* out = &results_[worst_];
        out->score = score;  // so the new worst is found with it in place
        worst_ = worstIndex(topK_);
        return out;
    }

    int worstIndex(int n) const {
        if (n <= 0) return -1;
        int worst = 0;
        for (int i = 1; i < n; ++i)
            if (below(results_[i].score, results_[worst].score)) worst = i;
        return worst;
    }

    Result* results_;
    int topK_;
    int* count_;
    int worst_;
};

}  // namespace qarbin
