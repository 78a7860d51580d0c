// Implementation of broadcast.h; include broadcast.h instead.
#pragma once

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include "async/broadcast.h"
#include "async/wait.h"

namespace vardimont::async {

// Shared by every end of one broadcast. `mu` guards everything but `senders`.
// Item number n (counting from 0) lives in ring[n % capacity] until item
// n + capacity overwrites it; `published` is the number of the next item.
// A receiver's cursor never passes `published`; while any receiver exists,
// every slot from max(published - capacity, its subscription point) up to
// `published` holds its item.
template <class T>
class BroadcastState {
 public:
  explicit BroadcastState(std::size_t cap) : capacity(cap), ring(cap) {}

  // Whether a receiver at `cursor` has something to take (an item, a lag
  // notice or the end). Under `mu`.
  bool ready_for(std::uint64_t cursor) const noexcept {
    return published > cursor || senders.load(std::memory_order_acquire) == 0;
  }

  std::mutex mu;
  const std::size_t capacity;
  std::vector<std::optional<T>> ring;
  std::uint64_t published = 0;
  std::size_t receivers = 0;
  // Sending ends; the drop that takes it to zero wakes every waiter under `mu`.
  std::atomic<std::size_t> senders{1};
  detail::WaitList waits;
};

namespace detail {

template <class T>
struct BroadcastReady {
  std::uint64_t cursor;
  bool operator()(BroadcastState<T>& s) const noexcept { return s.ready_for(cursor); }
};

// Captures the receiver's state and cursor by value: a deferred wait does not
// refer to the receiver object.
template <class T>
struct InitiateBroadcastWait {
  template <class Handler>
  void operator()(Handler&& handler, std::shared_ptr<BroadcastState<T>> state,
                  std::uint64_t cursor, Executor ex) const {
    if (!state) {
      // A receiver without a broadcast is closed: complete at once, through
      // the handler's executor, never inline.
      auto handler_ex = asio::get_associated_executor(handler, ex);
      asio::post(handler_ex, [h = std::decay_t<Handler>(std::forward<Handler>(handler))]() mutable {
        std::move(h)(std::error_code());
      });
      return;
    }
    InitiateWait<BroadcastState<T>, BroadcastReady<T>>{}(
        std::forward<Handler>(handler), std::move(state), &BroadcastState<T>::waits,
        BroadcastReady<T>{cursor}, std::move(ex));
  }
};

template <class T>
struct InitiateBroadcastWaitOnHandler {
  template <class Handler>
  void operator()(Handler&& handler, std::shared_ptr<BroadcastState<T>> state,
                  std::uint64_t cursor) const {
    using H = std::decay_t<Handler>;
    static_assert(!std::is_same_v<asio::associated_executor_t<H>, asio::system_executor>,
                  "this handler has no I/O executor: use async_wait_ready(executor, token)");
    Executor ex = asio::get_associated_executor(handler);
    InitiateBroadcastWait<T>{}(std::forward<Handler>(handler), std::move(state), cursor,
                               std::move(ex));
  }
};

}  // namespace detail

// ---- BroadcastSender ----

template <class T>
BroadcastSender<T>::BroadcastSender(std::size_t capacity) {
  if (capacity == 0) throw std::invalid_argument("broadcast capacity must be at least 1");
  state_ = std::make_shared<BroadcastState<T>>(capacity);
}

template <class T>
BroadcastSender<T>::BroadcastSender(const BroadcastSender& other) : state_(other.state_) {
  if (state_) state_->senders.fetch_add(1, std::memory_order_relaxed);
}

template <class T>
BroadcastSender<T>& BroadcastSender<T>::operator=(const BroadcastSender& other) {
  if (this != &other) {
    BroadcastSender copy(other);
    std::swap(state_, copy.state_);
  }
  return *this;
}

template <class T>
BroadcastSender<T>::BroadcastSender(BroadcastSender&& other) noexcept
    : state_(std::move(other.state_)) {}

template <class T>
BroadcastSender<T>& BroadcastSender<T>::operator=(BroadcastSender&& other) noexcept {
  if (this != &other) {
    BroadcastSender old(std::move(*this));
    state_ = std::move(other.state_);
  }
  return *this;
}

template <class T>
BroadcastSender<T>::~BroadcastSender() {
  if (!state_) return;
  if (state_->senders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->waits.wake_all(detail::Resume::Anywhere);
  }
}

template <class T>
bool BroadcastSender<T>::publish(T item) const {
  if (!state_) return false;
  std::optional<T> displaced;  // destroyed after the lock is released
  std::lock_guard<std::mutex> lock(state_->mu);
  BroadcastState<T>& s = *state_;
  if (s.receivers == 0) return false;
  std::optional<T>& slot = s.ring[s.published % s.capacity];
  displaced.swap(slot);
  slot.emplace(std::move(item));
  ++s.published;
  s.waits.wake_all(detail::Resume::Anywhere);
  return true;
}

template <class T>
BroadcastReceiver<T> BroadcastSender<T>::subscribe() const {
  if (!state_) return BroadcastReceiver<T>(nullptr, 0);
  std::lock_guard<std::mutex> lock(state_->mu);
  ++state_->receivers;
  return BroadcastReceiver<T>(state_, state_->published);
}

// ---- BroadcastReceiver ----

template <class T>
BroadcastReceiver<T>::BroadcastReceiver(std::shared_ptr<BroadcastState<T>> s,
                                        std::uint64_t cursor)
    : state_(std::move(s)), cursor_(cursor) {}

template <class T>
BroadcastReceiver<T>::BroadcastReceiver(BroadcastReceiver&& other) noexcept
    : state_(std::move(other.state_)), cursor_(other.cursor_) {}

template <class T>
BroadcastReceiver<T>& BroadcastReceiver<T>::operator=(BroadcastReceiver&& other) noexcept {
  if (this != &other) {
    BroadcastReceiver old(std::move(*this));
    state_ = std::move(other.state_);
    cursor_ = other.cursor_;
  }
  return *this;
}

template <class T>
BroadcastReceiver<T>::~BroadcastReceiver() {
  if (!state_) return;
  // With the last receiver gone nothing can read the ring any more: its items
  // are released, outside the lock.
  std::vector<std::optional<T>> released(state_->capacity);
  std::lock_guard<std::mutex> lock(state_->mu);
  if (--state_->receivers == 0) released.swap(state_->ring);
}

template <class T>
std::optional<typename BroadcastReceiver<T>::Item> BroadcastReceiver<T>::try_recv() {
  if (!state_) return Item(std::in_place_index<2>);
  std::lock_guard<std::mutex> lock(state_->mu);
  BroadcastState<T>& s = *state_;
  if (cursor_ < s.published) {
    const std::uint64_t oldest = s.published > s.capacity ? s.published - s.capacity : 0;
    if (cursor_ < oldest) {
      const std::uint64_t missed = oldest - cursor_;
      cursor_ = oldest;
      return Item(std::in_place_index<1>, Lagged{missed});
    }
    const std::optional<T>& slot = s.ring[cursor_ % s.capacity];
    Item item(std::in_place_index<0>, *slot);
    ++cursor_;
    return item;
  }
  if (s.senders.load(std::memory_order_acquire) == 0) return Item(std::in_place_index<2>);
  return std::nullopt;
}

template <class T>
template <class Wanted>
std::optional<typename BroadcastReceiver<T>::Item> BroadcastReceiver<T>::try_recv_wanted(Wanted&& wanted) {
  if (!state_) return Item(std::in_place_index<2>);
  std::lock_guard<std::mutex> lock(state_->mu);
  BroadcastState<T>& s = *state_;
  // A lag only moves the cursor on to the oldest item still held.
  const std::uint64_t oldest = s.published > s.capacity ? s.published - s.capacity : 0;
  if (cursor_ < oldest) cursor_ = oldest;
  for (; cursor_ < s.published; ++cursor_) {
    const std::optional<T>& slot = s.ring[cursor_ % s.capacity];
    if (!wanted(*slot)) continue;
    Item item(std::in_place_index<0>, *slot);
    ++cursor_;
    return item;
  }
  if (s.senders.load(std::memory_order_acquire) == 0) return Item(std::in_place_index<2>);
  return std::nullopt;
}

template <class T>
awaitable<typename BroadcastReceiver<T>::Item> BroadcastReceiver<T>::recv() {
  const Executor ex = co_await asio::this_coro::executor;
  for (;;) {
    if (std::optional<Item> item = try_recv()) co_return std::move(*item);
    co_await async_wait_ready(ex, use_awaitable);
    detail::throw_if_cancelled(co_await asio::this_coro::cancellation_state);
  }
}

template <class T>
template <class Token>
auto BroadcastReceiver<T>::async_wait_ready(const Executor& ex, Token&& token) {
  return asio::async_initiate<Token, void(std::error_code)>(
      detail::InitiateBroadcastWait<T>{}, token, state_, cursor_, ex);
}

template <class T>
template <class Token>
auto BroadcastReceiver<T>::async_wait_ready(Token&& token) {
  return asio::async_initiate<Token, void(std::error_code)>(
      detail::InitiateBroadcastWaitOnHandler<T>{}, token, state_, cursor_);
}

}  // namespace vardimont::async
