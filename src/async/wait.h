// The one way anything waits on a queue or a broadcast: a Waiter linked in
// its owner's wait list, which a notifier unlinks and wakes under the owner's
// mutex. Two kinds of waiter share that path and differ only in how they
// resume:
// - a plain thread parks on a condition variable of its own (park());
// - an asynchronous wait, a coroutine's, keeps its completion handler in an
//   operation record (WaitOp); waking it posts the handler to its executor.
//
// Invariants that make this free of lost wake-ups and data races:
// - the condition is checked and the waiter linked in one critical section of
//   the owner's mutex, and a notifier changes the condition and wakes in one;
// - a waiter is completed exactly once, by whichever of the wake, its
//   cancellation, its deadline or its context's teardown unlinks it first
//   (each under the owner's mutex);
// - a wake says that the condition held when it was sent; the caller re-checks
//   under the mutex, since another waiter may have taken what was there.
//
// Where a woken coroutine runs. A queue's push (or its last sender's drop)
// resumes the waiting receiver (Resume::OnThisWorker), when the notifier is a
// worker of the receiver's own context, on that same worker as soon as the
// notifying handler returns: no other thread is woken for it. Such a
// continuation is held back while the notifying handler runs, so a handler
// that pushes must not block its thread afterwards (the delivery loops, which
// wait for the GIL, never push). Every other wake (Resume::Anywhere) goes to
// whichever worker is free: a pop's room, since the popping handler may be
// about to block; and a broadcast's publish, whose many waiters should not
// queue up behind the publisher. A notifier that is no worker of that context
// always does the latter.
//
// An asynchronous wait runs only on an async::Context (context.h): the
// executor that it completes on must belong to one. A wait on any other
// execution context is refused: it completes at once, through that executor
// and never inline, with wait_refused(). The wait counts as outstanding work
// of its context, so run() does not return under it. Destroying the context
// destroys a pending wait's handler (and the suspended coroutine with it)
// without running it: the context's teardown first abandons every wait of the
// context (unlinks it, under its owner's mutex), while all of the context's
// services are still up, so that no notifier on another thread posts into a
// context that is going away. A wait may be cancelled through its handler's
// cancellation slot (any cancellation type); it then completes with
// operation_aborted unless it was woken first. A wait with a deadline
// completes with timed_out once the deadline has passed without a wake.
//
// A plain thread's wait refuses to park a runtime worker (BlockingOnWorker),
// which the awaited item or room may need, before it touches anything.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "async/asio.h"
#include "async/context.h"
#include "async/runtime.h"

namespace vardimont::async::detail {

enum class Resume : bool { Anywhere, OnThisWorker };

// One registered waiter. Its links are guarded by the owner's mutex.
class Waiter {
 public:
  Waiter() = default;
  Waiter(const Waiter&) = delete;
  Waiter& operator=(const Waiter&) = delete;

  // Called by a notifier with the owner's mutex held, after unlinking. Never
  // resumes the waiter inline.
  virtual void wake(Resume how) noexcept = 0;

  Waiter* prev = nullptr;
  Waiter* next = nullptr;
  bool linked = false;

 protected:
  ~Waiter() = default;
};

// The waiters registered with one owner: an intrusive list, guarded by the
// owner's mutex.
class WaitList {
 public:
  WaitList() = default;
  WaitList(const WaitList&) = delete;
  WaitList& operator=(const WaitList&) = delete;

  bool empty() const noexcept { return head_ == nullptr; }

  void push(Waiter* w) noexcept {
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

  void erase(Waiter* w) noexcept {
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

  // Unlinks and wakes every registered waiter; each re-checks its condition
  // and registers again if it must.
  void wake_all(Resume how) noexcept {
    while (Waiter* w = head_) {
      erase(w);
      w->wake(how);
    }
  }

 private:
  Waiter* head_ = nullptr;
  Waiter* tail_ = nullptr;
};

// A plain thread's wait, the one place where a thread parks on an owner.
// Throws BlockingOnWorker on a runtime worker thread, before anything else.
// Gives `outcome` as it is when there is no owner (a moved-from end);
// otherwise runs `attempt(*owner, outcome)` under the owner's mutex until it
// returns true, having set the outcome, and parks the caller between two
// attempts until a notifier wakes it through the owner's `list`. The mutex is
// released while parked.
template <class Owner, class Outcome, class Attempt>
Outcome park_until(Owner* owner, WaitList Owner::*list, Outcome outcome, Attempt attempt) {
  Runtime::check_blocking_allowed();
  if (owner == nullptr) return outcome;
  struct ThreadWaiter final : Waiter {
    void wake(Resume) noexcept override {
      woken = true;
      cv.notify_one();  // under the owner's mutex: the waiter cannot be gone yet
    }
    std::condition_variable cv;
    bool woken = false;
  };
  std::unique_lock<std::mutex> lock(owner->mu);
  for (;;) {
    if (attempt(*owner, outcome)) return outcome;
    ThreadWaiter waiter;
    (owner->*list).push(&waiter);
    waiter.cv.wait(lock, [&] { return waiter.woken; });
  }
}

// ---- asynchronous waits

// What the context's teardown needs of a pending asynchronous wait.
class PendingWait : public Waiter {
 public:
  // Called under the core's mutex: takes the owner's mutex, unlinks the wait
  // and hands back what keeps it alive, to be released once no lock is held.
  virtual std::shared_ptr<void> abandon() noexcept = 0;

  PendingWait* core_prev = nullptr;
  PendingWait* core_next = nullptr;

 protected:
  ~PendingWait() = default;
};

// Every pending asynchronous wait of one execution context.
// Lock order: WaitCore::mu, then an owner's mutex.
struct WaitCore {
  std::mutex mu;
  PendingWait* head = nullptr;  // guarded by mu

  void add(PendingWait* w) noexcept {
    std::lock_guard<std::mutex> lock(mu);
    w->core_prev = nullptr;
    w->core_next = head;
    if (head != nullptr) head->core_prev = w;
    head = w;
  }
  void remove(PendingWait* w) noexcept {
    std::lock_guard<std::mutex> lock(mu);
    if (w->core_prev != nullptr) {
      w->core_prev->core_next = w->core_next;
    } else if (head == w) {
      head = w->core_next;
    }
    if (w->core_next != nullptr) w->core_next->core_prev = w->core_prev;
    w->core_prev = w->core_next = nullptr;
  }
  void abandon_all() noexcept {
    std::vector<std::shared_ptr<void>> released;  // destroyed after the lock
    std::lock_guard<std::mutex> lock(mu);
    for (PendingWait* w = head; w != nullptr; w = w->core_next) {
      if (std::shared_ptr<void> keep = w->abandon()) released.push_back(std::move(keep));
    }
  }
};

// Where a wait finds the WaitCore of its context, in one service lookup: the
// registry of an async::Context holds the context's core, set by the context
// as it is made, before any other thread can see it; the registry that a
// wait makes in any other context holds none, and the wait is refused. The
// context itself abandons the waits in its teardown; the order of the
// services' shutdown plays no part.
class WaitRegistry : public asio::execution_context::service {
 public:
  using key_type = WaitRegistry;
  inline static asio::execution_context::id id;

  explicit WaitRegistry(asio::execution_context& ctx) : asio::execution_context::service(ctx) {}

  std::shared_ptr<WaitCore> core;  // null outside an async::Context

 private:
  void shutdown() override {}
};

// The waits of the async::Context of `ex`; null for any other context.
inline const std::shared_ptr<WaitCore>& wait_core_of(const Executor& ex) {
  return asio::use_service<WaitRegistry>(asio::query(ex, asio::execution::context)).core;
}

class WaitErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "vardimont.async.wait"; }
  std::string message(int) const override {
    return "a queue or broadcast wait needs an executor of a vardimont::async::Context";
  }
};

// The outcome of a wait whose executor belongs to no async::Context.
inline std::error_code wait_refused() noexcept {
  static const WaitErrorCategory category;
  return std::error_code(1, category);
}

// Completes `handler` with `ec` through `ex`, never inline.
template <class Handler>
void complete_soon(Handler&& handler, const Executor& ex, std::error_code ec) {
  asio::post(ex, [h = std::decay_t<Handler>(std::forward<Handler>(handler)), ec]() mutable { std::move(h)(ec); });
}

// One asynchronous wait. Owner is any type with a `std::mutex mu` member
// guarding the list at `list`. While linked, the record keeps itself alive
// (`self`); completing it moves that reference into the posted completion.
template <class Owner, class Handler>
class WaitOp final : public PendingWait {
 public:
  // `executor` is the handler's, of the async::Context whose waits are `core`.
  WaitOp(std::shared_ptr<Owner> owner, WaitList Owner::*list, Handler handler, Executor executor,
         std::shared_ptr<WaitCore> core)
      : owner_(std::move(owner)),
        list_(list),
        handler_(std::move(handler)),
        executor_(std::move(executor)),
        work_(asio::prefer(executor_, asio::execution::outstanding_work.tracked)),
        core_(std::move(core)) {
    core_->add(this);
  }
  // A linked record holds itself (`self_`), so it is unlinked by the time it
  // goes; never destroyed under the owner's mutex or the core's.
  ~WaitOp() { core_->remove(this); }

  // Links the wait, or completes it at once when `ready`; under the owner's mutex.
  void start_locked(std::shared_ptr<WaitOp> self, bool ready, asio::steady_timer::time_point deadline) {
    self_ = std::move(self);
    if (ready) {
      complete_locked(std::error_code(), Resume::Anywhere);
      return;
    }
    (owner_.get()->*list_).push(this);
    if (deadline != asio::steady_timer::time_point::max()) {
      timer_.emplace(executor_, deadline);
      timer_->async_wait([op = self_](std::error_code ec) {
        if (ec == asio::error::operation_aborted) return;
        std::lock_guard<std::mutex> lock(op->owner_->mu);
        op->complete_locked(asio::error::timed_out, Resume::Anywhere);
      });
    }
  }

  void wake(Resume how) noexcept override { complete_locked(std::error_code(), how); }

  // From the cancellation slot.
  void cancel() {
    std::lock_guard<std::mutex> lock(owner_->mu);
    complete_locked(asio::error::operation_aborted, Resume::Anywhere);
  }

  std::shared_ptr<void> abandon() noexcept override {
    std::lock_guard<std::mutex> lock(owner_->mu);
    if (done_) return nullptr;
    done_ = true;
    (owner_.get()->*list_).erase(this);
    if (timer_) timer_->cancel();
    return std::move(self_);
  }

 private:
  // Runs the handler on its executor; the record goes first.
  struct Completion {
    std::shared_ptr<WaitOp> op;
    std::error_code ec;

    void operator()() {
      Handler handler = std::move(*op->handler_);
      op.reset();
      std::move(handler)(ec);
    }
  };

  void complete_locked(std::error_code ec, Resume how) noexcept {
    if (done_) return;
    done_ = true;
    (owner_.get()->*list_).erase(this);
    if (timer_) timer_->cancel();
    // Once posted, the completion may run on another worker and free this
    // record at once: nothing of it is touched after the post. The work it
    // tracked is released after the post, which holds the context's work.
    std::optional<Executor> work = std::move(work_);
    const Executor ex = asio::require(executor_, asio::execution::blocking.never);
    if (how == Resume::OnThisWorker) {
      asio::prefer(ex, asio::execution::relationship.continuation).execute(Completion{std::move(self_), ec});
    } else {
      ex.execute(Completion{std::move(self_), ec});
    }
  }

  std::shared_ptr<Owner> owner_;
  WaitList Owner::*list_;
  std::optional<Handler> handler_;
  Executor executor_;
  std::optional<Executor> work_;  // tracks outstanding work while the wait is pending
  std::shared_ptr<WaitCore> core_;
  // The rest is guarded by owner_->mu.
  std::shared_ptr<WaitOp> self_;
  std::optional<asio::steady_timer> timer_;
  bool done_ = false;
};

template <class Op>
class WaitCancellation {
 public:
  explicit WaitCancellation(std::weak_ptr<Op> op) : op_(std::move(op)) {}

  void operator()(asio::cancellation_type_t type) {
    if (type == asio::cancellation_type::none) return;
    if (std::shared_ptr<Op> op = op_.lock()) op->cancel();
    // `op` may be the last reference; it is released here, unlocked.
  }

 private:
  std::weak_ptr<Op> op_;
};

template <class Owner, class Ready>
struct InitiateWait {
  template <class Handler>
  void operator()(Handler&& handler, std::shared_ptr<Owner> owner, WaitList Owner::*list, Ready ready,
                  Executor fallback,
                  asio::steady_timer::time_point deadline = asio::steady_timer::time_point::max()) const {
    using Op = WaitOp<Owner, std::decay_t<Handler>>;
    Executor ex = asio::get_associated_executor(handler, fallback);
    std::shared_ptr<WaitCore> core = wait_core_of(ex);
    if (!core) {
      complete_soon(std::forward<Handler>(handler), ex, wait_refused());
      return;
    }
    auto slot = asio::get_associated_cancellation_slot(handler);
    auto op = std::make_shared<Op>(owner, list, std::forward<Handler>(handler), std::move(ex), std::move(core));
    if (slot.is_connected()) slot.template emplace<WaitCancellation<Op>>(std::weak_ptr<Op>(op));
    std::lock_guard<std::mutex> lock(owner->mu);
    const bool now = ready(*owner);
    op->start_locked(op, now, deadline);
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

// Completes `token` (signature void(std::error_code)) once the owner wakes
// `list` or `ready(owner)`, evaluated under owner->mu at the start, is
// already true; with timed_out once `deadline` has passed first; with
// wait_refused() at once when the executor belongs to no async::Context.
// Never completes inline. Completion goes to the handler's associated
// executor, or to `fallback` when it has none.
template <class Owner, class Ready, class Token>
auto async_wait_until(std::shared_ptr<Owner> owner, WaitList Owner::*list, Ready ready,
                      const Executor& fallback, Token&& token,
                      asio::steady_timer::time_point deadline = asio::steady_timer::time_point::max()) {
  return asio::async_initiate<Token, void(std::error_code)>(InitiateWait<Owner, Ready>{}, token, std::move(owner),
                                                            list, std::move(ready), fallback, deadline);
}

}  // namespace vardimont::async::detail
