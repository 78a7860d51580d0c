// The sends of Data and Error messages: each builds its message (drawing its
// id) and puts it into the peer queue, where it may wait for room.
#include <limits>
#include <utility>
#include <variant>

#include "async/runtime.h"
#include "json/writer.h"
#include "log/log.h"
#include "transport/internal.h"
#include "wire/framing.h"

namespace vardimont::transport {

namespace {

SendError too_large(std::size_t len) { return SendError{SendError::Kind::PayloadTooLarge, len}; }


// --- data sends

// The Data message of a send, with its id, or why it is refused (the
// payload, then the encoded body, is too large; a refusal takes no id).
Result<WireMessage, SendError> build_data(const Transport& t, std::string_view dst_actor,
                                          std::vector<std::uint8_t>&& payload, std::optional<std::string_view> reply_to,
                                          std::optional<std::uint64_t> correlation_id) {
  if (payload.size() > MAX_PAYLOAD_LEN) return err(too_large(payload.size()));

  WireMessage msg;
  msg.src = t.local_full();
  msg.dst_actor = std::string(dst_actor);
  msg.kind = wire::MessageKind::Data;
  msg.payload = std::move(payload);
  if (reply_to) msg.reply_to = std::string(*reply_to);
  msg.correlation_id = correlation_id;

  // No receiver accepts a body longer than a frame may be, so such a message
  // is refused here rather than queued and dropped by the writer. The body's
  // length depends on the width of its id; with the widest id it fits, so any
  // id does (the usual case). Otherwise the id is taken only if the body fits
  // with exactly that id, and a refused message takes none.
  msg.msg_id = std::numeric_limits<std::uint64_t>::max();
  if (wire::encoded_body_len(msg) <= wire::MAX_FRAME_LEN) {
    msg.msg_id = take_msg_id(t);
    return msg;
  }
  std::atomic<std::uint64_t>& next_msg_id = state_of(t).next_msg_id;
  std::uint64_t id = next_msg_id.load(std::memory_order_relaxed);
  for (;;) {
    msg.msg_id = id;
    const std::size_t body_len = wire::encoded_body_len(msg);
    if (body_len > wire::MAX_FRAME_LEN) return err(too_large(body_len));
    if (next_msg_id.compare_exchange_weak(id, id + 1, std::memory_order_relaxed)) return msg;
  }
}

// send_pending from a coroutine.
async::awaitable<Result<void, SendError>> async_send_pending(const Transport& t, Transport::PendingSend pending) {
  if (!pending.handle) pending.handle = state_of(t).peers.find(pending.peer);
  if (!pending.handle) co_return err(SendError{SendError::Kind::NotConnected});
  co_return co_await pending.handle->send(std::move(pending.message));
}

}  // namespace

// Every send is one path: the message is built (drawing its id), the peer's
// handle is looked up, and the message is put into the peer queue; a put
// that waits runs only once one that never waits could not decide.

Transport::FirstAttempt Transport::try_send_data_bytes(
    const NodeId& peer, std::string_view dst_actor, std::vector<std::uint8_t> payload,
    std::optional<std::string_view> reply_to, std::optional<std::uint64_t> correlation_id) const {
  Result<WireMessage, SendError> msg = build_data(*this, dst_actor, std::move(payload), reply_to, correlation_id);
  if (!msg) return err(msg.error());
  PeerTable::TryFind found = shared_->peers.try_find(peer);
  if (found.busy) return PendingSend{peer, std::move(msg).value(), std::nullopt};
  if (!found.handle) return err(SendError{SendError::Kind::NotConnected});
  switch (found.handle->try_send(msg.value())) {
    case async::TrySend::Ok:
      return Ok{};
    case async::TrySend::Closed:
      return err(SendError{SendError::Kind::Closed});
    case async::TrySend::Full:
      break;  // try_send left the message untouched
  }
  return PendingSend{peer, std::move(msg).value(), std::move(found.handle)};
}

Result<void, SendError> Transport::send_pending(PendingSend pending) const {
  if (!pending.handle) pending.handle = shared_->peers.find(pending.peer);
  if (!pending.handle) return err(SendError{SendError::Kind::NotConnected});
  return pending.handle->blocking_send(std::move(pending.message));
}

Result<void, SendError> Transport::send_data_bytes(const NodeId& peer, std::string_view dst_actor,
                                                   std::vector<std::uint8_t> payload,
                                                   std::optional<std::string_view> reply_to,
                                                   std::optional<std::uint64_t> correlation_id) const {
  async::Runtime::check_blocking_allowed();
  auto first = try_send_data_bytes(peer, dst_actor, std::move(payload), reply_to, correlation_id);
  if (auto* pending = std::get_if<PendingSend>(&first)) return send_pending(std::move(*pending));
  return std::get<Result<void, SendError>>(std::move(first));
}

async::awaitable<Result<void, SendError>> async_send_data_bytes(Transport t, NodeId peer, std::string dst_actor,
                                                                std::vector<std::uint8_t> payload,
                                                                std::optional<std::string> reply_to,
                                                                std::optional<std::uint64_t> correlation_id) {
  std::optional<std::string_view> reply_view;
  if (reply_to) reply_view = *reply_to;
  auto first = t.try_send_data_bytes(peer, dst_actor, std::move(payload), reply_view, correlation_id);
  if (auto* pending = std::get_if<Transport::PendingSend>(&first)) {
    co_return co_await async_send_pending(t, std::move(*pending));
  }
  co_return std::get<Result<void, SendError>>(std::move(first));
}

// --- error replies

std::optional<WireMessage> build_error(const Transport& t, std::string_view detail,
                                       std::optional<std::uint64_t> correlation_id) {
  WireMessage msg;
  msg.msg_id = take_msg_id(t);  // used up even if the message is never sent
  msg.src = t.local_full();
  msg.kind = wire::MessageKind::Error;
  msg.correlation_id = correlation_id;
  // Measured before it is built: '{', "error", ':', the detail, '}'.
  const std::size_t payload_len = 3 + json::string_len("error") + json::string_len(detail);
  const std::size_t body_len = wire::encoded_body_len(msg, payload_len);
  if (body_len > wire::MAX_FRAME_LEN) {
    log_unframeable(body_len);
    return std::nullopt;
  }
  msg.payload.reserve(payload_len);
  msg.payload.push_back('{');
  json::write_string(msg.payload, "error");
  msg.payload.push_back(':');
  json::write_string(msg.payload, detail);
  msg.payload.push_back('}');
  return msg;
}

// An error send reports nothing: neither a peer that is not connected nor a
// closed queue.

async::awaitable<void> send_error(Transport t, NodeId peer, std::string detail,
                                  std::optional<std::uint64_t> correlation_id) {
  std::optional<WireMessage> msg = build_error(t, detail, correlation_id);
  if (!msg) co_return;
  // A named object: GCC mishandles a braced temporary in a co_await operand.
  Transport::PendingSend pending{std::move(peer), std::move(*msg), std::nullopt};
  (void)co_await async_send_pending(t, std::move(pending));
}

void Transport::send_error_blocking(const NodeId& peer, std::string detail,
                                    std::optional<std::uint64_t> correlation_id) const {
  async::Runtime::check_blocking_allowed();
  std::optional<WireMessage> msg = build_error(*this, detail, correlation_id);
  if (msg) (void)send_pending({peer, std::move(*msg), std::nullopt});
}

async::awaitable<void> reply_error(const Transport& t, NodeId peer, ErrorReply reply,
                                   std::chrono::steady_clock::time_point deadline) {
  std::optional<WireMessage> msg = build_error(t, reply.detail, reply.correlation_id);
  if (!msg) co_return;
  const std::optional<PeerHandle> handle = state_of(t).peers.find(peer);
  if (!handle) co_return;
  if (co_await handle->send_until(std::move(*msg), deadline) == async::TrySend::Full) {
    log::event(log::Level::Debug, log::TRANSPORT, "error reply dropped, peer queue full", {{"peer", peer.to_full()}});
  }
  // A closed queue is not reported: the connection is ending.
}

}  // namespace vardimont::transport
