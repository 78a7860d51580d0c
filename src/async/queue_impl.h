// Implementation of queue.h; include queue.h instead.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "async/queue.h"
#include "async/runtime.h"
#include "async/wait.h"

namespace vardimont::async {

namespace detail {

// First in, first out, holding its oldest item in place: a queue that holds
// one item at a time (an idle connection's heartbeat) allocates nothing, and
// the deque behind it is made only when a second item waits.
template <class T>
class Fifo {
 public:
  Fifo() = default;
  // Takes every item of `other`, which is left empty.
  Fifo(Fifo&& other) noexcept : rest_(std::move(other.rest_)) {
    if (other.head_) head_.emplace(std::move(*other.head_));
    other.head_.reset();
  }
  Fifo& operator=(Fifo&&) = delete;

  bool empty() const noexcept { return !head_; }
  std::size_t size() const noexcept { return head_ ? 1 + (rest_ ? rest_->size() : 0) : 0; }
  T& front() noexcept { return *head_; }
  void push_back(T&& item) {
    if (!head_) {
      head_.emplace(std::move(item));
      return;
    }
    if (!rest_) rest_ = std::make_unique<std::deque<T>>();
    rest_->push_back(std::move(item));
  }
  void pop_front() {
    if (rest_ && !rest_->empty()) {
      head_.emplace(std::move(rest_->front()));
      rest_->pop_front();
    } else {
      head_.reset();
    }
  }

 private:
  std::optional<T> head_;                 // the oldest item
  std::unique_ptr<std::deque<T>> rest_;   // the items behind it, in order
};

}  // namespace detail

// Shared by every end of one queue. `mu` guards everything but `senders`.
//
// Wake-up rules (all under `mu`):
// - a push, the last sender's drop and the receiver's drop wake the receiver;
// - a pop that turns a full queue into a non-full one, and the receiver's
//   drop, wake every waiting sender. A sender registers only while the queue
//   is full, so a registered sender is always woken by the next pop.
template <class T>
class QueueState {
 public:
  explicit QueueState(std::uint64_t cap) : capacity(cap) {}

  bool has_room() const noexcept { return items.size() < capacity; }
  bool sendable() const noexcept { return !receiver_alive || has_room(); }
  bool receivable() const noexcept {
    return !items.empty() || senders.load(std::memory_order_acquire) == 0 || !receiver_alive;
  }

  // Something to take: the receiver resumes on the notifying worker.
  void wake_receiver_locked() noexcept { recv_waits.wake_all(detail::Resume::OnThisWorker); }
  // The last Sender is gone: the receiver sees the end once the items are taken.
  void sending_ends_gone_locked() noexcept { wake_receiver_locked(); }
  // Room: a waiting sender resumes wherever a worker is free.
  void wake_senders_locked() noexcept { send_waits.wake_all(detail::Resume::Anywhere); }

  void push_locked(T&& item) {
    items.push_back(std::move(item));
    wake_receiver_locked();
  }
  T pop_locked() {
    const bool was_full = !has_room();
    T item = std::move(items.front());
    items.pop_front();
    if (was_full) wake_senders_locked();
    return item;
  }

  std::mutex mu;
  detail::Fifo<T> items;
  const std::uint64_t capacity;
  // The number of Sender objects that are sending ends (detail::SendingEnd).
  std::atomic<std::size_t> senders{1};
  bool receiver_alive = true;
  detail::WaitList recv_waits;
  detail::WaitList send_waits;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_queue(std::uint64_t capacity) {
  if (capacity == 0 || capacity > MAX_QUEUE_CAPACITY) {
    throw std::invalid_argument("queue capacity must be between 1 and 2^61 - 1");
  }
  auto state = std::make_shared<QueueState<T>>(capacity);
  return {Sender<T>(state), Receiver<T>(state)};
}

// ---- Sender ----

template <class T>
Sender<T>::Sender(std::shared_ptr<QueueState<T>> s) : end_(std::move(s)) {}

template <class T>
TrySend Sender<T>::try_send(T& item) {
  QueueState<T>* const st = state().get();
  if (st == nullptr) return TrySend::Closed;
  std::lock_guard<std::mutex> lock(st->mu);
  if (!st->receiver_alive) return TrySend::Closed;
  if (!st->has_room()) return TrySend::Full;
  st->push_locked(std::move(item));
  return TrySend::Ok;
}

template <class T>
awaitable<bool> Sender<T>::send(T item) {
  // send_from's frame takes its own sending end here, at the call.
  return queued(send_from(*this, std::move(item), std::chrono::steady_clock::time_point::max()));
}

template <class T>
awaitable<bool> Sender<T>::queued(awaitable<TrySend> sending) {
  // Without a deadline the only outcomes are Ok and Closed.
  co_return co_await std::move(sending) == TrySend::Ok;
}

template <class T>
awaitable<TrySend> Sender<T>::send_until(T item, std::chrono::steady_clock::time_point deadline) {
  return send_from(*this, std::move(item), deadline);
}

template <class T>
awaitable<TrySend> Sender<T>::send_from(Sender self, T item, std::chrono::steady_clock::time_point deadline) {
  const std::shared_ptr<QueueState<T>> st = self.state();
  if (!st) co_return TrySend::Closed;
  const Executor ex = co_await asio::this_coro::executor;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(st->mu);
      if (!st->receiver_alive) co_return TrySend::Closed;  // `item` is dropped with the frame
      if (st->has_room()) {
        st->push_locked(std::move(item));
        co_return TrySend::Ok;
      }
    }
    auto [ec] = co_await detail::async_wait_until(
        st, &QueueState<T>::send_waits, [](QueueState<T>& s) { return s.sendable(); }, ex,
        use_tuple, deadline);
    if (ec == asio::error::timed_out) co_return TrySend::Full;
    if (ec) throw std::system_error(ec);
    detail::throw_if_cancelled(co_await asio::this_coro::cancellation_state);
  }
}

template <class T>
bool Sender<T>::blocking_send(T item) {
  // Unless it is queued, `item` is dropped after unlocking.
  return detail::park_until(state().get(), &QueueState<T>::send_waits, false,
                            [&item](QueueState<T>& s, bool& queued) {
                              if (!s.receiver_alive) return true;  // not queued
                              if (!s.has_room()) return false;
                              s.push_locked(std::move(item));
                              queued = true;
                              return true;
                            });
}

template <class T>
bool Sender<T>::closed() const noexcept {
  QueueState<T>* const st = state().get();
  if (st == nullptr) return true;
  std::lock_guard<std::mutex> lock(st->mu);
  return !st->receiver_alive;
}

// ---- Receiver ----

template <class T>
Receiver<T>::Receiver(std::shared_ptr<QueueState<T>> s) : state_(std::move(s)) {}

template <class T>
Receiver<T>::Receiver(Receiver&& other) noexcept : state_(std::move(other.state_)) {}

template <class T>
Receiver<T>& Receiver<T>::operator=(Receiver&& other) noexcept {
  if (this != &other) {
    Receiver old(std::move(*this));
    state_ = std::move(other.state_);
  }
  return *this;
}

template <class T>
Receiver<T>::~Receiver() {
  if (!state_) return;
  std::optional<detail::Fifo<T>> discarded;  // destroyed after the lock is released
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->receiver_alive = false;
  discarded.emplace(std::move(state_->items));
  state_->wake_senders_locked();
  state_->wake_receiver_locked();
}

template <class T>
awaitable<std::optional<T>> Receiver<T>::recv() {
  return recv_from(state_);
}

template <class T>
awaitable<std::optional<T>> Receiver<T>::recv_from(std::shared_ptr<QueueState<T>> st) {
  if (!st) co_return std::nullopt;
  const Executor ex = co_await asio::this_coro::executor;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(st->mu);
      if (!st->items.empty()) co_return std::optional<T>(st->pop_locked());
      if (st->receivable()) co_return std::nullopt;  // every sender gone, nothing left
    }
    co_await detail::async_wait_until(
        st, &QueueState<T>::recv_waits, [](QueueState<T>& s) { return s.receivable(); }, ex,
        use_awaitable);
    detail::throw_if_cancelled(co_await asio::this_coro::cancellation_state);
  }
}

template <class T>
std::optional<T> Receiver<T>::try_recv() {
  if (!state_) return std::nullopt;
  std::lock_guard<std::mutex> lock(state_->mu);
  if (state_->items.empty()) return std::nullopt;
  return state_->pop_locked();
}

template <class T>
std::optional<T> Receiver<T>::blocking_recv() {
  return detail::park_until(state_.get(), &QueueState<T>::recv_waits, std::optional<T>(),
                            [](QueueState<T>& s, std::optional<T>& item) {
                              if (!s.items.empty()) {
                                item.emplace(s.pop_locked());
                                return true;
                              }
                              return s.receivable();  // the end: nothing
                            });
}

template <class T>
std::size_t Receiver<T>::size() const {
  if (!state_) return 0;
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->items.size();
}

}  // namespace vardimont::async
