// Dialling: the outbound side of the transport. dial() opens a TCP
// connection to a peer, puts it into service under the registration rule and
// opens it with the Handshake; Transport::connect is the fire-and-forget
// wrapper that hands a failed first dial over to reconnection.
//
// Only the name lookup and the connection attempt can be abandoned at a
// deadline: they are awaited together with a timer on the new connection's
// strand, and abandoning them never waits for a lookup that a blocking-pool
// thread has already started (its result is thrown away when it comes).
// Registration is synchronous and runs to its end once it has begun.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "async/asio.h"
#include "async/lookup.h"
#include "transport/numeric_address.h"
#include "transport/peer.h"
#include "transport/sockets.h"
#include "transport/transport.h"
#include "transport/internal.h"
#include "wire/auth.h"
#include "wire/message.h"

namespace vardimont::transport {

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// The outcome of one lookup and connection attempt: a connected socket, or
// the error that ended the attempt. Default-constructible, as the result of
// a branch of a parallel wait must be.
struct ConnectOutcome {
  std::optional<tcp::socket> socket;
  std::optional<IoError> error;
};

IoError no_address() { return IoError::invalid_input("could not resolve to any address"); }

// Lookup and connection attempt: tries the candidates in order, keeping the
// last error. Runs on the new connection's strand, which its socket keeps.
// Cancelled, it ends at the step under way: a connecting socket is closed
// with the frame, and a lookup that a pool thread already runs is left to
// end there, its result thrown away (lookup() ends with operation_aborted).
async::awaitable<ConnectOutcome> attempt_connect(NodeId peer) {
  try {
    std::vector<tcp::endpoint> candidates;
    if (std::optional<asio::ip::address> addr = numeric_address(peer.host, Ipv6Form::Bracketed)) {
      candidates.emplace_back(*addr, peer.port);
    } else {
      async::LookupResult found = co_await async::lookup(peer.host, peer.port);
      if (!found) co_return ConnectOutcome{std::nullopt, IoError::from(found.error())};
      candidates = std::move(found).value();
    }

    std::optional<IoError> last;
    for (const auto& ep : candidates) {
      tcp::socket socket(co_await asio::this_coro::executor);
      std::error_code ec = open_socket(socket, ep.protocol());
      if (!ec) {
        std::tie(ec) = co_await socket.async_connect(ep, async::use_tuple);
        if (!ec) co_return ConnectOutcome{std::move(socket), std::nullopt};
        if (ec == asio::error::operation_aborted) break;  // cancelled: nothing more is tried
      }
      last = IoError::from(ec);
    }
    co_return ConnectOutcome{std::nullopt, last ? std::move(*last) : no_address()};
  } catch (const std::exception& e) {
    co_return ConnectOutcome{std::nullopt, IoError::invalid_input(e.what())};
  }
}

// attempt_connect, abandoned at `deadline` when there is one: the attempt and
// a timer are awaited together and the first to end cancels the other.
async::awaitable<ConnectOutcome> connect_by(std::optional<Clock::time_point> deadline, NodeId peer) {
  if (!deadline) co_return co_await attempt_connect(std::move(peer));
  using namespace asio::experimental::awaitable_operators;
  asio::steady_timer timer(co_await asio::this_coro::executor, *deadline);
  std::variant<ConnectOutcome, std::monostate> first =
      co_await (attempt_connect(std::move(peer)) || timer.async_wait(async::use_awaitable));
  if (first.index() == 1) co_return ConnectOutcome{std::nullopt, IoError::timed_out()};
  co_return std::get<0>(std::move(first));
}

WireMessage make_handshake(const Transport& self) {
  WireMessage hs;
  hs.version = wire::PROTOCOL_VERSION;
  hs.msg_id = take_msg_id(self);
  hs.src = self.local_full();
  hs.kind = wire::MessageKind::Handshake;
  if (const auto& secret = self.config().cluster_secret) {
    auto proof = wire::build_proof(*secret);
    hs.payload.assign(proof.begin(), proof.end());
  }
  return hs;
}

}  // namespace

async::awaitable<Result<void, IoError>> dial(Transport self, NodeId peer,
                                             std::optional<Clock::time_point> deadline) {
  // An existing connection satisfies the call; the peer is then not marked as
  // wanted.
  if (self.has_peer(peer)) co_return Ok{};

  // From here on the peer stays wanted, whatever becomes of this attempt.
  state_of(self).desired.insert(peer);

  // The lookup and the connection attempt run on the new connection's own
  // strand, which its socket keeps for life.
  async::Executor strand = asio::make_strand(self.executor());
  ConnectOutcome outcome = co_await asio::co_spawn(strand, connect_by(deadline, peer), async::use_awaitable);
  if (!outcome.socket) co_return err(outcome.error ? std::move(*outcome.error) : no_address());

  // Once connected, the peer queue and its writer exist before anything can
  // be sent.
  auto [read_half, write_half] = split(std::move(*outcome.socket));
  PeerHandle handle = PeerHandle::spawn(peer, std::move(write_half), self.config().peer_queue_capacity,
                                        self.config().peer_timeout.to_steady());

  // The Handshake goes into the new, empty and still private queue before the
  // handle becomes reachable through the peer table, so it is the first frame
  // on the socket whatever else is sent to the peer.
  const bool won = register_connection(self, handle, /*outbound=*/true, [&] {
    WireMessage hs = make_handshake(self);
    (void)handle.try_send(hs);
  });
  if (!won) {
    // The loser closes without a byte written: its only handle and its read
    // half go out of scope here.
    co_return Ok{};
  }

  // Announced without waiting for any answer from the peer.
  publish(self, PeerConnected{peer});

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
  auto result = co_await dial(self, peer);
  // A failed first dial shows only through what reconnection does next; the
  // error itself is neither logged nor reported.
  if (!result.ok() && self.config().auto_reconnect) self.spawn(reconnect_loop(self, std::move(peer)));
}

}  // namespace vardimont::transport
