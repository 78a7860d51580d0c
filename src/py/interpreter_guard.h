// Keeps the runtime's worker threads out of an interpreter that is shutting
// down. A worker that attaches while the interpreter finalises would be
// parked or terminated inside CPython, in the middle of a C++ frame; so the
// module registers an atexit callback that closes the gate and waits, with
// the GIL released, for every worker already past the gate to give the GIL
// back. From then on enter_python() fails and the delivery loops end.
//
// The gate is a leaked process-wide singleton: worker threads may still look
// at it while static destructors run. A forked child's gate has nobody inside
// (the parent's workers are not in the child) and is open unless the parent
// was already closing it.
#pragma once

#include "py/python.h"

namespace vardimont::py {

// Registers the atexit callback (once per process; later calls do nothing).
// Called with the GIL held, from the module's exec step and again by every
// Node.start() (so that no runtime ever exists without the guard); `module`
// (may be null) only names the callback's __module__. Returns 0, or -1 with a
// Python exception set.
int install_exit_guard(PyObject* module);

// Attaches the calling (non-Python) thread and takes the GIL, waiting for it.
// The thread's first attach registers it with the interpreter; the
// registration lasts until the thread ends. False, with nothing taken, once
// the interpreter is closing or not initialised. Never called by a thread
// that holds the GIL already, nor by one that Python created.
bool enter_python() noexcept;

// Gives back the GIL that a successful enter_python() took.
void leave_python() noexcept;

// Releases the GIL held by the calling Python thread, for a blocking native
// operation.
PyThreadState* release_gil() noexcept;

// Takes the GIL back after release_gil(). If the interpreter has begun to
// shut down, the thread never returns from here: it parks for good, since the
// interpreter would otherwise end it from inside this native frame. Only
// daemon threads can get here then (the others were joined before).
void restore_gil(PyThreadState* saved) noexcept;

// Runs `op` with the GIL released and returns its result.
template <class Op>
decltype(auto) without_gil(Op&& op) {
  struct Restore {
    PyThreadState* saved;
    ~Restore() { restore_gil(saved); }
  } restore{release_gil()};
  return op();
}

// Whether the gate has been closed (the interpreter is shutting down).
bool interpreter_closing() noexcept;

// enter_python()/leave_python() as a scope; attached() tells whether it got in.
class PythonAttach {
 public:
  PythonAttach() noexcept : attached_(enter_python()) {}
  ~PythonAttach() {
    if (attached_) leave_python();
  }
  PythonAttach(const PythonAttach&) = delete;
  PythonAttach& operator=(const PythonAttach&) = delete;
  bool attached() const noexcept { return attached_; }

 private:
  bool attached_;
};

}  // namespace vardimont::py
