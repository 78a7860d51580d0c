// The deferred-release list: Python references that a thread had to drop
// without holding the GIL (a runtime task ending on a worker thread) wait
// here until a thread next enters the module with the GIL. One list per
// process, guarded by its own lock, which is held only to add or to take the
// whole list; nothing runs Python code under it.
#pragma once

#include "py/python.h"
#include "py/ref.h"

namespace vardimont::py {

// Hands over one strong reference (null is ignored). Any thread, GIL or not.
void defer_release(PyObject* obj) noexcept;
inline void defer_release(Ref&& ref) noexcept { defer_release(ref.release()); }

// Releases every reference on the list. The caller holds the GIL. Called at
// the start of every method, module function and delivery; a release may run
// Python code (finalisers), which may itself enter the module and drain.
// Costs one atomic load when the list is empty.
void drain_deferred() noexcept;

}  // namespace vardimont::py
