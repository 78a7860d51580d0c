// The asynchronous runtime of one started node: one io_context run by exactly
// two worker threads. Name lookups run on the context's blocking pool
// (blocking_pool.h, lookup.h), never on a worker. Shutdown never waits: the
// context and its threads go to a detached reaper that stops, joins and
// destroys them, which drops every task (the destructors of suspended
// coroutines run on the reaper thread, which counts as a worker thread for
// on_worker_thread()); the pool's threads are not joined, and a lookup still
// running then ends on its own and its result is thrown away.
//
// Other threads may go on using queues and broadcasts that the runtime's
// tasks wait on during and after a shutdown: the teardown unlinks those waits
// first. What must not overlap a shutdown call or the reaper's teardown is a
// direct use of the context from another thread (posting or spawning on
// executor()); block_on spawns under the runtime's own lock.
//
// fork(). A forked child has only the thread that forked, so every runtime of
// the parent that still has a context (running, or being torn down by a
// reaper) is abandoned in the child, from inside fork() itself: the
// descriptors of its context (sockets, the reactor's own) are closed in the
// child, which leaves the parent's untouched, and nothing of it is destroyed,
// since its locks may be held by threads that the child does not have. In the
// child such a runtime counts as shut down (executor() and block_on() throw
// RuntimeStopped), and destroying it, or shutting it down, leaves its context
// and threads behind. A number is closed only while it still names the file
// that the reactor watches (the same inode); a socket that a task is opening
// or accepting at the moment of the fork, not yet handed to the reactor,
// stays open in the child.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "async/asio.h"
#include "async/context.h"
#include "base/result.h"

namespace vardimont::async {

inline constexpr int WORKER_THREADS = 2;

// Thrown by blocking entries called on a runtime's own worker thread: such a
// call would park the worker that the awaited operation may need.
class BlockingOnWorker : public std::runtime_error {
 public:
  BlockingOnWorker();
};

// Thrown by block_on() and executor() once the runtime has been shut down,
// and by block_on() when the shutdown drops the operation it waits for.
class RuntimeStopped : public std::runtime_error {
 public:
  RuntimeStopped();
};

class Runtime {
 public:
  // Builds the context (an async::Context, with everything in it that needs
  // a descriptor: the reactor), the services its tasks use (the blocking
  // pool, whose threads start later, on demand) and its two workers; the
  // error is the system's text, with nothing left running.
  static Result<std::shared_ptr<Runtime>, std::string> create();

  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;
  ~Runtime();  // shuts down in the background if still running

  // Throws RuntimeStopped after shutdown, and in a forked child.
  Executor executor() const;
  // Only while running (before any shutdown call).
  asio::io_context& context() noexcept { return *ctx_; }

  // Hands the context and the workers to the reaper; returns at once.
  // Idempotent. Safe to call from a worker thread.
  void shutdown_in_background() noexcept;

  // Stops, joins and destroys at once (only for a runtime that has run no task
  // needing another thread, such as the runtime of a failed start; tests).
  // On a worker thread it cannot join itself and shuts down in the background.
  void shutdown_and_wait() noexcept;

  // True on a worker thread of any Runtime (and on a reaper thread).
  static bool on_worker_thread() noexcept;
  // Throws BlockingOnWorker when on_worker_thread().
  static void check_blocking_allowed();

  // Runs `aw` on this runtime and parks the calling thread until it completes,
  // returning its value or rethrowing its exception. Throws BlockingOnWorker
  // on a worker thread, RuntimeStopped when the runtime is (or gets) shut down
  // before `aw` completes, or was inherited by a forked child.
  template <class T>
  T block_on(awaitable<T> aw);

 private:
  Runtime();
  struct Threads;
  struct Stopped {
    std::unique_ptr<Context> ctx;  // null when already shut down
    std::vector<std::thread> workers;
    int reactor_fd = -1;  // as in the fork registry; -1: not entered
  };
  // Takes the context and the workers out of this runtime, releases the work
  // guard and stops the context; what is left to do is finish(...). In a
  // forked child it leaves them behind and returns nothing.
  Stopped take_and_stop() noexcept;
  static void finish(Stopped stopped) noexcept;
  // Whether this runtime was inherited by a forked child (no lock taken).
  bool abandoned() const noexcept;
  const std::uint64_t generation_;  // the fork generation that built it
  mutable std::mutex mu_;  // guards ctx_ and threads_ against a concurrent shutdown
  std::unique_ptr<Context> ctx_;
  std::unique_ptr<Threads> threads_;
  int reactor_fd_ = -1;  // the reactor's epoll descriptor, once in the fork registry
};

}  // namespace vardimont::async

#include "async/runtime_impl.h"
