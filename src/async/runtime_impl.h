// Implementation of runtime.h's templates; include runtime.h instead.
#pragma once

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "async/runtime.h"

namespace vardimont::async {

namespace detail {

// Where block_on's operation leaves its outcome: a value, an exception, or
// neither, when the runtime's shutdown destroys the operation first.
template <class T>
struct BlockOnResult {
  using Stored = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  std::optional<Stored> value;
  std::exception_ptr error;
};

// Settles the result exactly once; destroyed unsettled, it leaves the result
// "dropped". It is a parameter of the operation's coroutine, so it lives in
// the frame from the start: a frame that the shutdown destroys before it ever
// ran still settles.
template <class T>
class BlockOnSettler {
 public:
  using Stored = typename BlockOnResult<T>::Stored;

  explicit BlockOnSettler(std::shared_ptr<BlockOnResult<T>> r) : result_(std::move(r)) {}
  BlockOnSettler(BlockOnSettler&& other) noexcept : result_(std::move(other.result_)) {}
  BlockOnSettler(const BlockOnSettler&) = delete;
  BlockOnSettler& operator=(const BlockOnSettler&) = delete;
  BlockOnSettler& operator=(BlockOnSettler&&) = delete;
  ~BlockOnSettler() { settle(std::nullopt, nullptr); }

  void succeed(Stored v) { settle(std::optional<Stored>(std::move(v)), nullptr); }
  void fail(std::exception_ptr e) { settle(std::nullopt, std::move(e)); }

 private:
  void settle(std::optional<Stored> v, std::exception_ptr e) noexcept {
    if (!result_) return;
    {
      std::lock_guard<std::mutex> lock(result_->mu);
      result_->value = std::move(v);
      result_->error = std::move(e);
      result_->done = true;
      result_->cv.notify_all();
    }
    result_.reset();
  }

  std::shared_ptr<BlockOnResult<T>> result_;
};

// Runs `aw` and settles `result`. An exception is handed over only after its
// catch block has ended, so that afterwards the caller holds the only
// reference to the exception object.
template <class T>
awaitable<void> settle(awaitable<T> aw, BlockOnSettler<T> settler) {
  std::exception_ptr error;
  try {
    if constexpr (std::is_void_v<T>) {
      co_await std::move(aw);
      settler.succeed(std::monostate{});
    } else {
      settler.succeed(co_await std::move(aw));
    }
  } catch (...) {
    error = std::current_exception();
  }
  if (error) settler.fail(std::move(error));
}

}  // namespace detail

template <class T>
T Runtime::block_on(awaitable<T> aw) {
  check_blocking_allowed();
  if (abandoned()) throw RuntimeStopped();
  auto result = std::make_shared<detail::BlockOnResult<T>>();
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!ctx_) throw RuntimeStopped();
    // From a thread outside the context, co_spawn only queues the coroutine.
    asio::co_spawn(*ctx_, detail::settle<T>(std::move(aw), detail::BlockOnSettler<T>(result)),
                   asio::detached);
  }
  std::unique_lock<std::mutex> lock(result->mu);
  result->cv.wait(lock, [&] { return result->done; });
  if (result->error) {
    std::exception_ptr error = std::move(result->error);
    lock.unlock();
    std::rethrow_exception(std::move(error));
  }
  if (!result->value) throw RuntimeStopped();
  if constexpr (!std::is_void_v<T>) return std::move(*result->value);
}

}  // namespace vardimont::async
