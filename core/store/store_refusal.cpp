// Segments that exist but cannot be taken. A store never goes on with the
// segments before such a one only: it would answer from part of its
// records as if they were all.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>

#include "core/store/store.h"
#include "core/store/store_internal.h"

namespace qarbin {

namespace {

// Where the last refusal that ended an open was about: the store is gone
// by the time its caller reports it.
char lastRefused[sizeof(Store::refusedSegment)] = {};

}  // namespace

int refusalCause(int err) {
    if (err == ENODATA) return kSegmentTruncated;
    if (err == EINVAL || err == 0) return kSegmentNotOfStore;
    return err;
}

void refuseSegment(Store* st, int cause, const char* segment) {
    st->segmentRefusal = cause;
    std::snprintf(st->refusedSegment, sizeof st->refusedSegment, "%s", segment);
}

void rememberOpenRefusal(const Store& st) { std::memcpy(lastRefused, st.refusedSegment, sizeof lastRefused); }

const char* lastRefusedSegment() { return lastRefused; }

bool laterSegmentFileExists(const char* dir, uint32_t number) {
    DIR* d = opendir(dir);
    if (d == nullptr) return false;
    bool found = false;
    while (dirent* e = readdir(d)) {
        unsigned n = 0;
        char tail = 0;
        // seg_NNNN.qbseg exactly: "%4u" alone would take shorter numbers too.
        if (std::strlen(e->d_name) == 14 && std::sscanf(e->d_name, "seg_%4u.qbse%c", &n, &tail) == 2 && tail == 'g' &&
            n > number) {
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

}  // namespace qarbin
