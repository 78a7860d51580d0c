#include "py/deferred.h"

#include <atomic>
#include <mutex>
#include <new>
#include <vector>

#include "async/fork.h"

namespace vardimont::py {
namespace {

struct DeferredList {
  std::mutex mutex;
  std::vector<PyObject*> items;  // guarded by mutex
  std::atomic<bool> pending{false};
};

// Never destroyed: worker threads may still add to it while the process exits.
DeferredList& deferred_list() {
  static DeferredList* list = new DeferredList;
  return *list;
}

// A forked child finds the list whole and drains it as the parent would have.
std::mutex& deferred_mutex() { return deferred_list().mutex; }
[[maybe_unused]] const int deferred_held_across_fork = async::hold_across_fork<deferred_mutex>();

}  // namespace

void defer_release(PyObject* obj) noexcept {
  if (obj == nullptr) return;
  DeferredList& list = deferred_list();
  std::lock_guard lock(list.mutex);
  try {
    list.items.push_back(obj);
  } catch (const std::bad_alloc&) {
    // Without memory for the list the reference is leaked: releasing it here,
    // without the GIL, would corrupt the interpreter.
    return;
  }
  list.pending.store(true, std::memory_order_release);
}

void drain_deferred() noexcept {
  DeferredList& list = deferred_list();
  if (!list.pending.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> taken;
  {
    std::lock_guard lock(list.mutex);
    taken.swap(list.items);
    list.pending.store(false, std::memory_order_relaxed);
  }
  // Outside the lock: a finaliser run by a release may defer or drain again.
  for (PyObject* obj : taken) Py_DECREF(obj);
}

}  // namespace vardimont::py
