// Scoped changes of the GIL. ReleasedGil lets other Python threads run while
// the calling thread waits for native work; AttachedGil gives a thread that
// is not a Python thread (a runtime worker) the GIL for the length of a scope.
#pragma once

#include <optional>

#include "py/python.h"

namespace vardimont::py {

// Releases the GIL held by the calling thread; takes it back at scope exit.
// Nothing inside the scope may touch a Python object.
class ReleasedGil {
 public:
  ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
  ~ReleasedGil() { PyEval_RestoreThread(state_); }
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

 private:
  PyThreadState* state_;
};

// Holds the GIL for the calling thread, registering the thread with the
// interpreter if it never ran Python code; released at scope exit.
class AttachedGil {
 public:
  // The GIL, or nullopt when the interpreter is not initialised (before it
  // was set up or once it has been finalised), in which case nothing was
  // taken and no Python object may be touched.
  static std::optional<AttachedGil> attach() noexcept {
    if (!Py_IsInitialized()) return std::nullopt;
    return std::optional<AttachedGil>(std::in_place);
  }

  AttachedGil() noexcept : state_(PyGILState_Ensure()) {}
  ~AttachedGil() { PyGILState_Release(state_); }
  AttachedGil(const AttachedGil&) = delete;
  AttachedGil& operator=(const AttachedGil&) = delete;

 private:
  PyGILState_STATE state_;
};

}  // namespace vardimont::py
