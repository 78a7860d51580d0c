// The one way a coroutine waits on the queue and the broadcast: a wait on an
// Asio timer of its own, registered in its owner's wait list, which a notifier
// ends by moving the timer's expiry into the past.
//
// Invariants that make this free of lost wake-ups and data races:
// - the condition is checked, the wait registered and the timer wait started
//   in one critical section of the owner's mutex;
// - every member call on a registered timer (expires_at, async_wait) happens
//   under that mutex, from the waiter and from notifiers alike;
// - a woken waiter re-checks the condition under the mutex; a wake-up that
//   finds it false just waits again.
// A pending timer wait belongs to its io_context: destroying the context
// destroys the wait and with it the suspended coroutine. The context's
// teardown first unlinks every wait of the context (WaitRegistry), so that no
// notifier on another thread touches a timer while the reactor goes away.
// A wait may be cancelled through its handler's cancellation slot (any
// cancellation type); it then completes with operation_aborted unless the
// condition already holds. A wait with a deadline completes with timed_out
// once the deadline has passed without the condition holding.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <system_error>
#include <type_traits>
#include <utility>

#include "async/asio.h"

namespace vardimont::async::detail {

// One registered wait. Guarded by the owner's mutex.
struct TimerWait {
  explicit TimerWait(const Executor& ex) : timer(ex) {}

  asio::steady_timer timer;
  TimerWait* prev = nullptr;
  TimerWait* next = nullptr;
  bool linked = false;
};

// The waits registered with one owner: an intrusive list, guarded by the
// owner's mutex.
class WaitList {
 public:
  WaitList() = default;
  WaitList(const WaitList&) = delete;
  WaitList& operator=(const WaitList&) = delete;

  bool empty() const noexcept { return head_ == nullptr; }

  void push(TimerWait* w) noexcept {
    if (w->linked) return;
    w->prev = tail_;
    w->next = nullptr;
    if (tail_ != nullptr) {
      tail_->next = w;
    } else {
      head_ = w;
    }
    tail_ = w;
    w->linked = true;
  }

  void erase(TimerWait* w) noexcept {
    if (!w->linked) return;
    if (w->prev != nullptr) {
      w->prev->next = w->next;
    } else {
      head_ = w->next;
    }
    if (w->next != nullptr) {
      w->next->prev = w->prev;
    } else {
      tail_ = w->prev;
    }
    w->prev = w->next = nullptr;
    w->linked = false;
  }

  // Ends every registered wait and unlinks it; each waiter re-checks and
  // registers again if it must.
  void wake_all() noexcept {
    while (TimerWait* w = head_) {
      erase(w);
      w->timer.expires_at(asio::steady_timer::time_point::min());
    }
  }

 private:
  TimerWait* head_ = nullptr;
  TimerWait* tail_ = nullptr;
};

// Every wait record of one execution context, so that the context's teardown
// can unlink them all from their owners' lists before the reactor shuts down.
// Without this a thread outside the context (one that drops the last sending
// end of a queue or broadcast, say) could move a timer's expiry while the
// reactor tears down its timer queues, which it does without its own lock.
// Lock order: WaitCore::mu, then an owner's mutex.
struct WaitRecordBase {
  // Called with the core's mutex held: takes the owner's mutex and unlinks.
  virtual void detach() noexcept = 0;

  WaitRecordBase* core_prev = nullptr;
  WaitRecordBase* core_next = nullptr;

 protected:
  ~WaitRecordBase() = default;
};

struct WaitCore {
  std::mutex mu;
  WaitRecordBase* head = nullptr;  // guarded by mu

  void add(WaitRecordBase* r) noexcept {
    std::lock_guard<std::mutex> lock(mu);
    r->core_prev = nullptr;
    r->core_next = head;
    if (head != nullptr) head->core_prev = r;
    head = r;
  }
  void remove(WaitRecordBase* r) noexcept {
    std::lock_guard<std::mutex> lock(mu);
    if (r->core_prev != nullptr) {
      r->core_prev->core_next = r->core_next;
    } else if (head == r) {
      head = r->core_next;
    }
    if (r->core_next != nullptr) r->core_next->core_prev = r->core_prev;
    r->core_prev = r->core_next = nullptr;
  }
  void detach_all() noexcept {
    std::lock_guard<std::mutex> lock(mu);
    for (WaitRecordBase* r = head; r != nullptr; r = r->core_next) r->detach();
  }
};

// The context's service holding its WaitCore. It is created after the
// context's first timer, hence after the reactor, so the context shuts it
// down before the reactor.
class WaitRegistry : public asio::execution_context::service {
 public:
  using key_type = WaitRegistry;
  inline static asio::execution_context::id id;

  explicit WaitRegistry(asio::execution_context& ctx)
      : asio::execution_context::service(ctx), core(std::make_shared<WaitCore>()) {}

  std::shared_ptr<WaitCore> core;

 private:
  void shutdown() override { core->detach_all(); }
};

inline std::shared_ptr<WaitCore> wait_core_of(const Executor& ex) {
  asio::execution_context& ctx = asio::query(ex, asio::execution::context);
  return asio::use_service<WaitRegistry>(ctx).core;
}

// The state of one wait operation, shared by its completion handler and its
// cancellation handler (which holds it weakly). Owner is any type with a
// `std::mutex mu` member guarding the list at `list`.
template <class Owner>
struct WaitRecord final : WaitRecordBase {
  WaitRecord(std::shared_ptr<Owner> o, WaitList Owner::*l, const Executor& ex)
      : owner(std::move(o)), list(l), wait(ex), core(wait_core_of(ex)) {
    core->add(this);
  }
  WaitRecord(const WaitRecord&) = delete;
  WaitRecord& operator=(const WaitRecord&) = delete;

  // Never runs under the owner's mutex or the core's (see the handlers
  // below), so it can take them to unlink a wait that was abandoned, as at
  // io_context teardown. The timer itself is destroyed after both are released.
  ~WaitRecord() {
    {
      std::lock_guard<std::mutex> lock(owner->mu);
      (owner.get()->*list).erase(&wait);
    }
    core->remove(this);
  }

  void detach() noexcept override {
    std::lock_guard<std::mutex> lock(owner->mu);
    (owner.get()->*list).erase(&wait);
    detached = true;
  }

  std::shared_ptr<Owner> owner;
  WaitList Owner::*list;
  TimerWait wait;
  std::shared_ptr<WaitCore> core;
  bool pending = true;    // guarded by owner->mu
  bool cancelled = false; // guarded by owner->mu
  bool detached = false;  // guarded by owner->mu: the context is being torn down
};

template <class Owner>
class WaitCancellation {
 public:
  explicit WaitCancellation(std::weak_ptr<WaitRecord<Owner>> rec) : rec_(std::move(rec)) {}

  void operator()(asio::cancellation_type_t type) {
    if (type == asio::cancellation_type::none) return;
    std::shared_ptr<WaitRecord<Owner>> rec = rec_.lock();
    if (!rec) return;
    std::shared_ptr<Owner> owner = rec->owner;
    {
      std::lock_guard<std::mutex> lock(owner->mu);
      if (rec->pending && !rec->cancelled && !rec->detached) {
        rec->cancelled = true;
        (owner.get()->*(rec->list)).erase(&rec->wait);
        rec->wait.timer.expires_at(asio::steady_timer::time_point::min());
      }
    }
    // `rec` may be the last reference; it is released here, unlocked.
  }

 private:
  std::weak_ptr<WaitRecord<Owner>> rec_;
};

// The handler of the timer wait: re-checks the condition and either waits
// again or completes the user's handler. Carries the user's executor and
// allocator, but not its cancellation slot (cancellation goes through
// WaitCancellation, under the owner's mutex).
template <class Owner, class Ready, class Handler>
class WaitHandler {
 public:
  using executor_type = asio::associated_executor_t<Handler, Executor>;
  using allocator_type = asio::associated_allocator_t<Handler>;

  WaitHandler(std::shared_ptr<WaitRecord<Owner>> rec, Handler handler, Ready ready,
              const Executor& fallback, asio::steady_timer::time_point deadline)
      : rec_(std::move(rec)),
        handler_(std::move(handler)),
        ready_(std::move(ready)),
        executor_(asio::get_associated_executor(handler_, fallback)),
        deadline_(deadline) {}

  WaitHandler(WaitHandler&&) = default;
  WaitHandler& operator=(WaitHandler&&) = delete;

  executor_type get_executor() const noexcept { return executor_; }
  allocator_type get_allocator() const noexcept { return asio::get_associated_allocator(handler_); }

  // Must be called with the owner's mutex held.
  void arm_locked() {
    Owner& owner = *rec_->owner;
    const bool done = rec_->cancelled || ready_(owner);
    TimerWait& w = rec_->wait;
    w.timer.expires_at(done ? asio::steady_timer::time_point::min() : deadline_);
    if (!done && !rec_->detached) (owner.*(rec_->list)).push(&w);
    w.timer.async_wait(std::move(*this));  // *this is moved-from now
  }

  void operator()(std::error_code /*timer result: wake-ups are cancellations*/) {
    std::shared_ptr<Owner> owner = rec_->owner;
    bool ready = false;
    bool timed_out = false;
    {
      std::lock_guard<std::mutex> lock(owner->mu);
      (owner.get()->*(rec_->list)).erase(&rec_->wait);
      ready = ready_(*owner);
      timed_out = !ready && !rec_->cancelled && asio::steady_timer::clock_type::now() >= deadline_;
      if (!ready && !rec_->cancelled && !timed_out) {
        arm_locked();
        return;
      }
      rec_->pending = false;
    }
    Handler handler = std::move(handler_);
    rec_.reset();  // unlocked: unlinks nothing more and destroys the timer
    std::error_code result;
    if (timed_out) {
      result = asio::error::timed_out;
    } else if (!ready) {
      result = asio::error::operation_aborted;
    }
    std::move(handler)(result);
  }

 private:
  std::shared_ptr<WaitRecord<Owner>> rec_;
  Handler handler_;
  Ready ready_;
  executor_type executor_;
  asio::steady_timer::time_point deadline_;
};

template <class Owner, class Ready>
struct InitiateWait {
  template <class Handler>
  void operator()(Handler&& handler, std::shared_ptr<Owner> owner, WaitList Owner::*list,
                  Ready ready, Executor timer_executor,
                  asio::steady_timer::time_point deadline = asio::steady_timer::time_point::max()) const {
    using H = std::decay_t<Handler>;
    auto rec = std::make_shared<WaitRecord<Owner>>(owner, list, timer_executor);
    auto slot = asio::get_associated_cancellation_slot(handler);
    if (slot.is_connected()) {
      slot.template emplace<WaitCancellation<Owner>>(std::weak_ptr<WaitRecord<Owner>>(rec));
    }
    WaitHandler<Owner, Ready, H> wh(std::move(rec), H(std::forward<Handler>(handler)),
                                    std::move(ready), timer_executor, deadline);
    std::lock_guard<std::mutex> lock(owner->mu);
    wh.arm_locked();
  }
};

// For consuming operations (recv, send) after their wait: a wait that was
// ready in the same turn as its parent's cancellation still completes, but
// the operation must then take (or put) nothing. Inside a parallel group
// whose branches run on one strand this makes a losing receive lose nothing.
inline void throw_if_cancelled(const asio::cancellation_state& state) {
  if (state.cancelled() != asio::cancellation_type::none) {
    throw std::system_error(asio::error::operation_aborted);
  }
}

// Completes `token` (signature void(std::error_code)) once `ready(owner)`,
// evaluated under owner->mu, is true, or with timed_out once `deadline` has
// passed without it; never completes inline. The timer runs on
// `timer_executor`; completion goes to the handler's associated executor, or
// to `timer_executor` when it has none.
template <class Owner, class Ready, class Token>
auto async_wait_until(std::shared_ptr<Owner> owner, WaitList Owner::*list, Ready ready,
                      const Executor& timer_executor, Token&& token,
                      asio::steady_timer::time_point deadline = asio::steady_timer::time_point::max()) {
  return asio::async_initiate<Token, void(std::error_code)>(
      InitiateWait<Owner, Ready>{}, token, std::move(owner), list, std::move(ready),
      timer_executor, deadline);
}

}  // namespace vardimont::async::detail
