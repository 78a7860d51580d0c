// The event broadcast: a fixed ring of `capacity` slots. Publishing never waits;
// it overwrites the oldest slot and wakes the receivers. Each receiver has its
// own cursor: it gets every item published after it subscribed, in order; one
// that falls more than `capacity` behind gets a Lagged notice with the number
// missed, then the oldest item still held. The broadcast closes once the last
// BroadcastSender is gone and each receiver has drained what was left for it.
//
// Every receiver gets its own copy of each item (T is copied; the last
// receiver to take an item takes it over). An item is released as soon as
// every receiver that existed when it was published has taken it, skipped it
// or is gone. Released and displaced items are destroyed outside the
// broadcast's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <system_error>
#include <type_traits>
#include <variant>

#include "async/asio.h"
#include "async/sending_end.h"

namespace vardimont::async {

struct Lagged {
  std::uint64_t missed;
};
struct Closed {};

template <class T>
class BroadcastState;  // defined in broadcast_impl.h

template <class T>
class BroadcastReceiver;

// A copy is one more sending end; a moved-from BroadcastSender is none.
template <class T>
class BroadcastSender {
 public:
  // capacity must be at least 1 (std::invalid_argument otherwise).
  explicit BroadcastSender(std::size_t capacity);

  // Returns false when no receiver exists (the item is discarded).
  bool publish(T item) const;
  BroadcastReceiver<T> subscribe() const;

 private:
  detail::SendingEnd<BroadcastState<T>> end_;
};

template <class T>
class BroadcastReceiver {
 public:
  using Item = std::variant<T, Lagged, Closed>;

  BroadcastReceiver(BroadcastReceiver&&) noexcept;
  BroadcastReceiver& operator=(BroadcastReceiver&&) noexcept;
  BroadcastReceiver(const BroadcastReceiver&) = delete;
  BroadcastReceiver& operator=(const BroadcastReceiver&) = delete;
  ~BroadcastReceiver();

  // The next item, waiting for one. The receiver must outlive the awaitable.
  // Cancelled, it takes nothing and throws operation_aborted.
  awaitable<Item> recv();
  // Never waits: nullopt when nothing new has been published.
  std::optional<Item> try_recv();
  // Never waits: skips the ready items for which `wanted(const T&)` is false,
  // and lag notices, without copying them (`wanted` runs under the
  // broadcast's lock and must be quick); returns the first wanted item, or
  // Closed, or nullopt once nothing more is ready. For a receiver that looks
  // for one kind of item among large ones that it would otherwise copy only
  // to throw away.
  template <class Wanted>
  std::optional<Item> try_recv_wanted(Wanted&& wanted);

  // Completes (with no error) once try_recv() would return an item, without
  // taking it: a wait that is cancelled or abandoned loses nothing. Usable in
  // parallel groups; supports per-operation cancellation (operation_aborted).
  // Token signature: void(std::error_code). At most one wait per receiver at a
  // time; the receiver must not be moved while it waits.
  //
  // The wait runs on `ex`, and completes on the handler's associated executor
  // (or `ex` when the handler has none, as inside a parallel group), which
  // must be one of an async::Context: on any other it completes at once with
  // detail::wait_refused() (wait.h).
  template <class Token>
  auto async_wait_ready(const Executor& ex, Token&& token);
  // The same on the handler's associated executor, which must be an I/O
  // executor (a coroutine's, or one bound with asio::bind_executor).
  template <class Token>
  auto async_wait_ready(Token&& token);

 private:
  friend class BroadcastSender<T>;
  BroadcastReceiver(std::shared_ptr<BroadcastState<T>> s, std::uint64_t cursor);
  std::shared_ptr<BroadcastState<T>> state_;
  std::uint64_t cursor_ = 0;  // sequence number of the next item to receive
};

}  // namespace vardimont::async

#include "async/broadcast_impl.h"
