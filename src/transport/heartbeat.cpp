// Heartbeats follow the peer id, not a connection: each tick sends through
// whatever connection the peer table holds for the peer at that moment. One
// task runs per registration; every task of a peer ends when that peer's
// PeerDisconnected is published.
//
// The sleep is a timer armed once per heartbeat; events that wake the task
// leave its expiry alone. When the sleep's end and events are ready together,
// the events are looked at first, so a disconnection that is already announced
// is never followed by one more heartbeat.
#include <chrono>
#include <optional>
#include <utility>
#include <variant>

#include "async/asio.h"
#include "transport/peer.h"
#include "transport/transport.h"
#include "transport/transport_state.h"
#include "wire/message.h"

namespace vardimont::transport {

namespace {

using Clock = std::chrono::steady_clock;
using asio::experimental::make_parallel_group;
using asio::experimental::wait_for_one;

enum class Seen { Nothing, OwnDisconnection, Closed };

// Takes every ready event; lag notices and other peers' events are skipped.
Seen take_events(EventReceiver& events, const NodeId& peer) {
  while (auto item = events.try_recv()) {
    if (std::holds_alternative<async::Closed>(*item)) return Seen::Closed;
    if (const auto* event = std::get_if<Event>(&*item)) {
      const auto* gone = std::get_if<PeerDisconnected>(event);
      if (gone && gone->peer == peer) return Seen::OwnDisconnection;
    }
  }
  return Seen::Nothing;
}

// The loop itself; see heartbeat_loop for the executor it must run on.
async::awaitable<void> beat(Transport self, NodeId peer) {
  try {
    // Subscribed when the task first runs: earlier events are not seen.
    EventReceiver events = self.subscribe_events();
    asio::steady_timer sleep(co_await asio::this_coro::executor);
    bool watching = true;  // false only if the broadcast closed, which a live Transport prevents

    for (;;) {
      const auto deadline = deadline_after(self.config().heartbeat_interval);
      sleep.expires_at(deadline.value_or(Clock::time_point::max()));

      bool sleep_over = false;
      while (!sleep_over) {
        if (watching) {
          auto [order, sleep_ec, event_ec] =
              co_await make_parallel_group(sleep.async_wait(async::deferred),
                                           events.async_wait_ready(sleep.get_executor(), async::deferred))
                  .async_wait(wait_for_one(), async::use_awaitable);
          (void)order;
          if (!event_ec) {
            const Seen seen = take_events(events, peer);
            if (seen == Seen::OwnDisconnection) co_return;
            if (seen == Seen::Closed) watching = false;
          }
          // A cancelled sleep is waited for again with the same expiry.
          sleep_over = !sleep_ec;
        } else {
          auto [sleep_ec] = co_await sleep.async_wait(async::use_tuple);
          sleep_over = !sleep_ec;
        }
      }

      // Tick: through whichever connection is registered now, if any.
      std::optional<PeerHandle> handle = self.state().peers.find(peer);
      if (!handle) co_return;
      WireMessage hb;
      hb.version = wire::PROTOCOL_VERSION;
      hb.msg_id = self.take_msg_id();
      hb.src = self.local_full();
      hb.kind = wire::MessageKind::Heartbeat;
      // Waits for room without a time-out; later heartbeats are delayed by as
      // much, missed intervals are not made up.
      auto sent = co_await handle->send(std::move(hb));
      if (!sent.ok()) co_return;
    }
  } catch (const std::exception&) {
    // A task ends quietly.
  }
}

}  // namespace

async::awaitable<void> Transport::heartbeat_loop(Transport self, NodeId peer) {
  // Asio's parallel group is not safe when it completes on one thread while
  // the thread that launched it is still inside the launch (which registers
  // the group's cancellation handler in the coroutine's slot after starting
  // both operations). On the bare io_context executor both worker threads can
  // do that, and the loop then resumes frames that have already finished. On
  // a strand of its own every completion waits until the launch is over.
  try {
    const async::Executor strand = asio::make_strand(self.executor());
    co_await asio::co_spawn(strand, beat(std::move(self), std::move(peer)), async::use_awaitable);
  } catch (const std::exception&) {
    // A task ends quietly.
  }
}

}  // namespace vardimont::transport
