// Reconnection: attempts, their log lines and the give-up; attempts that
// time out; the checks that end a loop without dialling; the supervisor, what
// it does at a lag (and does not: add a loop for a peer that has one), and the
// switch that turns reconnection off.
#include <gtest/gtest.h>

#include "transport_fixture.h"

namespace vardimont::test {
namespace {

using log::Level;

class ReconnectTest : public TransportTest {
 protected:
  static TransportConfig config(std::optional<std::uint32_t> max_attempts, std::uint64_t interval_ms = 20) {
    TransportConfig c = fast_config();
    c.reconnect_interval = transport::Duration::from_millis(interval_ms);
    c.reconnect_max_attempts = max_attempts;
    return c;
  }
  static std::string refused_text() {
    return asio::error::make_error_code(asio::error::connection_refused).message();
  }
};

TEST_F(ReconnectTest, FailedFirstDialIsRetriedUntilTheLimit) {
  struct Case {
    std::uint32_t max;
    std::uint32_t attempts;  // a limit of 0 still makes one attempt
  };
  for (const Case c : {Case{3, 3}, Case{1, 1}, Case{0, 1}}) {
    SCOPED_TRACE("max " + std::to_string(c.max));
    LogCapture logs("_core::transport=debug");
    Transport a = start("a", config(c.max));
    EventTrail trail(a);
    const NodeId peer{"gone", "127.0.0.1", refused_port()};
    a.spawn(Transport::connect(a, peer));

    ASSERT_TRUE(eventually([&] { return trail.count<ReconnectGaveUp>(peer) == 1; }));
    const std::string failed =
        log_tail(Level::Debug, "reconnect failed", {{"e", refused_text()}, {"peer", peer.to_full()}});
    const std::string gave_up = log_tail(Level::Debug, "giving up on reconnecting",
                                         {{"peer", peer.to_full()}, {"attempts", std::to_string(c.attempts)}});
    // The first dial's own failure is not logged: one line per attempt.
    EXPECT_EQ(logs.count_containing(failed), c.attempts);
    EXPECT_EQ(logs.count_containing(gave_up), 1u);
    EXPECT_EQ(logs.lines().size(), c.attempts + 1);
    EXPECT_FALSE(state_of(a).desired.contains(peer));
    EXPECT_EQ(trail.events().size(), 1u);
  }
}

TEST_F(ReconnectTest, AttemptsThatAreNeverAnsweredTimeOut) {
  BlackHole hole;
  ASSERT_TRUE(hole.ready());
  LogCapture logs("_core::transport=debug");
  Transport a = start("a", config(2, 30));  // each attempt limited to 90 ms
  EventTrail trail(a);
  const NodeId peer{"hole", "127.0.0.1", hole.port()};
  const std::size_t fds_before = open_fd_count();
  state_of(a).desired.insert(peer);
  a.spawn(reconnect_loop(a, peer));

  ASSERT_TRUE(eventually([&] { return trail.count<ReconnectGaveUp>(peer) == 1; }));
  EXPECT_EQ(logs.count_containing(log_tail(Level::Debug, "reconnect timed out", {{"peer", peer.to_full()}})), 2u);
  EXPECT_EQ(logs.count_containing(log_tail(Level::Debug, "giving up on reconnecting",
                                           {{"peer", peer.to_full()}, {"attempts", "2"}})),
            1u);
  EXPECT_EQ(logs.count_containing("reconnect failed"), 0u);
  // The abandoned attempts' sockets are closed.
  EXPECT_TRUE(eventually([&] { return open_fd_count() <= fds_before; }));
}

TEST_F(ReconnectTest, ForgottenPeerEndsTheLoopWithoutAnAttempt) {
  LogCapture logs("_core::transport=debug");
  Transport a = start("a", config(std::nullopt, 50));
  EventTrail trail(a);
  const NodeId peer{"gone", "127.0.0.1", refused_port()};
  state_of(a).desired.insert(peer);
  auto done = spawn_watched(a.executor(), reconnect_loop(a, peer));
  a.forget_peer(peer);  // during the first pause
  EXPECT_TRUE(eventually([&] { return done->load(); }));
  EXPECT_TRUE(logs.lines().empty());
  EXPECT_TRUE(trail.events().empty());
}

TEST_F(ReconnectTest, ConnectedPeerEndsTheLoopWithoutDialling) {
  Transport a = start("a", config(std::nullopt));
  RawListener far;  // where a dial would arrive
  const NodeId peer{"far", "127.0.0.1", far.port()};
  state_of(a).desired.insert(peer);
  RawPeer in = raw_peer_as(a, peer);  // the peer connects to a meanwhile
  ASSERT_TRUE(in.valid());
  auto done = spawn_watched(a.executor(), reconnect_loop(a, peer));
  EXPECT_TRUE(eventually([&] { return done->load(); }));
  // The loop is the only one that could have dialled, and it has ended.
  const std::optional<std::vector<RawPeer>> dialled = connections_so_far(far);
  ASSERT_TRUE(dialled.has_value());
  EXPECT_TRUE(dialled->empty());
}

TEST_F(ReconnectTest, SupervisorFollowsDisconnectionsOfWantedPeersOnly) {
  LogCapture logs("_core::transport=debug");
  Transport a = start("a", config(1));
  EventTrail trail(a);
  const NodeId wanted{"wanted", "127.0.0.1", refused_port()};
  const NodeId unwanted{"unwanted", "127.0.0.1", refused_port()};
  state_of(a).desired.insert(wanted);
  publish(a, PeerDisconnected{unwanted});
  publish(a, PeerDisconnected{wanted});
  ASSERT_TRUE(eventually([&] { return trail.count<ReconnectGaveUp>(wanted) == 1; }));
  EXPECT_EQ(logs.count_containing("peer=" + wanted.to_full()), 2u);  // failed, giving up
  EXPECT_EQ(logs.count_containing(unwanted.to_full()), 0u);
}

// Any peer can make the supervisor fall behind (a burst at a full mailbox).
// It must not stop: it goes on receiving, and it makes up for disconnections
// it may have missed by starting a loop for every wanted peer that is not
// connected.
TEST_F(ReconnectTest, SupervisorThatLagsReconnectsEveryWantedPeerAndGoesOn) {
  Transport a = start("a", config(std::nullopt));
  RawListener missed_listener;
  RawListener later_listener;
  const NodeId missed{"missed", "127.0.0.1", missed_listener.port()};
  const NodeId later{"later", "127.0.0.1", later_listener.port()};
  state_of(a).desired.insert(missed);  // its disconnection is among the events lost below
  transport::EventReceiver rx = a.subscribe_events();
  for (std::size_t i = 0; i <= transport::EVENT_CAPACITY; ++i) publish(a, MailboxFull{"burst"});
  auto done = spawn_watched(a.executor(), reconnect_supervisor(a, std::move(rx)));
  RawPeer dialled = missed_listener.accept();
  EXPECT_TRUE(dialled.valid()) << "the wanted peer whose disconnection was missed was not dialled";

  state_of(a).desired.insert(later);
  publish(a, PeerDisconnected{later});
  EXPECT_TRUE(later_listener.accept().valid()) << "the supervisor stopped receiving";
  EXPECT_FALSE(done->load());
}

// A wanted peer that stays down already has its loop; a lag must not add one
// (each loop dials once per interval and counts its own attempts, so repeated
// lags would multiply the dials without bound). A wanted peer with no loop
// gets exactly one. The supervisor runs on a context of the test's own, so
// that each lag is taken in full before the count is read; the node's own
// supervisor lags on the same bursts meanwhile, so the two would both start a
// loop if the check and the start were two steps.
TEST_F(ReconnectTest, LagsStartNoLoopForAPeerWhoseLoopRuns) {
  Transport a = start("a", config(std::nullopt));
  const NodeId down{"down", "127.0.0.1", refused_port()};
  const NodeId unlooped{"unlooped", "127.0.0.1", refused_port()};
  a.spawn(Transport::connect(a, down));  // the first dial fails: a loop runs
  ASSERT_TRUE(eventually([&] { return state_of(a).reconnect_loops.running(down) == 1; }));
  state_of(a).desired.insert(unlooped);

  async::Context supervisor_context;
  asio::co_spawn(supervisor_context, reconnect_supervisor(a, a.subscribe_events()), asio::detached);
  for (int lag = 1; lag <= 5; ++lag) {
    SCOPED_TRACE("lag " + std::to_string(lag));
    for (std::size_t i = 0; i <= transport::EVENT_CAPACITY; ++i) publish(a, MailboxFull{"burst"});
    supervisor_context.poll();  // the lag, the events kept, then a wait
    EXPECT_EQ(state_of(a).reconnect_loops.running(down), 1u);
    EXPECT_EQ(state_of(a).reconnect_loops.running(unlooped), 1u);
  }

  // The one loop still reconnects the peer when it is back.
  RawListener back(16, down.port);
  ASSERT_TRUE(back.valid());
  EXPECT_TRUE(back.accept().valid());
  // Loops that end are no longer counted. A forget can be undone by a dial
  // that its loop began just before (a dial under way wants its peer again),
  // and that loop then goes on: the forget is repeated until it sticks.
  EXPECT_TRUE(eventually([&] {
    a.forget_peer(down);
    a.forget_peer(unlooped);
    return state_of(a).reconnect_loops.running(down) == 0 && state_of(a).reconnect_loops.running(unlooped) == 0;
  })) << "loops still running: down " << state_of(a).reconnect_loops.running(down) << ", unlooped "
      << state_of(a).reconnect_loops.running(unlooped);
}

TEST_F(ReconnectTest, NothingReconnectsWhenReconnectionIsOff) {
  LogCapture logs("_core::transport=debug");
  TransportConfig c = config(std::nullopt);
  c.auto_reconnect = false;
  Transport a = start("a", c);
  const NodeId peer{"gone", "127.0.0.1", refused_port()};
  auto done = spawn_watched(a.executor(), Transport::connect(a, peer));
  ASSERT_TRUE(eventually([&] { return done->load(); }));
  EXPECT_TRUE(state_of(a).desired.contains(peer));
  publish(a, PeerDisconnected{peer});
  // Several intervals in which an attempt would have been logged: a loop
  // started by hand for another peer logs five failed attempts, one an
  // interval, and nothing else is logged meanwhile.
  const NodeId witness{"witness", "127.0.0.1", refused_port()};
  const std::string failed =
      log_tail(Level::Debug, "reconnect failed", {{"e", refused_text()}, {"peer", witness.to_full()}});
  state_of(a).desired.insert(witness);
  a.spawn(reconnect_loop(a, witness));
  ASSERT_TRUE(eventually([&] { return logs.count_containing(failed) >= 5; }));
  for (const std::string& line : logs.lines()) EXPECT_NE(line.find(failed), std::string::npos) << line;
  EXPECT_EQ(state_of(a).reconnect_loops.running(peer), 0u);
}

TEST_F(ReconnectTest, ReconnectsAfterTheFarNodeRestarts) {
  Transport a = start("a", config(std::nullopt));
  EventTrail trail(a);
  auto far_runtime = std::move(async::Runtime::create()).value();
  auto listen_far = [&](std::uint16_t port) {
    return far_runtime->block_on(Transport::listen(NodeId{"far", "127.0.0.1", port}, fast_config()));
  };
  auto first = listen_far(0);
  ASSERT_TRUE(first.ok());
  const NodeId far = first.value().local_id();
  a.spawn(Transport::connect(a, far));
  ASSERT_TRUE(eventually([&] { return trail.count<PeerConnected>(far) == 1; }));

  // The far node stops: its connections close, a notices and keeps trying.
  far_runtime->shutdown_and_wait();
  ASSERT_TRUE(eventually([&] { return trail.count<PeerDisconnected>(far) == 1; }));
  EXPECT_FALSE(a.has_peer(far));

  far_runtime = std::move(async::Runtime::create()).value();
  std::optional<Transport> again;
  ASSERT_TRUE(eventually([&] {
    auto r = listen_far(far.port);
    if (r.ok()) again.emplace(std::move(r).value());
    return again.has_value();
  }));
  ASSERT_TRUE(eventually([&] { return trail.count<PeerConnected>(far) == 2 && a.has_peer(far); }));
  EXPECT_TRUE(eventually([&] { return again->has_peer(a.local_id()); }));
  again.reset();
  far_runtime->shutdown_and_wait();
}

}  // namespace
}  // namespace vardimont::test
