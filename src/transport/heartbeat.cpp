// Heartbeats follow the peer id, not a connection: each tick sends through
// whatever connection the peer table holds for the peer at that moment. One
// task runs per registration; every task of a peer ends when that peer's
// PeerDisconnected is published.
//
// The sleep is a timer armed once per heartbeat; the events are watched
// beside it (DisconnectionWatch), so other events leave the sleep alone and
// the peer's disconnection ends it. When the sleep's end and events are ready
// together, the events are looked at first, so a disconnection that is
// already announced is never followed by one more heartbeat.
#include <chrono>
#include <memory>
#include <optional>
#include <utility>

#include "async/asio.h"
#include "transport/disconnection_watch.h"
#include "transport/peer.h"
#include "transport/transport.h"
#include "transport/transport_state.h"
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

// One heartbeat task's state, shared with its pending event watch; used on
// the task's strand only.
struct Beat : std::enable_shared_from_this<Beat> {
  Beat(Transport t, NodeId p, const async::Executor& strand)
      : self(std::move(t)), peer(std::move(p)), watch(self.subscribe_events()), sleep(strand) {
    watch.follow(peer);
  }

  void watch_events() {
    watch.watch(sleep.get_executor(), shared_from_this(), [this](DisconnectionWatch::Seen seen) {
      if (seen != DisconnectionWatch::Seen::OwnDisconnection) return;
      gone = true;
      sleep.cancel();
    });
  }

  Transport self;
  NodeId peer;
  DisconnectionWatch watch;
  asio::steady_timer sleep;
  bool gone = false;  // the peer's PeerDisconnected was seen
};

// The loop itself; see heartbeat_loop for the executor it must run on.
async::awaitable<void> beat(Transport self, NodeId peer) {
  std::shared_ptr<Beat> b;
  try {
    // Subscribed when the task first runs: earlier events are not seen.
    b = std::make_shared<Beat>(std::move(self), std::move(peer), co_await asio::this_coro::executor);
    b->watch_events();
    for (;;) {
      b->sleep.expires_at(sleep_deadline(b->self.config().heartbeat_interval));
      if (!b->gone) co_await b->sleep.async_wait(async::use_tuple);
      if (b->gone || b->watch.take() == DisconnectionWatch::Seen::OwnDisconnection) break;

      // Tick: through whichever connection is registered now, if any.
      std::optional<PeerHandle> handle = b->self.state().peers.find(b->peer);
      if (!handle) break;
      WireMessage hb;
      hb.version = wire::PROTOCOL_VERSION;
      hb.msg_id = b->self.take_msg_id();
      hb.src = b->self.local_full();
      hb.kind = wire::MessageKind::Heartbeat;
      // Waits for room without a time-out; later heartbeats are delayed by as
      // much, missed intervals are not made up.
      auto sent = co_await handle->send(std::move(hb));
      if (!sent.ok()) break;
    }
  } catch (const std::exception&) {
    // A task ends quietly.
  }
  if (b) b->watch.stop();
}

}  // namespace

async::awaitable<void> Transport::heartbeat_loop(Transport self, NodeId peer) {
  // The task and its event watch share its state: on a strand of its own
  // they never run at once.
  try {
    const async::Executor strand = asio::make_strand(self.executor());
    co_await asio::co_spawn(strand, beat(std::move(self), std::move(peer)), async::use_awaitable);
  } catch (const std::exception&) {
    // A task ends quietly.
  }
}

}  // namespace vardimont::transport
