// Implementation of runtime.h's templates; include runtime.h instead.
#pragma once

#include <exception>
#include <future>
#include <type_traits>
#include <utility>

#include "async/runtime.h"

namespace vardimont::async {

namespace detail {

// Runs `aw` and settles `done` with its outcome. The promise lives in this
// coroutine's frame: if the runtime's shutdown destroys the frame first, the
// promise breaks and the waiting thread learns it.
template <class T>
awaitable<void> settle(awaitable<T> aw, std::promise<T> done) {
  try {
    if constexpr (std::is_void_v<T>) {
      co_await std::move(aw);
      done.set_value();
    } else {
      done.set_value(co_await std::move(aw));
    }
  } catch (...) {
    done.set_exception(std::current_exception());
  }
}

}  // namespace detail

template <class T>
T Runtime::block_on(awaitable<T> aw) {
  check_blocking_allowed();
  std::promise<T> promise;
  std::future<T> result = promise.get_future();
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!ctx_) throw RuntimeStopped();
    // From a thread outside the context, co_spawn only queues the coroutine.
    asio::co_spawn(*ctx_, detail::settle<T>(std::move(aw), std::move(promise)), asio::detached);
  }
  try {
    return result.get();
  } catch (const std::future_error& e) {
    if (e.code() == std::future_errc::broken_promise) throw RuntimeStopped();
    throw;
  }
}

}  // namespace vardimont::async
