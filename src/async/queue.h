// A bounded multi-producer, single-consumer queue: the peer queues and the actor
// mailboxes. Unlike Asio's channels, closing keeps what is queued: once the last
// Sender is gone the receiver still drains every item, then sees the end.
// Dropping the Receiver closes the queue for senders (queued items are
// discarded and every waiting or later send fails).
//
// Waits work from coroutines (on any executor of an async::Context; on any
// other execution context they throw, see wait.h) and from plain threads,
// both through the one wait path of wait.h: destroying the Context destroys a
// waiting coroutine cleanly, and Asio's per-operation cancellation works:
// a cancelled recv() takes nothing and throws operation_aborted; a cancelled
// send() drops its item, queues nothing and throws operation_aborted. That
// holds also when the item (or the room) arrives in the same turn as the
// cancellation, as long as the branches of the parallel group run on one
// strand (or a one-thread context): branches running at once on two threads
// can both complete, and the group then discards the loser's item.
// Storage is allocated as items arrive, never for the capacity. Items are
// destroyed outside the queue's lock, so an item's destructor may use queues.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "async/asio.h"
#include "async/sending_end.h"

namespace vardimont::async {

// The largest capacity a queue can hold: 2^61 - 1 slots.
inline constexpr std::uint64_t MAX_QUEUE_CAPACITY = (std::uint64_t{1} << 61) - 1;

enum class TrySend : std::uint8_t { Ok, Full, Closed };

template <class T>
class QueueState;  // defined in queue_impl.h

template <class T>
class Sender;
template <class T>
class Receiver;

// capacity must be 1..MAX_QUEUE_CAPACITY (checked by callers; asserted here).
template <class T>
std::pair<Sender<T>, Receiver<T>> make_queue(std::uint64_t capacity);

// A copy is one more sending end; a moved-from Sender is none. The last
// sending end to go closes the queue.
template <class T>
class Sender {
 public:

  // Never waits. On Full or Closed `item` is left untouched.
  TrySend try_send(T& item);
  // Waits for a free slot. False when the receiver is gone (at once or while
  // waiting); the item is then dropped. The returned awaitable holds its own
  // sending end, so it does not depend on this Sender staying alive.
  awaitable<bool> send(T item);
  // Waits for a free slot until `deadline`: Ok once queued, Full when the
  // deadline passes first, Closed when the receiver is gone; the item is
  // dropped unless it was queued.
  awaitable<TrySend> send_until(T item, std::chrono::steady_clock::time_point deadline);
  // The same from a plain thread, which parks while it waits. Throws
  // BlockingOnWorker on a runtime worker thread.
  bool blocking_send(T item);

  // Same queue (connection identity for peer handles).
  bool same_queue(const Sender& other) const noexcept { return state() == other.state(); }
  // The queue's identity, which keeps nothing alive; is_queue() says whether
  // this sending end belongs to the queue that `id` was taken from (never
  // for an empty id).
  std::weak_ptr<const void> identity() const noexcept { return state(); }
  bool is_queue(const std::weak_ptr<const void>& id) const noexcept {
    return !id.owner_before(state()) && !state().owner_before(id) && !id.expired();
  }
  // Whether the receiver has been dropped.
  bool closed() const noexcept;

 private:
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_queue(std::uint64_t capacity);
  explicit Sender(std::shared_ptr<QueueState<T>> s);
  static awaitable<TrySend> send_from(Sender self, T item, std::chrono::steady_clock::time_point deadline);
  static awaitable<bool> queued(awaitable<TrySend> sending);
  const std::shared_ptr<QueueState<T>>& state() const noexcept { return end_.state(); }
  detail::SendingEnd<QueueState<T>> end_;
};

template <class T>
class Receiver {
 public:
  Receiver(Receiver&&) noexcept;
  Receiver& operator=(Receiver&&) noexcept;
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver();  // closes the queue for senders; queued items are discarded

  // The next item; nullopt once every sender is gone and the queue is empty.
  // At most one recv() may wait at a time.
  awaitable<std::optional<T>> recv();
  // Never waits: nullopt when nothing is queued right now.
  std::optional<T> try_recv();
  // From a plain thread (tests, tools). Throws BlockingOnWorker on a runtime
  // worker thread.
  std::optional<T> blocking_recv();

  std::size_t size() const;

 private:
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_queue(std::uint64_t capacity);
  explicit Receiver(std::shared_ptr<QueueState<T>> s);
  static awaitable<std::optional<T>> recv_from(std::shared_ptr<QueueState<T>> state);
  std::shared_ptr<QueueState<T>> state_;
};

}  // namespace vardimont::async

#include "async/queue_impl.h"
