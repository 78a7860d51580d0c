// Heartbeats: what they carry, that they follow the peer id, and the three
// ways a heartbeat task ends (its peer's disconnection, no entry at a tick, a
// failed send), while other events leave it running.
#include <gtest/gtest.h>

#include "transport/disconnections.h"
#include "transport_fixture.h"

namespace vardimont::test {
namespace {

using wire::MessageKind;

class HeartbeatTest : public TransportTest {
 protected:
  // Long read time-out: raw peers here stay silent.
  static TransportConfig config() {
    TransportConfig c = fast_config();
    c.heartbeat_interval = transport::Duration::from_millis(20);
    c.peer_timeout = transport::Duration::from_millis(10'000);
    return c;
  }
};

TEST_F(HeartbeatTest, AnIdleConnectionReceivesHeartbeats) {
  Transport a = start("a", config());
  RawListener far;
  ASSERT_TRUE(runtime().block_on(dial(a, NodeId{"far", "127.0.0.1", far.port()})).ok());
  RawPeer conn = far.accept();
  auto hs = conn.read_message();
  ASSERT_TRUE(hs && hs->kind == MessageKind::Handshake);
  std::uint64_t last_id = hs->msg_id;
  for (int i = 0; i < 3; ++i) {
    auto hb = conn.read_message();
    ASSERT_TRUE(hb.has_value());
    EXPECT_EQ(hb->kind, MessageKind::Heartbeat);
    EXPECT_EQ(hb->version, wire::PROTOCOL_VERSION);
    EXPECT_EQ(hb->src, a.local_full());
    EXPECT_EQ(hb->dst_actor, "");
    EXPECT_TRUE(hb->payload.empty());
    EXPECT_FALSE(hb->reply_to.has_value());
    EXPECT_FALSE(hb->correlation_id.has_value());
    EXPECT_GT(hb->msg_id, last_id);
    last_id = hb->msg_id;
  }
}

TEST_F(HeartbeatTest, EndsAtTheFirstTickWhenThePeerIsNotInTheTable) {
  Transport a = start("a", config());
  auto done = spawn_watched(asio::make_strand(a.executor()), heartbeat_loop(a, node_id("ghost@127.0.0.1:1"), {}));
  EXPECT_TRUE(eventually([&] { return done->load(); }));
}

TEST_F(HeartbeatTest, EndsOnItsOwnPeersDisconnectionOnly) {
  Transport a = start("a", config());
  const NodeId x = node_id("x@127.0.0.1:9");
  RawPeer p = raw_peer_as(a, x);
  ASSERT_TRUE(p.valid());

  auto done = spawn_watched(asio::make_strand(a.executor()), heartbeat_loop(a, x, state_of(a).peers.find(x)->connection()));
  // Other events, for this peer or others, leave the task running: the peer
  // keeps receiving heartbeats through ticks after them.
  publish(a, PeerDisconnected{node_id("other@127.0.0.1:9")});
  publish(a, MailboxFull{"busy"});
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(p.read_kind(MessageKind::Heartbeat).has_value());
  EXPECT_FALSE(done->load());

  // Its own peer's disconnection, announced as forget_peer does once the
  // entry is gone, ends it.
  a.forget_peer(x);
  EXPECT_TRUE(eventually([&] { return done->load(); }, 2s));
}

// The announcement of the peer's disconnection ends the task by itself, not
// only through the table at its next tick: no heartbeat follows it, even when
// the task's own connection is registered again before that tick. The
// announcement is not stale (forget_peer removes the entry before it
// announces), and it reaches the task while the task waits for room in a full
// queue, so that no tick can fall between the announcement and the new
// registration.
TEST_F(HeartbeatTest, NoHeartbeatFollowsAnAnnouncedDisconnection) {
  Transport a = start("a", config());
  const NodeId x = node_id("x@127.0.0.1:9");
  HandMadeConnection c = spawn_connection(a.executor(), x, 1, SMALL_BUFFERS);
  ASSERT_TRUE(register_connection(a, c.handle, /*outbound=*/true));
  const WireMessage first = occupy_writer(c);
  const WireMessage filler = Msg().id(1).kind(MessageKind::Data).dst("actor").payload("fills the queue");
  ASSERT_TRUE(c.handle.blocking_send(filler).ok());

  // Nothing else draws message ids: the task's first heartbeat takes this one,
  // then waits for room. The strand's next turn comes once it waits.
  const std::uint64_t heartbeat_id = state_of(a).next_msg_id.load();
  const async::Executor strand = asio::make_strand(a.executor());
  auto done = spawn_watched(strand, heartbeat_loop(a, x, c.handle.connection()));
  ASSERT_TRUE(eventually([&] { return state_of(a).next_msg_id.load() > heartbeat_id; }));
  ASSERT_TRUE(strand_reaches(strand));

  a.forget_peer(x);
  ASSERT_TRUE(strand_reaches(strand));  // the announcement has reached the task
  ASSERT_TRUE(register_connection(a, c.handle, /*outbound=*/true));
  ASSERT_TRUE(c.remote.take_bytes(rest_of_frame(first)));  // lets the writer go on
  ASSERT_TRUE(eventually([&] { return done->load(); }, 5s)) << "the task goes on after the announcement";

  // What the task sent is queued before this.
  const WireMessage last = Msg().id(2).kind(MessageKind::Data).dst("actor").payload("last");
  ASSERT_TRUE(c.handle.blocking_send(last).ok());
  EXPECT_EQ(c.remote.read_message(), first);
  EXPECT_EQ(c.remote.read_message(), filler);
  std::optional<WireMessage> waited = c.remote.read_message();
  ASSERT_TRUE(waited.has_value());
  EXPECT_EQ(waited->kind, MessageKind::Heartbeat);
  EXPECT_EQ(waited->msg_id, heartbeat_id);  // the one that waited for room
  std::optional<WireMessage> next = c.remote.read_message();
  ASSERT_TRUE(next.has_value());
  EXPECT_EQ(*next, last) << "a heartbeat after the announcement";
}

TEST_F(HeartbeatTest, EndsWhenItsSendFails) {
  Transport a = start("a", config());
  const NodeId x = node_id("x@127.0.0.1:9");
  // A registered connection with no reader: nothing removes its entry, so
  // only the failed send can end the task.
  HandMadeConnection c = connect_by_hand(a, x);
  ASSERT_TRUE(c.registered);
  auto done = spawn_watched(asio::make_strand(a.executor()), heartbeat_loop(a, x, c.handle.connection()));
  ASSERT_TRUE(c.remote.read_message().has_value());
  c.remote.close();  // writes now fail, and the writer ends
  EXPECT_TRUE(eventually([&] { return done->load(); }));
  EXPECT_TRUE(a.has_peer(x));
}

TEST_F(HeartbeatTest, HeartbeatsKeepAnIdlePeerConnected) {
  TransportConfig c = fast_config();
  c.heartbeat_interval = transport::Duration::from_millis(20);
  c.peer_timeout = transport::Duration::from_millis(120);
  Transport a = start("a", c);
  Transport b = start("b", c);
  EventTrail a_trail(a);
  EventTrail b_trail(b);
  ASSERT_TRUE(runtime().block_on(dial(a, b.local_id())).ok());
  ASSERT_TRUE(eventually([&] { return b.has_peer(a.local_id()); }));

  // Many time-outs' worth of silence but for heartbeats: each node sends 40
  // of them, at least 39 intervals apart, six and a half read time-outs. Each
  // draws a message id, and nothing else draws one here.
  constexpr std::uint64_t HEARTBEATS = 40;
  const std::uint64_t a_from = state_of(a).next_msg_id.load();
  const std::uint64_t b_from = state_of(b).next_msg_id.load();
  ASSERT_TRUE(eventually([&] {
    return state_of(a).next_msg_id.load() >= a_from + HEARTBEATS && state_of(b).next_msg_id.load() >= b_from + HEARTBEATS;
  }));
  EXPECT_TRUE(a.has_peer(b.local_id()));
  EXPECT_TRUE(b.has_peer(a.local_id()));
  EXPECT_EQ(a_trail.count_all<PeerDisconnected>(), 0u);
  EXPECT_EQ(b_trail.count_all<PeerDisconnected>(), 0u);
}

// A peer that keeps replacing its connection (a newer inbound connection from
// a smaller id wins each time) leaves one heartbeat task: the task of each
// replaced connection ends at its next tick, without sending, and the
// connection in use gets heartbeats at one interval, not one per
// replacement.
TEST_F(HeartbeatTest, TheConnectionInUseHasOneHeartbeatTask) {
  Transport n = start("n", config());
  EventTrail trail(n);
  const NodeId m = node_id("m@127.0.0.1:9");  // "m..." < "n...": each newer connection replaces
  constexpr std::size_t CONNECTIONS = 10;
  std::vector<RawPeer> peers;
  for (std::size_t i = 1; i <= CONNECTIONS; ++i) {
    peers.push_back(raw_peer_as(n, m, [&] { return trail.count<PeerConnected>(m) == i; }));
    ASSERT_TRUE(peers.back().valid());
  }
  // Every reader follows the peer, and one heartbeat task is left.
  EXPECT_TRUE(eventually([&] { return disconnections(n).followers(m) == CONNECTIONS + 1; }))
      << disconnections(n).followers(m) << " follow the peer";
  // The newest connection gets one heartbeat per interval: over 40 intervals,
  // far fewer than one per replaced connection would send.
  RawPeer& newest = peers.back();
  const auto until = std::chrono::steady_clock::now() + 40 * 20ms;
  int heartbeats = 0;
  while (std::chrono::steady_clock::now() < until) {
    auto hb = newest.read_message(std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()));
    if (hb && hb->kind == MessageKind::Heartbeat) ++heartbeats;
  }
  EXPECT_GT(heartbeats, 0);
  EXPECT_LE(heartbeats, 80) << "more than one task sends through the connection in use";
  n.forget_peer(m);
  EXPECT_TRUE(eventually([&] { return disconnections(n).followers(m) == 0; }));
}

// The announcement of a peer's disconnection to those who follow that peer:
// each follower of that peer is told once, a follower of another peer never;
// an announcement made after a follower's mark but before it began to follow
// is still seen, one made before its mark is not; a follower that stopped is
// told nothing and leaves nothing behind.
TEST(Disconnections, TellEachFollowerOfThePeerOnce) {
  using transport::Disconnections;
  const NodeId x = node_id("x@127.0.0.1:9");
  const NodeId y = node_id("y@127.0.0.1:9");
  struct Case {
    const char* name;
    bool announce_before_mark;   // x's disconnection announced before the follower's mark
    bool announce_before_follow; // after its mark, before it follows
    bool announce_after;         // once it follows
    const NodeId* followed;
    bool stop_before_announce;
    int told;
  };
  const std::vector<Case> cases = {
      {"announced while followed", false, false, true, &x, false, 1},
      {"announced before the mark", true, false, false, &x, false, 0},
      {"announced after the mark, before following", false, true, false, &x, false, 1},
      {"announced twice: told once", false, true, true, &x, false, 1},
      {"another peer followed", false, true, true, &y, false, 0},
      {"stopped first", false, false, true, &x, true, 0},
  };
  for (const Case& c : cases) {
    auto table = std::make_shared<Disconnections>();
    if (c.announce_before_mark) table->announce(x);
    const Disconnections::Mark mark = table->mark();
    if (c.announce_before_follow) table->announce(x);
    int told = 0;
    Disconnections::Following f = table->follow(*c.followed, mark, [&] { ++told; });
    if (c.stop_before_announce) f.stop();
    if (c.announce_after) table->announce(x);
    EXPECT_EQ(told, c.told) << c.name;
    f.stop();
    EXPECT_EQ(table->followers(x) + table->followers(y), 0u) << c.name;
  }
}

// Many followers of many peers: an announcement reaches the followers of its
// peer only.
TEST(Disconnections, AnAnnouncementReachesOnlyItsPeersFollowers) {
  using transport::Disconnections;
  auto table = std::make_shared<Disconnections>();
  std::vector<int> told(100, 0);
  std::vector<Disconnections::Following> following;
  for (int i = 0; i < 100; ++i) {
    const NodeId peer = node_id("p" + std::to_string(i % 10) + "@127.0.0.1:9");
    following.push_back(table->follow(peer, table->mark(), [&told, i] { ++told[i]; }));
  }
  table->announce(node_id("p3@127.0.0.1:9"));
  for (int i = 0; i < 100; ++i) EXPECT_EQ(told[i], i % 10 == 3 ? 1 : 0) << i;
  EXPECT_EQ(table->followers(node_id("p3@127.0.0.1:9")), 0u);
  EXPECT_EQ(table->followers(node_id("p4@127.0.0.1:9")), 10u);
}

}  // namespace
}  // namespace vardimont::test
