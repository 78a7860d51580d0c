// Process-wide locks and fork(). A forked child has only the thread that
// forked: a lock that another thread of the parent held at that moment would
// stay held in the child for ever, and what it guards could be half-changed.
// So the forking thread takes each process-wide lock before fork() and gives
// it back on both sides afterwards (pthread_atfork).
//
// Only for locks that are held for short steps in which their holder waits
// for nothing else (no other lock of this kind, no GIL, no I/O): fork() waits
// for them.
#pragma once

#include <pthread.h>

#include <mutex>

namespace vardimont::async {

// Registers the handlers for the mutex that `Lock()` returns; call it once,
// when the library is loaded (a namespace-scope initialiser), before any
// thread can hold the mutex. Returns pthread_atfork's result.
template <std::mutex& (*Lock)()>
int hold_across_fork() noexcept {
  return ::pthread_atfork([] { Lock().lock(); }, [] { Lock().unlock(); }, [] { Lock().unlock(); });
}

}  // namespace vardimont::async
