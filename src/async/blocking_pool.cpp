#include "async/blocking_pool.h"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace vardimont::async {

namespace detail {

// Shared by the pool and its threads; outlives the pool while a thread runs.
struct PoolState {
  PoolState(std::size_t max, std::chrono::milliseconds idle) : max_threads(max), idle_time(idle) {}

  const std::size_t max_threads;
  const std::chrono::milliseconds idle_time;
  std::mutex mu;
  std::condition_variable wake;  // a job was queued, or the pool stopped
  std::deque<BlockingPool::Job> jobs;
  std::size_t threads = 0;  // alive, busy or idle
  std::size_t idle = 0;     // waiting for a job
  bool stopped = false;
};

}  // namespace detail

namespace {

std::atomic<std::size_t> g_jobs_in_progress{0};

void pool_thread(std::shared_ptr<detail::PoolState> s) noexcept {
  (void)::pthread_setname_np(::pthread_self(), "vardimont-pool");
  std::unique_lock<std::mutex> lock(s->mu);
  for (;;) {
    ++s->idle;
    const bool woken = s->wake.wait_for(lock, s->idle_time, [&] { return s->stopped || !s->jobs.empty(); });
    --s->idle;
    if (!woken || s->stopped) {
      --s->threads;
      return;  // `lock` is released before `s`
    }
    BlockingPool::Job job = std::move(s->jobs.front());
    s->jobs.pop_front();
    g_jobs_in_progress.fetch_add(1, std::memory_order_relaxed);
    lock.unlock();
    try {
      job();
    } catch (...) {
      // A job reports through what it carries; an escaped exception is dropped.
    }
    job = nullptr;  // its captures go before the thread looks for more work
    g_jobs_in_progress.fetch_sub(1, std::memory_order_release);
    lock.lock();
  }
}

// The pool as a service of its execution context: the context's teardown
// stops it without waiting for anything.
class PoolService : public asio::execution_context::service {
 public:
  using key_type = PoolService;
  inline static asio::execution_context::id id;

  explicit PoolService(asio::execution_context& ctx)
      : asio::execution_context::service(ctx), pool(BLOCKING_POOL_MAX_THREADS, BLOCKING_POOL_IDLE_TIME) {}

  BlockingPool pool;

 private:
  void shutdown() override { pool.stop(); }
};

}  // namespace

BlockingPool::BlockingPool(std::size_t max_threads, std::chrono::milliseconds idle_time)
    : state_(std::make_shared<detail::PoolState>(max_threads == 0 ? 1 : max_threads, idle_time)) {}

BlockingPool::~BlockingPool() { stop(); }

std::error_code BlockingPool::post(Job job) {
  detail::PoolState& s = *state_;
  std::unique_lock<std::mutex> lock(s.mu);
  if (s.stopped) return std::make_error_code(std::errc::operation_canceled);
  s.jobs.push_back(std::move(job));
  // Every queued job has an idle thread of its own to take it, or a new
  // thread is started for it while the cap allows.
  if (s.jobs.size() <= s.idle || s.threads >= s.max_threads) {
    s.wake.notify_one();
    return {};
  }
  std::error_code failed;
  try {
    std::thread(pool_thread, state_).detach();
    ++s.threads;
    return {};
  } catch (const std::system_error& e) {
    failed = e.code();
  } catch (...) {
    failed = std::make_error_code(std::errc::not_enough_memory);
  }
  if (s.threads > 0) return {};  // a busy thread takes it when it is done
  // Nobody would ever run it.
  Job dropped = std::move(s.jobs.back());
  s.jobs.pop_back();
  lock.unlock();
  return failed;
}

void BlockingPool::stop() noexcept {
  std::deque<Job> dropped;  // destroyed after the lock is released
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->stopped = true;
    dropped.swap(state_->jobs);
    state_->wake.notify_all();
  }
}

std::size_t BlockingPool::threads() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->threads;
}

BlockingPool& BlockingPool::of(const Executor& ex) {
  asio::execution_context& ctx = asio::query(ex, asio::execution::context);
  return asio::use_service<PoolService>(ctx).pool;
}

std::size_t BlockingPool::jobs_in_progress() noexcept { return g_jobs_in_progress.load(std::memory_order_acquire); }

}  // namespace vardimont::async
