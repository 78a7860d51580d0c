// One sending end of a queue or a broadcast: what makes a Sender or a
// BroadcastSender one, so that they copy, move and go by the rule of zero.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>

namespace vardimont::async::detail {

// State is the shared state of the queue or broadcast: it counts its sending
// ends in `std::atomic<std::size_t> senders`, which starts at 1 for the end
// that it is made with, and has a `std::mutex mu` and a
// `sending_ends_gone_locked()`. A copy is one more sending end; a moved-from
// end is none. The count changes without `mu`; the drop that takes it to zero
// calls sending_ends_gone_locked() under `mu`, so that a waiter that read a
// stale count while registering is still woken.
template <class State>
class SendingEnd {
 public:
  // Takes over the sending end that `state` was made with.
  explicit SendingEnd(std::shared_ptr<State> state) noexcept : state_(std::move(state)) {}
  SendingEnd(const SendingEnd& other) noexcept : state_(other.state_) {
    if (state_) state_->senders.fetch_add(1, std::memory_order_relaxed);
  }
  SendingEnd(SendingEnd&& other) noexcept = default;
  // Copy and move alike: the end held before is dropped last, with `other`.
  SendingEnd& operator=(SendingEnd other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~SendingEnd() {
    if (!state_) return;
    if (state_->senders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      std::lock_guard<std::mutex> lock(state_->mu);
      state_->sending_ends_gone_locked();
    }
  }

  // Null for a moved-from end.
  const std::shared_ptr<State>& state() const noexcept { return state_; }

 private:
  std::shared_ptr<State> state_;
};

}  // namespace vardimont::async::detail
