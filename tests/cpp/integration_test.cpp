// Whole nodes in one process over loopback: messages both ways between two
// and three nodes, error replies, simultaneous dialling settled by the
// tie-break on both ends, and authentication with the cluster secret.
#include <gtest/gtest.h>

#include "transport_fixture.h"

namespace vardimont::test {
namespace {

using log::Level;

class IntegrationTest : public TransportTest {};

TEST_F(IntegrationTest, TwoNodesExchangeMessagesBothWays) {
  Transport a = start("a");
  Transport b = start("b");
  EventTrail a_trail(a);
  EventTrail b_trail(b);
  TestMailbox a_box(a, "inbox");
  TestMailbox b_box(b, "inbox");
  a.spawn(Transport::connect(a, b.local_id()));
  ASSERT_TRUE(eventually([&] { return a.has_peer(b.local_id()) && b.has_peer(a.local_id()); }));

  ASSERT_TRUE(a.send_data_bytes(b.local_id(), "inbox", {'h', 'i'}, "inbox", 7).ok());
  ASSERT_TRUE(b_box.wait_for(1));
  const WireMessage& m = b_box.got()[0];
  EXPECT_EQ(m.src, a.local_full());
  EXPECT_EQ(text_of(m), "hi");
  EXPECT_EQ(m.reply_to, std::optional<std::string>("inbox"));
  EXPECT_EQ(m.correlation_id, std::optional<std::uint64_t>(7));
  // The accepting side answers over the same connection.
  ASSERT_TRUE(send_text(b, a.local_id(), "inbox", "hello back"));
  ASSERT_TRUE(a_box.wait_for(1));
  EXPECT_EQ(text_of(a_box.got()[0]), "hello back");
  EXPECT_EQ(a_box.got()[0].src, b.local_full());

  // A message for an actor that b does not have comes back as a PeerError.
  ASSERT_TRUE(a.send_data_bytes(b.local_id(), "nobody", {}, std::nullopt, 9).ok());
  ASSERT_TRUE(eventually([&] { return a_trail.count<PeerError>(b.local_id()) == 1; }));
  for (const auto& e : a_trail.events()) {
    if (const auto* pe = std::get_if<PeerError>(&e)) {
      EXPECT_EQ(pe->detail, R"({"error":"actor_not_found:nobody"})");
      EXPECT_EQ(pe->correlation_id, std::optional<std::uint64_t>(9));
    }
  }
  EXPECT_EQ(a_trail.count<PeerConnected>(b.local_id()), 1u);
  EXPECT_EQ(b_trail.count<PeerConnected>(a.local_id()), 1u);
}

TEST_F(IntegrationTest, ThreeNodesInOneProcess) {
  std::vector<Transport> nodes = {start("a"), start("b"), start("c")};
  std::vector<std::unique_ptr<TestMailbox>> boxes;
  for (const auto& n : nodes) boxes.push_back(std::make_unique<TestMailbox>(n, "inbox"));
  nodes[0].spawn(Transport::connect(nodes[0], nodes[1].local_id()));
  nodes[0].spawn(Transport::connect(nodes[0], nodes[2].local_id()));
  nodes[1].spawn(Transport::connect(nodes[1], nodes[2].local_id()));
  ASSERT_TRUE(eventually([&] {
    for (const auto& n : nodes) {
      if (n.peer_count() != 2) return false;
    }
    return true;
  }));
  for (std::size_t from = 0; from < nodes.size(); ++from) {
    for (std::size_t to = 0; to < nodes.size(); ++to) {
      if (from != to) {
        ASSERT_TRUE(send_text(nodes[from], nodes[to].local_id(), "inbox", nodes[from].local_full()));
      }
    }
  }
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    ASSERT_TRUE(boxes[i]->wait_for(2));
    for (const auto& m : boxes[i]->got()) {
      EXPECT_EQ(text_of(m), m.src);  // each message came from the node it names
      EXPECT_NE(m.src, nodes[i].local_full());
    }
  }
}

// Whether this process holds exactly one connection of the nodes listening on
// ports `a` and `b`, both of its ends open (a connection between the two has
// both of its ends here).
bool one_connection_between(std::uint16_t a, std::uint16_t b) {
  std::vector<OpenSocket> ends;
  for (const OpenSocket& s : open_sockets()) {
    if (s.remote != 0 && (s.local == a || s.local == b || s.remote == a || s.remote == b)) ends.push_back(s);
  }
  return ends.size() == 2 && ends[0].local == ends[1].remote && ends[0].remote == ends[1].local;
}

// Two nodes that dial each other at the same moment settle on one
// connection in use on both ends. (Each end's rule is tested exactly against
// raw peers; here the whole exchange runs, in whatever order it happens. A
// disconnection can occur on the way: when the larger node's own connection
// is refused by the smaller one before the smaller one's connection has
// reached it, that close is announced, and the announcement also closes the
// newer connection once its reader knows the peer. Reconnection then settles
// the pair.)
TEST_F(IntegrationTest, SimultaneousDiallingSettlesOnOneConnection) {
  TransportConfig config = fast_config();
  config.peer_timeout = transport::Duration::from_millis(150);
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    Transport a = start("a" + std::to_string(round), config);
    Transport b = start("b" + std::to_string(round), config);
    TestMailbox a_box(a, "inbox");
    TestMailbox b_box(b, "inbox");
    auto a_dials = spawn_watched(a.executor(), Transport::connect(a, b.local_id()));
    auto b_dials = spawn_watched(b.executor(), Transport::connect(b, a.local_id()));
    ASSERT_TRUE(eventually([&] { return a.has_peer(b.local_id()) && b.has_peer(a.local_id()); }));

    // Once every superseded connection has ended (its time-out at the
    // latest), the pair is still, or again, connected, and both directions
    // carry messages. The connections are over but one, and so are the dials
    // that made them: the first two and any reconnection.
    ASSERT_TRUE(eventually([&] {
      return a_dials->load() && b_dials->load() && state_of(a).reconnect_loops.running(b.local_id()) == 0 &&
             state_of(b).reconnect_loops.running(a.local_id()) == 0 &&
             one_connection_between(a.local_id().port, b.local_id().port);
    })) << "the connections between the pair did not settle on one";
    ASSERT_TRUE(eventually([&] { return a.has_peer(b.local_id()) && b.has_peer(a.local_id()); }));
    // A message sent while a connection is being replaced may be lost with
    // it; one that is sent once the pair has settled arrives.
    ASSERT_TRUE(send_text(a, b.local_id(), "inbox", "hello"));
    EXPECT_TRUE(b_box.wait_for(1));
    ASSERT_TRUE(send_text(b, a.local_id(), "inbox", "hello"));
    EXPECT_TRUE(a_box.wait_for(1));
    a.forget_peer(b.local_id());
    b.forget_peer(a.local_id());
  }
}

TEST_F(IntegrationTest, ClusterSecretDecidesWhoMayConnect) {
  struct Case {
    const char* name;
    std::optional<std::string> dialler;
    std::optional<std::string> acceptor;
    bool accepted;
  };
  const Case cases[] = {
      {"same secret", "k", "k", true},
      {"both empty secrets", "", "", true},
      {"proof where none is expected", "k", std::nullopt, true},
      {"no secret anywhere", std::nullopt, std::nullopt, true},
      {"wrong secret", "guess", "k", false},
      {"no proof", std::nullopt, "k", false},
      {"empty secret against a secret", "", "k", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture logs("_core::transport=debug");
    TransportConfig dc = fast_config();
    TransportConfig ac = fast_config();
    dc.auto_reconnect = false;  // one attempt, so the outcome is easy to read
    if (c.dialler) dc.cluster_secret = bytes_of(*c.dialler);
    if (c.acceptor) ac.cluster_secret = bytes_of(*c.acceptor);
    Transport d = start("d", dc);
    Transport acc = start("acc", ac);
    EventTrail d_trail(d);
    EventTrail acc_trail(acc);
    ASSERT_TRUE(runtime().block_on(dial(d, acc.local_id())).ok());
    const std::string refused = log_tail(Level::Warn, "handshake failed authentication, dropping connection",
                                         {{"src", d.local_full()}});
    if (c.accepted) {
      EXPECT_TRUE(eventually([&] { return acc_trail.count<PeerConnected>(d.local_id()) == 1; }));
      EXPECT_TRUE(acc.has_peer(d.local_id()));
      EXPECT_EQ(logs.count_containing(refused), 0u);
    } else {
      // The dialler registered and announced the connection, then sees it end.
      EXPECT_EQ(d_trail.count<PeerConnected>(acc.local_id()), 1u);
      EXPECT_TRUE(eventually([&] { return d_trail.count<PeerDisconnected>(acc.local_id()) == 1; }));
      EXPECT_TRUE(eventually([&] { return logs.count_containing(refused) == 1; }));
      EXPECT_EQ(acc_trail.events().size(), 0u);
      EXPECT_FALSE(acc.has_peer(d.local_id()));
    }
  }
}

}  // namespace
}  // namespace vardimont::test
