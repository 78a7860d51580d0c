#include "async/runtime.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <latch>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "async/broadcast.h"
#include "async/queue.h"
#include "eventually.h"
#include "log/log.h"

namespace vardimont::async {
namespace {

using namespace std::chrono_literals;

using test::eventually;

std::shared_ptr<Runtime> make_runtime() {
  auto made = Runtime::create();
  if (!made.ok()) throw std::runtime_error(made.error());
  return made.value();
}

// Sets its flag when destroyed: placed in a coroutine frame, it tells when the
// frame is gone.
struct DestroyFlag {
  explicit DestroyFlag(std::shared_ptr<std::atomic<bool>> f) : flag(std::move(f)) {}
  DestroyFlag(DestroyFlag&&) = default;
  ~DestroyFlag() {
    if (flag) *flag = true;
  }
  std::shared_ptr<std::atomic<bool>> flag;
};

// A task that never ends by itself: it waits on a queue nobody feeds and on a
// timer that never expires.
awaitable<void> wait_forever(DestroyFlag flag, Receiver<int> rx) {
  (void)flag;
  asio::steady_timer timer(co_await asio::this_coro::executor);
  timer.expires_at(asio::steady_timer::time_point::max());
  (void)co_await rx.recv();
  co_await timer.async_wait(use_awaitable);
}

struct NoDefault {
  explicit NoDefault(int v) : value(v) {}
  int value;
};

TEST(Runtime, RunsOnExactlyTwoWorkers) {
  auto rt = make_runtime();
  EXPECT_FALSE(Runtime::on_worker_thread());
  // Two handlers that wait for each other can only finish on two threads.
  std::latch both(2);
  std::mutex mu;
  std::set<std::thread::id> ids;
  std::atomic<int> on_worker{0};
  std::atomic<int> done{0};
  for (int i = 0; i < 2; ++i) {
    asio::post(rt->executor(), [&] {
      if (Runtime::on_worker_thread()) ++on_worker;
      both.arrive_and_wait();
      ++done;
    });
  }
  // And no handler ever runs on a third thread.
  for (int i = 0; i < 200; ++i) {
    asio::post(rt->executor(), [&] {
      std::lock_guard<std::mutex> lock(mu);
      ids.insert(std::this_thread::get_id());
      ++done;
    });
  }
  ASSERT_TRUE(eventually([&] { return done.load() == 202; }));
  EXPECT_EQ(on_worker.load(), 2);
  {
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_LE(ids.size(), 2u);
    EXPECT_EQ(ids.count(std::this_thread::get_id()), 0u);
  }
  rt->shutdown_and_wait();
}

TEST(Runtime, BlockOnFromAPlainThreadReturnsTheValue) {
  auto rt = make_runtime();
  EXPECT_EQ(rt->block_on([]() -> awaitable<int> {
              EXPECT_TRUE(Runtime::on_worker_thread());
              co_return 42;
            }()),
            42);
  // A value type without a default constructor.
  EXPECT_EQ(rt->block_on([]() -> awaitable<NoDefault> { co_return NoDefault(7); }()).value, 7);
  bool ran = false;
  rt->block_on([](bool& ran) -> awaitable<void> {
    ran = true;
    co_return;
  }(ran));
  EXPECT_TRUE(ran);
  // Waiting inside the operation parks the caller until it completes.
  auto [tx, rx] = make_queue<int>(1);
  std::thread feeder([tx = std::move(tx)]() mutable { EXPECT_TRUE(tx.blocking_send(5)); });
  EXPECT_EQ(rt->block_on(rx.recv()), 5);
  feeder.join();
  rt->shutdown_and_wait();
}

TEST(Runtime, BlockOnRethrowsTheOperationsException) {
  auto rt = make_runtime();
  EXPECT_THROW(rt->block_on([]() -> awaitable<int> {
    throw std::logic_error("boom");
    co_return 0;
  }()),
               std::logic_error);
  rt->shutdown_and_wait();
}

TEST(Runtime, AHandlerThatThrowsIsLoggedAndTheWorkersGoOn) {
  std::mutex mu;
  std::vector<std::string> lines;
  log::install_for_tests(std::make_shared<const log::Filter>(log::Filter::errors_only()), false,
                         [&](std::string_view line) {
                           std::lock_guard<std::mutex> lock(mu);
                           lines.emplace_back(line);
                         });
  auto rt = make_runtime();
  for (int i = 0; i < 2 * WORKER_THREADS; ++i) {
    asio::post(rt->executor(), [] { throw std::runtime_error("boom"); });
  }
  EXPECT_EQ(rt->block_on([]() -> awaitable<int> { co_return 3; }()), 3);
  ASSERT_TRUE(eventually([&] {
    std::lock_guard<std::mutex> lock(mu);
    return lines.size() == 2 * WORKER_THREADS;
  }));
  rt->shutdown_and_wait();
  log::install_for_tests(nullptr, false, {});
  for (const std::string& line : lines) {
    EXPECT_NE(line.find(" ERROR _core::runtime: task failed with an exception e=boom"),
              std::string::npos)
        << line;
  }
}

TEST(Runtime, BlockingOnAWorkerThrowsInsteadOfDeadlocking) {
  auto rt = make_runtime();
  EXPECT_NO_THROW(Runtime::check_blocking_allowed());
  std::atomic<int> refused{0};
  std::atomic<bool> finished{false};
  asio::post(rt->executor(), [&] {
    try {
      Runtime::check_blocking_allowed();
    } catch (const BlockingOnWorker& e) {
      EXPECT_STREQ(e.what(), "blocking call refused on a runtime worker thread");
      ++refused;
    }
    try {
      (void)rt->block_on([]() -> awaitable<int> { co_return 1; }());
    } catch (const BlockingOnWorker&) {
      ++refused;
    }
    finished = true;
  });
  ASSERT_TRUE(eventually([&] { return finished.load(); }));
  EXPECT_EQ(refused.load(), 2);
  rt->shutdown_and_wait();
}

TEST(Runtime, ShutdownInBackgroundReturnsAtOnceAndDropsSuspendedTasks) {
  auto rt = make_runtime();
  auto [tx, rx] = make_queue<int>(1);
  auto a = std::make_shared<std::atomic<bool>>(false);
  auto b = std::make_shared<std::atomic<bool>>(false);
  asio::co_spawn(rt->executor(), wait_forever(DestroyFlag(a), std::move(rx)), asio::detached);
  auto [tx2, rx2] = make_queue<int>(1);
  asio::co_spawn(rt->executor(), wait_forever(DestroyFlag(b), std::move(rx2)), asio::detached);
  // Let both reach their waits (queued tasks are dropped just the same).
  rt->block_on([]() -> awaitable<void> { co_return; }());

  rt->shutdown_in_background();
  rt->shutdown_in_background();  // idempotent
  EXPECT_TRUE(eventually([&] { return a->load() && b->load(); }));
  // Dropping the frames dropped their receivers.
  EXPECT_TRUE(eventually([&] { return tx.closed() && tx2.closed(); }));
  EXPECT_THROW(rt->block_on([]() -> awaitable<int> { co_return 1; }()), RuntimeStopped);
  EXPECT_THROW((void)rt->executor(), RuntimeStopped);
}

// A caller parked in block_on learns of a shutdown that drops its operation,
// whether the operation was already suspended or still queued behind busy
// workers (then it never ran at all).
TEST(Runtime, ShutdownDropsTheOperationABlockedCallerWaitsFor) {
  for (const bool started : {true, false}) {
    SCOPED_TRACE(started ? "operation suspended" : "operation queued");
    auto rt = make_runtime();
    auto [tx, rx] = make_queue<int>(1);
    // Shared: a worker may still be inside wait() when this iteration ends.
    auto release_workers = std::make_shared<std::latch>(1);
    if (!started) {
      for (int i = 0; i < WORKER_THREADS; ++i) {
        asio::post(rt->executor(), [release_workers] { release_workers->wait(); });
      }
    }
    std::atomic<bool> running{false};
    std::atomic<bool> calling{false};
    std::atomic<int> outcome{0};
    std::thread caller([&, rx = std::move(rx)]() mutable {
      try {
        calling = true;
        (void)rt->block_on([](Receiver<int> rx, std::atomic<bool>& running) -> awaitable<int> {
          running = true;
          co_return (co_await rx.recv()).value_or(-1);
        }(std::move(rx), running));
        outcome = 1;
      } catch (const RuntimeStopped&) {
        outcome = 2;
      }
    });
    ASSERT_TRUE(eventually([&] { return started ? running.load() : calling.load(); }));
    rt->shutdown_in_background();
    release_workers->count_down();
    // A caller left waiting would hang here; fail instead (a joinable thread
    // then ends the test binary).
    ASSERT_TRUE(eventually([&] { return outcome.load() != 0; }));
    caller.join();
    EXPECT_EQ(outcome.load(), 2);
    EXPECT_FALSE(!started && running.load()) << "a stopped runtime ran a queued task";
  }
}

TEST(Runtime, ShutdownFromAWorkerThread) {
  auto rt = make_runtime();
  auto flag = std::make_shared<std::atomic<bool>>(false);
  auto [tx, rx] = make_queue<int>(1);
  asio::co_spawn(rt->executor(), wait_forever(DestroyFlag(flag), std::move(rx)), asio::detached);
  std::atomic<bool> returned{false};
  // The post must be complete before the context can go away.
  std::promise<void> posted;
  asio::post(rt->executor(), [&rt, &returned, go = posted.get_future()] {
    go.wait();
    rt->shutdown_in_background();
    returned = true;
  });
  posted.set_value();
  EXPECT_TRUE(eventually([&] { return returned.load() && flag->load(); }));
}

TEST(Runtime, ShutdownAndWaitFromAWorkerDoesNotJoinItself) {
  auto rt = make_runtime();
  auto flag = std::make_shared<std::atomic<bool>>(false);
  auto [tx, rx] = make_queue<int>(1);
  asio::co_spawn(rt->executor(), wait_forever(DestroyFlag(flag), std::move(rx)), asio::detached);
  std::promise<void> posted;
  asio::post(rt->executor(), [&rt, go = posted.get_future()] {
    go.wait();
    rt->shutdown_and_wait();
  });
  posted.set_value();
  EXPECT_TRUE(eventually([&] { return flag->load(); }));
}

TEST(Runtime, ShutdownAndWaitHasDroppedEverythingWhenItReturns) {
  auto rt = make_runtime();
  auto flag = std::make_shared<std::atomic<bool>>(false);
  auto [tx, rx] = make_queue<int>(1);
  asio::co_spawn(rt->executor(), wait_forever(DestroyFlag(flag), std::move(rx)), asio::detached);
  rt->block_on([]() -> awaitable<void> { co_return; }());
  rt->shutdown_and_wait();
  EXPECT_TRUE(flag->load());
  EXPECT_TRUE(tx.closed());
}

TEST(Runtime, DestroyingTheRuntimeShutsItDown) {
  auto flag = std::make_shared<std::atomic<bool>>(false);
  auto [tx, rx] = make_queue<int>(1);
  {
    auto rt = make_runtime();
    asio::co_spawn(rt->executor(), wait_forever(DestroyFlag(flag), std::move(rx)),
                   asio::detached);
  }
  EXPECT_TRUE(eventually([&] { return flag->load(); }));
}

TEST(Runtime, TaskDestructorsRunOnAThreadThatRefusesBlocking) {
  auto rt = make_runtime();
  auto seen = std::make_shared<std::atomic<int>>(0);
  struct Probe {
    explicit Probe(std::shared_ptr<std::atomic<int>> s) : seen(std::move(s)) {}
    Probe(Probe&&) = default;
    std::shared_ptr<std::atomic<int>> seen;
    ~Probe() {
      if (seen) *seen = Runtime::on_worker_thread() ? 1 : 2;
    }
  };
  auto [tx, rx] = make_queue<int>(1);
  asio::co_spawn(
      rt->executor(),
      [](Probe probe, Receiver<int> rx) -> awaitable<void> {
        (void)probe;
        (void)co_await rx.recv();
      }(Probe(seen), std::move(rx)),
      asio::detached);
  rt->block_on([]() -> awaitable<void> { co_return; }());
  rt->shutdown_in_background();
  ASSERT_TRUE(eventually([&] { return seen->load() != 0; }));
  EXPECT_EQ(seen->load(), 1);
}

// Threads outside the runtime keep waking its tasks (publishing, queueing,
// finally dropping the last sending ends) while the reaper tears it down.
TEST(Runtime, TeardownIsSafeWhileOtherThreadsWakeItsTasks) {
  struct CountOnDestroy {
    explicit CountOnDestroy(std::shared_ptr<std::atomic<int>> c) : count(std::move(c)) {}
    CountOnDestroy(CountOnDestroy&&) = default;
    ~CountOnDestroy() {
      if (count) ++*count;
    }
    std::shared_ptr<std::atomic<int>> count;
  };
  constexpr int kTasks = 6;
  for (int round = 0; round < 8; ++round) {
    auto rt = make_runtime();
    auto events = std::make_unique<BroadcastSender<int>>(64);
    auto [qtx, qrx] = make_queue<int>(4);
    auto queue_tx = std::make_unique<Sender<int>>(std::move(qtx));
    auto gone = std::make_shared<std::atomic<int>>(0);
    for (int i = 0; i < kTasks; ++i) {
      asio::co_spawn(
          rt->executor(),
          [](CountOnDestroy c, BroadcastReceiver<int> rx) -> awaitable<void> {
            (void)c;
            for (;;) {
              auto item = co_await rx.recv();
              if (std::holds_alternative<Closed>(item)) co_return;
            }
          }(CountOnDestroy(gone), events->subscribe()),
          asio::detached);
    }
    asio::co_spawn(
        rt->executor(),
        [](CountOnDestroy c, Receiver<int> rx) -> awaitable<void> {
          (void)c;
          while (co_await rx.recv()) {
          }
        }(CountOnDestroy(gone), std::move(qrx)),
        asio::detached);
    std::thread notifier([&events, &queue_tx] {
      for (int i = 0; i < 3000; ++i) {
        (void)events->publish(i);
        int v = i;
        (void)queue_tx->try_send(v);
      }
      events.reset();
      queue_tx.reset();
    });
    if (round % 2 == 1) std::this_thread::yield();
    rt->shutdown_in_background();
    notifier.join();
    ASSERT_TRUE(eventually([&] { return gone->load() == kTasks + 1; }));
  }
}

// A forked child closes the descriptors of the runtimes that it inherited (a
// listener and an accepted connection here) and nothing else, and counts them
// as shut down; the parent's runtime, its listener and its connection go on.
TEST(Runtime, AForkedChildClosesTheRuntimesDescriptorsAndTheParentGoesOn) {
  using asio::ip::tcp;
  auto rt = make_runtime();
  tcp::acceptor listener(rt->executor());
  listener.open(tcp::v4());
  listener.bind(tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  listener.listen();
  const auto connect_client = [&] {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(listener.local_endpoint().port());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    return fd;
  };
  const int client = connect_client();
  tcp::socket accepted = rt->block_on(listener.async_accept(use_awaitable));

  const pid_t pid = ::fork();
  if (pid == 0) {
    const auto closed = [](int fd) { return ::fcntl(fd, F_GETFD) == -1 && errno == EBADF; };
    int failed = 0;
    if (!closed(listener.native_handle())) failed |= 1;
    if (!closed(accepted.native_handle())) failed |= 2;
    if (closed(client)) failed |= 4;  // not the runtime's
    try {
      (void)rt->executor();
      failed |= 8;
    } catch (const RuntimeStopped&) {
    }
    rt.reset();  // leaves the context and its (absent) workers behind
    ::_exit(failed);
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  const bool ended = eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; });
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  ASSERT_TRUE(ended) << "the child hung";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1 listener open, 2 connection open, 4 other closed, 8 not stopped";

  ASSERT_EQ(::write(client, "x", 1), 1);
  char byte = 0;
  EXPECT_EQ(rt->block_on(accepted.async_read_some(asio::buffer(&byte, 1), use_awaitable)), 1u);
  EXPECT_EQ(byte, 'x');
  const int second = connect_client();
  EXPECT_TRUE(rt->block_on(listener.async_accept(use_awaitable)).is_open());
  ::close(second);
  ::close(client);
}

}  // namespace
}  // namespace vardimont::async
