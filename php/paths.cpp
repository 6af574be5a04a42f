// Paths and names from PHP code, checked as the engine's own file functions
// check theirs: no NUL byte (the bytes after it would be dropped silently),
// and within open_basedir.
#include "php/php_qarbin.h"

#include "php/store_calls.h"

#include <cerrno>
#include <cstring>

bool qarbin_name_has_nul(const char* bytes, size_t len, uint32_t arg) {
    if (!memchr(bytes, 0, len)) return false;
    zend_argument_value_error(arg, "must not contain any null bytes");
    return true;
}

bool qarbin_path_allowed(const char* path) {
    // Warns as fopen() would ("open_basedir restriction in effect ...").
    return php_check_open_basedir(path) == 0;
}

bool qarbin_where_allowed(const qarbin_open_request& req, const zval* dir) {
    if (!req.where) return true;
    if (qarbin_name_has_nul(Z_STRVAL_P(dir), Z_STRLEN_P(dir), 1)) return false;
    if (req.storage == qarbin::StorageMode::Shm || qarbin_path_allowed(req.where)) return true;
    if (req.storage == qarbin::StorageMode::Disk)
        zend_throw_exception_ex(qarbin_exception_ce, 0, "Failed to open disk store at: %s: open_basedir restriction in effect",
                                req.where);
    else
        zend_throw_exception_ex(qarbin_exception_ce, 0,
                                "Failed to load segment files from: %s: open_basedir restriction in effect", req.where);
    return false;
}

const char* qarbin_refusal_cause(int why, const char* segment, char* buf, size_t cap) {
    switch (why) {
        case qarbin::kSegmentTruncated: snprintf(buf, cap, "Segment file was truncated: %s", segment); break;
        case qarbin::kSegmentMissing: snprintf(buf, cap, "Segment file is missing: %s", segment); break;
        case qarbin::kSegmentNotOfStore: snprintf(buf, cap, "Not a segment of this store: %s", segment); break;
        default: snprintf(buf, cap, "%s", strerror(why)); break;
    }
    return buf;
}

void qarbin_throw_disk_open_error(const char* dir, int why) {
    char cause[4200];
    if (why < 0) {
        zend_throw_exception_ex(qarbin_exception_ce, 0, "Failed to open disk store at: %s: %s", dir,
                                qarbin_refusal_cause(why, qarbin_php::lastRefusedSegment(), cause, sizeof cause));
    } else if (why == 0) {
        zend_throw_exception_ex(qarbin_exception_ce, 0, "Failed to open disk store at: %s", dir);
    } else if (why == EPERM) {
        zend_throw_exception_ex(qarbin_exception_ce, 0,
                                "Failed to open disk store at: %s: owned by another user or writable by others", dir);
    } else {
        zend_throw_exception_ex(qarbin_exception_ce, 0, "Failed to open disk store at: %s: %s", dir, strerror(why));
    }
}
