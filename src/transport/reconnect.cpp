// Reconnection: a loop per peer that dials again at a fixed pause until the
// peer is connected, no longer wanted, or the optional limit of attempts is
// used up; and the node's one supervisor, which starts such a loop for every
// disconnection of a wanted peer, and, whenever it has fallen behind the
// events, for every wanted peer that is neither connected nor has a loop
// running. Each loop is counted per peer (ReconnectLoops) from the moment it is
// made until its frame is destroyed. A disconnection starts a loop even when
// one runs: several can run for one peer, each counting its own attempts.
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "async/asio.h"
#include "log/log.h"
#include "transport/transport.h"
#include "transport/internal.h"

namespace vardimont::transport {

namespace {

// The table of running reconnect loops, kept alive with the transport state.
std::shared_ptr<ReconnectLoops> loops_of(const Transport& t) {
  const std::shared_ptr<Transport::Shared>& shared = shared_state(t);
  return {shared, &shared->reconnect_loops};
}

using Clock = std::chrono::steady_clock;

void debug(std::string_view message, std::initializer_list<log::Field> fields) {
  log::event(log::Level::Debug, log::TRANSPORT, message, fields);
}

// The loop itself; `running` keeps it counted until the frame is destroyed.
async::awaitable<void> run_reconnect_loop(Transport self, NodeId peer,
                                          [[maybe_unused]] ReconnectLoops::Running running) {
  const TransportConfig& config = self.config();
  std::uint32_t attempts = 0;
  asio::steady_timer pause(co_await asio::this_coro::executor);
  for (;;) {
    // The pause comes first and is the same before every attempt. An
    // interval too long to represent sleeps for ever.
    pause.expires_at(deadline_after(config.reconnect_interval).value_or(Clock::time_point::max()));
    co_await pause.async_wait(async::use_tuple);

    if (!state_of(self).desired.contains(peer)) co_return;
    if (self.has_peer(peer)) co_return;

    // Each attempt is limited to three times the interval (no deadline when
    // that cannot be represented).
    const auto deadline = deadline_after(config.reconnect_interval.times3());
    auto result = co_await dial(self, peer, deadline);
    if (result.ok()) co_return;
    if (result.error().is_timed_out()) {
      debug("reconnect timed out", {{"peer", peer.to_full()}});
    } else {
      debug("reconnect failed", {{"e", result.error().message}, {"peer", peer.to_full()}});
    }

    if (attempts < std::numeric_limits<std::uint32_t>::max()) ++attempts;
    if (config.reconnect_max_attempts && attempts >= *config.reconnect_max_attempts) {
      state_of(self).desired.erase(peer);
      debug("giving up on reconnecting", {{"peer", peer.to_full()}, {"attempts", std::to_string(attempts)}});
      publish(self, ReconnectGaveUp{peer});
      co_return;
    }
  }
}

}  // namespace

async::awaitable<void> reconnect_loop(Transport self, NodeId peer) {
  // Counted when the task is made, not when it first runs, so that the
  // supervisor sees the loop as soon as it is spawned.
  ReconnectLoops::Running running = ReconnectLoops::start(loops_of(self), peer);
  return run_reconnect_loop(std::move(self), std::move(peer), std::move(running));
}

async::awaitable<void> reconnect_supervisor(Transport self, EventReceiver events) {
  for (;;) {
    auto item = co_await events.recv();
    if (std::holds_alternative<async::Closed>(item)) co_return;  // a live Transport prevents it
    if (!self.config().auto_reconnect) continue;
    if (std::holds_alternative<async::Lagged>(item)) {
      // Disconnections may be among the events missed, and any peer can
      // cause a lag (a burst at a full mailbox), so the supervisor never
      // stops at one: it makes up for what it missed by starting a loop for
      // every wanted peer that is not connected now and has no loop running.
      // A peer that already has one is left to it, so that lags, however
      // often they come, never add loops (dials) for a peer that stays
      // down. A loop started for a peer that connects meanwhile ends at its
      // own check.
      for (const NodeId& peer : state_of(self).desired.snapshot()) {
        if (self.has_peer(peer)) continue;
        // Checked and counted in one step, so no other lag can start one too.
        auto first = ReconnectLoops::start_first(loops_of(self), peer);
        if (first) self.spawn(run_reconnect_loop(self, peer, std::move(*first)));
      }
      continue;
    }
    const auto* gone = std::get_if<PeerDisconnected>(&std::get<Event>(item));
    if (gone && state_of(self).desired.contains(gone->peer)) self.spawn(reconnect_loop(self, gone->peer));
  }
}

}  // namespace vardimont::transport
