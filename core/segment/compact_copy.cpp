#include "core/segment/compact_copy.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/math/codecs.h"

namespace qarbin {

namespace {

constexpr uint32_t kBatch = 32;

NormOrder orderOf(bool useAvx2) { return useAvx2 ? NormOrder::EightLane : NormOrder::Sequential; }

}  // namespace

float compactNorm(const CompactHeader& h, const uint8_t* code, const float* codebook, float* scratch) {
    const NormOrder order = static_cast<NormOrder>(h.tail.normOrder);
    if (order == NormOrder::None) return 0.0f;
    const float* v = decodeVector(code, h.base.dim, h.base.quantization, h.base.pqSubvectors, codebook, scratch);
    return storedNorm(v, h.base.dim, order == NormOrder::EightLane);
}

CompactAdd copySlotIntoCompact(CompactRegion& dst, const Segment& src, uint64_t slot) {
    const CompactHeader& h = *dst.header();
    if (src.dim != h.base.dim || src.quantization != h.base.quantization || src.pqSubvectors != h.base.pqSubvectors)
        return CompactAdd::Full;
    const uint8_t* code = src.vectorAt(slot);
    std::vector<uint8_t> row(dst.rowBytes(), 0);
    std::memcpy(row.data(), code, std::min<uint64_t>(src.vecBytes(), row.size()));
    std::vector<float> scratch(src.dim);
    const float norm = compactNorm(h, code, src.codebook, scratch.data());
    const KeyRef meta = src.metadataRefAt(slot);
    const uint32_t metaLen = std::min(meta.len, kLongestMetadataBytes);
    const KeyRef key = src.keyAt(slot);
    const KeyRef text = src.textRefAt(slot);
    return dst.add(src.idAt(slot), key.data, key.len, row.data(), norm, meta.data, metaLen, TextBytes{text.data, text.len});
}

bool scanCompact(const CompactRegion& region, const QueryScorer& scorer, const float* codebook, TopK& top) {
    const CompactHeader& h = *region.header();
    const uint32_t q = h.base.quantization;
    if (q == static_cast<uint32_t>(Quantization::PQ) && codebook == nullptr) return false;
    const bool fused = QueryScorer::scoresCodes(q);
    const bool inPlace = q == static_cast<uint32_t>(Quantization::None) || q > static_cast<uint32_t>(Quantization::PQ);
    const bool normed = scorer.metric == DistanceMetric::Cosine &&
                        h.tail.normOrder == static_cast<uint32_t>(orderOf(scorer.useAvx2));
    const QueryScorer dots = scorer.dotPart();
    const QueryScorer& pass = normed ? dots : scorer;
    const uint64_t perBuffer = (uint64_t{h.base.dim} + 15) & ~uint64_t{15};
    std::vector<float> scratch(inPlace || fused ? 0 : perBuffer * kBatch + 16);
    float* decoded = scratch.empty() ? nullptr
                                     : reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(scratch.data()) + 63) & ~uintptr_t{63});
    const float* vecs[kBatch];
    const uint8_t* codes[kBatch];
    uint64_t which[kBatch];
    float norms[kBatch];
    float scores[kBatch];
    const uint64_t n = region.entryCount();
    for (uint64_t i = 0; i < n;) {
        uint32_t batch = 0;
        for (; i < n && batch < kBatch; ++i) {
            const RecordEntry* e = region.entry(i);
            if (!entryLive(e)) continue;
            const uint8_t* row = region.row(i);
            if (fused) {
                codes[batch] = row;
            } else if (inPlace) {
                vecs[batch] = reinterpret_cast<const float*>(row);
            } else {
                vecs[batch] = decodeVector(row, h.base.dim, q, h.base.pqSubvectors, codebook, decoded + batch * perBuffer);
            }
            norms[batch] = e->norm;
            which[batch++] = i;
        }
        if (batch == 0) break;
        if (fused)
            pass.scoreCodes(codes, batch, q, scores);
        else
            pass.scoreBlock(vecs, batch, scores);
        for (uint32_t k = 0; k < batch; ++k) {
            VarSpan s;
            if (!region.span(which[k], &s)) continue;
            const float score = normed ? scorer.cosineWithNorm(scores[k], norms[k]) : scores[k];
            top.offer(region.entry(which[k])->id, s.key, s.keyLen, score, s.metaLen != 0 ? s.meta : nullptr, s.metaLen,
                      s.text, s.textLen);
        }
    }
    return true;
}

}  // namespace qarbin
