#include "async/queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "async/context.h"
#include "async/runtime.h"
#include "eventually.h"

namespace vardimont::async {
namespace {

using namespace std::chrono_literals;
using asio::experimental::awaitable_operators::operator||;

using test::eventually;

// Spawns `aw` on `ctx`, recording an escaping exception instead of losing it.
template <class Aw>
void spawn(asio::io_context& ctx, Aw aw, std::exception_ptr* failure = nullptr) {
  asio::co_spawn(ctx, std::move(aw), [failure](std::exception_ptr e) {
    if (e && failure != nullptr) *failure = e;
  });
}

TEST(Queue, CapacityIsValidated) {
  EXPECT_THROW(make_queue<int>(0), std::invalid_argument);
  EXPECT_THROW(make_queue<int>(MAX_QUEUE_CAPACITY + 1), std::invalid_argument);
  // The largest capacity allocates nothing in advance.
  auto [tx, rx] = make_queue<int>(MAX_QUEUE_CAPACITY);
  int v = 7;
  EXPECT_EQ(tx.try_send(v), TrySend::Ok);
  EXPECT_EQ(rx.try_recv(), 7);
}

TEST(Queue, TrySendReportsFullAndClosedAndLeavesTheItem) {
  auto [tx, rx] = make_queue<std::unique_ptr<int>>(2);
  auto a = std::make_unique<int>(1);
  auto b = std::make_unique<int>(2);
  auto c = std::make_unique<int>(3);
  EXPECT_EQ(tx.try_send(a), TrySend::Ok);
  EXPECT_EQ(tx.try_send(b), TrySend::Ok);
  EXPECT_EQ(a, nullptr);
  EXPECT_EQ(tx.try_send(c), TrySend::Full);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(*c, 3);
  EXPECT_EQ(rx.size(), 2u);
  EXPECT_FALSE(tx.closed());

  { auto dropped = std::move(rx); }
  EXPECT_TRUE(tx.closed());
  EXPECT_EQ(tx.try_send(c), TrySend::Closed);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(*c, 3);
  EXPECT_FALSE(tx.blocking_send(std::move(c)));
}

TEST(Queue, SameQueueIsQueueIdentity) {
  auto [tx1, rx1] = make_queue<int>(1);
  auto [tx2, rx2] = make_queue<int>(1);
  Sender<int> copy = tx1;
  EXPECT_TRUE(copy.same_queue(tx1));
  EXPECT_FALSE(tx1.same_queue(tx2));
}

TEST(Queue, CapacityOneSecondSendWaitsForTheReceiver) {
  Context ctx;
  auto [tx, rx] = make_queue<int>(1);
  int sent = 0;
  std::exception_ptr failure;
  spawn(
      ctx,
      [](Sender<int> tx, int& sent) -> awaitable<void> {
        for (int i = 1; i <= 3; ++i) {
          EXPECT_TRUE(co_await tx.send(i));
          sent = i;
        }
      }(tx, sent),
      &failure);

  ctx.poll();
  EXPECT_EQ(sent, 1);
  EXPECT_EQ(rx.size(), 1u);
  ctx.poll();
  EXPECT_EQ(sent, 1) << "a full queue must hold the second send back";

  EXPECT_EQ(rx.try_recv(), 1);
  ctx.poll();
  EXPECT_EQ(sent, 2);
  EXPECT_EQ(rx.try_recv(), 2);
  ctx.poll();
  EXPECT_EQ(sent, 3);
  EXPECT_EQ(rx.try_recv(), 3);
  EXPECT_EQ(rx.try_recv(), std::nullopt);
  ctx.run();
  EXPECT_FALSE(failure);
}

TEST(Queue, CapacityOneBlockingSendWaitsForTheReceiver) {
  auto [tx, rx] = make_queue<int>(1);
  std::atomic<int> sent{0};
  std::thread producer([&sent, tx = tx]() mutable {
    for (int i = 1; i <= 3; ++i) {
      EXPECT_TRUE(tx.blocking_send(i));
      sent = i;
    }
  });
  for (int i = 1; i <= 3; ++i) {
    ASSERT_TRUE(eventually([&] { return rx.size() == 1; }));
    // The producer can't be past send i+1 while item i is still queued.
    EXPECT_LE(sent.load(), i);
    EXPECT_EQ(rx.try_recv(), i);
  }
  producer.join();
  EXPECT_EQ(sent.load(), 3);
}

// The receiver drains what was queued after the last sender is gone; recv
// then reports the end. A recv that is waiting when the last sender goes is
// woken with the end.
// send() and send_until() hold their own sending end from the call on: the
// Sender they were called on may be gone before they are awaited.
TEST(Queue, ASendOutlivesTheSenderItWasStartedFrom) {
  Context ctx;
  auto [tx, rx] = make_queue<int>(2);
  Sender<int> first = tx;
  Sender<int> second = tx;
  awaitable<bool> sending = first.send(1);
  awaitable<TrySend> sending_until = second.send_until(2, std::chrono::steady_clock::now() + 1s);
  { auto gone = std::move(first); }
  { auto gone = std::move(second); }
  bool sent = false;
  TrySend sent_until = TrySend::Closed;
  spawn(ctx, [](awaitable<bool> a, awaitable<TrySend> b, bool& sent, TrySend& sent_until) -> awaitable<void> {
    sent = co_await std::move(a);
    sent_until = co_await std::move(b);
  }(std::move(sending), std::move(sending_until), sent, sent_until));
  ctx.run();
  EXPECT_TRUE(sent);
  EXPECT_EQ(sent_until, TrySend::Ok);
  EXPECT_EQ(rx.try_recv(), 1);
  EXPECT_EQ(rx.try_recv(), 2);
}

TEST(Queue, ReceiverDrainsAfterLastSenderThenSeesTheEnd) {
  Context ctx;
  auto [tx, rx] = make_queue<int>(4);
  for (int i = 0; i < 3; ++i) {
    int v = i;
    ASSERT_EQ(tx.try_send(v), TrySend::Ok);
  }
  Sender<int> second = tx;
  { auto gone = std::move(tx); }
  std::vector<int> got;
  bool ended = false;
  spawn(ctx, [](Receiver<int>& rx, std::vector<int>& got, bool& ended) -> awaitable<void> {
    while (std::optional<int> v = co_await rx.recv()) got.push_back(*v);
    ended = true;
  }(rx, got, ended));
  ctx.poll();
  EXPECT_EQ(got, (std::vector<int>{0, 1, 2}));
  EXPECT_FALSE(ended) << "one sending end is left";
  { auto gone = std::move(second); }
  ctx.run();
  EXPECT_TRUE(ended);
  EXPECT_EQ(rx.blocking_recv(), std::nullopt);
}

TEST(Queue, BlockingRecvDrainsThenEnds) {
  auto [tx, rx] = make_queue<int>(8);
  std::thread producer([tx = std::move(tx)]() mutable {
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(tx.blocking_send(i));
  });
  std::vector<int> got;
  while (std::optional<int> v = rx.blocking_recv()) got.push_back(*v);
  producer.join();
  EXPECT_EQ(got, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(Queue, DroppingTheReceiverFailsWaitingSenders) {
  Context ctx;
  auto [tx, rx] = make_queue<int>(1);
  int v = 0;
  ASSERT_EQ(tx.try_send(v), TrySend::Ok);
  std::optional<bool> coroutine_result;
  spawn(ctx, [](Sender<int> tx, std::optional<bool>& r) -> awaitable<void> {
    r = co_await tx.send(1);
  }(tx, coroutine_result));
  ctx.poll();
  EXPECT_FALSE(coroutine_result.has_value());

  std::atomic<int> thread_result{-1};
  std::thread blocked([&thread_result, tx = tx]() mutable {
    thread_result = tx.blocking_send(2) ? 1 : 0;
  });
  // The thread waits or will wait: the queue stays full until the drop.
  { auto gone = std::move(rx); }
  blocked.join();
  EXPECT_EQ(thread_result.load(), 0);
  ctx.run();
  ASSERT_TRUE(coroutine_result.has_value());
  EXPECT_FALSE(*coroutine_result);
}

// An item whose destructor drops the last sending end of its own queue: the
// queue must destroy items outside its lock.
struct ReentrantItem {
  std::shared_ptr<std::optional<Sender<ReentrantItem>>> holder;
  int* destroyed;
  ~ReentrantItem() {
    if (holder && *holder) {
      holder->reset();
      ++*destroyed;
    }
  }
  ReentrantItem(std::shared_ptr<std::optional<Sender<ReentrantItem>>> h, int* d)
      : holder(std::move(h)), destroyed(d) {}
  ReentrantItem(ReentrantItem&& o) noexcept : holder(std::move(o.holder)), destroyed(o.destroyed) {}
  ReentrantItem& operator=(ReentrantItem&&) = delete;
};

TEST(Queue, QueuedItemsAreDestroyedOutsideTheLock) {
  int destroyed = 0;
  auto [tx, rx] = make_queue<ReentrantItem>(4);
  auto holder = std::make_shared<std::optional<Sender<ReentrantItem>>>(std::move(tx));
  ReentrantItem item(holder, &destroyed);
  ASSERT_EQ((*holder)->try_send(item), TrySend::Ok);
  { auto gone = std::move(rx); }  // destroys the item, which drops the last sender
  EXPECT_EQ(destroyed, 1);
}

// A receive that loses a race against another one in `||` takes nothing,
// whether it was still waiting or its item arrived in the same turn.
TEST(Queue, CancelledRecvTakesNothing) {
  for (const bool item_arrives_too : {false, true}) {
    SCOPED_TRACE(item_arrives_too ? "item arrives with the cancellation" : "still waiting");
    Context ctx;
    auto [tx, rx] = make_queue<int>(4);
    auto [other_tx, other_rx] = make_queue<int>(4);
    std::variant<std::optional<int>, std::optional<int>> winner;
    std::exception_ptr failure;
    spawn(
        ctx,
        [](Receiver<int>& rx, Receiver<int>& other,
           std::variant<std::optional<int>, std::optional<int>>& winner) -> awaitable<void> {
          winner = co_await (rx.recv() || other.recv());
        }(rx, other_rx, winner),
        &failure);
    ctx.poll();  // both receives wait
    int v = 5;
    ASSERT_EQ(other_tx.try_send(v), TrySend::Ok);
    int w = 6;
    if (item_arrives_too) {
      ASSERT_EQ(tx.try_send(w), TrySend::Ok);
    }
    ctx.poll();  // the other queue wins; the first receive is cancelled
    ASSERT_EQ(winner.index(), 1u);
    EXPECT_EQ(std::get<1>(winner), 5);
    // Nothing was taken from the first queue, and its cancelled receive is no
    // longer registered: an item sent now stays queued.
    if (!item_arrives_too) {
      ASSERT_EQ(tx.try_send(w), TrySend::Ok);
    }
    ctx.run();
    EXPECT_FALSE(failure);
    EXPECT_EQ(rx.try_recv(), 6);
  }
}

TEST(Queue, CancelledSendQueuesNothing) {
  for (const bool room_appears_too : {false, true}) {
    SCOPED_TRACE(room_appears_too ? "room appears with the cancellation" : "still waiting");
    Context ctx;
    auto [tx, rx] = make_queue<int>(1);
    auto [stop_tx, stop_rx] = make_queue<int>(1);
    int v = 1;
    ASSERT_EQ(tx.try_send(v), TrySend::Ok);
    std::exception_ptr failure;
    spawn(
        ctx,
        [](Sender<int> tx, Receiver<int>& stop) -> awaitable<void> {
          auto r = co_await (tx.send(2) || stop.recv());
          EXPECT_EQ(r.index(), 1u);
        }(tx, stop_rx),
        &failure);
    ctx.poll();
    int s = 0;
    ASSERT_EQ(stop_tx.try_send(s), TrySend::Ok);
    if (room_appears_too) {
      EXPECT_EQ(rx.try_recv(), 1);
    }
    ctx.run();
    EXPECT_FALSE(failure);
    if (!room_appears_too) {
      EXPECT_EQ(rx.try_recv(), 1);
    }
    EXPECT_EQ(rx.try_recv(), std::nullopt) << "the cancelled send must not have queued";
  }
}

// A wait on an execution context that is no async::Context is refused, since
// nothing could abandon it when that context goes: the operation throws and
// takes (or queues) nothing.
TEST(Queue, AWaitOnAnotherExecutionContextIsRefused) {
  for (const bool sending : {false, true}) {
    SCOPED_TRACE(sending ? "send to a full queue" : "recv from an empty queue");
    asio::io_context foreign;
    auto [tx, rx] = make_queue<int>(1);
    int v = 1;
    if (sending) {
      ASSERT_EQ(tx.try_send(v), TrySend::Ok);
    }
    std::exception_ptr failure;
    spawn(
        foreign,
        [](Sender<int> tx, Receiver<int>& rx, bool sending) -> awaitable<void> {
          if (sending) {
            (void)co_await tx.send(2);
          } else {
            (void)co_await rx.recv();
          }
        }(tx, rx, sending),
        &failure);
    foreign.run();
    ASSERT_TRUE(failure);
    try {
      std::rethrow_exception(failure);
    } catch (const std::system_error& e) {
      EXPECT_EQ(e.code(), detail::wait_refused());
      EXPECT_EQ(e.code().message(), "a queue or broadcast wait needs an executor of a vardimont::async::Context");
    }
    if (!sending) {
      ASSERT_EQ(tx.try_send(v), TrySend::Ok);
    }
    EXPECT_EQ(rx.try_recv(), 1);
    EXPECT_EQ(rx.try_recv(), std::nullopt);
  }
}

// Producers on plain threads and coroutines on the runtime's two workers, one
// consumer coroutine: every item arrives exactly once, in each producer's order.
TEST(Queue, ConcurrentProducersDeliverEverythingInProducerOrder) {
  constexpr int kThreads = 3;
  constexpr int kCoroutines = 3;
  constexpr int kItems = 2000;
  auto made = Runtime::create();
  ASSERT_TRUE(made.ok()) << made.error();
  std::shared_ptr<Runtime> rt = made.value();

  auto [tx, rx] = make_queue<std::pair<int, int>>(8);
  std::vector<std::thread> threads;
  for (int p = 0; p < kThreads; ++p) {
    threads.emplace_back([p, tx = tx]() mutable {
      for (int i = 0; i < kItems; ++i) ASSERT_TRUE(tx.blocking_send({p, i}));
    });
  }
  for (int p = kThreads; p < kThreads + kCoroutines; ++p) {
    asio::co_spawn(
        rt->executor(),
        [](Sender<std::pair<int, int>> tx, int p) -> awaitable<void> {
          for (int i = 0; i < kItems; ++i) {
            if (!co_await tx.send({p, i})) co_return;
          }
        }(tx, p),
        asio::detached);
  }
  { auto gone = std::move(tx); }

  const std::vector<int> next = rt->block_on(
      [](Receiver<std::pair<int, int>> rx) -> awaitable<std::vector<int>> {
        std::vector<int> next(kThreads + kCoroutines, 0);
        while (auto item = co_await rx.recv()) {
          auto [p, i] = *item;
          EXPECT_EQ(i, next[p]) << "producer " << p;
          next[p] = i + 1;
        }
        co_return next;
      }(std::move(rx)));
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(next, std::vector<int>(kThreads + kCoroutines, kItems));
  rt->shutdown_and_wait();
}

// Where woken tasks run on a two-worker runtime. A push made on a worker
// resumes the waiting receiver on that worker, with no other thread woken.
// The room a pop makes goes to any free worker instead: the popping task may
// block its thread next (as a delivery waiting for the GIL does), and a
// waiting sender held back behind it would never run.
TEST(Queue, APushResumesTheReceiverOnItsWorkerAndAPopsRoomGoesToAnyWorker) {
  auto made = Runtime::create();
  ASSERT_TRUE(made.ok()) << made.error();
  std::shared_ptr<Runtime> rt = made.value();

  {
    // The pusher is queued behind the receiver's own turn on its worker, so
    // it pushes once the receiver waits. It then posts a marker and keeps its
    // worker until the marker runs, on the other worker, which only gets to
    // the marker after whatever was queued for any worker before it: a
    // resumption sent to any worker runs there, on the other worker. The
    // marker keeps the other worker until the receiver has resumed: a
    // resumption held back for the pusher's worker runs on that one.
    auto [tx, rx] = make_queue<std::thread::id>(1);
    struct Witness {
      std::atomic<bool> marker_runs{false};
      std::atomic<bool> resumed{false};
      std::promise<std::pair<std::thread::id, std::thread::id>> ids;  // the pusher's, the receiver's
    };
    auto seen = std::make_shared<Witness>();
    asio::co_spawn(
        rt->executor(),
        [](Sender<std::thread::id> tx, Receiver<std::thread::id> rx, std::shared_ptr<Witness> seen) -> awaitable<void> {
          const Executor ex = co_await asio::this_coro::executor;
          asio::prefer(asio::require(ex, asio::execution::blocking.never), asio::execution::relationship.continuation)
              .execute([tx = std::move(tx), ex, seen]() mutable {
                std::thread::id me = std::this_thread::get_id();
                EXPECT_EQ(tx.try_send(me), TrySend::Ok);
                asio::post(ex, [seen] {
                  seen->marker_runs = true;
                  EXPECT_TRUE(eventually([&] { return seen->resumed.load(); }));
                });
                EXPECT_TRUE(eventually([&] { return seen->marker_runs.load(); }));
              });
          std::optional<std::thread::id> pusher = co_await rx.recv();
          seen->resumed = true;
          seen->ids.set_value({pusher.value_or(std::thread::id()), std::this_thread::get_id()});
        }(tx, std::move(rx), seen),
        asio::detached);
    auto [pusher, resumed_on] = seen->ids.get_future().get();
    EXPECT_EQ(pusher, resumed_on);
  }

  {
    auto [tx, rx] = make_queue<int>(1);
    int one = 1;
    ASSERT_EQ(tx.try_send(one), TrySend::Ok);  // full: the next send waits
    std::latch sender_ran(1);
    std::atomic<bool> sent{false};
    asio::co_spawn(
        rt->executor(),
        [](Sender<int> tx, std::latch& ran, std::atomic<bool>& sent) -> awaitable<void> {
          sent = co_await tx.send(2);
          ran.count_down();
        }(tx, sender_ran, sent),
        asio::detached);
    ASSERT_TRUE(eventually([&] { return !sent && rx.size() == 1; }));
    std::promise<bool> popper;
    asio::post(rt->executor(), [&rx, &sender_ran, &popper] {
      (void)rx.try_recv();  // makes room, wakes the sender
      // Blocks this worker until the sender ran elsewhere (bounded, so a
      // fault fails the test instead of hanging it).
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (!sender_ran.try_wait() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
      popper.set_value(sender_ran.try_wait());
    });
    EXPECT_TRUE(popper.get_future().get());
    EXPECT_TRUE(sent);
  }
  rt->shutdown_and_wait();
}

TEST(Queue, BlockingCallsAreRefusedOnAWorker) {
  auto made = Runtime::create();
  ASSERT_TRUE(made.ok());
  std::shared_ptr<Runtime> rt = made.value();
  auto [tx, rx] = make_queue<int>(1);
  std::atomic<int> refused{0};
  asio::post(rt->executor(), [&refused, tx = tx, &rx]() mutable {
    try {
      (void)tx.blocking_send(1);
    } catch (const BlockingOnWorker&) {
      ++refused;
    }
    try {
      (void)rx.blocking_recv();
    } catch (const BlockingOnWorker&) {
      ++refused;
    }
  });
  ASSERT_TRUE(eventually([&] { return refused.load() == 2; }));
  EXPECT_EQ(rx.size(), 0u);
  rt->shutdown_and_wait();
}

}  // namespace
}  // namespace vardimont::async
