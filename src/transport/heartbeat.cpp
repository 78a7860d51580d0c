// One heartbeat task per registered connection: each tick sends through the
// connection that the peer table holds for the peer, as long as that is the
// task's own. A task whose connection was replaced or has ended stops at its
// next tick without sending, so the connection in use gets one task however
// often the peer reconnected; every task of a peer also ends when that
// peer's disconnection is announced.
//
// The sleep is a timer armed once per heartbeat; the task follows its peer's
// disconnection beside it (Disconnections), which ends the sleep. Other
// events never reach the task. A disconnection announced before the sleep
// ends is seen before the tick, so it is never followed by one more
// heartbeat.
#include <chrono>
#include <memory>
#include <optional>
#include <utility>

#include "async/asio.h"
#include "transport/disconnections.h"
#include "transport/peer.h"
#include "transport/transport.h"
#include "transport/internal.h"
#include "wire/message.h"

namespace vardimont::transport {

namespace {

using Clock = std::chrono::steady_clock;

// The end of a sleep of `interval` from now, at millisecond granularity: the
// deadline is rounded up to the next whole millisecond of the steady clock,
// so that the sleeps of many heartbeat tasks that end within one millisecond
// end together and wake the node once. An interval too long to represent
// sleeps for ever.
Clock::time_point sleep_deadline(Duration interval) {
  const std::optional<Clock::time_point> deadline = deadline_after(interval);
  if (!deadline || *deadline > Clock::time_point::max() - std::chrono::milliseconds(1)) {
    return deadline.value_or(Clock::time_point::max());
  }
  return std::chrono::ceil<std::chrono::milliseconds>(*deadline);
}

// One heartbeat task's state, shared with the announcement of its peer's
// disconnection; used on the task's strand only.
struct Beat : std::enable_shared_from_this<Beat> {
  Beat(Transport t, NodeId p, PeerHandle::ConnectionRef c, const async::Executor& strand)
      : self(std::move(t)), peer(std::move(p)), connection(std::move(c)), sleep(strand) {}

  // Counts the announcements made from the task's first run on.
  void follow_peer() {
    following = disconnections(self).follow(peer, disconnections(self).mark(), [weak = weak_from_this()] {
      if (std::shared_ptr<Beat> b = weak.lock()) {
        const async::Executor strand = b->sleep.get_executor();
        asio::post(strand, [b = std::move(b)] { b->on_disconnected(); });
      }
    });
  }

  // Ends the task, unless its connection is the one registered: the
  // announcement is then of an older connection of the peer.
  void on_disconnected() {
    if (is_registered(self, peer, connection)) {
      follow_peer();
      return;
    }
    gone = true;
    sleep.cancel();
  }

  Transport self;
  NodeId peer;
  PeerHandle::ConnectionRef connection;
  asio::steady_timer sleep;
  Disconnections::Following following;
  bool gone = false;  // the peer's disconnection was announced
};

}  // namespace

async::awaitable<void> heartbeat_loop(Transport self, NodeId peer, PeerHandle::ConnectionRef connection) {
  // Follows from when the task first runs: earlier announcements are not seen.
  auto b = std::make_shared<Beat>(std::move(self), std::move(peer), std::move(connection),
                                  co_await asio::this_coro::executor);
  b->follow_peer();
  for (;;) {
    b->sleep.expires_at(sleep_deadline(b->self.config().heartbeat_interval));
    if (!b->gone) co_await b->sleep.async_wait(async::use_tuple);
    if (b->gone) break;

    // Tick: through the connection registered now, if it is this task's.
    std::optional<PeerHandle> handle = state_of(b->self).peers.find(b->peer);
    if (!handle || !handle->is(b->connection)) break;
    WireMessage hb;
    hb.version = wire::PROTOCOL_VERSION;
    hb.msg_id = take_msg_id(b->self);
    hb.src = b->self.local_full();
    hb.kind = wire::MessageKind::Heartbeat;
    // Waits for room without a time-out; later heartbeats are delayed by as
    // much, missed intervals are not made up.
    auto sent = co_await handle->send(std::move(hb));
    if (!sent.ok()) break;
  }
  b->following.stop();
}

}  // namespace vardimont::transport
