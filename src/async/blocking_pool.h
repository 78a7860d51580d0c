// The blocking pool of a runtime: threads for calls that block (name
// lookups), so that none of them ever runs on a worker thread or waits behind
// another one.
//
// Contract:
// - Threads start on demand, up to a cap; jobs beyond the cap wait in order
//   for a free thread. A thread that stays idle for the idle time ends.
// - Threads are detached and hold only the pool's own shared state, never the
//   io_context: a job carries everything it uses (for its result, a Sender of
//   a queue, which stays safe to use during and after the context's teardown).
// - stop() marks the pool stopped and drops the queued jobs; it never joins or
//   waits for a running job, which runs to its end on its own thread.
//
// Each execution context owns one pool, found from any of its executors with
// BlockingPool::of(); the context's teardown stops it.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <system_error>

#include "async/asio.h"

namespace vardimont::async {

// Lookups that a slow resolver holds up cannot take more threads than this.
inline constexpr std::size_t BLOCKING_POOL_MAX_THREADS = 32;
inline constexpr std::chrono::milliseconds BLOCKING_POOL_IDLE_TIME{10'000};

namespace detail {
struct PoolState;
}

class BlockingPool {
 public:
  using Job = std::function<void()>;

  BlockingPool(std::size_t max_threads, std::chrono::milliseconds idle_time);
  BlockingPool(const BlockingPool&) = delete;
  BlockingPool& operator=(const BlockingPool&) = delete;
  ~BlockingPool();  // stop()

  // Queues `job` to run on a pool thread, starting one if none is free and
  // the cap allows. An error, with `job` dropped, when the pool is stopped or
  // no thread exists to run it and none can be started. A job must not throw;
  // an exception that escapes it is dropped.
  std::error_code post(Job job);

  // Idempotent; never waits.
  void stop() noexcept;

  // The threads alive now, busy or idle.
  std::size_t threads() const;

  // The pool of the execution context of `ex`.
  static BlockingPool& of(const Executor& ex);

  // The jobs that pool threads of this process are running or still
  // destroying, across every pool (tests wait for it to reach zero).
  static std::size_t jobs_in_progress() noexcept;

 private:
  std::shared_ptr<detail::PoolState> state_;
};

}  // namespace vardimont::async
