// Delivery to Python: the two kinds of task that carry work from a node's
// runtime to asyncio loops. One drain_loop per registered actor takes the
// actor's mailbox messages and schedules `callback(payload, meta_dict)`; one
// event_drain_loop per event handler schedules `callback(event_dict)` for each
// transport event. Both only ever hand the callback to the loop's
// call_soon_threadsafe (looked up anew for every item); neither calls it.
//
// A worker thread takes what is ready (at most 64 items, and for messages no
// more once their payloads reach 64 KiB) and holds the GIL across their
// conversions and scheduling calls, in order, never across a wait. A failed
// item is dropped with a WARN event on `_core::py::node` and the task goes
// on; a task whose thread can no longer attach to the interpreter (it is
// shutting down) ends.
#pragma once

#include "py/python.h"

#include <atomic>
#include <memory>

#include "async/asio.h"
#include "async/queue.h"
#include "py/ref.h"
#include "transport/transport.h"
#include "wire/message.h"

namespace vardimont::py {

// The event loop and the callback that one task delivers to; strong
// references owned by that task. Destroying it never needs the GIL: the two
// references go to the deferred-release list, so it may happen on any thread
// (a worker, or the thread that destroys a shut-down runtime).
class Delivery {
 public:
  // Takes a new reference to each. Needs the GIL. `node_stopped` turns true
  // when the node is stopped; nothing is delivered from then on.
  Delivery(PyObject* event_loop, PyObject* callback, std::shared_ptr<const std::atomic<bool>> node_stopped) noexcept;
  Delivery(Delivery&& other) noexcept = default;
  Delivery& operator=(Delivery&&) = delete;
  Delivery(const Delivery&) = delete;
  ~Delivery();

  PyObject* event_loop() const noexcept { return event_loop_.get(); }
  PyObject* callback() const noexcept { return callback_.get(); }
  bool node_stopped() const noexcept { return node_stopped_->load(std::memory_order_acquire); }

 private:
  Ref event_loop_;
  Ref callback_;
  std::shared_ptr<const std::atomic<bool>> node_stopped_;
};

// An actor's task: runs until its mailbox is closed and drained, or until the
// interpreter can't be entered any more.
async::awaitable<void> drain_loop(async::Receiver<wire::WireMessage> mailbox, Delivery delivery);

// An event handler's task: runs until the broadcast closes or the interpreter
// can't be entered any more. Events lost by falling behind are skipped, with
// a WARN "event handler fell behind, events skipped" saying how many.
async::awaitable<void> event_drain_loop(transport::EventReceiver events, Delivery delivery);

// --- the pieces of one delivery, exposed for the loops' tests

// The metadata of a message: {"src", "reply_to", "correlation_id", "msg_id"},
// in that order. New reference, or nullptr with an exception set. Needs the GIL.
PyObject* meta_dict(const wire::WireMessage& message);

// The dictionary of an event: "kind" first, then its keys. New reference, or
// nullptr with an exception set. Needs the GIL.
PyObject* event_dict(const transport::Event& event);

}  // namespace vardimont::py
