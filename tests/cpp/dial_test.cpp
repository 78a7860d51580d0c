// Dialling: the Handshake as the first frame, the targets that need no
// lookup and those that go to the resolver, failures that leave the peer
// wanted, the deadline, and dialling a peer or an id that is already known.
#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "transport_fixture.h"
#include "wire/auth.h"

namespace vardimont::test {
namespace {

using wire::MessageKind;

class DialTest : public TransportTest {};

struct ProofCase {
  const char* name;
  std::optional<std::vector<std::uint8_t>> secret;
};

TEST_F(DialTest, FirstFrameIsTheHandshakeWithAFreshProofWhenASecretIsSet) {
  const ProofCase cases[] = {
      {"no secret", std::nullopt},
      {"secret", bytes_of("s3cret")},
      {"empty secret", bytes_of("")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TransportConfig config = fast_config();
    config.cluster_secret = c.secret;
    Transport a = start("a", config);
    RawListener far;
    const NodeId peer{"far", "127.0.0.1", far.port()};

    std::vector<std::vector<std::uint8_t>> proofs;
    for (int round = 0; round < 2; ++round) {
      ASSERT_TRUE(runtime().block_on(dial(a, peer)).ok());
      RawPeer conn = far.accept();
      ASSERT_TRUE(conn.valid());
      auto first = conn.read_message();
      ASSERT_TRUE(first.has_value());
      EXPECT_EQ(first->kind, MessageKind::Handshake);
      EXPECT_EQ(first->version, wire::PROTOCOL_VERSION);
      EXPECT_EQ(first->src, a.local_full());  // the bound port, not port 0
      EXPECT_NE(a.local_id().port, 0);
      EXPECT_EQ(first->dst_actor, "");
      EXPECT_FALSE(first->reply_to.has_value());
      EXPECT_FALSE(first->correlation_id.has_value());
      if (c.secret) {
        ASSERT_EQ(first->payload.size(), wire::PROOF_LEN);
        EXPECT_TRUE(wire::verify_proof(*c.secret, first->payload));
      } else {
        EXPECT_TRUE(first->payload.empty());
      }
      proofs.push_back(first->payload);
      a.forget_peer(peer);
      EXPECT_TRUE(conn.wait_closed());
    }
    if (c.secret) {
      EXPECT_NE(proofs[0], proofs[1]);  // a fresh nonce on every dial
    }
  }
}

TEST_F(DialTest, HandshakeComesFirstWhileOthersAlreadySendToThePeer) {
  Transport a = start("a");
  RawListener far;
  const NodeId peer{"far", "127.0.0.1", far.port()};

  // A sender that tries to get in before the Handshake: it fails with
  // NotConnected until the registration, then queues data behind it.
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  std::thread sender([&] {
    while (!stop && sent < 20) {
      if (send_text(a, peer, "x", "early")) ++sent;
    }
  });
  ASSERT_TRUE(runtime().block_on(dial(a, peer)).ok());
  ASSERT_TRUE(eventually([&] { return sent >= 20; }));
  stop = true;
  sender.join();

  RawPeer conn = far.accept();
  auto first = conn.read_message();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->kind, MessageKind::Handshake);
  auto second = conn.read_kind(MessageKind::Data);
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(text_of(*second), "early");
}

TEST_F(DialTest, TargetsWithAndWithoutLookup) {
  struct Case {
    const char* name;
    std::string listen_host;  // how the far node listens
    std::string dial_host;    // the host in the id it is dialled under
  };
  const Case cases[] = {
      {"numeric IPv4", "127.0.0.1", "127.0.0.1"},
      {"IPv6 in brackets, no lookup", "::1", "[::1]"},
      {"IPv6 without brackets, resolver", "::1", "::1"},
      {"host name, resolver", "127.0.0.1", "localhost"},
  };
  Transport a = start("a");
  EventTrail trail(a);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Transport b = start("b", fast_config(), c.listen_host);
    EventTrail b_trail(b);
    const NodeId as_dialled{"b", c.dial_host, b.local_id().port};
    auto r = runtime().block_on(dial(a, as_dialled));
    ASSERT_TRUE(r.ok()) << r.error().message;
    // Registered under the id as dialled, whatever id b has for itself.
    EXPECT_TRUE(a.has_peer(as_dialled));
    EXPECT_EQ(trail.count<PeerConnected>(as_dialled), 1u);
    EXPECT_TRUE(eventually([&] { return b.has_peer(a.local_id()); }));
    a.forget_peer(as_dialled);
  }
}

TEST_F(DialTest, RefusedDialReturnsTheErrorAndLeavesThePeerWanted) {
  Transport a = start("a");
  EventTrail trail(a);
  const NodeId peer{"gone", "127.0.0.1", refused_port()};

  auto r = runtime().block_on(dial(a, peer));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code, std::errc::connection_refused);
  EXPECT_FALSE(r.error().is_timed_out());
  EXPECT_TRUE(state_of(a).desired.contains(peer));
  EXPECT_EQ(a.peer_count(), 0u);
  EXPECT_TRUE(trail.events().empty());
}

TEST_F(DialTest, DeadlineAbandonsAnUnansweredAttemptAndClosesItsSocket) {
  BlackHole hole;
  ASSERT_TRUE(hole.ready());
  Transport a = start("a");
  EventTrail trail(a);
  const NodeId peer{"hole", "127.0.0.1", hole.port()};
  const std::size_t fds_before = open_fd_count();

  auto r = runtime().block_on(dial(a, peer, std::chrono::steady_clock::now() + 100ms));
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().is_timed_out());
  EXPECT_TRUE(state_of(a).desired.contains(peer));
  EXPECT_EQ(a.peer_count(), 0u);
  EXPECT_TRUE(trail.events().empty());
  EXPECT_TRUE(eventually([&] { return open_fd_count() <= fds_before; }));
}

// The descriptors of this process whose local port is `local` or whose
// remote port is `remote`.
std::vector<int> sockets_with_ports(std::uint16_t local, std::uint16_t remote) {
  std::vector<int> fds;
  for (const OpenSocket& s : open_sockets()) {
    if (s.local == local || s.remote == remote) fds.push_back(s.fd);
  }
  return fds;
}

// A program that the process starts inherits none of the node's sockets:
// the listener, an accepted connection and dialled ones, by address and by
// host name.
TEST_F(DialTest, EverySocketOfTheNodeIsClosedOnExec) {
  Transport a = start("a");
  RawListener far;
  ASSERT_TRUE(runtime().block_on(dial(a, NodeId{"far", "127.0.0.1", far.port()})).ok());
  ASSERT_TRUE(runtime().block_on(dial(a, NodeId{"far2", "localhost", far.port()})).ok());
  RawPeer in = RawPeer::dial(a.local_id().port);
  ASSERT_TRUE(in.send(handshake_from("in@127.0.0.1:1")));
  ASSERT_TRUE(eventually([&] { return a.peer_count() == 3; }));

  // Local port a's: the listener and the accepted socket; remote port far's:
  // the two dialled sockets.
  const std::vector<int> fds = sockets_with_ports(a.local_id().port, far.port());
  EXPECT_EQ(fds.size(), 4u);
  for (const int fd : fds) {
    SCOPED_TRACE("fd " + std::to_string(fd));
    const int flags = ::fcntl(fd, F_GETFD);
    ASSERT_GE(flags, 0);
    EXPECT_TRUE(flags & FD_CLOEXEC);
  }
}

TEST_F(DialTest, AlreadyConnectedPeerIsNotDialledNorMarkedWanted) {
  Transport a = start("a");
  EventTrail trail(a);
  RawListener far;  // where a dial would arrive
  const NodeId peer{"far", "127.0.0.1", far.port()};
  // The peer dials a first.
  RawPeer in = raw_peer_as(a, peer);
  ASSERT_TRUE(in.valid());

  ASSERT_TRUE(runtime().block_on(dial(a, peer)).ok());
  EXPECT_FALSE(state_of(a).desired.contains(peer));
  EXPECT_EQ(trail.count<PeerConnected>(peer), 1u);  // the inbound one only
  EXPECT_TRUE(sockets_with_ports(0, far.port()).empty());  // no socket was opened
  std::optional<std::vector<RawPeer>> dialled = connections_so_far(far);
  ASSERT_TRUE(dialled.has_value());
  EXPECT_TRUE(dialled->empty());

  // When that connection closes, the peer is not reconnected. The supervisor
  // takes the events in order: once it has started the loop for a wanted
  // peer whose disconnection comes after, it has passed this one.
  in.close();
  ASSERT_TRUE(eventually([&] { return trail.count<PeerDisconnected>(peer) == 1; }));
  const NodeId wanted{"wanted", "127.0.0.1", refused_port()};
  state_of(a).desired.insert(wanted);
  publish(a, PeerDisconnected{wanted});
  ASSERT_TRUE(eventually([&] { return state_of(a).reconnect_loops.running(wanted) > 0; }));
  EXPECT_EQ(state_of(a).reconnect_loops.running(peer), 0u);
  EXPECT_FALSE(state_of(a).desired.contains(peer));
  dialled = connections_so_far(far);
  ASSERT_TRUE(dialled.has_value());
  EXPECT_TRUE(dialled->empty());
  a.forget_peer(wanted);
}

// Two dials of one peer that both pass their first check register one after
// the other; the second one is settled by the tie-break as an outbound
// connection: it replaces the first when this node's id is the smaller one,
// and is closed without a byte otherwise.
async::awaitable<void> dial_twice(Transport t, NodeId peer) {
  using namespace asio::experimental::awaitable_operators;
  (void)co_await (dial(t, peer) && dial(t, peer));
}

TEST_F(DialTest, ConcurrentDialsOfOnePeerAreSettledByTheTieBreak) {
  Transport n = start("n");
  std::map<std::string, int> raced;
  for (int round = 0; round < 10 && raced.size() < 2; ++round) {
    for (const char* name : {"m", "z"}) {  // "m..." < "n..." < "z..."
      SCOPED_TRACE(name);
      if (raced.count(name)) continue;
      RawListener far;
      const NodeId peer{name, "127.0.0.1", far.port()};
      runtime().block_on(dial_twice(n, peer));
      std::optional<std::vector<RawPeer>> dialled = connections_so_far(far);
      ASSERT_TRUE(dialled.has_value());
      std::vector<RawPeer>& conns = *dialled;
      ASSERT_FALSE(conns.empty());
      if (conns.size() == 1) {  // the second dial found the first registered
        n.forget_peer(peer);
        continue;
      }
      ASSERT_EQ(conns.size(), 2u);
      ++raced[name];
      std::vector<std::optional<WireMessage>> first;
      for (auto& c : conns) first.push_back(c.read_message());
      const int handshakes = static_cast<int>(std::count_if(first.begin(), first.end(), [](const auto& m) {
        return m && m->kind == MessageKind::Handshake;
      }));
      if (std::string(name) == "m") {
        // The later connection lost and was closed with nothing written.
        EXPECT_EQ(handshakes, 1);
        const std::size_t loser = first[0] ? 1 : 0;
        EXPECT_TRUE(conns[loser].wait_closed());
        // The earlier one is in use.
        ASSERT_TRUE(send_text(n, peer, "x", "data"));
        EXPECT_TRUE(conns[1 - loser].read_kind(MessageKind::Data).has_value());
      } else {
        // Both were registered in turn; messages go through the later one
        // only. The earlier one, replaced, ends without them: its far end
        // reads the end of the stream instead.
        EXPECT_EQ(handshakes, 2);
        ASSERT_TRUE(send_text(n, peer, "x", "data"));
        const bool on0 = conns[0].read_kind(MessageKind::Data).has_value();
        const bool on1 = conns[1].read_kind(MessageKind::Data).has_value();
        EXPECT_NE(on0, on1);
        EXPECT_TRUE(conns[on0 ? 1 : 0].eof());
      }
      n.forget_peer(peer);
    }
  }
  EXPECT_EQ(raced.size(), 2u);  // the interesting order did occur for both
}

TEST_F(DialTest, DiallingOwnIdCyclesUntilForgotten) {
  LogCapture logs("_core::transport=debug");
  Transport a = start("a");
  EventTrail trail(a);
  const NodeId self = a.local_id();
  runtime().block_on(Transport::connect(a, self));
  // Registered under its own id, refused by its own acceptor (equal ids never
  // win), disconnected, and dialled again by reconnection.
  ASSERT_TRUE(eventually([&] {
    return trail.count<PeerConnected>(self) >= 2 && trail.count<PeerDisconnected>(self) >= 2;
  }));
  // Forgetting ends the cycle. (A reconnection dial already past its checks
  // puts the id back once more, so forget until the cycle has stopped: no
  // loop left that could dial it, and the id neither wanted nor registered.
  // Only a loop dials it, and a loop starts only for a wanted peer.)
  EXPECT_TRUE(eventually([&] {
    a.forget_peer(self);
    return state_of(a).reconnect_loops.running(self) == 0 && !state_of(a).desired.contains(self) && !a.has_peer(self);
  }));
  // It stays stopped: over the five reconnection intervals in which a loop
  // for an unreachable peer logs five failed attempts, the node's own id is
  // not connected again.
  const std::size_t connected = trail.count<PeerConnected>(self);
  const NodeId gone{"gone", "127.0.0.1", refused_port()};
  const std::string failed = log_tail(log::Level::Debug, "reconnect failed",
                                      {{"e", asio::error::make_error_code(asio::error::connection_refused).message()},
                                       {"peer", gone.to_full()}});
  state_of(a).desired.insert(gone);
  a.spawn(reconnect_loop(a, gone));
  ASSERT_TRUE(eventually([&] { return logs.count_containing(failed) >= 5; }));
  EXPECT_EQ(trail.count<PeerConnected>(self), connected);
  EXPECT_FALSE(a.has_peer(self));
  a.forget_peer(gone);
}

}  // namespace
}  // namespace vardimont::test
