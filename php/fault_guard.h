// The guard that turns a fault on a store's mapping during a method into
// the exception "Segment file was truncated: PATH" (php/fault_guard.cpp).
#pragma once

#include "core/store/store.h"

struct _zend_class_entry;

// Module start: installs the SIGBUS handler (the one before it is kept and
// called for faults elsewhere) and routes every method of the class
// through the guard. Module end: puts the previous handler back.
void qarbin_fault_guard_start(_zend_class_entry* ce);
void qarbin_fault_guard_stop();
// Stores whose mappings the handler recognises: every open file and shared
// store, from its opener's return until after it is closed.
void qarbin_fault_guard(qarbin::Store* store);
void qarbin_fault_unguard(const qarbin::Store* store);
bool qarbin_fault_guarded(const qarbin::Store* store);
// Between requests: stores that faulted outside a method (while an object
// was freed, say) are made read-only and no longer handed out, without an
// exception.
void qarbin_fault_settle();
