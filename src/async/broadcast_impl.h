// Implementation of broadcast.h; include broadcast.h instead.
#pragma once

#include <algorithm>
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
// n + capacity overwrites it, or until every receiver that existed when it
// was published has taken or skipped it (`pending` counts those still to do
// so), whichever comes first: an item that everybody has seen is released at
// once, not held until it is overwritten. `published` is the number of the
// next item. A receiver's cursor never passes `published`; every slot from
// max(published - capacity, a receiver's cursor) up to `published` holds its
// item.
template <class T>
struct BroadcastSlot {
  std::optional<T> item;
  std::size_t pending = 0;  // receivers that have yet to take or skip it
};

template <class T>
class BroadcastState {
 public:
  explicit BroadcastState(std::size_t cap) : capacity(cap), ring(cap) {}

  std::uint64_t oldest() const noexcept { return published > capacity ? published - capacity : 0; }

  // A receiver is done with item `n` (taken or skipped): the item, once
  // everybody is, to be destroyed by the caller outside `mu`.
  std::optional<T> done_with(std::uint64_t n) noexcept {
    BroadcastSlot<T>& slot = ring[n % capacity];
    std::optional<T> released;
    if (--slot.pending == 0) released.swap(slot.item);
    return released;
  }

  // Whether a receiver at `cursor` has something to take (an item, a lag
  // notice or the end). Under `mu`.
  bool ready_for(std::uint64_t cursor) const noexcept {
    return published > cursor || senders.load(std::memory_order_acquire) == 0;
  }

  std::mutex mu;
  const std::size_t capacity;
  std::vector<BroadcastSlot<T>> ring;
  std::uint64_t published = 0;
  std::size_t receivers = 0;
  // Sending ends (detail::SendingEnd).
  std::atomic<std::size_t> senders{1};
  detail::WaitList waits;

  // The last sending end is gone: every waiter sees the end once it has
  // drained what was left for it.
  void sending_ends_gone_locked() noexcept { waits.wake_all(detail::Resume::Anywhere); }
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
      const Executor handler_ex = asio::get_associated_executor(handler, ex);
      complete_soon(std::forward<Handler>(handler), handler_ex, std::error_code());
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
BroadcastSender<T>::BroadcastSender(std::size_t capacity) : end_(nullptr) {
  if (capacity == 0) throw std::invalid_argument("broadcast capacity must be at least 1");
  end_ = detail::SendingEnd<BroadcastState<T>>(std::make_shared<BroadcastState<T>>(capacity));
}

template <class T>
bool BroadcastSender<T>::publish(T item) const {
  if (!end_.state()) return false;
  std::optional<T> displaced;  // destroyed after the lock is released
  BroadcastState<T>& s = *end_.state();
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.receivers == 0) return false;
  BroadcastSlot<T>& slot = s.ring[s.published % s.capacity];
  displaced.swap(slot.item);
  slot.item.emplace(std::move(item));
  slot.pending = s.receivers;
  ++s.published;
  s.waits.wake_all(detail::Resume::Anywhere);
  return true;
}

template <class T>
BroadcastReceiver<T> BroadcastSender<T>::subscribe() const {
  const std::shared_ptr<BroadcastState<T>>& state = end_.state();
  if (!state) return BroadcastReceiver<T>(nullptr, 0);
  std::lock_guard<std::mutex> lock(state->mu);
  ++state->receivers;
  return BroadcastReceiver<T>(state, state->published);
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
  // The items this receiver had yet to take are released once nobody else
  // has either; with the last receiver gone nothing can read the ring any
  // more. Items are destroyed outside the lock.
  std::vector<std::optional<T>> released;
  released.reserve(state_->capacity);
  std::lock_guard<std::mutex> lock(state_->mu);
  BroadcastState<T>& s = *state_;
  for (std::uint64_t n = std::max(cursor_, s.oldest()); n < s.published; ++n) {
    if (std::optional<T> item = s.done_with(n)) released.push_back(std::move(item));
  }
  --s.receivers;
}

template <class T>
std::optional<typename BroadcastReceiver<T>::Item> BroadcastReceiver<T>::try_recv() {
  if (!state_) return Item(std::in_place_index<2>);
  std::lock_guard<std::mutex> lock(state_->mu);
  BroadcastState<T>& s = *state_;
  if (cursor_ < s.published) {
    const std::uint64_t oldest = s.oldest();
    if (cursor_ < oldest) {
      const std::uint64_t missed = oldest - cursor_;
      cursor_ = oldest;
      return Item(std::in_place_index<1>, Lagged{missed});
    }
    // The last receiver to take an item takes it over instead of a copy.
    const std::uint64_t n = cursor_++;
    if (s.ring[n % s.capacity].pending == 1) return Item(std::in_place_index<0>, std::move(*s.done_with(n)));
    Item item(std::in_place_index<0>, *s.ring[n % s.capacity].item);
    (void)s.done_with(n);  // others still have it to take
    return item;
  }
  if (s.senders.load(std::memory_order_acquire) == 0) return Item(std::in_place_index<2>);
  return std::nullopt;
}

template <class T>
template <class Wanted>
std::optional<typename BroadcastReceiver<T>::Item> BroadcastReceiver<T>::try_recv_wanted(Wanted&& wanted) {
  if (!state_) return Item(std::in_place_index<2>);
  std::vector<std::optional<T>> released;  // skipped items nobody else holds; destroyed outside the lock
  std::lock_guard<std::mutex> lock(state_->mu);
  BroadcastState<T>& s = *state_;
  // A lag only moves the cursor on to the oldest item still held.
  if (cursor_ < s.oldest()) cursor_ = s.oldest();
  while (cursor_ < s.published) {
    const std::uint64_t n = cursor_++;
    BroadcastSlot<T>& slot = s.ring[n % s.capacity];
    if (!wanted(*slot.item)) {
      if (std::optional<T> item = s.done_with(n)) released.push_back(std::move(item));
      continue;
    }
    if (slot.pending == 1) return Item(std::in_place_index<0>, std::move(*s.done_with(n)));
    Item item(std::in_place_index<0>, *slot.item);
    (void)s.done_with(n);
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
