#include "py/interpreter_guard.h"

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

#include "py/ref.h"
#include "py/register.h"

namespace vardimont::py {
namespace {

// Invariant: `inside` counts the threads that passed the gate while it was
// open and have not yet given the GIL back. Once `closing` is set it is never
// cleared, and `inside` only goes down.
struct Gate {
  std::mutex mutex;
  std::condition_variable drained;
  bool closing = false;
  std::thread::id closer;  // the thread that closed the gate and finalises
  std::size_t inside = 0;
};

Gate& gate() {
  static Gate* const g = new Gate;  // leaked: see the header
  return *g;
}

// fork(): the forking thread holds the gate's lock across it (as for every
// process-wide lock, async/fork.h). The child has none of the parent's other
// threads, so none of them is inside: a delivery in progress in the parent
// must not hold up the child's exit.
void gate_fork_prepare() noexcept { gate().mutex.lock(); }
void gate_fork_parent() noexcept { gate().mutex.unlock(); }
void gate_fork_child() noexcept {
  Gate& g = gate();
  g.inside = 0;
  g.mutex.unlock();
}
[[maybe_unused]] const int gate_fork_handlers = ::pthread_atfork(gate_fork_prepare, gate_fork_parent, gate_fork_child);

bool installed = false;  // touched only with the GIL held

// The atexit callback: runs on the finalising thread with the GIL held,
// before the interpreter starts tearing itself down.
PyObject* close_gate(PyObject*, PyObject*) {
  Gate& g = gate();
  {
    std::lock_guard lock(g.mutex);
    g.closing = true;
    g.closer = std::this_thread::get_id();
  }
  // A worker past the gate may be waiting for the GIL we hold: release it
  // while we wait for those workers to leave.
  Py_BEGIN_ALLOW_THREADS
  {
    std::unique_lock lock(g.mutex);
    g.drained.wait(lock, [&] { return g.inside == 0; });
  }
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

PyMethodDef close_gate_def = {"_close_vardimont_gate", close_gate, METH_NOARGS,
                              "Stops native worker threads from entering the interpreter."};

}  // namespace

int install_exit_guard(PyObject* module) {
  if (installed) return 0;
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return -1;
  Ref callback = module_function(&close_gate_def, nullptr, module);
  if (!callback) return -1;
  Ref result = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", callback.get()));
  if (!result) return -1;
  installed = true;
  return 0;
}

// A worker keeps the thread state that its first attach created, and later
// attaches only take the GIL with it: creating and destroying a thread state
// for every delivery would cost more than the delivery. The state is given
// back when the thread ends (KeptState's destructor), unless the interpreter
// is closing by then, when the interpreter's teardown disposes of it.
struct KeptState {
  PyThreadState* state = nullptr;

  ~KeptState() {
    if (state == nullptr) return;
    Gate& g = gate();
    {
      std::lock_guard lock(g.mutex);
      if (g.closing) return;
      ++g.inside;
    }
    if (Py_IsInitialized()) {
      PyEval_RestoreThread(state);
      PyGILState_Release(PyGILState_UNLOCKED);  // the first attach's: deletes the state, drops the GIL
    }
    std::lock_guard lock(g.mutex);
    --g.inside;
    if (g.inside == 0) g.drained.notify_all();
  }
};

thread_local KeptState kept;

bool enter_python() noexcept {
  Gate& g = gate();
  {
    std::lock_guard lock(g.mutex);
    if (g.closing) return false;
    ++g.inside;
  }
  // Py_IsInitialized needs no GIL; it covers a module used by an embedder
  // that finalises without running atexit callbacks.
  if (!Py_IsInitialized()) {
    std::lock_guard lock(g.mutex);
    --g.inside;
    g.drained.notify_all();
    return false;
  }
  if (kept.state != nullptr) {
    PyEval_RestoreThread(kept.state);
  } else {
    (void)PyGILState_Ensure();  // creates this thread's state: the thread had none
    kept.state = PyGILState_GetThisThreadState();
  }
  return true;
}

void leave_python() noexcept {
  (void)PyEval_SaveThread();
  Gate& g = gate();
  std::lock_guard lock(g.mutex);
  --g.inside;
  if (g.inside == 0) g.drained.notify_all();
}

PyThreadState* release_gil() noexcept { return PyEval_SaveThread(); }

void restore_gil(PyThreadState* saved) noexcept {
  Gate& g = gate();
  {
    std::unique_lock lock(g.mutex);
    // The finalising thread itself goes on: it has the interpreter to tear
    // down (later atexit callbacks may still call into the module).
    if (g.closing && g.closer != std::this_thread::get_id()) {
      // Never notified: the process ends around this thread.
      std::condition_variable never;
      for (;;) never.wait(lock);
    }
    ++g.inside;
  }
  PyEval_RestoreThread(saved);
  std::lock_guard lock(g.mutex);
  --g.inside;
  if (g.inside == 0) g.drained.notify_all();
}

bool interpreter_closing() noexcept {
  Gate& g = gate();
  std::lock_guard lock(g.mutex);
  return g.closing;
}

}  // namespace vardimont::py
