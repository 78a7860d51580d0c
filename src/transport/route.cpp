// Routing of the messages that a connection's reader receives from its known
// peer: Data to the named actor's mailbox (or an error reply), Error to a
// PeerError event.
#include <utility>

#include "json/rerender.h"
#include "transport/transport.h"
#include "transport/transport_state.h"

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
async::awaitable<void> Transport::route(NodeId from, WireMessage msg) const {
  switch (msg.kind) {
    case wire::MessageKind::Data: {
      std::optional<MailboxSender> mailbox = shared_->actors.find(msg.dst_actor);
      if (!mailbox) {
        co_await reply_error(from, "actor_not_found:" + msg.dst_actor, msg.correlation_id);
        break;
      }
      switch (mailbox->try_send(msg)) {
        case async::TrySend::Ok:
          break;
        case async::TrySend::Full:
          // try_send left `msg` untouched.
          publish(MailboxFull{msg.dst_actor});
          co_await reply_error(from, "mailbox_full:" + msg.dst_actor, msg.correlation_id);
          break;
        case async::TrySend::Closed:
          break;  // the actor's delivery has ended: dropped without a trace
      }
      break;
    }
    case wire::MessageKind::Error:
      publish(PeerError{std::move(from), error_detail(msg.payload), msg.correlation_id});
      break;
    case wire::MessageKind::Heartbeat:
    case wire::MessageKind::Handshake:
      break;
  }
  co_return;
}

}  // namespace vardimont::transport
