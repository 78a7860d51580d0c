// Heartbeats: what they carry, that they follow the peer id, and the three
// ways a heartbeat task ends (its peer's disconnection, no entry at a tick, a
// failed send), while other events leave it running.
#include <thread>

#include <gtest/gtest.h>

#include "transport/disconnection_watch.h"
#include "transport_fixture.h"

namespace vardimont::test {
namespace {

using transport::MailboxFull;
using transport::PeerDisconnected;
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
  ASSERT_TRUE(runtime().block_on(Transport::dial(a, NodeId{"far", "127.0.0.1", far.port()})).ok());
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
  auto done = spawn_watched(a.executor(), Transport::heartbeat_loop(a, node_id("ghost@127.0.0.1:1")));
  EXPECT_TRUE(eventually([&] { return done->load(); }));
}

TEST_F(HeartbeatTest, EndsOnItsOwnPeersDisconnectionOnly) {
  Transport a = start("a", config());
  const NodeId x = node_id("x@127.0.0.1:9");
  RawPeer p = RawPeer::dial(a.local_id().port);
  ASSERT_TRUE(p.send(handshake_from(x.to_full())));
  ASSERT_TRUE(eventually([&] { return a.has_peer(x); }));

  auto done = spawn_watched(a.executor(), Transport::heartbeat_loop(a, x));
  // Other events, for this peer or others, leave the task running: the peer
  // keeps receiving heartbeats through ticks after them.
  a.publish(PeerDisconnected{node_id("other@127.0.0.1:9")});
  a.publish(MailboxFull{"busy"});
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(p.read_kind(MessageKind::Heartbeat).has_value());
  EXPECT_FALSE(done->load());

  a.publish(PeerDisconnected{x});
  EXPECT_TRUE(eventually([&] { return done->load(); }));
}

TEST_F(HeartbeatTest, EndsWhenItsSendFails) {
  Transport a = start("a", config());
  const NodeId x = node_id("x@127.0.0.1:9");
  // A registered connection with no reader: nothing removes its entry, so
  // only the failed send can end the task.
  HandMadeConnection c = connect_by_hand(a, x);
  ASSERT_TRUE(c.registered);
  auto done = spawn_watched(a.executor(), Transport::heartbeat_loop(a, x));
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
  ASSERT_TRUE(runtime().block_on(Transport::dial(a, b.local_id())).ok());
  ASSERT_TRUE(eventually([&] { return b.has_peer(a.local_id()); }));

  // Many time-outs' worth of silence but for heartbeats: this waits for
  // something that must not happen.
  std::this_thread::sleep_for(800ms);
  EXPECT_TRUE(a.has_peer(b.local_id()));
  EXPECT_TRUE(b.has_peer(a.local_id()));
  EXPECT_EQ(a_trail.count_all<PeerDisconnected>(), 0u);
  EXPECT_EQ(b_trail.count_all<PeerDisconnected>(), 0u);
}

// The event watch that heartbeat tasks and readers keep beside their sleep or
// read: its peer's disconnection is reported, other events are not, and once
// stopped it reports nothing, also for a wake that was already on its way
// (running the handler then could arm the watch again and keep its owner
// alive for good).
TEST(DisconnectionWatch, ReportsItsPeerAndNothingOnceStopped) {
  using transport::DisconnectionWatch;
  using transport::Event;
  const NodeId x = node_id("x@127.0.0.1:9");
  struct Case {
    const char* name;
    Event published;
    bool stop_before_running;
    std::vector<DisconnectionWatch::Seen> reported;
  };
  const std::vector<Case> cases = {
      {"own disconnection", PeerDisconnected{x}, false, {DisconnectionWatch::Seen::OwnDisconnection}},
      {"another peer's", PeerDisconnected{node_id("y@127.0.0.1:9")}, false, {DisconnectionWatch::Seen::Nothing}},
      {"stopped with the wake posted", PeerDisconnected{x}, true, {}},
  };
  for (const Case& c : cases) {
    asio::io_context ctx;  // run by hand: the wake waits until run()
    async::BroadcastSender<Event> events(transport::EVENT_CAPACITY);
    auto watch = std::make_shared<DisconnectionWatch>(events.subscribe());
    watch->follow(x);
    std::vector<DisconnectionWatch::Seen> reported;
    watch->watch(ctx.get_executor(), watch, [&](DisconnectionWatch::Seen seen) { reported.push_back(seen); });
    events.publish(c.published);
    if (c.stop_before_running) watch->stop();
    ctx.poll();
    watch->stop();  // ends a watch that waits on after another peer's event
    ctx.run();
    EXPECT_EQ(reported, c.reported) << c.name;
    EXPECT_EQ(watch.use_count(), 1) << c.name << ": the finished wait let go of its owner";
  }
}

}  // namespace
}  // namespace vardimont::test
