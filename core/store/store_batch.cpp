// Many searches in one call, spread over threads. What a search changes
// (following a shared store, automatic indexing, the walk-or-scan choice)
// is done once on the calling thread; the threads then only read.
#include <algorithm>
#include <atomic>
#include <sys/mman.h>

#include "core/index/worker_threads.h"
#include "core/store/store.h"
#include "core/store/store_internal.h"

namespace qarbin {

int Store::searchMany(const float* queries, uint32_t count, int topK, float precision, const Filter* filter,
                      uint32_t threads, Result* results, int* counts) {
    if (queries == nullptr || count == 0 || topK < 1 || results == nullptr || counts == nullptr) return 0;
    const int k = std::min(topK, kMaxTopK);
    if (!catchUpForReading()) return -1;
    MetadataTest keep;
    const int ef = prepareSearch(k, precision, filter, &keep);
    const size_t dim = shape.dim;

    std::atomic<uint32_t> next{0};
    std::atomic<bool> failed{false};
    // Queries are taken one at a time: their costs differ too much for
    // fixed shares.
    auto work = [&](uint32_t) {
        for (;;) {
            if (failed.load(std::memory_order_relaxed)) return;
            const uint32_t i = next.fetch_add(1);
            if (i >= count) return;
            try {
                counts[i] = searchPrepared(*this, queries + i * dim, k, ef, keep, false,
                                           results + static_cast<size_t>(i) * k);
            } catch (...) {
                failed.store(true);
                return;
            }
        }
    };
    runOnThreads(std::min(threads, count), work);
    // Let go of a disk store's record pages once, not under the threads.
    if (mode == StorageMode::Disk)
        for (const Segment* seg : segments) seg->adviseRecords(MADV_DONTNEED);
    return failed.load() ? -1 : 0;
}

}  // namespace qarbin
