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
        if (segmentRefusal != 0) return false;
        totalCount.exchange(liveCountOf(segments));
    } else if (mode == StorageMode::Disk) {
        followGeneration();  // a compaction committed meanwhile
        if (diskFilesReplaced(*this)) return false;
        scanSegmentFiles(this, dir, true);
        if (segmentRefusal != 0) return false;
        totalCount.exchange(liveCountOf(segments));
    }
    return true;
}

}  // namespace qarbin
