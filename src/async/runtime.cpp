#include "async/runtime.h"

#include <pthread.h>

#include <exception>
#include <system_error>
#include <utility>
#include <vector>

#include "async/blocking_pool.h"
#include "async/wait.h"
#include "log/log.h"

namespace vardimont::async {

namespace {

// Set for the life of a worker thread (and of a reaper thread, which runs the
// destructors of the tasks it drops).
thread_local bool tl_worker = false;

constexpr std::string_view RUNTIME_TARGET = "_core::runtime";

void name_thread(const char* name) noexcept {
  // At most 15 characters; failure only loses the name.
  (void)::pthread_setname_np(::pthread_self(), name);
}

void worker_main(asio::io_context* ctx) noexcept {
  tl_worker = true;
  name_thread("vardimont-work");
  for (;;) {
    try {
      ctx->run();
      return;  // stopped
    } catch (const std::exception& e) {
      // A handler let an exception escape. The task that threw is gone; the
      // worker goes on with the others.
      log::event(log::Level::Error, RUNTIME_TARGET, "task failed with an exception",
                 {{"e", e.what()}});
    } catch (...) {
      log::event(log::Level::Error, RUNTIME_TARGET, "task failed with an exception",
                 {{"e", "unknown exception"}});
    }
  }
}

}  // namespace

BlockingOnWorker::BlockingOnWorker()
    : std::runtime_error("blocking call refused on a runtime worker thread") {}

RuntimeStopped::RuntimeStopped() : std::runtime_error("the runtime has been shut down") {}

struct Runtime::Threads {
  explicit Threads(asio::io_context& ctx) : guard(asio::make_work_guard(ctx)) {}

  asio::executor_work_guard<asio::io_context::executor_type> guard;
  std::vector<std::thread> workers;
};

Runtime::Runtime() = default;

Runtime::~Runtime() { shutdown_in_background(); }

Result<std::shared_ptr<Runtime>, std::string> Runtime::create() {
  std::shared_ptr<Runtime> rt(new Runtime());
  try {
    rt->ctx_ = std::make_unique<asio::io_context>(WORKER_THREADS);
    // Asio makes the parts of a context that need descriptors when they are
    // first used: the reactor (its epoll descriptor, interrupter and timer
    // descriptor) with the first socket, timer or wait, on a worker. They are
    // made here instead, with the services the tasks use, so that a failure
    // is this function's error and not an exception out of a task.
    (void)asio::use_service<detail::WaitRegistry>(*rt->ctx_);  // with the reactor and the strands
    (void)BlockingPool::of(rt->ctx_->get_executor());
    rt->threads_ = std::make_unique<Threads>(*rt->ctx_);
    rt->threads_->workers.reserve(WORKER_THREADS);
    for (int i = 0; i < WORKER_THREADS; ++i) {
      rt->threads_->workers.emplace_back(worker_main, rt->ctx_.get());
    }
  } catch (const std::system_error& e) {
    rt->shutdown_and_wait();  // joins the workers that did start
    return err(e.code().message());
  } catch (const std::exception& e) {
    rt->shutdown_and_wait();
    return err(std::string(e.what()));
  }
  return rt;
}

Executor Runtime::executor() const {
  std::lock_guard<std::mutex> lock(mu_);
  if (!ctx_) throw RuntimeStopped();
  return ctx_->get_executor();
}

bool Runtime::on_worker_thread() noexcept { return tl_worker; }

void Runtime::check_blocking_allowed() {
  if (on_worker_thread()) throw BlockingOnWorker();
}

namespace {

// Joins the workers, then destroys the context, which destroys every pending
// handler and with them the frames of all suspended coroutines.
void finish(std::unique_ptr<asio::io_context> ctx, std::vector<std::thread> workers) noexcept {
  for (std::thread& w : workers) {
    if (w.joinable()) w.join();
  }
  try {
    ctx.reset();
  } catch (...) {
    // A destructor threw during teardown; nothing is left to tell.
  }
}

}  // namespace

Runtime::Stopped Runtime::take_and_stop() noexcept {
  Stopped out;
  std::unique_ptr<Threads> threads;
  {
    std::lock_guard<std::mutex> lock(mu_);
    out.ctx = std::move(ctx_);
    threads = std::move(threads_);
  }
  if (!out.ctx) return out;
  if (threads) {
    threads->guard.reset();
    out.workers = std::move(threads->workers);
  }
  // Stopping is immediate and thread-safe: the workers leave run() once their
  // current handlers return, also when this is one of them.
  out.ctx->stop();
  return out;
}

void Runtime::shutdown_in_background() noexcept {
  Stopped stopped = take_and_stop();
  if (!stopped.ctx) return;
  auto* job = new (std::nothrow) Stopped{std::move(stopped)};
  if (job == nullptr) {
    // Out of memory: nothing can be handed over. The workers end on their own
    // (the context is stopped); the context is leaked, never destroyed under them.
    for (std::thread& w : stopped.workers) {
      if (w.joinable()) w.detach();
    }
    (void)stopped.ctx.release();
    return;
  }
  try {
    std::thread([job] {
      tl_worker = true;
      name_thread("vardimont-reap");
      finish(std::move(job->ctx), std::move(job->workers));
      delete job;
    }).detach();
  } catch (...) {
    // No thread for the reaper: as above, let the workers end and leak the context.
    for (std::thread& w : job->workers) {
      if (w.joinable()) w.detach();
    }
    (void)job->ctx.release();
    delete job;
  }
}

void Runtime::shutdown_and_wait() noexcept {
  if (on_worker_thread()) {
    shutdown_in_background();
    return;
  }
  Stopped stopped = take_and_stop();
  if (!stopped.ctx) return;
  tl_worker = true;  // the teardown below runs task destructors
  finish(std::move(stopped.ctx), std::move(stopped.workers));
  tl_worker = false;
}

}  // namespace vardimont::async
