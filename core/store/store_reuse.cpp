// Bringing a handle that outlived its request up to date.
#include "core/store/store.h"
#include "core/store/store_internal.h"

namespace qarbin {

bool Store::catchUp() {
    if (truncatedBacking() != nullptr) return false;
    if (mode == StorageMode::Shm) {
        if (shmControlReplaced(*this)) return false;
        followGeneration();
        attachShmSegments();
        totalCount.exchange(control->totalCount.load());
    } else if (mode == StorageMode::Disk) {
        followGeneration();  // a compaction committed meanwhile
        if (diskFilesReplaced(*this)) return false;
        scanSegmentFiles(this, dir, true);
        uint64_t live = 0;
        for (const Segment* seg : segments) {
            const uint64_t n = seg->header->liveCount.load();
            const uint64_t used = seg->usedSlotsClamped();
            live += n < used ? n : used;
        }
        totalCount.exchange(live);
    }
    return true;
}

}  // namespace qarbin
