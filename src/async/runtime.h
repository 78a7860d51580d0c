// The asynchronous runtime of one started node: one io_context run by exactly
// two worker threads. Name lookups run on Asio's internal resolver thread, never
// on a worker. Shutdown never waits: the context and its threads go to a
// detached reaper that stops, joins and destroys them, which drops every task.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "async/asio.h"
#include "runtime/result.h"

namespace vardimont::async {

inline constexpr int WORKER_THREADS = 2;

// Thrown by blocking entries called on a runtime's own worker thread: such a
// call would park the worker that the awaited operation may need.
class BlockingOnWorker : public std::runtime_error {
 public:
  BlockingOnWorker();
};

class Runtime {
 public:
  // Builds the context and starts its two workers; the error is the system's text.
  static Result<std::shared_ptr<Runtime>, std::string> create();

  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;
  ~Runtime();  // shuts down in the background if still running

  Executor executor() const;
  asio::io_context& context() noexcept { return *ctx_; }

  // Hands the context and the workers to the reaper; returns at once.
  // Idempotent. Safe to call from a worker thread.
  void shutdown_in_background() noexcept;

  // Stops, joins and destroys at once (only for a runtime that has run no task
  // needing another thread, such as the runtime of a failed start; tests).
  void shutdown_and_wait() noexcept;

  // True on a worker thread of any Runtime.
  static bool on_worker_thread() noexcept;
  // Throws BlockingOnWorker when on_worker_thread().
  static void check_blocking_allowed();

  // Runs `aw` on this runtime and parks the calling thread until it completes,
  // returning its value. Throws BlockingOnWorker on a worker thread.
  template <class T>
  T block_on(awaitable<T> aw);

 private:
  Runtime();
  struct Threads;
  std::unique_ptr<asio::io_context> ctx_;
  std::unique_ptr<Threads> threads_;
};

}  // namespace vardimont::async

#include "async/runtime_impl.h"
