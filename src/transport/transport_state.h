// The state that every copy of one Transport shares, for the transport's own
// code and its tests. Nothing outside src/transport/ and the tests includes it.
// The tables lock themselves; see tables.h for the locking rule.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>
#include <utility>

#include "async/asio.h"
#include "transport/disconnections.h"
#include "transport/tables.h"
#include "transport/transport.h"

namespace vardimont::transport {

// The tie-break on two keys (full ids): a new connection wins when the node
// that dialled it has the smaller key, the keys compared as unsigned bytes (a
// proper prefix is smaller). Equal keys never win.
bool tiebreak_key_wins(std::string_view local_key, std::string_view peer_key, bool outbound) noexcept;

struct Transport::Shared {
  Shared(TransportConfig c, async::Executor ex) : config(std::move(c)), executor(std::move(ex)) {}

  const TransportConfig config;
  // Where the transport's tasks run: the executor of the coroutine that ran
  // Transport::listen (the runtime's io_context).
  const async::Executor executor;

  PeerTable peers;
  DesiredPeers desired;
  // How many reconnect loops run for each peer (see reconnect.cpp).
  ReconnectLoops reconnect_loops;
  RoutingTable actors;
  // Who follows each peer's disconnection: its readers and heartbeat tasks.
  // Raised by every publication of a PeerDisconnected.
  const std::shared_ptr<Disconnections> disconnections = std::make_shared<Disconnections>();
  // Accepted connections whose Handshake has not arrived yet; see
  // Transport::accept_loop for their bound.
  std::atomic<std::size_t> awaiting_handshake{0};

  // The message id counter; see Transport::take_msg_id.
  std::atomic<std::uint64_t> next_msg_id{1};
};

}  // namespace vardimont::transport
