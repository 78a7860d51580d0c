// The execution context of every asynchronous wait on a queue or a broadcast
// (wait.h): an io_context whose teardown comes in an order of its own.
//
// Asio shuts a context's services down in the reverse order of their
// creation, and a service that is shut down destroys what reaches it from
// then on: a wake that another thread posts through a strand that is already
// shut down would destroy the completion, and with it a suspended coroutine,
// right there under the lock of the queue being woken. So the teardown first
// abandons every pending wait of the context, while all of its services (the
// scheduler, the strands, the reactor of a deadline's timer) are still up:
// from then on no notifier posts into the context. Only then are the
// services shut down, which destroys every handler left; the destruction
// closes the reactor's own descriptors.
//
// A wait whose executor belongs to any other execution context is refused
// (wait.h): nothing could abandon it in time.
//
// The reactor is made with the context, so that a context that cannot have
// its descriptors (epoll, the interrupter, the timer descriptor) fails at
// construction (std::system_error) instead of in its first task.
#pragma once

#include <memory>

#include "async/asio.h"

namespace vardimont::async {

namespace detail {
struct WaitCore;
}

class Context : public asio::io_context {
 public:
  Context();
  explicit Context(int concurrency_hint);
  ~Context();  // abandons every pending wait, then the io_context's teardown

  // Abandons every pending wait, then shuts the services down: every handler
  // left is destroyed (and every coroutine suspended in one), which closes
  // the sockets of the context. What remains for the destruction is the
  // reactor's own descriptors.
  void shutdown();

 private:
  std::shared_ptr<detail::WaitCore> waits_;  // also held by its wait registry (wait.h)
};

}  // namespace vardimont::async
