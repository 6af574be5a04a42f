// QarbinStore::buildIndex: builds or extends every graph now, in steps of
// about a second. Between steps the core holds no lock and owns nothing, so
// the progress callable (and a timeout the engine raises meanwhile) may
// leave by any route and the graphs made so far stay usable.
#include "php/php_qarbin.h"

#include "php/store_calls.h"

namespace {

constexpr double kStepSeconds = 1.0;

// false when the callable threw (or the engine wants to stop the script).
bool reportProgress(zend_fcall_info* fci, zend_fcall_info_cache* fcc, uint64_t done, uint64_t total) {
    zval args[2];
    zval ret;
    ZVAL_LONG(&args[0], static_cast<zend_long>(done));
    ZVAL_LONG(&args[1], static_cast<zend_long>(total));
    ZVAL_UNDEF(&ret);
    fci->retval = &ret;
    fci->params = args;
    fci->param_count = 2;
    zend_call_function(fci, fcc);
    zval_ptr_dtor(&ret);
    fci->params = nullptr;
    fci->param_count = 0;
    return EG(exception) == nullptr;
}

}  // namespace

PHP_METHOD(QarbinStore, buildIndex) {
    zend_fcall_info fci = empty_fcall_info;
    zend_fcall_info_cache fcc = empty_fcall_info_cache;
    ZEND_PARSE_PARAMETERS_START(0, 1)
    Z_PARAM_OPTIONAL
    Z_PARAM_FUNC_OR_NULL(fci, fcc)
    ZEND_PARSE_PARAMETERS_END();
    qarbin::Store* store = qarbin_open_store(Z_OBJ_P(ZEND_THIS), true);
    if (!store) RETURN_THROWS();

    const bool report = ZEND_FCI_INITIALIZED(fci);
    const uint64_t total = qarbin_php::pendingGraphRecords(store);
    for (bool first = true;; first = false) {
        const int rc = qarbin_php::indexFor(store, kStepSeconds, first);
        QARBIN_RESUME_BAILOUT();
        if (rc < 0) {
            qarbin_throw("Index build failed (out of memory?)");
            RETURN_THROWS();
        }
        if (report) {
            const uint64_t pending = rc == 0 ? 0 : qarbin_php::pendingGraphRecords(store);
            const uint64_t done = total > pending ? total - pending : 0;
            if (!reportProgress(&fci, &fcc, done, total)) RETURN_THROWS();
            // The callable may have closed or replaced this object's store.
            if (qarbin_store_from_obj(Z_OBJ_P(ZEND_THIS))->store != store) {
                qarbin_throw("Store not open");
                RETURN_THROWS();
            }
        }
        if (rc == 0) break;
        // A timeout or a signal the engine must act on: what is built stays.
        if (zend_atomic_bool_load_ex(&EG(vm_interrupt))) break;
    }
    RETURN_LONG(static_cast<zend_long>(qarbin_php::recordsInGraphs(store)));
}
