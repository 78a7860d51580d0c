// The transport's state and the operations for the node: settings checks,
// durations, the tie-break and registration rule, message ids, events, the
// routing and peer tables, and the data and error sends (connections made by
// hand over loopback sockets).
#include <future>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "transport_fixture.h"
#include "transport/transport.h"
#include "transport/internal.h"

namespace vardimont::test {
namespace {

using transport::Duration;
using transport::Event;
using transport::MailboxFull;
using transport::PeerDisconnected;
using transport::PeerHandle;
using transport::SendError;

constexpr std::uint64_t MAX_U64 = std::numeric_limits<std::uint64_t>::max();

// --- settings and durations

TEST(ConfigProblem, NamesTheFirstUnusableSetting) {
  const auto with = [](auto change) {
    TransportConfig c;
    change(c);
    return c;
  };
  const struct {
    const char* name;
    TransportConfig config;
    std::optional<std::string> problem;
  } cases[] = {
      {"defaults", TransportConfig{}, std::nullopt},
      {"one nanosecond is enough", with([](auto& c) { c.heartbeat_interval = {0, 1}; }), std::nullopt},
      {"zero heartbeat", with([](auto& c) { c.heartbeat_interval = {}; }),
       "heartbeat_interval must be greater than zero"},
      {"zero timeout", with([](auto& c) { c.peer_timeout = {}; }), "peer_timeout must be greater than zero"},
      {"zero reconnect", with([](auto& c) { c.reconnect_interval = {}; }),
       "reconnect_interval must be greater than zero"},
      {"capacity 0", with([](auto& c) { c.peer_queue_capacity = 0; }),
       "peer_queue_capacity must be from 1 to 2305843009213693951"},
      {"capacity 1", with([](auto& c) { c.peer_queue_capacity = 1; }), std::nullopt},
      {"largest capacity", with([](auto& c) { c.peer_queue_capacity = async::MAX_QUEUE_CAPACITY; }), std::nullopt},
      {"capacity above the largest", with([](auto& c) { c.peer_queue_capacity = async::MAX_QUEUE_CAPACITY + 1; }),
       "peer_queue_capacity must be from 1 to 2305843009213693951"},
      {"two problems: the first field's", with([](auto& c) {
         c.peer_timeout = {};
         c.peer_queue_capacity = 0;
       }),
       "peer_timeout must be greater than zero"},
  };
  for (const auto& c : cases) EXPECT_EQ(transport::config_problem(c.config), c.problem) << c.name;
}

TEST(DurationHelpers, SaturateInsteadOfOverflowing) {
  EXPECT_EQ(Duration::from_millis(1500), (Duration{1, 500'000'000}));
  EXPECT_EQ((Duration{1, 600'000'000}).times3(), (Duration{4, 800'000'000}));
  EXPECT_EQ((Duration{MAX_U64 / 3, 999'999'999}).times3(), (Duration{MAX_U64, 999'999'999}));
  EXPECT_EQ((Duration{MAX_U64, 0}).times3(), (Duration{MAX_U64, 999'999'999}));

  EXPECT_EQ((Duration{2, 5}).to_steady(), 2s + 5ns);
  EXPECT_EQ((Duration{MAX_U64, 0}).to_steady(), std::chrono::steady_clock::duration::max());

  const auto before = std::chrono::steady_clock::now();
  const auto deadline = transport::deadline_after(Duration::from_millis(100));
  ASSERT_TRUE(deadline.has_value());
  EXPECT_GE(*deadline, before + 100ms);
  EXPECT_FALSE(transport::deadline_after(Duration{MAX_U64, 0}).has_value());
  // Representable as a duration, but not once added to the clock's now.
  EXPECT_FALSE(transport::deadline_after(Duration{9'223'372'035, 0}).has_value());
}

// --- tie-break and registration

TEST(TieBreak, KeysCompareAsUnsignedBytes) {
  const struct {
    const char* local;
    const char* peer;
    bool outbound_wins;
    bool inbound_wins;
  } cases[] = {
      // '1' < '9': port 10000 gives the smaller key than port 9000.
      {"a@h:10000", "a@h:9000", true, false},
      {"a@h:9000", "a@h:10000", false, true},
      // A proper prefix is smaller.
      {"a@h:1", "a@h:10", true, false},
      {"a@h:10", "a@h:1", false, true},
      // Upper case sorts before lower case.
      {"Zed@h:1", "abe@h:1", true, false},
      // Bytes above 0x7F are larger than ASCII, not negative.
      {"\xC3\xA9@h:1", "z@h:1", false, true},
      // Equal keys never win, in either direction.
      {"a@h:1", "a@h:1", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(transport::tiebreak_key_wins(c.local, c.peer, true), c.outbound_wins) << c.local << " vs " << c.peer;
    EXPECT_EQ(transport::tiebreak_key_wins(c.local, c.peer, false), c.inbound_wins) << c.local << " vs " << c.peer;
  }
}

class OpsTest : public TransportTest {};

TEST_F(OpsTest, TieBreakUsesTheFullIdsOfTheLocalNodeAndThePeer) {
  const Transport t = start("m");
  const NodeId self = t.local_id();
  EXPECT_FALSE(wins_tiebreak(t, self, true));
  EXPECT_FALSE(wins_tiebreak(t, self, false));
  // The same host and port, written with a leading zero, is the same id.
  EXPECT_FALSE(wins_tiebreak(t, node_id("m@127.0.0.1:0" + std::to_string(self.port)), true));
  const NodeId larger{"n", self.host, self.port};
  EXPECT_TRUE(wins_tiebreak(t, larger, true));
  EXPECT_FALSE(wins_tiebreak(t, larger, false));
  // A prefix of the local key: the port without its last digit.
  const NodeId prefix{"m", self.host, static_cast<std::uint16_t>(self.port / 10)};
  EXPECT_FALSE(wins_tiebreak(t, prefix, true));
  EXPECT_TRUE(wins_tiebreak(t, prefix, false));
}

TEST_F(OpsTest, RegistrationRuleKeepsTheConnectionDialledByTheSmallerKey) {
  const Transport t = start("m");
  const NodeId larger = node_id("z@127.0.0.1:1");   // local key smaller
  const NodeId smaller = node_id("a@127.0.0.1:1");  // local key larger
  const struct {
    const char* name;
    NodeId peer;
    bool second_outbound;
    bool second_wins;
  } cases[] = {
      {"dialled by the smaller local node", larger, true, true},
      {"accepted from the larger peer", larger, false, false},
      {"dialled by the larger local node", smaller, true, false},
      {"accepted from the smaller peer", smaller, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The first connection always wins an empty entry, in both directions.
    HandMadeConnection first = connect_by_hand(t, c.peer, 4, !c.second_outbound);
    ASSERT_TRUE(first.registered);

    HandMadeConnection second = spawn_connection(t.executor(), c.peer, 4);
    int ran_under_lock = 0;
    const bool won = register_connection(t, second.handle, c.second_outbound, [&] {
      // Runs for a winner only, while the write lock is held.
      EXPECT_TRUE(state_of(t).peers.try_find(c.peer).busy);
      ++ran_under_lock;
    });
    EXPECT_EQ(won, c.second_wins);
    EXPECT_EQ(ran_under_lock, c.second_wins ? 1 : 0);
    EXPECT_EQ(t.peer_count(), 1u);
    const std::optional<PeerHandle> held = state_of(t).peers.find(c.peer);
    ASSERT_TRUE(held.has_value());
    EXPECT_TRUE(held->same_connection(c.second_wins ? second.handle : first.handle));

    // A replaced connection is not closed by the replacement.
    EXPECT_TRUE(first.handle.blocking_send(WireMessage{}).ok());
    ASSERT_TRUE(first.remote.read_message().has_value());

    // Only the connection's own handle removes its entry.
    const PeerHandle& other = c.second_wins ? first.handle : second.handle;
    EXPECT_FALSE(unregister_connection(t, other));
    EXPECT_TRUE(unregister_connection(t, *held));
    EXPECT_FALSE(t.has_peer(c.peer));
  }
}

// --- message ids and events

TEST_F(OpsTest, MessageIdsStartAtOneAndAreSharedByAllCopies) {
  const Transport t = start();
  const Transport copy = t;
  EXPECT_EQ(take_msg_id(t), 1u);
  EXPECT_EQ(take_msg_id(copy), 2u);
  EXPECT_EQ(take_msg_id(t), 3u);
}

TEST_F(OpsTest, MessageIdsAreUniqueUnderConcurrency) {
  const Transport t = start();
  constexpr int THREADS = 4;
  constexpr int EACH = 5000;
  std::vector<std::vector<std::uint64_t>> taken(THREADS);
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < THREADS; ++i) {
      threads.emplace_back([&, i] {
        const Transport mine = t;  // every thread works on a copy
        for (int n = 0; n < EACH; ++n) taken[i].push_back(take_msg_id(mine));
      });
    }
  }
  std::set<std::uint64_t> all;
  for (const auto& ids : taken) {
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));  // increasing within each thread
    all.insert(ids.begin(), ids.end());
  }
  EXPECT_EQ(all.size(), std::size_t{THREADS * EACH});
  EXPECT_EQ(*all.begin(), 1u);
  EXPECT_EQ(*all.rbegin(), std::uint64_t{THREADS * EACH});
}

std::string actor_of(const transport::EventReceiver::Item& item) {
  const Event* e = std::get_if<Event>(&item);
  if (e == nullptr || !std::holds_alternative<MailboxFull>(*e)) return "<not a MailboxFull>";
  return std::get<MailboxFull>(*e).actor;
}

TEST_F(OpsTest, EveryReceiverGetsTheEventsPublishedAfterItSubscribed) {
  const Transport t = start();
  transport::EventReceiver early = t.subscribe_events();
  publish(t, MailboxFull{"one"});
  transport::EventReceiver late = t.subscribe_events();
  const Transport copy = t;
  publish(copy, MailboxFull{"two"});

  const auto from_early = received(early);
  ASSERT_EQ(from_early.size(), 2u);
  EXPECT_EQ(actor_of(from_early[0]), "one");
  EXPECT_EQ(actor_of(from_early[1]), "two");
  const auto from_late = received(late);
  ASSERT_EQ(from_late.size(), 1u);
  EXPECT_EQ(actor_of(from_late[0]), "two");
}

TEST_F(OpsTest, AReceiverThatFallsBehindIsToldHowManyItMissed) {
  const Transport t = start();
  transport::EventReceiver rx = t.subscribe_events();
  for (int i = 0; i < 70; ++i) publish(t, MailboxFull{"e" + std::to_string(i)});
  const auto items = received(rx);
  ASSERT_EQ(items.size(), 65u);
  ASSERT_TRUE(std::holds_alternative<async::Lagged>(items[0]));
  EXPECT_EQ(std::get<async::Lagged>(items[0]).missed, 6u);
  EXPECT_EQ(actor_of(items[1]), "e6");  // the oldest still held
  EXPECT_EQ(actor_of(items[64]), "e69");
}

// --- routing table and peer table

TEST_F(OpsTest, RegisteringANameAgainReplacesAndClosesTheOldMailbox) {
  const Transport t = start();
  auto [tx1, rx1] = async::make_queue<WireMessage>(4);
  auto [tx2, rx2] = async::make_queue<WireMessage>(4);
  t.register_actor("a", std::move(tx1));
  const WireMessage for_first = Msg().dst("a").payload("1");
  runtime().block_on(route(t, node_id("p@127.0.0.1:1"), for_first));
  t.register_actor("a", std::move(tx2));
  const WireMessage for_second = Msg().dst("a").payload("2");
  runtime().block_on(route(t, node_id("p@127.0.0.1:1"), for_second));

  // The first mailbox delivers what it holds, then ends: no sending end is left.
  EXPECT_EQ(rx1.blocking_recv(), for_first);
  EXPECT_EQ(rx1.blocking_recv(), std::nullopt);
  EXPECT_EQ(rx2.try_recv(), for_second);
}

TEST_F(OpsTest, UnregisteringRemovesOnlyTheNamedEntry) {
  const Transport t = start();
  auto [tx, rx] = async::make_queue<WireMessage>(4);
  t.register_actor("kept", std::move(tx));
  t.unregister_actor("never registered");
  t.unregister_actor("kep");
  const WireMessage m = Msg().dst("kept");
  runtime().block_on(route(t, node_id("p@127.0.0.1:1"), m));
  EXPECT_EQ(rx.try_recv(), m);

  t.unregister_actor("kept");
  EXPECT_EQ(rx.blocking_recv(), std::nullopt);  // its last sending end went with the entry
}

TEST_F(OpsTest, PeerQueriesMatchTheWholeId) {
  const Transport t = start();
  const NodeId p = node_id("p@127.0.0.1:7");
  EXPECT_FALSE(t.has_peer(p));
  EXPECT_EQ(t.peer_count(), 0u);
  HandMadeConnection c = connect_by_hand(t, p);
  EXPECT_TRUE(t.has_peer(p));
  EXPECT_TRUE(t.has_peer(node_id("p@127.0.0.1:007")));
  EXPECT_FALSE(t.has_peer(node_id("p@localhost:7")));
  EXPECT_FALSE(t.has_peer(node_id("P@127.0.0.1:7")));
  HandMadeConnection d = connect_by_hand(t, node_id("q@127.0.0.1:7"));
  EXPECT_EQ(t.peer_count(), 2u);
}

TEST_F(OpsTest, ForgetPeerLeavesTheDesiredSetThenThePeerTable) {
  const Transport t = start();
  transport::EventReceiver events = t.subscribe_events();
  const NodeId stranger = node_id("stranger@127.0.0.1:1");
  const NodeId wanted = node_id("wanted@127.0.0.1:1");
  const NodeId connected = node_id("connected@127.0.0.1:1");
  state_of(t).desired.insert(wanted);
  state_of(t).desired.insert(connected);
  HandMadeConnection c = connect_by_hand(t, connected);
  HandMadeConnection other = connect_by_hand(t, node_id("other@127.0.0.1:1"));

  t.forget_peer(stranger);
  t.forget_peer(wanted);
  EXPECT_FALSE(state_of(t).desired.contains(wanted));
  EXPECT_TRUE(received(events).empty());  // nothing left the peer table

  t.forget_peer(connected);
  EXPECT_FALSE(state_of(t).desired.contains(connected));
  EXPECT_FALSE(t.has_peer(connected));
  EXPECT_EQ(t.peer_count(), 1u);
  const auto items = received(events);
  ASSERT_EQ(items.size(), 1u);
  const Event* e = std::get_if<Event>(&items[0]);
  ASSERT_NE(e, nullptr);
  ASSERT_TRUE(std::holds_alternative<PeerDisconnected>(*e));
  EXPECT_EQ(std::get<PeerDisconnected>(*e).peer, connected);

  t.forget_peer(connected);  // a second time: nothing more
  EXPECT_TRUE(received(events).empty());
}

// --- data sends

class SendTest : public TransportTest {
 protected:
  const NodeId peer_ = node_id("peer@127.0.0.1:1");
};

TEST_F(SendTest, DataMessagesCarryTheirFieldsUnchanged) {
  const Transport t = start();
  HandMadeConnection c = connect_by_hand(t, peer_);
  const struct {
    std::string dst;
    std::vector<std::uint8_t> payload;
    std::optional<std::string> reply_to;
    std::optional<std::uint64_t> correlation_id;
  } cases[] = {
      {"worker", {'{', '}'}, "caller", 7},
      {"", {}, std::nullopt, std::nullopt},         // empty name and payload stay empty
      {"w", {'1'}, std::string(), std::nullopt},    // an empty reply_to stays present
      {"w", {'1'}, std::nullopt, MAX_U64},
  };
  std::uint64_t id = 1;
  for (const auto& k : cases) {
    const std::optional<std::string_view> reply = k.reply_to ? std::optional<std::string_view>(*k.reply_to) : std::nullopt;
    ASSERT_TRUE(t.send_data_bytes(peer_, k.dst, k.payload, reply, k.correlation_id).ok());
    const WireMessage expected =
        Msg().id(id++).src(t.local_full()).dst(k.dst).payload(k.payload).reply_to(k.reply_to).correlation(k.correlation_id);
    EXPECT_EQ(c.remote.read_message(), expected);
  }
  // The same from a coroutine.
  const Result<void, SendError> sent =
      runtime().block_on(async_send_data_bytes(t, peer_, "co", {'x'}, std::string("r"), 3));
  ASSERT_TRUE(sent.ok());
  const std::optional<WireMessage> got = c.remote.read_message();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->msg_id, id);
  EXPECT_EQ(got->dst_actor, "co");
  EXPECT_EQ(got->reply_to, "r");
}

TEST_F(SendTest, PayloadLimitComesFirstAndTakesNoId) {
  const Transport t = start();
  const NodeId nobody = node_id("nobody@127.0.0.1:1");
  const struct {
    const char* name;
    std::size_t payload_len;
    std::size_t reported_len;  // 0: the encoded body's length, above the limit
  } cases[] = {
      {"one byte over the payload limit", transport::MAX_PAYLOAD_LEN + 1, transport::MAX_PAYLOAD_LEN + 1},
      // Passes the payload test; its body with the other fields is too long
      // for any frame, so it is refused here instead of by the receiver.
      {"exactly the payload limit", transport::MAX_PAYLOAD_LEN, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Result<void, SendError> r = t.send_data_bytes(nobody, "a", std::vector<std::uint8_t>(c.payload_len), {}, {});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, SendError::Kind::PayloadTooLarge);
    if (c.reported_len != 0) {
      EXPECT_EQ(r.error().len, c.reported_len);
    } else {
      EXPECT_GT(r.error().len, wire::MAX_FRAME_LEN);
    }
    r = runtime().block_on(async_send_data_bytes(t, nobody, "a", std::vector<std::uint8_t>(c.payload_len), {}, {}));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, SendError::Kind::PayloadTooLarge);
  }
  EXPECT_EQ(take_msg_id(t), 1u);  // no refusal took an id
}

TEST_F(SendTest, ABodyOfExactlyTheFrameLimitIsSentAndOneByteMoreIsRefused) {
  const Transport t = start();
  HandMadeConnection c = connect_by_hand(t, peer_);
  // The payload that makes the body of message 1 exactly MAX_FRAME_LEN long.
  WireMessage probe = Msg().id(1).src(t.local_full()).dst("a");
  probe.payload.resize(transport::MAX_PAYLOAD_LEN);
  const std::size_t fitting = transport::MAX_PAYLOAD_LEN - (wire::encoded_body_len(probe) - wire::MAX_FRAME_LEN);
  probe.payload.resize(fitting);
  ASSERT_EQ(wire::encoded_body_len(probe), wire::MAX_FRAME_LEN);

  Result<void, SendError> r = t.send_data_bytes(peer_, "a", std::vector<std::uint8_t>(fitting + 1), {}, {});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), (SendError{SendError::Kind::PayloadTooLarge, wire::MAX_FRAME_LEN + 1}));

  ASSERT_TRUE(t.send_data_bytes(peer_, "a", std::vector<std::uint8_t>(fitting), {}, {}).ok());
  const std::optional<WireMessage> got = c.remote.read_message(20s);
  ASSERT_TRUE(got.has_value()) << (c.remote.error() ? c.remote.error()->to_string() : "no frame");
  EXPECT_EQ(got->msg_id, 1u);  // the refusal took no id
  EXPECT_EQ(got->payload.size(), fitting);
}

TEST_F(SendTest, NotConnectedUsesAnIdAndClosedReportsTheEndedWriter) {
  const Transport t = start();
  Result<void, SendError> r = t.send_data_bytes(peer_, "a", {}, {}, {});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), SendError{SendError::Kind::NotConnected});
  r = runtime().block_on(async_send_data_bytes(t, peer_, "a", {}, {}, {}));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), SendError{SendError::Kind::NotConnected});
  EXPECT_EQ(take_msg_id(t), 3u);

  // A connection whose writer has ended stays registered; sends say Closed.
  HandMadeConnection c = connect_by_hand(t, peer_);
  const linger reset{1, 0};
  ::setsockopt(c.remote.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  c.remote.close();
  ASSERT_TRUE(eventually([&] {
    return !t.send_data_bytes(peer_, "a", std::vector<std::uint8_t>(64 * 1024), {}, {}).ok();
  }));
  r = t.send_data_bytes(peer_, "a", {}, {}, {});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), SendError{SendError::Kind::Closed});
  EXPECT_TRUE(t.has_peer(peer_));
}

// The first attempt decides a send whenever it can without waiting; a full
// peer queue or a peer table locked elsewhere leaves it pending, with its id
// drawn, and send_pending finishes it in the order of the ids.
TEST_F(SendTest, FirstAttemptNeverWaitsAndSendPendingFinishesWhatItLeft) {
  using Pending = Transport::PendingSend;
  using Sent = Result<void, SendError>;
  const Transport t = start();
  HandMadeConnection c = spawn_connection(t.executor(), peer_, 1, SMALL_BUFFERS);
  ASSERT_TRUE(register_connection(t, c.handle, true));
  const WireMessage big = occupy_writer(c);
  auto attempt = [&](const NodeId& to) { return t.try_send_data_bytes(to, "a", {}, {}, {}); };

  auto queued = attempt(peer_);  // id 1: the one slot is free
  ASSERT_TRUE(std::holds_alternative<Sent>(queued));
  EXPECT_TRUE(std::get<Sent>(queued).ok());
  auto full = attempt(peer_);  // id 2: the slot is taken
  ASSERT_TRUE(std::holds_alternative<Pending>(full));
  EXPECT_TRUE(std::get<Pending>(full).handle.has_value());

  // While another registration holds the peer table's lock.
  Transport::FirstAttempt locked_out, nobody;
  HandMadeConnection other = spawn_connection(t.executor(), node_id("other@127.0.0.1:1"), 1);
  ASSERT_TRUE(register_connection(t, other.handle, true, [&] {
    locked_out = attempt(peer_);                      // id 3
    nobody = attempt(node_id("nobody@127.0.0.1:1"));  // id 4
  }));
  for (auto* pending : {&locked_out, &nobody}) {
    ASSERT_TRUE(std::holds_alternative<Pending>(*pending));
    EXPECT_FALSE(std::get<Pending>(*pending).handle.has_value());
  }

  const Sent unknown = t.send_pending(std::get<Pending>(std::move(nobody)));
  ASSERT_FALSE(unknown.ok());
  EXPECT_EQ(unknown.error(), SendError{SendError::Kind::NotConnected});
  ASSERT_TRUE(c.remote.take_bytes(rest_of_frame(big)));
  EXPECT_TRUE(t.send_pending(std::get<Pending>(std::move(full))).ok());
  EXPECT_TRUE(t.send_pending(std::get<Pending>(std::move(locked_out))).ok());
  EXPECT_EQ(c.remote.read_message(), big);
  for (std::uint64_t id : {1, 2, 3}) {
    const std::optional<WireMessage> got = c.remote.read_message();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->msg_id, id);
  }
}

TEST_F(SendTest, ErrorSendsReachTheRegisteredConnectionOrUseTheirIdQuietly) {
  const Transport t = start();
  runtime().block_on(send_error(t, peer_, "first", 1));  // not connected: nothing
  t.send_error_blocking(peer_, "second", std::nullopt);
  HandMadeConnection c = connect_by_hand(t, peer_);
  runtime().block_on(send_error(t, peer_, "third", 5));
  t.send_error_blocking(peer_, "fourth", std::nullopt);

  const std::string third = R"({"error":"third"})";
  const std::string fourth = R"({"error":"fourth"})";
  EXPECT_EQ(c.remote.read_message(), Msg().id(3).src(t.local_full()).kind(wire::MessageKind::Error).payload(third).correlation(5).get());
  EXPECT_EQ(c.remote.read_message(), Msg().id(4).src(t.local_full()).kind(wire::MessageKind::Error).payload(fourth).get());
}

TEST_F(SendTest, BlockingEntriesThrowOnAWorkerThreadAndLeaveTheTransportUsable) {
  const Transport t = start();
  HandMadeConnection c = connect_by_hand(t, peer_);
  std::promise<int> thrown;
  asio::post(t.executor(), [&] {
    int n = 0;
    try {
      (void)t.send_data_bytes(peer_, "a", {}, {}, {});
    } catch (const async::BlockingOnWorker&) {
      ++n;
    }
    try {
      t.send_error_blocking(peer_, "x", {});
    } catch (const async::BlockingOnWorker&) {
      ++n;
    }
    thrown.set_value(n);
  });
  auto result = thrown.get_future();
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(result.get(), 2);

  ASSERT_TRUE(t.send_data_bytes(peer_, "a", {}, {}, {}).ok());
  const std::optional<WireMessage> got = c.remote.read_message();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->msg_id, 1u);  // the refused calls took no id
}

}  // namespace
}  // namespace vardimont::test
