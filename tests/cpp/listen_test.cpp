// Transport::listen and the accept loop, on loopback addresses only.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "transport_fixture.h"
#include "transport/transport.h"
#include "wire/framing.h"

namespace vardimont::test {
namespace {

using transport::Event;
using transport::IoError;
using transport::PeerConnected;

class ListenTest : public TransportTest {
 protected:
  Result<Transport, IoError> listen(std::string host, std::uint16_t port, TransportConfig config = fast_config()) {
    return runtime().block_on(Transport::listen(NodeId{"n", std::move(host), port}, std::move(config)));
  }

  // Sends a Handshake from `src` on `s`; the accepting node registers it.
  static void handshake(const RawPeer& s, const std::string& src) {
    EXPECT_TRUE(s.send(handshake_from(src)));
  }

  static std::size_t connected_events(transport::EventReceiver& rx) {
    std::size_t n = 0;
    for (auto& item : received(rx)) {
      const Event* e = std::get_if<Event>(&item);
      n += e != nullptr && std::holds_alternative<PeerConnected>(*e);
    }
    return n;
  }

  // The PeerConnected events received until `n` have come or the deadline
  // passed: a reader publishes just after it has registered its peer.
  static std::size_t wait_connected_events(transport::EventReceiver& rx, std::size_t n) {
    std::size_t seen = 0;
    (void)eventually([&] {
      seen += connected_events(rx);
      return seen >= n;
    });
    return seen;
  }
};

// A plain IPv4 listener on 127.0.0.1 holding a port.
RawPeer hold_port(std::uint16_t& port) {
  RawPeer s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::bind(s.fd(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  EXPECT_EQ(::listen(s.fd(), 1), 0);
  socklen_t len = sizeof a;
  ::getsockname(s.fd(), reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return s;
}

TEST_F(ListenTest, PortZeroIsReplacedByThePortActuallyBound) {
  Result<Transport, IoError> t = listen("127.0.0.1", 0);
  ASSERT_TRUE(t.ok()) << t.error().message;
  const NodeId& id = t->local_id();
  EXPECT_EQ(id.name, "n");
  EXPECT_EQ(id.host, "127.0.0.1");
  EXPECT_NE(id.port, 0);
  EXPECT_EQ(t->local_full(), "n@127.0.0.1:" + std::to_string(id.port));
  EXPECT_TRUE(RawPeer::dial(id.port).valid());
}

TEST_F(ListenTest, TheHostTextIsKeptAsGiven) {
  const struct {
    const char* host;
    bool reach_over_v6;
  } cases[] = {
      {"0.0.0.0", false},   // every IPv4 interface, loopback included
      {"::1", true},        // an unbracketed IPv6 address, no lookup
      {"localhost", false}, // a name: through the resolver (/etc/hosts)
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    Result<Transport, IoError> t = listen(c.host, 0);
    if (!t.ok() && std::string_view(c.host) == "::1" &&
        t.error().code == std::errc::address_not_available) {
      continue;  // no IPv6 loopback on this machine
    }
    ASSERT_TRUE(t.ok()) << t.error().message;
    EXPECT_EQ(t->local_id().host, c.host);
    EXPECT_EQ(t->local_full(), std::string("n@") + c.host + ":" + std::to_string(t->local_id().port));
    EXPECT_TRUE(RawPeer::dial(t->local_id().port, c.reach_over_v6).valid());
  }
}

TEST_F(ListenTest, FailuresLeaveNothingOpen) {
  const Transport running = start();  // the runtime's reactor descriptors exist from here
  std::uint16_t taken = 0;
  const RawPeer holder = hold_port(taken);
  const std::size_t fds = open_fd_count();

  Result<Transport, IoError> in_use = listen("127.0.0.1", taken);
  ASSERT_FALSE(in_use.ok());
  EXPECT_EQ(in_use.error().code, std::errc::address_in_use);
  EXPECT_EQ(in_use.error().message, std::error_code(EADDRINUSE, std::system_category()).message());
  EXPECT_EQ(open_fd_count(), fds);

  // Brackets make no address: the text goes to the resolver, which knows no
  // such host (and asks no name server for it).
  Result<Transport, IoError> bracketed = listen("[::1]", 0);
  ASSERT_FALSE(bracketed.ok());
  EXPECT_NE(bracketed.error().code, std::errc::invalid_argument);
  EXPECT_FALSE(bracketed.error().message.empty());
  EXPECT_EQ(open_fd_count(), fds);
}

TEST_F(ListenTest, RefusesSettingsThatCannotWork) {
  TransportConfig bad = fast_config();
  bad.peer_queue_capacity = 0;
  const Transport running = start();
  const std::size_t fds = open_fd_count();
  Result<Transport, IoError> t = listen("127.0.0.1", 0, bad);
  ASSERT_FALSE(t.ok());
  EXPECT_EQ(t.error().code, std::errc::invalid_argument);
  EXPECT_EQ(t.error().message, "peer_queue_capacity must be from 1 to 2305843009213693951");
  EXPECT_EQ(open_fd_count(), fds);
}

TEST_F(ListenTest, EveryAcceptedConnectionIsServedOnItsOwn) {
  const Transport t = start("acceptor");
  transport::EventReceiver events = t.subscribe_events();
  // A silent client does not hold up the others.
  const RawPeer silent = RawPeer::dial(t.local_id().port);
  ASSERT_TRUE(silent.valid());
  std::vector<RawPeer> clients;
  for (int i = 0; i < 5; ++i) {
    clients.push_back(RawPeer::dial(t.local_id().port));
    ASSERT_TRUE(clients.back().valid());
    handshake(clients.back(), "client" + std::to_string(i) + "@127.0.0.1:1");
  }
  ASSERT_TRUE(eventually([&] { return t.peer_count() == 5; }));
  EXPECT_EQ(wait_connected_events(events, 5), 5u);
}

TEST_F(ListenTest, AcceptFailuresAreLoggedAndAcceptingResumes) {
#if defined(__SANITIZE_ADDRESS__)
  // The undefined-behaviour checks of that build probe memory through a pipe;
  // with no descriptor left they report every object as invalid.
  GTEST_SKIP() << "needs descriptors that the sanitizers of this build use";
#endif
  LogCapture logs("error");
  const Transport t = start("acceptor");
  transport::EventReceiver events = t.subscribe_events();

  // With no descriptor number left, accepting fails until the limit is
  // raised again. The client's socket exists before the limit is lowered; it
  // connects after, so the connection cannot be accepted before.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  RawPeer client = RawPeer::unconnected();
  ASSERT_TRUE(client.valid());
  const int lowest_free = ::dup(0);
  ASSERT_GE(lowest_free, 0);
  ::close(lowest_free);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest_free);  // every number below is in use
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  const bool connected = client.connect(t.local_id().port);
  if (connected) handshake(client, "late@127.0.0.1:1");
  const bool logged = eventually([&] { return logs.count_containing("ERROR _core::transport: accept error e=") >= 2; });
  // Counted before the limit goes up: from then on the connection may be
  // accepted and registered at any moment.
  const std::size_t peers_while_refused = t.peer_count();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(connected);
  ASSERT_TRUE(logged) << ::testing::PrintToString(logs.lines());
  EXPECT_EQ(peers_while_refused, 0u);

  ASSERT_TRUE(eventually([&] { return t.has_peer(node_id("late@127.0.0.1:1")); }));
  EXPECT_EQ(wait_connected_events(events, 1), 1u);
  const std::string expected = std::error_code(EMFILE, std::system_category()).message();
  EXPECT_GE(logs.count_containing("accept error e=" + expected), 1u) << ::testing::PrintToString(logs.lines());
}

}  // namespace
}  // namespace vardimont::test
