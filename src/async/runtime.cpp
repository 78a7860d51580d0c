#include "async/runtime.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <exception>
#include <limits>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "async/blocking_pool.h"
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

// ---- fork

// Asio keeps the reactor's epoll descriptor private and has no accessor for
// it. A pointer to the member may be named in an explicit instantiation,
// where access is not checked; the friend function defined there hands it out.
static_assert(std::is_same_v<asio::detail::reactor, asio::detail::epoll_reactor>,
              "the fork handling reads the descriptors that an epoll reactor watches");
int asio::detail::epoll_reactor::*epoll_descriptor_member() noexcept;
template <int asio::detail::epoll_reactor::*Member>
struct EpollDescriptorAccess {
  friend int asio::detail::epoll_reactor::*epoll_descriptor_member() noexcept { return Member; }
};
template struct EpollDescriptorAccess<&asio::detail::epoll_reactor::epoll_fd_>;

int epoll_descriptor(asio::io_context& ctx) {
  return asio::use_service<asio::detail::epoll_reactor>(ctx).*epoll_descriptor_member();
}

// Counts the forks that this process is the child of: a runtime built in an
// earlier generation was inherited from a parent.
std::atomic<std::uint64_t> g_fork_generation{0};

// The epoll descriptor of every context whose reactor exists, from its
// creation until its tasks have been dropped. The lock is held for one
// change and across fork() (by the forking thread), so that the child finds
// the list whole and the lock free.
struct ForkRegistry {
  std::mutex mu;
  std::vector<int> reactors;
};

ForkRegistry& fork_registry() {
  static ForkRegistry* const r = new ForkRegistry();  // never destroyed: reapers may outlive statics
  return *r;
}

void remember_reactor(int fd) {
  ForkRegistry& r = fork_registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.reactors.push_back(fd);
}

void forget_reactor(int fd) noexcept {
  if (fd < 0) return;
  ForkRegistry& r = fork_registry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto found = std::find(r.reactors.begin(), r.reactors.end(), fd);
  if (found != r.reactors.end()) r.reactors.erase(found);
}

// The number at the start of `text` (in `base`), skipping blanks; false when
// there is none.
bool parse_number(std::string_view text, int base, unsigned long long& out) noexcept {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  const std::size_t first = i;
  unsigned long long value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (digit < 0) break;
    value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
  }
  out = value;
  return i > first;
}

// One line of an epoll descriptor's fdinfo: "tfd: N events: ... ino:HEX ..."
// names a descriptor that it watches. Closes that descriptor when it is still
// the file that was registered (same inode).
void close_watched(std::string_view line) noexcept {
  constexpr std::string_view TFD = "tfd:";
  constexpr std::string_view INO = " ino:";
  if (line.substr(0, TFD.size()) != TFD) return;
  unsigned long long fd = 0;
  unsigned long long ino = 0;
  const std::size_t at = line.find(INO);
  if (!parse_number(line.substr(TFD.size()), 10, fd) || at == std::string_view::npos ||
      !parse_number(line.substr(at + INO.size()), 16, ino)) {
    return;  // without the inode the number may name another file by now
  }
  struct stat st {};
  if (fd > static_cast<unsigned long long>(std::numeric_limits<int>::max())) return;
  if (::fstat(static_cast<int>(fd), &st) != 0) return;
  if (static_cast<unsigned long long>(st.st_ino) == ino) ::close(static_cast<int>(fd));
}

// In a forked child: closes every descriptor that the reactor with the epoll
// descriptor `epoll_fd` watches (the context's sockets, the reactor's
// interrupter and timer descriptor), then `epoll_fd`. The kernel lists them
// in /proc/self/fdinfo/<epoll_fd>, all of it produced at the first read, so
// closing them meanwhile changes nothing of what is read. Only system calls,
// no allocation: the child may hold nothing that the parent's threads had.
void close_reactor_in_child(int epoll_fd) noexcept {
  char path[32] = "/proc/self/fdinfo/";
  std::size_t len = std::strlen(path);
  char digits[12];
  std::size_t n = 0;
  for (unsigned v = static_cast<unsigned>(epoll_fd); n == 0 || v != 0; v /= 10) {
    digits[n++] = static_cast<char>('0' + v % 10);
  }
  while (n > 0) path[len++] = digits[--n];
  path[len] = '\0';

  const int info = ::open(path, O_RDONLY | O_CLOEXEC);
  if (info >= 0) {
    char buf[4096];
    std::size_t have = 0;
    bool overlong = false;  // inside a line longer than the buffer: not one of an item
    for (;;) {
      const ssize_t got = ::read(info, buf + have, sizeof buf - have);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      have += static_cast<std::size_t>(got);
      std::size_t start = 0;
      for (std::size_t i = 0; i < have; ++i) {
        if (buf[i] != '\n') continue;
        if (!overlong) close_watched(std::string_view(buf + start, i - start));
        overlong = false;
        start = i + 1;
      }
      std::memmove(buf, buf + start, have - start);
      have -= start;
      if (have == sizeof buf) {
        overlong = true;
        have = 0;
      }
    }
    ::close(info);
  }
  ::close(epoll_fd);
}

void fork_prepare() noexcept { fork_registry().mu.lock(); }
void fork_parent() noexcept { fork_registry().mu.unlock(); }
void fork_child() noexcept {
  ForkRegistry& r = fork_registry();
  g_fork_generation.fetch_add(1, std::memory_order_relaxed);
  for (const int fd : r.reactors) close_reactor_in_child(fd);
  r.reactors.clear();
  r.mu.unlock();
}

// Registered when the library is loaded, before any runtime exists.
[[maybe_unused]] const int fork_handlers = ::pthread_atfork(fork_prepare, fork_parent, fork_child);

}  // namespace

BlockingOnWorker::BlockingOnWorker()
    : std::runtime_error("blocking call refused on a runtime worker thread") {}

RuntimeStopped::RuntimeStopped() : std::runtime_error("the runtime has been shut down") {}

struct Runtime::Threads {
  explicit Threads(asio::io_context& ctx) : guard(asio::make_work_guard(ctx)) {}

  asio::executor_work_guard<asio::io_context::executor_type> guard;
  std::vector<std::thread> workers;
};

Runtime::Runtime() : generation_(g_fork_generation.load(std::memory_order_relaxed)) {}

bool Runtime::abandoned() const noexcept {
  return generation_ != g_fork_generation.load(std::memory_order_relaxed);
}

Runtime::~Runtime() { shutdown_in_background(); }

Result<std::shared_ptr<Runtime>, std::string> Runtime::create() {
  std::shared_ptr<Runtime> rt(new Runtime());
  try {
    // Asio makes the parts of a context that need descriptors when they are
    // first used: the reactor (its epoll descriptor, interrupter and timer
    // descriptor) with the first socket, timer or wait, on a worker. A
    // Context makes them at once instead, and the services the tasks use are
    // made here, so that a failure is this function's error and not an
    // exception out of a task.
    rt->ctx_ = std::make_unique<Context>(WORKER_THREADS);
    (void)BlockingPool::of(rt->ctx_->get_executor());
    const int reactor_fd = epoll_descriptor(*rt->ctx_);
    remember_reactor(reactor_fd);
    rt->reactor_fd_ = reactor_fd;
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
  if (abandoned()) throw RuntimeStopped();
  std::lock_guard<std::mutex> lock(mu_);
  if (!ctx_) throw RuntimeStopped();
  return ctx_->get_executor();
}

bool Runtime::on_worker_thread() noexcept { return tl_worker; }

void Runtime::check_blocking_allowed() {
  if (on_worker_thread()) throw BlockingOnWorker();
}

// Joins the workers, then shuts the context down, which abandons every wait
// and destroys every pending handler and with them the frames of all
// suspended coroutines (closing their sockets), and destroys it, which closes
// the reactor. The context leaves the
// fork registry in between: until then a fork closes in the child what the
// context still holds, and from then on its epoll descriptor may go.
void Runtime::finish(Stopped stopped) noexcept {
  for (std::thread& w : stopped.workers) {
    if (w.joinable()) w.join();
  }
  try {
    stopped.ctx->shutdown();
  } catch (...) {
    // A destructor threw during teardown; nothing is left to tell.
  }
  forget_reactor(stopped.reactor_fd);
  try {
    stopped.ctx.reset();
  } catch (...) {
  }
}

Runtime::Stopped Runtime::take_and_stop() noexcept {
  Stopped out;
  if (abandoned()) {
    // Inherited by a forked child: its workers and the threads that could
    // hold its locks are not here. Everything is left as it is.
    (void)ctx_.release();
    (void)threads_.release();
    return out;
  }
  std::unique_ptr<Threads> threads;
  {
    std::lock_guard<std::mutex> lock(mu_);
    out.ctx = std::move(ctx_);
    threads = std::move(threads_);
    out.reactor_fd = std::exchange(reactor_fd_, -1);
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
      finish(std::move(*job));
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
  finish(std::move(stopped));
  tl_worker = false;
}

}  // namespace vardimont::async
