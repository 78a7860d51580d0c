// Routing of the messages that a connection's reader receives from its known
// peer: Data to the named actor's mailbox (or an error reply), Error to a
// PeerError event.
#include <chrono>
#include <optional>
#include <utility>

#include "json/rerender.h"
#include "transport/internal.h"

namespace vardimont::transport {

namespace {

// The detail of a PeerError: "null" for an empty payload, else the payload
// re-rendered compactly with sorted keys, or empty when it is not exactly one
// JSON value.
std::string error_detail(const std::vector<std::uint8_t>& payload) {
  if (payload.empty()) return "null";
  return json::rerender_sorted(payload).value_or(std::string());
}

}  // namespace

// The mailbox put never waits; an error reply waits for room in the peer
// queue for at most the read time-out (see reply_error), and the reader reads
// nothing meanwhile.
async::awaitable<void> route(Transport t, NodeId from, WireMessage msg) {
  RecentMailbox recent;
  std::optional<ErrorReply> reply = route_now(t, from, std::move(msg), recent);
  recent.forget();
  if (reply) {
    const auto deadline = deadline_after(t.config().peer_timeout).value_or(std::chrono::steady_clock::time_point::max());
    co_await reply_error(t, from, std::move(*reply), deadline);
  }
}

std::optional<ErrorReply> route_now(const Transport& t, const NodeId& from, WireMessage msg, RecentMailbox& recent) {
  RoutingTable& actors = state_of(t).actors;
  switch (msg.kind) {
    case wire::MessageKind::Data: {
      if (!recent.known || recent.name != msg.dst_actor || recent.version != actors.version()) {
        recent.mailbox = actors.find(msg.dst_actor, &recent.version);
        recent.name = msg.dst_actor;
        recent.known = true;
      }
      if (!recent.mailbox) return ErrorReply{"actor_not_found:" + msg.dst_actor, msg.correlation_id};
      switch (recent.mailbox->try_send(msg)) {
        case async::TrySend::Ok:
          return std::nullopt;
        case async::TrySend::Full:
          // try_send left `msg` untouched.
          publish(t, MailboxFull{msg.dst_actor});
          return ErrorReply{"mailbox_full:" + msg.dst_actor, msg.correlation_id};
        case async::TrySend::Closed:
          return std::nullopt;  // the actor's delivery has ended: dropped without a trace
      }
      return std::nullopt;
    }
    case wire::MessageKind::Error:
      publish(t, PeerError{from, error_detail(msg.payload), msg.correlation_id});
      return std::nullopt;
    case wire::MessageKind::Heartbeat:
    case wire::MessageKind::Handshake:
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace vardimont::transport
