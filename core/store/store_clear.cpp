// Emptying a store in place, and writing its live records out as a
// directory of float32 segment files.
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "core/math/codecs.h"
#include "core/store/store.h"
#include "core/store/store_internal.h"

namespace qarbin {

namespace {

// Copies the live records of src into a new file `path` of capacity
// usedSlots, decoded to float32. Records the file refuses are left out.
// -1 when the file cannot be created.
// The shape of a snapshot file of `capacity` float32 records.
Shape snapshotShape(const Store& st, uint32_t dim, uint64_t capacity) {
    Shape s = st.shape;
    s.dim = dim;
    s.capacity = capacity;
    s.quantization = Quantization::None;
    s.pqSubvectors = 0;
    return s;
}

int writeSegmentCopy(const Store& st, const Segment* src, uint64_t used, const char* path) {
    Shape shape = snapshotShape(st, src->dim, used);
    // Text is held by the compact format only.
    if (src->compact()) shape.format = kCompactSegmentVersion;
    Segment* out = Segment::createDisk(path, shape);
    if (out == nullptr) return -1;
    const float* codebook = src->trainedCodebook();
    const bool decodable = src->dim <= kMaxDim &&
                           (src->quantization != static_cast<uint32_t>(Quantization::PQ) || codebook != nullptr);
    alignas(64) float scratch[kMaxDim];
    for (uint64_t i = 0; decodable && i < used; ++i) {
        if (!src->liveAt(i)) continue;
        const KeyRef k = src->keyAt(i);
        char key[kLongestKeyBytes + 1];
        std::memcpy(key, k.data, k.len);
        key[k.len] = '\0';
        const KeyRef meta = src->metadataRefAt(i);
        const uint32_t metaLen = meta.len <= kLongestMetadataBytes ? meta.len : kLongestMetadataBytes;
        const float* v = decodeVector(src->vectorAt(i), src->dim, src->quantization, src->pqSubvectors, codebook, scratch);
        const KeyRef text = src->textRefAt(i);
        out->add(src->idAt(i), key, v, metaLen != 0 ? meta.data : nullptr, metaLen, text.data, text.len);
    }
    delete out;
    return 0;
}

// A shared store's clear is written again in the segments a compaction
// switched to, as any write is.
int clearSegments(Store& st, const void*, bool) {
    for (Segment* seg : st.segments) seg->clearRecords();
    return 0;
}

}  // namespace

void Store::clear() {
    // A read-only handle maps its segments read-only; there is nothing it
    // could empty.
    if (!writable) return;
    followGeneration();
    if (pqBuffer != nullptr) {
        pqBuffer->vectors.clear();
        pqBuffer->ids.clear();
        pqBuffer->keys.clear();
        pqBuffer->metadata.clear();
        pqBuffer->texts.clear();
        pqBuffer->hasText.clear();
        pqBuffer->count = 0;
    }
    // A disk store is cleared by an empty compaction: its files shrink to
    // one, and a crash leaves the records either all there or all gone.
    if (mode == StorageMode::Disk) {
        try {
            if (compactDisk(*this, false) >= 0) return;
        } catch (...) {
        }
    }
    if (mode == StorageMode::Shm && control != nullptr)
        writeAcrossCompaction(*this, clearSegments, nullptr, false);
    else
        clearSegments(*this, nullptr, false);
    // Every segment has room again; the key directory notices the clear by
    // itself through the generation clearRecords raised.
    firstOpenSegment = 0;
    totalCount.exchange(0);
    if (control != nullptr) control->totalCount.exchange(0);
}

int Store::snapshot(const char* dir) const {
    if (dir == nullptr || dir[0] == '\0') return -1;
    mkdir(dir, 0770);
    char path[4096];
    // Files are numbered consecutively: an empty segment takes no number, so
    // that the scan which opens a snapshot never stops at a gap.
    unsigned number = 0;
    for (const Segment* seg : segments) {
        uint64_t used = seg->usedSlotsClamped();
        if (used == 0) continue;
        if (number >= kMaxSegmentFiles || !segmentFilePath(dir, number, path, sizeof path)) return -1;
        if (writeSegmentCopy(*this, seg, used, path) != 0) return -1;
        ++number;
    }
    if (pqBuffer == nullptr || pqBuffer->count == 0) return 0;

    const PQTrainingBuffer& b = *pqBuffer;
    if (number >= kMaxSegmentFiles || !segmentFilePath(dir, number, path, sizeof path)) return -1;
    Segment* out = Segment::createDisk(path, snapshotShape(*this, shape.dim, b.count));
    if (out == nullptr) return -1;
    for (uint32_t i = 0; i < b.count; ++i) {
        const std::string& meta = b.metadata[i];
        const bool hasText = i < b.hasText.size() && b.hasText[i] != 0;
        out->add(b.ids[i], b.keys[i].c_str(), b.vectors.data() + static_cast<size_t>(i) * shape.dim,
                 meta.empty() ? nullptr : meta.data(), static_cast<uint32_t>(meta.size()),
                 hasText ? b.texts[i].data() : nullptr, hasText ? static_cast<uint32_t>(b.texts[i].size()) : 0);
    }
    delete out;
    return 0;
}

}  // namespace qarbin
