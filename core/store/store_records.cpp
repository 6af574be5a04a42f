// Whole-store readers: the figures stats() reports and the walk over every
// record that dump writes.
#include <sys/mman.h>

#include <cfloat>
#include <cmath>
#include <cstring>

#include "core/math/codecs.h"
#include "core/store/store.h"

namespace qarbin {

void Store::stats(StoreStats* out) const {
    out->mode = mode;
    out->totalCount = totalCount.load();
    out->segmentCount = segments.size();
    out->shape = shape;
    out->bytesPerVector = encodedBytes(shape.dim, static_cast<uint32_t>(shape.quantization), shape.pqSubvectors);
    out->indexReady = false;
    out->unindexed = 0;
    out->deadCount = 0;
    for (const Segment* seg : segments) {
        const SegmentHeader* h = seg->header;
        if (!h) continue;
        if (h->flags & kFlagGraphUsable) out->indexReady = true;
        uint64_t live = h->liveCount.load();
        uint64_t indexed = h->indexedCount.load();
        if (live > indexed) out->unindexed += live - indexed;
        // A slot stays used after its record is deleted or replaced, until
        // the store is compacted or cleared.
        const uint64_t used = seg->usedSlotsClamped();
        if (used > live) out->deadCount += used - live;
    }
    double mb = 0.0;
    // What memory_limit counts: a compact segment's unused variable reserve
    // is address space only.
    for (const Segment* seg : segments) mb += static_cast<double>(seg->countedBytes()) * (1.0 / 1048576.0);
    out->memoryMb = mb;
    textStats(&out->text);
}

namespace {

// JSON has no form for NaN or infinity, so a dump must never carry them.
// Stored vectors are finite on the way in, but a decoded one need not be
// (an int8 scale or an f16 overflow, a segment file written elsewhere):
// infinities become the largest float of their sign, NaN becomes 0.
const float* finiteVector(const float* vec, uint32_t dim, float* scratch) {
    uint32_t i = 0;
    while (i < dim && std::isfinite(vec[i])) ++i;
    if (i == dim) return vec;
    if (vec != scratch) std::memcpy(scratch, vec, dim * sizeof(float));
    for (; i < dim; ++i) {
        float f = scratch[i];
        if (std::isnan(f)) scratch[i] = 0.0f;
        else if (std::isinf(f)) scratch[i] = f > 0 ? FLT_MAX : -FLT_MAX;
    }
    return scratch;
}

}  // namespace

void Store::forEachRecord(float* scratch, RecordVisitor visit, void* ctx) {
    if (mode == StorageMode::Shm) followGeneration();
    const uint32_t dim = shape.dim;
    if (dim == 0 || dim > kMaxDim) return;
    if (const PQTrainingBuffer* buf = pqBuffer) {
        uint32_t n = buf->count;
        if (n > buf->keys.size()) n = static_cast<uint32_t>(buf->keys.size());
        if (n > buf->metadata.size()) n = static_cast<uint32_t>(buf->metadata.size());
        if (n > buf->vectors.size() / dim) n = static_cast<uint32_t>(buf->vectors.size() / dim);
        for (uint32_t j = 0; j < n; ++j) {
            const std::string& key = buf->keys[j];
            if (key.empty() || key.size() > kLongestKeyBytes) continue;
            const std::string& meta = buf->metadata[j];
            const float* vec = finiteVector(buf->vectors.data() + static_cast<size_t>(j) * dim, dim, scratch);
            const bool hasText = j < buf->hasText.size() && buf->hasText[j] != 0;
            if (!visit(ctx, key.c_str(), vec, meta.empty() ? nullptr : meta.data(), static_cast<uint32_t>(meta.size()),
                       hasText ? buf->texts[j].data() : nullptr, static_cast<uint32_t>(buf->texts[j].size())))
                return;
        }
    }
    const uint32_t q = static_cast<uint32_t>(shape.quantization);
    for (Segment* seg : segments) {
        if (!seg->header || !seg->slots) continue;
        // A segment laid out for another shape would be read out of bounds.
        if (seg->dim != dim || seg->quantization != q) continue;
        const float* codebook = seg->trainedCodebook();
        if (q == static_cast<uint32_t>(Quantization::PQ) && !codebook) continue;
        const uint64_t stride = seg->stride();
        const uint64_t vecBytes = seg->vecBytes();
        if (!seg->compact() && stride < kSlotHeaderBytes + vecBytes) continue;
        const uint64_t used = seg->usedSlotsClamped();
        for (uint64_t i = 0; i < used; ++i) {
            // A record whose metadata length lies is skipped, as searches skip it.
            if (!seg->readableAt(i)) continue;
            const KeyRef k = seg->keyAt(i);
            if (k.len == 0) continue;
            char key[kLongestKeyBytes + 1];
            std::memcpy(key, k.data, k.len);
            key[k.len] = '\0';
            const float* vec = decodeVector(seg->vectorAt(i), dim, q, shape.pqSubvectors, codebook, scratch);
            vec = finiteVector(vec, dim, scratch);
            const KeyRef ref = seg->metadataRefAt(i);
            const uint32_t metaLen = ref.len;
            const char* meta = metaLen ? ref.data : nullptr;
            const KeyRef text = seg->textRefAt(i);
            if (!visit(ctx, key, vec, meta, metaLen, text.data, text.len)) return;
        }
        if (mode == StorageMode::Disk) seg->adviseRecords(MADV_DONTNEED);
    }
}

}  // namespace qarbin
