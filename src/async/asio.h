// The Asio names the project uses, the same under Asio 1.22 and 1.30 (where
// as_tuple and deferred left the experimental namespace).
#pragma once

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif
#ifndef ASIO_NO_DEPRECATED
#define ASIO_NO_DEPRECATED
#endif

#include <asio.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/experimental/parallel_group.hpp>
#include <asio/version.hpp>

#if ASIO_VERSION < 102400
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/deferred.hpp>
#endif

namespace vardimont::async {

#if ASIO_VERSION < 102400
using asio::experimental::as_tuple;
inline constexpr auto& deferred = asio::experimental::deferred;
#else
using asio::as_tuple;
inline constexpr auto& deferred = asio::deferred;
#endif

using asio::awaitable;
using asio::use_awaitable;
using Executor = asio::any_io_executor;

// Completion token for awaited operations whose failures come back as values.
inline constexpr auto use_tuple = as_tuple(asio::use_awaitable);

}  // namespace vardimont::async
