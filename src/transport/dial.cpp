// Dialling: the outbound side of the transport. Transport::dial opens a TCP
// connection to a peer, puts it into service under the registration rule and
// opens it with the Handshake; Transport::connect is the fire-and-forget
// wrapper that hands a failed first dial over to reconnection.
//
// Only the name lookup and the connection attempt can be abandoned at a
// deadline. They run as a task of their own on the new connection's strand,
// so that abandoning them never waits for a lookup that a blocking-pool
// thread has already started: its result is thrown away when it comes.
// Registration is synchronous and runs to its end once it has begun.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

#include "async/asio.h"
#include "async/lookup.h"
#include "transport/numeric_address.h"
#include "transport/peer.h"
#include "transport/sockets.h"
#include "transport/transport.h"
#include "transport/transport_state.h"
#include "wire/auth.h"
#include "wire/message.h"

namespace vardimont::transport {

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// What the lookup and connection attempt share with the dial that waits for
// them. Touched only on the connection's strand.
struct ConnectState {
  explicit ConnectState(const async::Executor& strand) : wake(strand) {}

  asio::steady_timer wake;  // the dial's wait: expires at the deadline, cancelled when done
  std::optional<tcp::socket> socket;  // the candidate being connected, then the result
  std::optional<IoError> error;       // set when finished without a connected socket
  bool finished = false;
  bool abandoned = false;  // the deadline passed; whatever comes later is dropped
};

// The result of connect_on_strand (default-constructible for co_spawn).
struct ConnectOutcome {
  std::optional<tcp::socket> socket;
  std::optional<IoError> error;
};

IoError no_address() { return IoError::invalid_input("could not resolve to any address"); }

// Lookup and connection attempt: tries the candidates in order, keeping the
// last error. Runs on the strand; stops at the first step after abandonment.
async::awaitable<void> run_connect(std::shared_ptr<ConnectState> st, NodeId peer) {
  auto finish = [&st] {
    st->finished = true;
    if (st->abandoned) st->socket.reset();
    st->wake.cancel();
  };
  try {
    std::vector<tcp::endpoint> candidates;
    if (std::optional<asio::ip::address> addr = numeric_address(peer.host, Ipv6Form::Bracketed)) {
      candidates.emplace_back(*addr, peer.port);
    } else {
      async::LookupResult found = co_await async::lookup(peer.host, peer.port);
      if (st->abandoned) {
        finish();
        co_return;
      }
      if (!found) {
        st->error = IoError::from(found.error());
        finish();
        co_return;
      }
      candidates = std::move(found).value();
    }

    std::optional<IoError> last;
    for (const auto& ep : candidates) {
      if (st->abandoned) break;
      st->socket.emplace(st->wake.get_executor());
      std::error_code ec = open_socket(*st->socket, ep.protocol());
      if (!ec) {
        std::tie(ec) = co_await st->socket->async_connect(ep, async::use_tuple);
        if (st->abandoned) break;  // finish() drops the socket
        if (!ec) {
          finish();
          co_return;
        }
      }
      std::error_code ignored;
      st->socket->close(ignored);
      st->socket.reset();
      last = IoError::from(ec);
    }
    st->error = last ? std::move(*last) : no_address();
  } catch (const std::exception& e) {
    st->socket.reset();
    st->error = IoError::invalid_input(e.what());
  }
  finish();
}

// Runs run_connect and waits for it, or for the deadline when there is one.
// Must run on `strand`, the executor of the ConnectState's I/O objects.
async::awaitable<ConnectOutcome> connect_on_strand(async::Executor strand, NodeId peer,
                                                   std::optional<Clock::time_point> deadline) {
  auto st = std::make_shared<ConnectState>(strand);
  st->wake.expires_at(deadline.value_or(Clock::time_point::max()));
  asio::co_spawn(strand, run_connect(st, std::move(peer)), asio::detached);
  while (!st->finished) {
    auto [ec] = co_await st->wake.async_wait(async::use_tuple);
    if (st->finished) break;
    if (!ec) {
      // The deadline passed first: abandon the attempt where it stands. A
      // socket that is connecting is closed; a lookup under way runs to its
      // end on its pool thread and run_connect drops its result.
      st->abandoned = true;
      if (st->socket) {
        std::error_code ignored;
        st->socket->close(ignored);
      }
      co_return ConnectOutcome{std::nullopt, IoError::timed_out()};
    }
  }
  if (st->socket) co_return ConnectOutcome{std::move(st->socket), std::nullopt};
  co_return ConnectOutcome{std::nullopt, st->error ? std::move(st->error) : no_address()};
}

WireMessage make_handshake(const Transport& self) {
  WireMessage hs;
  hs.version = wire::PROTOCOL_VERSION;
  hs.msg_id = self.take_msg_id();
  hs.src = self.local_full();
  hs.kind = wire::MessageKind::Handshake;
  if (const auto& secret = self.config().cluster_secret) {
    auto proof = wire::build_proof(*secret);
    hs.payload.assign(proof.begin(), proof.end());
  }
  return hs;
}

}  // namespace

async::awaitable<Result<void, IoError>> Transport::dial(Transport self, NodeId peer,
                                                        std::optional<Clock::time_point> deadline) {
  // An existing connection satisfies the call; the peer is then not marked as
  // wanted.
  if (self.has_peer(peer)) co_return Ok{};

  // From here on the peer stays wanted, whatever becomes of this attempt.
  self.state().desired.insert(peer);

  // The lookup and the connection attempt run on the new connection's own
  // strand, which its socket keeps for life.
  async::Executor strand = asio::make_strand(self.executor());
  ConnectOutcome outcome =
      co_await asio::co_spawn(strand, connect_on_strand(strand, peer, deadline), async::use_awaitable);
  if (!outcome.socket) co_return err(outcome.error ? std::move(*outcome.error) : no_address());

  // Once connected, the peer queue and its writer exist before anything can
  // be sent.
  auto [read_half, write_half] = split(std::move(*outcome.socket));
  PeerHandle handle = PeerHandle::spawn(peer, std::move(write_half), self.config().peer_queue_capacity,
                                        self.config().peer_timeout.to_steady());

  // The Handshake goes into the new, empty and still private queue before the
  // handle becomes reachable through the peer table, so it is the first frame
  // on the socket whatever else is sent to the peer.
  const bool won = self.register_connection(handle, /*outbound=*/true, [&] {
    WireMessage hs = make_handshake(self);
    (void)handle.try_send(hs);
  });
  if (!won) {
    // The loser closes without a byte written: its only handle and its read
    // half go out of scope here.
    co_return Ok{};
  }

  // Announced without waiting for any answer from the peer.
  self.publish(PeerConnected{peer});

  // The reader runs on the socket's strand and knows its peer from the start.
  async::Executor reader_exec = read_half.socket().get_executor();
  spawn_on(reader_exec, read_loop(self, std::move(read_half), std::nullopt, KnownPeer{peer, handle}));

  // Heartbeats go through this connection while it is the one in use; the
  // task shares the connection's strand.
  spawn_on(reader_exec, heartbeat_loop(self, peer, handle.connection()));

  // Dial's own copy of the handle ends with its frame; the peer table and the
  // reader hold theirs.
  co_return Ok{};
}

async::awaitable<void> Transport::connect(Transport self, NodeId peer) {
  try {
    auto result = co_await dial(self, peer);
    // A failed first dial shows only through what reconnection does next; the
    // error itself is neither logged nor reported.
    if (!result.ok() && self.config().auto_reconnect) self.spawn(reconnect_loop(self, std::move(peer)));
  } catch (const std::exception&) {
    // A task ends quietly.
  }
}

}  // namespace vardimont::transport
