// Another process that shortens a segment file or shared object (truncate,
// a cleanup script) turns the next access to the lost pages into SIGBUS.
// Each method checks the lengths before it starts (qarbin_intact_store);
// this guard covers a cut that lands inside a call.
//
// The SIGBUS handler looks the faulting address up among the mappings of
// the open file and shared-memory stores of this process. On a hit it maps
// zero-filled private pages over that whole mapping (MAP_FIXED) and
// returns: the faulting access is retried and reads zeros, which every
// reader of a region bounds like any other value, so the call runs to its
// end. No frame is left by a jump, so every C++ frame and every engine
// frame unwinds as it normally does. Every method of QarbinStore runs
// through guardedMethod, which then discards what the call produced,
// throws "Segment file was truncated: PATH" and closes the store in every
// object holding it (without writing: its writes went to the zero pages).
// Any other SIGBUS goes to the handler that was installed before this one,
// or ends the process as it would have without it.
#include "php/fault_guard.h"

#include <signal.h>
#include <sys/mman.h>

#include "php/php_qarbin.h"
#include "php/store_calls.h"
#include "zend_extensions.h"

namespace {

constexpr int kMaxGuarded = 256;
constexpr int kMaxLost = 8;

// Open file and shared-memory stores. Changed only outside the store's code
// (open, close), read by the handler.
qarbin::Store* guarded[kMaxGuarded];
int guardedCount = 0;

// Stores whose mapping faulted since the last method ended, and the name of
// the first object lost.
qarbin::Store* volatile lost[kMaxLost];
volatile int lostCount = 0;
char lostName[4096];

struct sigaction previous;
bool installed = false;
int handlerSlot = -1;

void copyName(char* dst, size_t cap, const char* src) {
    size_t i = 0;
    for (; i + 1 < cap && src[i] != '\0'; ++i) dst[i] = src[i];
    dst[i] = '\0';
}

void noteLost(qarbin::Store* store, const char* name) {
    for (int i = 0; i < lostCount; ++i)
        if (lost[i] == store) return;
    if (lostCount == 0) copyName(lostName, sizeof lostName, name);
    if (lostCount < kMaxLost) lost[lostCount++] = store;
}

// Zero pages over [base, base + len), readable (and writable when it was).
bool replaceWithZeros(void* base, size_t len, bool writable) {
    const int prot = writable ? PROT_READ | PROT_WRITE : PROT_READ;
    return mmap(base, len, prot, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED;
}

// True when addr lies in a mapping of a guarded store, which is then
// replaced by zero pages and noted as lost.
bool takeOverFault(const char* addr) {
    for (int i = 0; i < guardedCount; ++i) {
        qarbin::Store* st = guarded[i];
        for (qarbin::Segment* seg : st->segments) {
            if (seg->mode == qarbin::StorageMode::Memory || seg->base == nullptr) continue;
            const char* base = reinterpret_cast<const char*>(seg->base);
            if (addr < base || addr >= base + seg->mappedLen) continue;
            if (!replaceWithZeros(seg->base, seg->mappedLen, seg->writable != 0)) return false;
            noteLost(st, seg->mode == qarbin::StorageMode::Disk ? seg->path : seg->shmName);
            return true;
        }
        const char* control = static_cast<const char*>(st->controlMapping);
        if (control != nullptr && addr >= control && addr < control + sizeof(qarbin::ShmControl)) {
            if (!replaceWithZeros(st->controlMapping, sizeof(qarbin::ShmControl), st->writable)) return false;
            noteLost(st, st->name);  // as truncatedBacking names it
            return true;
        }
    }
    return false;
}

void onSigbus(int sig, siginfo_t* info, void* context) {
    if (info != nullptr && takeOverFault(static_cast<const char*>(info->si_addr))) return;
    // Not ours: what would have happened without this handler.
    if (previous.sa_flags & SA_SIGINFO) {
        previous.sa_sigaction(sig, info, context);
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(sig);
    } else {
        // Returning retries the access, which now ends the process.
        signal(SIGBUS, SIG_DFL);
    }
}

void dropLost(const qarbin::Store* store) {
    int kept = 0;
    for (int i = 0; i < lostCount; ++i)
        if (lost[i] != store) lost[kept++] = lost[i];
    lostCount = kept;
}

// Every object holding the store lets go of it.
void releaseEverywhere(qarbin::Store* store) {
    qarbin_php::abandonWrites(store);
    qarbin_forget_persistent(store);
    zend_objects_store* objects = &EG(objects_store);
    for (uint32_t i = 1; i < objects->top; ++i) {
        zend_object* obj = objects->object_buckets[i];
        if (!IS_OBJ_VALID(obj) || !instanceof_function(obj->ce, qarbin_store_ce)) continue;
        qarbin_store_object* intern = qarbin_store_from_obj(obj);
        if (intern->store == store) qarbin_release_store(intern);
    }
}

void raiseLost(zval* return_value) {
    char name[sizeof lostName];
    copyName(name, sizeof name, lostName);
    qarbin::Store* stores[kMaxLost];
    const int n = lostCount;
    for (int i = 0; i < n; ++i) stores[i] = lost[i];
    lostCount = 0;
    zval_ptr_dtor(return_value);
    ZVAL_NULL(return_value);
    for (int i = 0; i < n; ++i)
        if (qarbin_fault_guarded(stores[i])) releaseEverywhere(stores[i]);
    zend_throw_exception_ex(qarbin_exception_ce, 0, "Segment file was truncated: %s", name);
}

void guardedMethod(INTERNAL_FUNCTION_PARAMETERS) {
    const zif_handler original =
        reinterpret_cast<zif_handler>(execute_data->func->internal_function.reserved[handlerSlot]);
    original(execute_data, return_value);
    if (lostCount != 0) raiseLost(return_value);
}

}  // namespace

bool qarbin_fault_guarded(const qarbin::Store* store) {
    for (int i = 0; i < guardedCount; ++i)
        if (guarded[i] == store) return true;
    return false;
}

void qarbin_fault_guard(qarbin::Store* store) {
    if (store == nullptr || qarbin_php::mode(store) == qarbin::StorageMode::Memory) return;
    if (guardedCount < kMaxGuarded && !qarbin_fault_guarded(store)) guarded[guardedCount++] = store;
}

void qarbin_fault_unguard(const qarbin::Store* store) {
    for (int i = 0; i < guardedCount; ++i) {
        if (guarded[i] != store) continue;
        guarded[i] = guarded[--guardedCount];
        break;
    }
    dropLost(store);
}

void qarbin_fault_settle() {
    const int n = lostCount;
    for (int i = 0; i < n; ++i) {
        if (!qarbin_fault_guarded(lost[i])) continue;
        qarbin_php::abandonWrites(lost[i]);
        qarbin_forget_persistent(lost[i]);
    }
    lostCount = 0;
}

void qarbin_fault_guard_start(zend_class_entry* ce) {
    handlerSlot = zend_get_resource_handle("qarbin");
    if (handlerSlot < 0) return;
    struct sigaction sa;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_SIGINFO;
    sa.sa_sigaction = onSigbus;
    if (sigaction(SIGBUS, &sa, &previous) != 0) return;
    installed = true;
    void* entry;
    ZEND_HASH_FOREACH_PTR(&ce->function_table, entry) {
        zend_function* func = static_cast<zend_function*>(entry);
        if (func->type != ZEND_INTERNAL_FUNCTION) continue;
        func->internal_function.reserved[handlerSlot] = reinterpret_cast<void*>(func->internal_function.handler);
        func->internal_function.handler = guardedMethod;
    }
    ZEND_HASH_FOREACH_END();
}

void qarbin_fault_guard_stop() {
    if (!installed) return;
    struct sigaction mine;
    // Only when nobody installed another handler over this one since.
    if (sigaction(SIGBUS, nullptr, &mine) == 0 && (mine.sa_flags & SA_SIGINFO) && mine.sa_sigaction == onSigbus)
        sigaction(SIGBUS, &previous, nullptr);
    installed = false;
}
