// Host-name lookups: the system resolver, run on the blocking pool of the
// calling coroutine's execution context, never on a worker thread, so a slow
// lookup holds up no other lookup and no task.
//
// The coroutine waits on a queue of one slot whose Sender the pool's job
// owns: when the context is torn down while a lookup runs, the waiting
// coroutine is simply destroyed, and the lookup, once it ends, finds the
// queue closed and throws its result away. Nothing waits for it.
//
// Callers decide which hosts need no lookup; whatever reaches lookup() goes
// to the resolver.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "async/asio.h"
#include "base/result.h"

namespace vardimont::async {

// The addresses found, in the resolver's order (possibly none).
using Endpoints = std::vector<asio::ip::tcp::endpoint>;
using LookupResult = Result<Endpoints, std::error_code>;
using LookupFunction = std::function<LookupResult(const std::string& host, std::uint16_t port)>;

// getaddrinfo for TCP streams of any address family, the port given as a
// numeric service; blocks the calling thread. Its errors are those of Asio's
// resolver (the same categories and texts).
LookupResult system_lookup(const std::string& host, std::uint16_t port);

// Looks `host` up with `port` on the blocking pool of the current executor's
// context and waits for the answer. An error of the pool itself (no thread
// could be started) comes back as the lookup's error. Cancelled (Asio's
// per-operation cancellation, as when a deadline awaited beside it passes
// first), it throws std::system_error with operation_aborted at once; the
// lookup runs on to its end on its pool thread and its result is dropped.
awaitable<LookupResult> lookup(std::string host, std::uint16_t port);

// Test seam: replaces, for the whole process, the function that the pool's
// lookups run (an empty function restores system_lookup). A lookup already
// running keeps the function it started with.
void set_lookup_function(LookupFunction fn);

}  // namespace vardimont::async
