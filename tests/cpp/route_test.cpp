// Routing of inbound messages from a known peer: delivery to mailboxes, the
// error replies (observed on a plain socket at the peer's end of a hand-made
// connection) and the PeerError events.
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "transport_fixture.h"
#include "transport/transport.h"

namespace vardimont::test {
namespace {

using transport::Event;
using transport::EventReceiver;
using transport::MailboxFull;
using transport::PeerError;

std::vector<std::uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }
std::string text(const std::vector<std::uint8_t>& b) { return {b.begin(), b.end()}; }

WireMessage data_for(std::string actor, std::optional<std::uint64_t> correlation_id = std::nullopt) {
  return Msg()
      .id(40)
      .src("someone-else@10.0.0.1:2")  // never compared with the connection's peer
      .dst(std::move(actor))
      .payload("[1]")
      .reply_to("back")
      .correlation(correlation_id);
}

WireMessage error_with(std::vector<std::uint8_t> payload, std::optional<std::uint64_t> correlation_id = std::nullopt) {
  return Msg().kind(wire::MessageKind::Error).payload(std::move(payload)).correlation(correlation_id);
}

class RouteTest : public TransportTest {
 protected:
  RouteTest() : t_(start("self")), events_(t_.subscribe_events()), c_(connect_by_hand(t_, peer_)) {}

  void route(WireMessage m) { runtime().block_on(transport::route(t_, peer_, std::move(m))); }

  // The error reply that the peer receives next; its payload as text.
  std::string next_reply(std::optional<std::uint64_t> correlation_id) {
    std::optional<WireMessage> got = c_.remote.read_message();
    if (!got) return "<no reply>";
    EXPECT_EQ(got->kind, wire::MessageKind::Error);
    EXPECT_EQ(got->src, t_.local_full());
    EXPECT_EQ(got->dst_actor, "");
    EXPECT_EQ(got->reply_to, std::nullopt);
    EXPECT_EQ(got->correlation_id, correlation_id);
    return text(got->payload);
  }

  // Routes a Data message for an actor that doesn't exist and checks that its
  // reply is the next frame: nothing was sent before it.
  void expect_nothing_sent_before_marker() {
    route(data_for("marker"));
    EXPECT_EQ(next_reply(std::nullopt), R"({"error":"actor_not_found:marker"})");
  }

  std::vector<Event> events() {
    std::vector<Event> out;
    for (auto& item : received(events_)) {
      if (Event* e = std::get_if<Event>(&item)) out.push_back(std::move(*e));
    }
    return out;
  }

  const NodeId peer_ = node_id("peer@127.0.0.1:9");
  Transport t_;
  EventReceiver events_;
  HandMadeConnection c_;
};

TEST_F(RouteTest, DataReachesTheNamedMailboxUnchanged) {
  auto [tx, rx] = async::make_queue<WireMessage>(4);
  t_.register_actor("worker", std::move(tx));
  route(data_for("worker", 7));
  EXPECT_EQ(rx.try_recv(), data_for("worker", 7));
  expect_nothing_sent_before_marker();
  EXPECT_TRUE(events().empty());
}

TEST_F(RouteTest, DataForAnUnknownActorIsAnsweredWithItsCorrelationId) {
  auto [tx, rx] = async::make_queue<WireMessage>(4);
  t_.register_actor("actor", std::move(tx));
  t_.register_actor("", std::move(async::make_queue<WireMessage>(4).first));
  const struct {
    std::string actor;
    std::optional<std::uint64_t> correlation_id;
    std::string reply;
  } cases[] = {
      {"ghost", 7, R"({"error":"actor_not_found:ghost"})"},
      {"ghost", std::nullopt, R"({"error":"actor_not_found:ghost"})"},
      {"Actor", 1, R"({"error":"actor_not_found:Actor"})"},  // names compare exactly
      {"actor ", 2, R"({"error":"actor_not_found:actor "})"},
      // The detail is escaped as a JSON string: quote, backslash, line feed,
      // other controls as \u00xx; U+007F, '/' and non-ASCII stay as they are.
      {"q\"b\\n\nt\tu\x01\x1f\x7f/\xC3\xA9", 3,
       "{\"error\":\"actor_not_found:q\\\"b\\\\n\\nt\\tu\\u0001\\u001f\x7f/\xC3\xA9\"}"},
  };
  for (const auto& c : cases) {
    route(data_for(c.actor, c.correlation_id));
    EXPECT_EQ(next_reply(c.correlation_id), c.reply) << c.actor;
  }
  EXPECT_EQ(rx.try_recv(), std::nullopt);
  EXPECT_TRUE(events().empty());  // the receiving node publishes nothing
}

TEST_F(RouteTest, AFullMailboxPublishesMailboxFullThenReplies) {
  auto [tx, rx] = async::make_queue<WireMessage>(2);
  t_.register_actor("slow", std::move(tx));
  for (std::uint64_t corr : {1, 2, 3}) route(data_for("slow", corr));

  EXPECT_EQ(next_reply(3), R"({"error":"mailbox_full:slow"})");
  const std::vector<Event> published = events();
  ASSERT_EQ(published.size(), 1u);
  ASSERT_TRUE(std::holds_alternative<MailboxFull>(published[0]));
  EXPECT_EQ(std::get<MailboxFull>(published[0]).actor, "slow");
  EXPECT_EQ(rx.try_recv(), data_for("slow", 1));
  EXPECT_EQ(rx.try_recv(), data_for("slow", 2));
  EXPECT_EQ(rx.try_recv(), std::nullopt);
}

TEST_F(RouteTest, DataForAClosedMailboxVanishesWithoutATrace) {
  {
    auto [tx, rx] = async::make_queue<WireMessage>(2);
    t_.register_actor("gone", std::move(tx));
  }  // the receiving end is dropped; the entry stays
  route(data_for("gone", 1));
  expect_nothing_sent_before_marker();
  EXPECT_TRUE(events().empty());
}

TEST_F(RouteTest, HeartbeatAndHandshakeNeedNothing) {
  route(Msg().kind(wire::MessageKind::Heartbeat));
  route(Msg().src("x@y:1").kind(wire::MessageKind::Handshake));
  expect_nothing_sent_before_marker();
  EXPECT_TRUE(events().empty());
}

TEST_F(RouteTest, AnErrorBecomesAPeerErrorWithTheWholePayloadReRendered) {
  const auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  const struct {
    std::string payload;
    std::string detail;
  } cases[] = {
      {"", "null"},
      {"abc", ""},
      {R"({"error":"actor_not_found:x"})", R"({"error":"actor_not_found:x"})"},
      {" {\"b\" : 1 ,\n \"a\"\t: [true, null, \"s\"] } \r\n", R"({"a":[true,null,"s"],"b":1})"},
      {R"({"k":1,"k":2})", R"({"k":2})"},
      {"1 2", ""},
      {"\"\\u00e9\\n\"", "\"\xC3\xA9\\n\""},
      {nested(127), nested(127)},
      {nested(128), ""},
      {"1e999", ""},
      {"\"\xFF\"", ""},
  };
  std::optional<std::uint64_t> corr = 1;
  for (const auto& c : cases) {
    route(error_with(bytes(c.payload), corr));
    const std::vector<Event> published = events();
    ASSERT_EQ(published.size(), 1u) << c.payload;
    ASSERT_TRUE(std::holds_alternative<PeerError>(published[0]));
    const PeerError& e = std::get<PeerError>(published[0]);
    EXPECT_EQ(e.peer, peer_);
    EXPECT_EQ(e.detail, c.detail) << c.payload;
    EXPECT_EQ(e.correlation_id, corr);
    corr = corr ? std::nullopt : std::optional<std::uint64_t>(*corr + 1);  // with and without
  }
  expect_nothing_sent_before_marker();  // an Error is never answered
}

TEST_F(RouteTest, RepliesGoThroughTheConnectionNowRegistered) {
  // key(peer) < key(self): a connection accepted from the peer supersedes the
  // one made first.
  HandMadeConnection newer = spawn_connection(t_.executor(), peer_, 4);
  ASSERT_TRUE(register_connection(t_, newer.handle, /*outbound=*/false));
  route(data_for("ghost", 1));
  std::optional<WireMessage> got = newer.remote.read_message();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(text(got->payload), R"({"error":"actor_not_found:ghost"})");

  // With no entry for the peer, no reply is sent, but the id is used.
  t_.forget_peer(peer_);
  const std::uint64_t before = take_msg_id(t_);
  route(data_for("ghost", 2));
  EXPECT_EQ(take_msg_id(t_), before + 2);
}

// A reply waits for room for at most the read time-out, then is dropped with
// a DEBUG line, so that two readers whose replies wait on each other's full
// queues both read again.
TEST_F(RouteTest, ARouteReplyWaitsForRoomAtMostTheReadTimeOut) {
  LogCapture logs("_core::transport=debug");
  HandMadeConnection slow = spawn_connection(t_.executor(), node_id("slow@127.0.0.1:1"), 1, SMALL_BUFFERS);
  const NodeId slow_id = slow.handle.id();
  ASSERT_TRUE(register_connection(t_, slow.handle, true));
  occupy_writer(slow, 1);                                    // the writer is busy
  ASSERT_TRUE(slow.handle.blocking_send(Msg().id(2)).ok());  // and the queue is full

  runtime().block_on(transport::route(t_, slow_id, data_for("ghost", 1)));  // completes after the bound
  EXPECT_EQ(logs.count_containing(log_tail(log::Level::Debug, "error reply dropped, peer queue full",
                                           {{"peer", slow_id.to_full()}})),
            1u);

  std::optional<WireMessage> got = slow.remote.read_message(20s);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->msg_id, 1u);
  got = slow.remote.read_message();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->msg_id, 2u);
  // The dropped reply never comes; the next one does.
  runtime().block_on(transport::route(t_, slow_id, data_for("after", 2)));
  got = slow.remote.read_message();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(text(got->payload), R"({"error":"actor_not_found:after"})");
}

// A reader keeps the mailbox it routed to last for the rest of a read; a
// registration or a removal in the middle of a read takes effect from the
// next message on all the same.
TEST_F(RouteTest, ARoutingChangeTakesEffectWithinARead) {
  auto [old_tx, old_rx] = async::make_queue<WireMessage>(4);
  auto [new_tx, new_rx] = async::make_queue<WireMessage>(4);
  RecentMailbox recent;  // one read's
  t_.register_actor("worker", std::move(old_tx));
  EXPECT_FALSE(route_now(t_, peer_, data_for("worker", 1), recent));
  t_.register_actor("worker", std::move(new_tx));  // replaces the first
  EXPECT_FALSE(route_now(t_, peer_, data_for("worker", 2), recent));
  t_.unregister_actor("worker");
  std::optional<ErrorReply> reply = route_now(t_, peer_, data_for("worker", 3), recent);
  recent.forget();

  EXPECT_EQ(old_rx.try_recv(), data_for("worker", 1));
  EXPECT_EQ(old_rx.try_recv(), std::nullopt);
  EXPECT_EQ(new_rx.try_recv(), data_for("worker", 2));
  EXPECT_EQ(new_rx.try_recv(), std::nullopt);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->detail, "actor_not_found:worker");
}

// An error's detail can echo an actor name that the peer chose, and escaping
// can make it six times longer. An error that could never be framed is refused
// where it is built (logged as the writer logs a message it cannot frame), so
// that it never holds the peer queue: a peer could otherwise make the node
// hold several times what it sent, until the writer came to drop it.
TEST_F(RouteTest, AnErrorThatCouldNeverBeFramedIsNotQueued) {
  const std::string control_name(3 * 1024 * 1024, '\x01');  // ~3 MiB in, ~18 MiB once escaped
  ASSERT_LE(wire::encoded_body_len(data_for(control_name)), wire::MAX_FRAME_LEN);
  struct Case {
    const char* how;
    std::function<void(const NodeId&)> send;
  };
  const Case cases[] = {
      {"a reply to the peer", [&](const NodeId& to) { runtime().block_on(transport::route(t_, to, data_for(control_name))); }},
      {"an error of the node's own", [&](const NodeId& to) { t_.send_error_blocking(to, control_name, 7); }},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    LogCapture logs("warn");
    HandMadeConnection slow =
        spawn_connection(t_.executor(), node_id("slow" + std::to_string(++n) + "@127.0.0.1:1"), 1, SMALL_BUFFERS);
    ASSERT_TRUE(register_connection(t_, slow.handle, true));
    occupy_writer(slow);  // the writer is busy and the queue of one is empty
    c.send(slow.handle.id());
    WireMessage probe = Msg().id(2);
    EXPECT_EQ(slow.handle.try_send(probe), async::TrySend::Ok) << "the error took the queue's place";
    EXPECT_EQ(logs.count_containing("failed to encode frame, dropping"), 1u);
    EXPECT_EQ(logs.count_containing("exceeds limit of 16777216"), 1u);
  }
}

}  // namespace
}  // namespace vardimont::test
