#include "async/broadcast.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <latch>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "async/context.h"
#include "async/runtime.h"

namespace vardimont::async {
namespace {

using namespace std::chrono_literals;
using Rx = BroadcastReceiver<int>;

// What a receiver takes, as text: "7", "lagged 6", "closed", or "" for nothing.
std::string take(Rx& rx) {
  std::optional<Rx::Item> item = rx.try_recv();
  if (!item) return "";
  if (const int* v = std::get_if<int>(&*item)) return std::to_string(*v);
  if (const Lagged* l = std::get_if<Lagged>(&*item)) return "lagged " + std::to_string(l->missed);
  return "closed";
}

std::vector<std::string> take_all(Rx& rx) {
  std::vector<std::string> out;
  for (std::string s = take(rx); !s.empty(); s = take(rx)) {
    out.push_back(s);
    if (s == "closed") break;
  }
  return out;
}

std::vector<std::string> numbers(int from, int to) {
  std::vector<std::string> out;
  for (int i = from; i < to; ++i) out.push_back(std::to_string(i));
  return out;
}

TEST(Broadcast, CapacityIsValidated) {
  EXPECT_THROW(BroadcastSender<int>(0), std::invalid_argument);
}

TEST(Broadcast, PublishWithoutReceiverIsDiscarded) {
  BroadcastSender<int> tx(4);
  EXPECT_FALSE(tx.publish(1));
  {
    Rx rx = tx.subscribe();
    EXPECT_TRUE(tx.publish(2));
    EXPECT_EQ(take_all(rx), (std::vector<std::string>{"2"}));
  }
  EXPECT_FALSE(tx.publish(3));
}

TEST(Broadcast, ReceiverSeesOnlyWhatWasPublishedAfterItSubscribed) {
  BroadcastSender<int> tx(64);
  Rx early = tx.subscribe();
  ASSERT_TRUE(tx.publish(1));
  Rx late = tx.subscribe();
  ASSERT_TRUE(tx.publish(2));
  EXPECT_EQ(take_all(early), (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(take_all(late), (std::vector<std::string>{"2"}));
}

// A receiver that falls more than `capacity` behind is told how many it
// missed, then gets the oldest item still held and everything after it.
TEST(Broadcast, LagNoticeCarriesTheNumberMissedThenTheOldestHeld) {
  struct Case {
    std::size_t capacity;
    int published;
  };
  for (const Case c : {Case{64, 64}, Case{64, 65}, Case{64, 70}, Case{64, 200}, Case{1, 3},
                       Case{4, 4}, Case{4, 9}}) {
    SCOPED_TRACE("capacity " + std::to_string(c.capacity) + ", published " +
                 std::to_string(c.published));
    BroadcastSender<int> tx(c.capacity);
    Rx rx = tx.subscribe();
    for (int i = 0; i < c.published; ++i) ASSERT_TRUE(tx.publish(i));
    const int cap = static_cast<int>(c.capacity);
    std::vector<std::string> expected;
    int first = 0;
    if (c.published > cap) {
      first = c.published - cap;
      expected.push_back("lagged " + std::to_string(first));
    }
    for (const std::string& s : numbers(first, c.published)) expected.push_back(s);
    EXPECT_EQ(take_all(rx), expected);
    // Caught up: the next item is received normally.
    ASSERT_TRUE(tx.publish(1000));
    EXPECT_EQ(take_all(rx), (std::vector<std::string>{"1000"}));
  }
}

TEST(Broadcast, LaggingReceiverDoesNotDisturbAnother) {
  BroadcastSender<int> tx(4);
  Rx slow = tx.subscribe();
  Rx fast = tx.subscribe();
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(tx.publish(i));
    EXPECT_EQ(take(fast), std::to_string(i));
  }
  EXPECT_EQ(take_all(slow), (std::vector<std::string>{"lagged 2", "2", "3", "4", "5"}));
}

TEST(Broadcast, ClosedOnlyAfterTheLastSenderAndTheDrain) {
  std::optional<BroadcastSender<int>> first(std::in_place, 8);
  std::optional<BroadcastSender<int>> second = *first;
  Rx rx = first->subscribe();
  ASSERT_TRUE(first->publish(1));
  first.reset();
  EXPECT_EQ(take_all(rx), (std::vector<std::string>{"1"})) << "one sender is left";
  ASSERT_TRUE(second->publish(2));
  ASSERT_TRUE(second->publish(3));
  second.reset();
  EXPECT_EQ(take_all(rx), (std::vector<std::string>{"2", "3", "closed"}));
  EXPECT_EQ(take(rx), "closed");
}

TEST(Broadcast, LagIsReportedBeforeClosing) {
  std::optional<BroadcastSender<int>> tx(std::in_place, 2);
  Rx rx = tx->subscribe();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(tx->publish(i));
  tx.reset();
  EXPECT_EQ(take_all(rx), (std::vector<std::string>{"lagged 3", "3", "4", "closed"}));
}

// An item that counts its copies.
struct Counted {
  explicit Counted(int value) : v(value) {}
  Counted(const Counted& other) : v(other.v) { ++copies; }
  Counted(Counted&&) noexcept = default;
  Counted& operator=(const Counted&) = default;
  Counted& operator=(Counted&&) noexcept = default;
  int v;
  static inline int copies = 0;
};

// A receiver that looks for one kind of item skips the others, and lag
// notices, where they are held: only the item it takes is copied.
TEST(Broadcast, AWantedItemIsTakenAndTheRestSkippedUncopied) {
  std::optional<BroadcastSender<Counted>> tx(std::in_place, 4);
  BroadcastReceiver<Counted> rx = tx->subscribe();
  BroadcastReceiver<Counted> other = tx->subscribe();
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(tx->publish(Counted(i)));  // 0 and 1 are lost to a lag
  Counted::copies = 0;
  const auto four = [](const Counted& c) { return c.v == 4; };

  auto item = rx.try_recv_wanted(four);
  ASSERT_TRUE(item && std::holds_alternative<Counted>(*item));
  EXPECT_EQ(std::get<Counted>(*item).v, 4);
  EXPECT_EQ(rx.try_recv_wanted(four), std::nullopt) << "5 is skipped, nothing more is ready";
  EXPECT_EQ(Counted::copies, 1);
  tx.reset();
  item = rx.try_recv_wanted(four);
  EXPECT_TRUE(item && std::holds_alternative<Closed>(*item));
  // Another receiver still gets everything, the lag first.
  item = other.try_recv();
  ASSERT_TRUE(item && std::holds_alternative<Lagged>(*item));
  EXPECT_EQ(std::get<Lagged>(*item).missed, 2u);
}

// An item is let go as soon as every receiver that existed when it was
// published has taken it, skipped it, or is gone, not when a later item
// overwrites its slot: an event of megabytes is not held for nothing.
TEST(Broadcast, AnItemIsReleasedOnceEveryReceiverIsDoneWithIt) {
  using Big = std::shared_ptr<std::string>;
  enum class Second { Takes, Skips, IsDropped, Waits };
  struct Case {
    const char* name;
    Second second;
    bool released;
  };
  const std::vector<Case> cases = {
      {"both take it", Second::Takes, true},
      {"the other skips it", Second::Skips, true},
      {"the other is dropped", Second::IsDropped, true},
      {"the other has yet to take it", Second::Waits, false},
  };
  for (const Case& c : cases) {
    BroadcastSender<Big> tx(64);
    BroadcastReceiver<Big> first = tx.subscribe();
    std::optional<BroadcastReceiver<Big>> second(tx.subscribe());
    std::weak_ptr<std::string> held;
    {
      Big big = std::make_shared<std::string>(1 << 20, 'x');
      held = big;
      ASSERT_TRUE(tx.publish(std::move(big)));
    }
    BroadcastReceiver<Big> late = tx.subscribe();  // made after the publish: holds nothing up
    ASSERT_TRUE(first.try_recv().has_value());     // taken and dropped at once
    switch (c.second) {
      case Second::Takes:
        ASSERT_TRUE(second->try_recv().has_value());
        break;
      case Second::Skips:
        EXPECT_EQ(second->try_recv_wanted([](const Big&) { return false; }), std::nullopt);
        break;
      case Second::IsDropped:
        second.reset();
        break;
      case Second::Waits:
        break;
    }
    EXPECT_EQ(held.expired(), c.released) << c.name;
    if (second) (void)second->try_recv();
    EXPECT_TRUE(held.expired()) << c.name << ": released once the last receiver took it";
  }
}

TEST(Broadcast, WaitingRecvIsWokenByPublishAndByClose) {
  Context ctx;
  std::optional<BroadcastSender<int>> tx(std::in_place, 8);
  Rx rx = tx->subscribe();
  std::vector<std::string> got;
  asio::co_spawn(
      ctx,
      [](Rx& rx, std::vector<std::string>& got) -> awaitable<void> {
        for (;;) {
          Rx::Item item = co_await rx.recv();
          if (const int* v = std::get_if<int>(&item)) {
            got.push_back(std::to_string(*v));
          } else {
            got.push_back("closed");
            co_return;
          }
        }
      }(rx, got),
      asio::detached);
  ctx.poll();
  EXPECT_TRUE(got.empty());
  ASSERT_TRUE(tx->publish(1));
  ctx.poll();
  EXPECT_EQ(got, (std::vector<std::string>{"1"}));
  tx.reset();
  ctx.run();
  EXPECT_EQ(got, (std::vector<std::string>{"1", "closed"}));
}

// The reader's pattern: wait for "an event is ready" beside another operation
// in a parallel group. Losing the race cancels the wait and takes nothing.
TEST(Broadcast, CancelledReadyWaitInAParallelGroupLosesNothing) {
  Context ctx;
  BroadcastSender<int> tx(8);
  Rx rx = tx.subscribe();
  asio::steady_timer other(ctx);
  other.expires_at(asio::steady_timer::time_point::max());
  std::vector<std::string> log;
  asio::co_spawn(
      ctx,
      [](Rx& rx, asio::steady_timer& other, std::vector<std::string>& log) -> awaitable<void> {
        const Executor ex = co_await asio::this_coro::executor;
        for (int round = 0; round < 2; ++round) {
          auto [order, wait_ec, timer_ec] =
              co_await asio::experimental::make_parallel_group(rx.async_wait_ready(ex, deferred),
                                                               other.async_wait(deferred))
                  .async_wait(asio::experimental::wait_for_one(), use_awaitable);
          log.push_back(order[0] == 0 ? "ready" : "other");
          log.push_back(wait_ec == asio::error::operation_aborted ? "wait aborted"
                        : wait_ec                                 ? "wait error"
                                                                  : "wait ok");
          (void)timer_ec;
          log.push_back(take(rx));
          other.expires_at(asio::steady_timer::time_point::max());
        }
      }(rx, other, log),
      asio::detached);
  ctx.poll();
  other.cancel();  // the other branch completes first
  ctx.poll();
  EXPECT_EQ(log, (std::vector<std::string>{"other", "wait aborted", ""}));
  ASSERT_TRUE(tx.publish(7));  // the second round's wait wins
  ctx.run();
  EXPECT_EQ(log, (std::vector<std::string>{"other", "wait aborted", "", "ready", "wait ok", "7"}));
}

TEST(Broadcast, CancelledRecvTakesNothing) {
  using asio::experimental::awaitable_operators::operator||;
  for (const bool item_arrives_too : {false, true}) {
    SCOPED_TRACE(item_arrives_too ? "item arrives with the cancellation" : "still waiting");
    Context ctx;
    BroadcastSender<int> tx(8);
    BroadcastSender<int> other_tx(8);
    Rx rx = tx.subscribe();
    Rx other = other_tx.subscribe();
    std::size_t winner = 99;
    asio::co_spawn(
        ctx,
        [](Rx& rx, Rx& other, std::size_t& winner) -> awaitable<void> {
          winner = (co_await (rx.recv() || other.recv())).index();
        }(rx, other, winner),
        asio::detached);
    ctx.poll();
    ASSERT_TRUE(other_tx.publish(1));
    if (item_arrives_too) {
      ASSERT_TRUE(tx.publish(2));
    }
    ctx.run();
    // `||` flattens the two Item variants: indexes 3 to 5 are the second receiver's.
    EXPECT_EQ(winner, 3u);
    if (!item_arrives_too) {
      ASSERT_TRUE(tx.publish(2));
    }
    EXPECT_EQ(take_all(rx), (std::vector<std::string>{"2"}));
  }
}

TEST(Broadcast, ReadyWaitDoesNotConsume) {
  Context ctx;
  BroadcastSender<int> tx(8);
  Rx rx = tx.subscribe();
  ASSERT_TRUE(tx.publish(1));
  std::optional<std::error_code> result;
  // The one-argument form takes the coroutine's executor.
  asio::co_spawn(
      ctx,
      [](Rx& rx, std::optional<std::error_code>& result) -> awaitable<void> {
        auto [ec] = co_await rx.async_wait_ready(as_tuple(use_awaitable));
        result = ec;
      }(rx, result),
      asio::detached);
  ctx.run();
  ASSERT_TRUE(result.has_value());
  EXPECT_FALSE(*result);
  EXPECT_EQ(take_all(rx), (std::vector<std::string>{"1"}));
}

// As a queue's: a wait on an execution context that is no async::Context is
// refused, and takes nothing.
TEST(Broadcast, AWaitOnAnotherExecutionContextIsRefused) {
  asio::io_context foreign;
  BroadcastSender<int> tx(8);
  Rx rx = tx.subscribe();
  std::error_code refused;
  asio::co_spawn(foreign, rx.recv(), [&refused](std::exception_ptr e, const Rx::Item&) {
    try {
      if (e) std::rethrow_exception(e);
    } catch (const std::system_error& error) {
      refused = error.code();
    }
  });
  foreign.run();
  EXPECT_EQ(refused, detail::wait_refused());
  ASSERT_TRUE(tx.publish(1));
  EXPECT_EQ(take_all(rx), (std::vector<std::string>{"1"}));
}

// A publisher thread races a receiver on the runtime: every item is either
// received, in order, or counted in a lag notice.
TEST(Broadcast, ConcurrentPublishIsReceivedInOrderOrCountedAsMissed) {
  constexpr int kItems = 20000;
  auto made = Runtime::create();
  ASSERT_TRUE(made.ok());
  std::shared_ptr<Runtime> rt = made.value();
  std::optional<BroadcastSender<int>> tx(std::in_place, 64);
  Rx rx = tx->subscribe();
  std::thread publisher([&tx] {
    for (int i = 0; i < kItems; ++i) EXPECT_TRUE(tx->publish(i));
    tx.reset();
  });
  const auto [received, missed, in_order] =
      rt->block_on([](Rx rx) -> awaitable<std::tuple<std::uint64_t, std::uint64_t, bool>> {
        std::uint64_t received = 0, missed = 0;
        std::int64_t expected = 0;
        bool in_order = true;
        for (;;) {
          Rx::Item item = co_await rx.recv();
          if (const int* v = std::get_if<int>(&item)) {
            in_order = in_order && *v == expected;
            expected = *v + 1;
            ++received;
          } else if (const Lagged* l = std::get_if<Lagged>(&item)) {
            missed += l->missed;
            expected += static_cast<std::int64_t>(l->missed);
          } else {
            co_return std::tuple{received, missed, in_order};
          }
        }
      }(std::move(rx)));
  publisher.join();
  EXPECT_TRUE(in_order);
  EXPECT_EQ(received + missed, static_cast<std::uint64_t>(kItems));
  rt->shutdown_and_wait();
}

// A service that, when its context is torn down, makes another thread drop
// the last sending end of a broadcast, which wakes the waiting receivers.
// It is registered after the reactor, so the drop races the reactor's
// shutdown; the context has abandoned the waits before either.
struct DropState {
  std::optional<BroadcastSender<int>> sender;
  std::thread dropper;
  std::latch started{1};
};

class DropSenderOnShutdown : public asio::execution_context::service {
 public:
  using key_type = DropSenderOnShutdown;
  inline static asio::execution_context::id id;
  explicit DropSenderOnShutdown(asio::execution_context& ctx) : service(ctx) {}
  DropState* state = nullptr;

 private:
  void shutdown() override {
    DropState* s = state;
    s->dropper = std::thread([s] {
      s->started.count_down();
      s->sender.reset();
    });
    s->started.wait();  // the drop now races the reactor's shutdown
  }
};

TEST(Broadcast, TeardownUnlinksWaitsBeforeOtherThreadsCanWakeThem) {
  // The drop races the teardown; a few rounds give the race its chances.
  for (int round = 0; round < 20; ++round) {
    DropState state;
    state.sender.emplace(8);
    bool woken = false;
    {
      Context ctx;  // with its reactor
      asio::use_service<DropSenderOnShutdown>(ctx).state = &state;
      asio::co_spawn(
          ctx,
          [](Rx rx, bool& woken) -> awaitable<void> {
            (void)co_await rx.recv();
            woken = true;
          }(state.sender->subscribe(), woken),
          asio::detached);
      ctx.poll();  // the receiver waits
    }  // teardown with the wait pending, while the dropper thread runs
    state.dropper.join();
    EXPECT_FALSE(woken);
  }
}

}  // namespace
}  // namespace vardimont::async

namespace vardimont::async {
namespace {

// Drops the last sending end of a broadcast during its context's teardown and
// waits for the drop to finish.
struct DropOnShutdown : asio::execution_context::service {
  using key_type = DropOnShutdown;
  inline static asio::execution_context::id id;
  explicit DropOnShutdown(asio::execution_context& ctx) : service(ctx) {}
  std::optional<BroadcastSender<int>>* sender = nullptr;

 private:
  void shutdown() override {
    std::thread([s = sender] { s->reset(); }).join();
  }
};

// A context's services go down in the reverse order of their creation. Here
// the first wait of the context comes before any strand, and the service
// that drops the sender before the strand too; the strand is then shut down
// before that drop wakes the wait of a task on the strand. The teardown must
// still abandon that wait first: otherwise the wake finds the strand shut
// down, which destroys the completion, and with it the task and its
// receiver, inline, under the lock of the broadcast being woken.
TEST(Broadcast, TeardownUnlinksWaitsBeforeAnyStrandGoes) {
  std::optional<BroadcastSender<int>> sender;
  sender.emplace(8);
  bool woken = false;
  {
    Context ctx;
    auto wait_on = [&](const Executor& ex) {
      asio::co_spawn(
          ex,
          [](Rx rx, bool& woken) -> awaitable<void> {
            (void)co_await rx.recv();
            woken = true;
          }(sender->subscribe(), woken),
          asio::detached);
    };
    wait_on(ctx.get_executor());
    ctx.poll();  // the first wait of the context
    asio::use_service<DropOnShutdown>(ctx).sender = &sender;
    wait_on(asio::make_strand(ctx));
    ctx.poll();
  }  // with the fault, this teardown never ends
  EXPECT_FALSE(woken);
}

}  // namespace
}  // namespace vardimont::async
