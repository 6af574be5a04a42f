// A memory segment moved into a region of larger capacity: records, graph
// nodes and links keep their slots and positions, so the graph stays usable.
#include <algorithm>
#include <cstring>

#include "core/segment/compact_region.h"
#include "core/segment/segment.h"

namespace qarbin {

// Memory segments only, from this process; the segment is not changed.
// Only the bytes in use are copied (each slot's header, vector and
// metadata, the nodes made, the pool entries handed out), so the new region
// stays as sparse as the old. Null when the capacity is not larger or the
// region cannot be had.
Segment* Segment::grownCopy(uint64_t newCapacity) const {
    if (mode != StorageMode::Memory || header == nullptr || newCapacity <= capacity()) return nullptr;
    const SegmentHeader* h = header;
    Shape grown = shape();
    grown.capacity = newCapacity;
    Segment* g = createMemory(grown);
    if (g == nullptr) return nullptr;

    const uint64_t cb = codebookSize(dim, pqSubvectors);
    if (codebook != nullptr && cb != 0) std::memcpy(g->base + g->codebookOffset(), codebook, cb);

    const uint64_t used = usedSlotsClamped();
    if (compact()) {
        copyCompactRecords(*g, used);
    } else {
        const uint64_t head = kSlotHeaderBytes + vecBytes();
        for (uint64_t i = 0; i < used; ++i) {
            const Record* r = recordAt(i);
            std::memcpy(g->recordAt(i), r, head + std::min<uint32_t>(r->metaLen, kMaxMetadataBytes));
        }
    }
    const uint64_t nodes = std::min<uint64_t>(h->indexedCount.load(), capacity());
    if (nodeArea != nullptr && nodes != 0) std::memcpy(g->nodeArea, nodeArea, nodes * kNodeBytes);
    // A file longer than its layout maps more pool entries than its capacity
    // gives, and may claim to use them: copy no more than the new region holds.
    const uint64_t pool = std::min({static_cast<uint64_t>(h->linkPoolUsed), linkPoolEntries, g->linkPoolEntries});
    if (linkPool != nullptr && pool != 0) std::memcpy(g->linkPool, linkPool, pool * kPoolEntryBytes);

    SegmentHeader* gh = g->header;
    gh->usedSlots.store(used);
    gh->liveCount.store(h->liveCount.load());
    gh->entryPoint = h->entryPoint;
    gh->maxLevel = h->maxLevel;
    gh->indexedCount.store(nodes);
    gh->flags = h->flags;
    gh->insertSeq.store(h->insertSeq.load());
    gh->linkPoolUsed = static_cast<uint32_t>(pool);
    gh->generation.store(h->generation.load());
    if (codebook != nullptr) {
        setHeaderCodebookOffset(gh, g->codebookOffset());
        g->codebook = reinterpret_cast<float*>(g->base + g->codebookOffset());
    }
    if (g->compact()) CompactRegion::checked(g->base, g->mappedLen).rebuildKeyTable();
    return g;
}

// Entries, rows and the used variable bytes as they lie (the variable
// area starts its offsets at 0 in both), and the norms' order with them.
void Segment::copyCompactRecords(Segment& g, uint64_t used) const {
    const CompactHeaderTail& from = compactHeader->tail;
    CompactHeaderTail& to = g.compactHeader->tail;
    const uint64_t var = std::min(from.varUsed.load(), std::min(from.varCapacity, to.varCapacity));
    std::memcpy(g.entries, entries, used * sizeof(RecordEntry));
    std::memcpy(g.base + to.vectorOffset, vectors, used * rowStride);
    std::memcpy(g.base + to.varOffset, base + from.varOffset, var);
    to.varUsed.store(var);
    to.normOrder = from.normOrder;
    // The text index moves as it lies (its offsets are from its area's
    // start) and may then use the larger area.
    const uint64_t text = textUsedBytes();
    if (g.textArea() != nullptr && text >= kTextAreaHeaderBytes && text <= std::min(textCapacity(), g.textCapacity())) {
        std::memcpy(g.textArea(), textArea(), text);
        const uint64_t capacity = g.textCapacity();
        std::memcpy(g.textArea() + kTextAreaCapacityAt, &capacity, sizeof capacity);
    }
}

}  // namespace qarbin
