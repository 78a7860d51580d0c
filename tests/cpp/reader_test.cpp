// The connection reader against raw peers: frames split anywhere, the
// inbound handshake and its refusals, hostile input that ends only its own
// connection, the read time-out, and the tie-break on accepted connections.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "runtime/node_id.h"
#include "transport_fixture.h"
#include "wire/auth.h"

namespace vardimont::test {
namespace {

using log::Level;
using wire::MessageKind;

class ReaderTest : public TransportTest {
 protected:
  // A node named "n": ids named "m..." sort before it, "z..." after it. Its
  // read time-out is long, so that a connection that closes within a test
  // was closed by what the test did, not by silence.
  Transport start_n(std::optional<std::string> secret = std::nullopt) {
    TransportConfig config = fast_config();
    config.peer_timeout = transport::Duration::from_millis(10'000);
    if (secret) config.cluster_secret = bytes_of(*secret);
    return start("n", config);
  }
  // A node named "n" with a read time-out of `read_timeout` and peer queues
  // of `queue_capacity`, for the tests of what the time-outs end.
  Transport start_n(std::chrono::milliseconds read_timeout,
                    std::uint64_t queue_capacity = fast_config().peer_queue_capacity) {
    TransportConfig config = fast_config();
    config.peer_timeout = transport::Duration::from_millis(static_cast<std::uint64_t>(read_timeout.count()));
    config.peer_queue_capacity = queue_capacity;
    return start("n", config);
  }
};

// What the reader logs for an invalid frame made of `bytes`: the decoder's
// own text for them.
std::string invalid_frame_tail(const std::vector<std::uint8_t>& bytes) {
  wire::FrameDecoder d;
  auto r = d.decode(bytes);
  return log_tail(Level::Warn, "invalid frame, dropping connection", {{"e", r.ok() ? "" : r.error().to_string()}});
}

TEST_F(ReaderTest, HandshakeAndDataAreHandledHoweverTheBytesArrive) {
  Transport n = start_n();
  TestMailbox sink(n, "sink");
  EventTrail trail(n);
  const std::string x = "x@127.0.0.1:9";
  auto bytes = concat({frame_of(handshake_from(x)), frame_of(data_from(x, "sink", "one")),
                       frame_of(data_from(x, "sink", "two"))});
  for (bool bytewise : {false, true}) {
    SCOPED_TRACE(bytewise ? "one byte per write" : "one chunk");
    RawPeer p = RawPeer::dial(n.local_id().port);
    ASSERT_TRUE(bytewise ? p.write_bytewise(bytes) : p.write(bytes));
    ASSERT_TRUE(sink.wait_for(bytewise ? 4 : 2));
    const auto& got = sink.got();
    EXPECT_EQ(text_of(got[got.size() - 2]), "one");
    EXPECT_EQ(text_of(got.back()), "two");
    EXPECT_EQ(got.back().src, x);
    EXPECT_TRUE(n.has_peer(node_id(x)));
    p.close();
    ASSERT_TRUE(eventually([&] { return trail.count<PeerDisconnected>(node_id(x)) == (bytewise ? 2u : 1u); }));
  }
  EXPECT_EQ(trail.count<PeerConnected>(node_id(x)), 2u);
}

TEST_F(ReaderTest, LaterHandshakesAreIgnoredAndThePortIsReadAsANumber) {
  Transport n = start_n("s3cret");
  TestMailbox sink(n, "sink");
  RawPeer p = RawPeer::dial(n.local_id().port);
  // Leading zeros: the same peer as x@127.0.0.1:80.
  ASSERT_TRUE(p.send(handshake_from("x@127.0.0.1:080", bytes_of("s3cret"))));
  ASSERT_TRUE(eventually([&] { return n.has_peer(node_id("x@127.0.0.1:80")); }));
  // Another id with no proof: dropped without effect.
  ASSERT_TRUE(p.send(handshake_from("y@127.0.0.1:1")));
  ASSERT_TRUE(p.send(data_from("y@127.0.0.1:1", "sink", "after")));
  ASSERT_TRUE(sink.wait_for(1));
  EXPECT_EQ(text_of(sink.got()[0]), "after");
  EXPECT_FALSE(n.has_peer(node_id("y@127.0.0.1:1")));
  EXPECT_EQ(n.peer_count(), 1u);
}

TEST_F(ReaderTest, WithoutASecretAnyHandshakePayloadIsAccepted) {
  Transport n = start_n();
  const std::vector<std::uint8_t> payloads[] = {
      {},
      frame_of(handshake_from("p@h:1", bytes_of("whatever"))),  // any bytes at all
      [] {
        auto proof = wire::build_proof(bytes_of("k"));
        return std::vector<std::uint8_t>(proof.begin(), proof.end());
      }(),
  };
  std::vector<RawPeer> peers;
  for (std::size_t i = 0; i < std::size(payloads); ++i) {
    auto hs = handshake_from("p" + std::to_string(i) + "@127.0.0.1:1");
    hs.payload = payloads[i];
    peers.push_back(RawPeer::dial(n.local_id().port));
    ASSERT_TRUE(peers.back().send(hs));
    EXPECT_TRUE(eventually([&] { return n.has_peer(node_id(hs.src)); })) << i;
  }
}

// Each hostile connection ends with its own log line, publishes nothing and
// leaves a good peer's traffic untouched.
TEST_F(ReaderTest, HostilePeersEndOnlyTheirOwnConnection) {
  const std::string secret = "s3cret";
  Transport n = start_n(secret);
  TestMailbox n_sink(n, "sink");
  TransportConfig good_config = fast_config();
  good_config.cluster_secret = bytes_of(secret);
  Transport good = start("good", good_config);
  TestMailbox good_sink(good, "sink");
  EventTrail trail(n);
  ASSERT_TRUE(runtime().block_on(dial(good, n.local_id())).ok());
  ASSERT_TRUE(eventually([&] { return n.has_peer(good.local_id()); }));
  LogCapture logs("_core::transport=debug");
  const std::string x = "x@127.0.0.1:9";
  const auto proof_hs = [&](std::string src) { return frame_of(handshake_from(std::move(src), bytes_of(secret))); };
  auto v2 = handshake_from(x, bytes_of(secret));
  v2.version = 2;
  auto short_proof = handshake_from(x);
  short_proof.payload.assign(wire::PROOF_LEN - 1, 0xAB);
  const std::string auth_failed = "handshake failed authentication, dropping connection";

  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::string tail;
  };
  const std::vector<std::uint8_t> garbage = bytes_of("GET / HTTP/1.1\r\n\r\n");
  const std::vector<std::uint8_t> four_gib = {0xFF, 0xFF, 0xFF, 0xFF};
  const std::vector<std::uint8_t> over_limit = {0x01, 0x00, 0x00, 0x01};  // 16,777,217
  const std::vector<std::uint8_t> big_first = {0x01, 0x00, 0x01, 0x00};   // 65,537: no handshake is
  const std::vector<std::uint8_t> empty_body = {0x00, 0x00, 0x00, 0x00};
  const std::vector<std::uint8_t> bad_body = concat({{0x03, 0, 0, 0}, {0x01, 0x01, 0xFF}});
  const Case cases[] = {
      {"garbage", garbage, invalid_frame_tail(garbage)},
      {"4 GiB header", four_gib, log_tail(Level::Warn, "invalid frame, dropping connection",
                                          {{"e", "frame of 4294967295 bytes exceeds limit"}})},
      {"one byte over the limit", over_limit,
       log_tail(Level::Warn, "invalid frame, dropping connection", {{"e", "frame of 16777217 bytes exceeds limit"}})},
      {"first frame over 64 KiB", big_first,
       log_tail(Level::Warn, "invalid frame, dropping connection", {{"e", "frame of 65537 bytes exceeds limit"}})},
      {"empty body", empty_body, invalid_frame_tail(empty_body)},
      {"undecodable body", bad_body, invalid_frame_tail(bad_body)},
      {"version 2 handshake", frame_of(v2),
       log_tail(Level::Warn, "protocol version mismatch, dropping connection",
                {{"got", "2"}, {"expected", "1"}, {"src", x}})},
      {"data first", concat({frame_of(data_from(x, "sink", "d")), proof_hs(x)}),
       log_tail(Level::Warn, "data before handshake, dropping connection")},
      {"heartbeat first", frame_of(heartbeat_from(x)),
       log_tail(Level::Warn, "data before handshake, dropping connection")},
      {"no proof", frame_of(handshake_from(x)), log_tail(Level::Warn, auth_failed, {{"src", x}})},
      {"forged proof", frame_of(handshake_from(x, bytes_of("guess"))), log_tail(Level::Warn, auth_failed, {{"src", x}})},
      {"short proof", frame_of(short_proof), log_tail(Level::Warn, auth_failed, {{"src", x}})},
      {"forged proof and bad src", frame_of(handshake_from("nonsense", bytes_of("guess"))),
       log_tail(Level::Warn, auth_failed, {{"src", "nonsense"}})},
      {"bad src", proof_hs("nonsense"),
       log_tail(Level::Warn, "bad handshake source",
                {{"e", std::string(runtime::to_string(runtime::NodeIdError::MissingAt))}})},
      {"src without port", proof_hs("x@h:"),
       log_tail(Level::Warn, "bad handshake source",
                {{"e", std::string(runtime::to_string(runtime::NodeIdError::InvalidPort))}})},
  };
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t lines_before = logs.count_containing(c.tail);
    RawPeer p = RawPeer::dial(n.local_id().port);
    ASSERT_TRUE(p.write(c.bytes));
    EXPECT_TRUE(p.wait_closed());
    EXPECT_TRUE(eventually([&] { return logs.count_containing(c.tail) == lines_before + 1; })) << c.tail;
    // The good peer is still served, both ways.
    ++round;
    ASSERT_TRUE(send_text(good, n.local_id(), "sink", "ping"));
    ASSERT_TRUE(send_text(n, good.local_id(), "sink", "pong"));
    EXPECT_TRUE(n_sink.wait_for(round));
    EXPECT_TRUE(good_sink.wait_for(round));
  }
  // Nothing published but the good peer's own connection.
  EXPECT_EQ(trail.count_all<PeerConnected>(), 1u);
  EXPECT_EQ(trail.count<PeerConnected>(good.local_id()), 1u);
  EXPECT_EQ(trail.events().size(), 1u);
  EXPECT_FALSE(n.has_peer(node_id(x)));
  EXPECT_EQ(n.peer_count(), 1u);
  EXPECT_EQ(logs.count_containing(" WARN "), std::size(cases));
}

TEST_F(ReaderTest, ProtocolErrorOnARegisteredConnectionDisconnectsThePeer) {
  Transport n = start_n();
  EventTrail trail(n);
  LogCapture logs("_core::transport=debug");
  const NodeId x = node_id("x@127.0.0.1:9");
  RawPeer p = raw_peer_as(n, x);
  ASSERT_TRUE(p.valid());
  auto v2 = heartbeat_from(x.to_full());
  v2.version = 2;
  ASSERT_TRUE(p.send(v2));
  EXPECT_TRUE(p.wait_closed());
  EXPECT_TRUE(eventually([&] { return trail.count<PeerDisconnected>(x) == 1; }));
  EXPECT_FALSE(n.has_peer(x));
  EXPECT_EQ(logs.count_containing(log_tail(Level::Warn, "protocol version mismatch, dropping connection",
                                           {{"got", "2"}, {"expected", "1"}, {"src", x.to_full()}})),
            1u);
}

TEST_F(ReaderTest, SilentKnownPeerIsTimedOutAndDisconnected) {
  Transport n = start("n");  // short time-out
  EventTrail trail(n);
  LogCapture logs("_core::transport=debug");
  const NodeId x = node_id("x@127.0.0.1:9");
  RawPeer p = raw_peer_as(n, x);
  ASSERT_TRUE(p.valid());
  EXPECT_TRUE(p.wait_closed());  // n's heartbeats arrive meanwhile and are skipped
  EXPECT_TRUE(eventually([&] { return trail.count<PeerDisconnected>(x) == 1; }));
  EXPECT_FALSE(n.has_peer(x));
  EXPECT_TRUE(logs.lines().empty());  // a time-out is not logged
}

// The limit on an unauthenticated first frame leaves a handshake of exactly
// 64 KiB, and any frame after the handshake, alone.
TEST_F(ReaderTest, OnlyTheFirstFrameOfAnAcceptedConnectionIsLimitedTo64KiB) {
  Transport n = start_n();
  TestMailbox sink(n, "sink");
  const std::string x = "x@127.0.0.1:9";
  WireMessage hs = handshake_from(x);
  hs.payload.assign(65'536 - wire::encoded_body_len(hs) - 2, 'p');  // its length prefix grows by 2
  ASSERT_EQ(wire::encoded_body_len(hs), 65'536u);
  RawPeer p = RawPeer::dial(n.local_id().port);
  ASSERT_TRUE(p.write(concat({frame_of(hs), frame_of(data_from(x, "sink", std::string(1 << 20, 'd')))})));
  ASSERT_TRUE(sink.wait_for(1));
  EXPECT_EQ(sink.got()[0].payload.size(), 1u << 20);
}

// A peer that completes its handshake and then reads nothing: once its reader
// has ended (here: silence), the writer gets the read time-out once more, then
// the socket closes; the send that waits for room returns Closed, and the
// writer's task and queue are gone, instead of all of it waiting for ever.
TEST_F(ReaderTest, APeerThatStopsReadingLosesItsConnectionAtTheWriteTimeOut) {
  Transport n = start_n(400ms, 1);
  EventTrail trail(n);
  const NodeId x = node_id("x@127.0.0.1:9");
  RawPeer p = raw_peer_as(n, x);
  ASSERT_TRUE(p.valid());

  std::atomic<bool> done{false};
  std::optional<transport::SendError> failure;
  std::thread sender([&] {
    for (int i = 0; i < 64 && !failure; ++i) {
      auto sent = n.send_data_bytes(x, "a", std::vector<std::uint8_t>(BIG_PAYLOAD, 'b'), std::nullopt, std::nullopt);
      if (!sent) failure = sent.error();
    }
    done = true;
  });
  ASSERT_TRUE(eventually([&] { return trail.count<PeerDisconnected>(x) == 1; }));
  const bool returned = eventually([&] { return done.load(); }, 4s);
  EXPECT_TRUE(returned) << "a send still waits for room after the connection ended";
  if (!returned) p.close();  // lets the sender go, so that the test can end
  sender.join();
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->to_string(), "peer connection is closed");
  EXPECT_TRUE(p.wait_closed());  // what was written is discarded, then the end
}

// A peer that only closed its sending side but still reads gets what was
// queued for it before its reader ended, however long that takes, as long as
// it keeps reading: here several read time-outs.
TEST_F(ReaderTest, APeerThatOnlyStoppedSendingStillGetsWhatWasQueued) {
  Transport n = start_n(300ms);
  EventTrail trail(n);
  const NodeId x = node_id("x@127.0.0.1:9");
  RawPeer p = raw_peer_as(n, x);
  ASSERT_TRUE(p.valid());
  // The slow reader's clock: the node's own heartbeats, one per 30 ms, to a
  // second peer that keeps its connection.
  const NodeId c = node_id("clock@127.0.0.1:8");
  RawPeer clock = raw_peer_as(n, c);
  ASSERT_TRUE(clock.valid());
  std::uint64_t keep_alive = 1;
  auto heartbeats = [&](int count) {
    for (int i = 0; i < count; ++i) {
      if (!clock.send(heartbeat_from(c.to_full(), keep_alive++))) return false;
      if (!clock.read_kind(MessageKind::Heartbeat, 5s)) return false;
    }
    return true;
  };
  constexpr int COUNT = 3;  // more than the socket buffers hold
  // The sends are queued from another thread while the peer keeps sending
  // and reads a little at each heartbeat: however long they take (a
  // sanitizer build), neither the read time-out nor the write time-out ends
  // the connection before the peer stops sending.
  std::atomic<int> sent{0};
  std::atomic<bool> sending{true};
  {
    std::jthread sender([&] {
      for (int i = 0; i < COUNT; ++i) {
        if (!n.send_data_bytes(x, "a", std::vector<std::uint8_t>(BIG_PAYLOAD, 'b'), std::nullopt, std::nullopt)) break;
        ++sent;
      }
      sending = false;
    });
    for (std::uint64_t id = 1; sending; ++id) {
      if (!p.send(heartbeat_from(x.to_full(), id)) || !p.take_bytes(64 << 10, 10s) || !heartbeats(1)) break;
    }
  }
  ASSERT_EQ(sent.load(), COUNT);
  ::shutdown(p.fd(), SHUT_WR);
  ASSERT_TRUE(eventually([&] { return trail.count<PeerDisconnected>(x) == 1; }));
  // 24 MiB at 4 MiB per five heartbeats (150 ms): three read time-outs.
  while (p.take_bytes(4 << 20, 10s)) ASSERT_TRUE(heartbeats(5));
  int got = 0;
  while (auto m = p.read_message(1s)) got += m->kind == MessageKind::Data;
  EXPECT_EQ(got, COUNT);
}

// A flood at a full mailbox from a peer that keeps reading: every dropped
// message is answered, even with a peer queue of one.
TEST_F(ReaderTest, EveryMessageDroppedAtAFullMailboxIsAnswered) {
  Transport n = start_n(5'000ms, 1);
  auto [mailbox, held] = async::make_queue<WireMessage>(1);  // never drained
  n.register_actor("slow", std::move(mailbox));
  const std::string x = "x@127.0.0.1:9";
  RawPeer p = RawPeer::dial(n.local_id().port);
  constexpr int COUNT = 300;
  std::vector<std::uint8_t> bytes = frame_of(handshake_from(x));
  for (int i = 1; i <= COUNT; ++i) {
    auto f = frame_of(data_from(x, "slow", "m", static_cast<std::uint64_t>(i)));
    bytes.insert(bytes.end(), f.begin(), f.end());
  }
  ASSERT_TRUE(p.write(bytes));
  int replies = 0;
  while (replies < COUNT - 1) {
    auto m = p.read_kind(MessageKind::Error, 3s);
    if (!m) break;
    ++replies;
  }
  EXPECT_EQ(replies, COUNT - 1);  // the first message took the mailbox's one slot
}

// Error replies that find the peer queue full share one deadline per chunk:
// a chunk of many messages for a missing actor, from a peer that reads
// nothing, holds the reader for one read time-out, not one per message.
TEST_F(ReaderTest, TheErrorRepliesOfOneChunkWaitForOneReadTimeOutInAll) {
  LogCapture logs("_core::transport=debug");
  Transport n = start_n(400ms, 1);
  auto [mailbox, rx] = async::make_queue<WireMessage>(8);
  n.register_actor("real", std::move(mailbox));
  const NodeId x = node_id("x@127.0.0.1:9");
  RawPeer p = raw_peer_as(n, x);
  ASSERT_TRUE(p.valid());
  p.set_buffer_sizes(SMALL_BUFFERS);
  // The writer is held in a write that the peer reads only slowly (a peer
  // that read nothing would lose its connection at the write time-out), and
  // the queue behind it is full (the node's own heartbeats may take part in
  // filling it). The peer's heartbeats keep its read time-out from running
  // out meanwhile, however slow the build.
  std::atomic<bool> reading{true};
  std::thread slow_reader([&] {
    while (reading) {
      (void)p.take_bytes(16 * 1024, 100ms);  // whatever has come of it
      std::this_thread::sleep_for(50ms);
    }
  });
  std::atomic<bool> filling{true};
  std::thread keep_alive([&] {
    while (filling) {
      (void)p.send(heartbeat_from(x.to_full()));
      std::this_thread::sleep_for(50ms);
    }
  });
  bool filled = n.send_data_bytes(x, "a", std::vector<std::uint8_t>(BIG_PAYLOAD, 'b'), std::nullopt, std::nullopt).ok();
  for (int i = 0; i < 1'000 && filled; ++i) {
    auto first = n.try_send_data_bytes(x, "a", {'1'}, std::nullopt, std::nullopt);
    if (std::holds_alternative<Transport::PendingSend>(first)) break;  // no room
    filled = std::get<0>(first).ok();
  }
  filling = false;
  keep_alive.join();
  ASSERT_TRUE(filled);

  constexpr int GHOSTS = 16;  // a read time-out each would be 6.4 s
  std::vector<std::uint8_t> chunk;
  for (int i = 1; i <= GHOSTS; ++i) {
    auto f = frame_of(data_from(x.to_full(), "ghost", "m", static_cast<std::uint64_t>(i)));
    chunk.insert(chunk.end(), f.begin(), f.end());
  }
  auto last = frame_of(data_from(x.to_full(), "real", "m", 99));
  chunk.insert(chunk.end(), last.begin(), last.end());
  ASSERT_LT(chunk.size(), 4096u);  // one read
  ASSERT_TRUE(p.write(chunk));

  std::optional<WireMessage> got;
  EXPECT_TRUE(eventually([&] { return (got = rx.try_recv()).has_value(); }, 3s))
      << "the reader is still held by the chunk's error replies";
  // The writer may take the big message only after the queue was found full
  // (it was that message that filled it): one reply can then take the slot.
  // Every other reply is dropped once the chunk's deadline has passed.
  EXPECT_GE(logs.count_containing(log_tail(log::Level::Debug, "error reply dropped, peer queue full",
                                           {{"peer", x.to_full()}})),
            static_cast<std::size_t>(GHOSTS - 1));
  reading = false;
  slow_reader.join();
  p.close();
}

// Only input on a connection counts against its read time-out: events of the
// node, however frequent (another peer's errors, full mailboxes, peers coming
// and going), leave a silent connection to be closed on time.
TEST_F(ReaderTest, EventsDoNotRestartTheReadTimeOut) {
  Transport n = start_n(150ms);
  EventTrail trail(n);
  const NodeId x = node_id("x@127.0.0.1:9");
  RawPeer p = raw_peer_as(n, x);
  ASSERT_TRUE(p.valid());

  std::atomic<bool> stop{false};
  std::thread publisher([&] {
    const NodeId other = node_id("other@127.0.0.1:9");
    while (!stop) {
      publish(n, MailboxFull{"busy"});
      publish(n, PeerConnected{other});
      publish(n, PeerDisconnected{other});
      std::this_thread::sleep_for(20ms);
    }
  });
  // Closed at its own time-out, well before the deadline of this wait.
  EXPECT_TRUE(p.wait_closed(2s));
  EXPECT_TRUE(eventually([&] { return trail.count<PeerDisconnected>(x) == 1; }));
  EXPECT_FALSE(n.has_peer(x));
  stop = true;
  publisher.join();
}

// A peer that sends (its heartbeats count as input) but never reads cannot
// pin a sender: once the socket has taken nothing of a write for the write
// time-out, the connection ends as at a read time-out, and a send waiting for
// room returns Closed. A peer that reads, however slowly, keeps it.
TEST_F(ReaderTest, APeerThatNeverReadsLosesItsConnectionAndFreesItsSenders) {
  struct Case {
    const char* name;
    bool reads;
  };
  for (const Case c : {Case{"never reads", false}, Case{"reads slowly", true}}) {
    Transport n = start_n(300ms, 4);
    EventTrail trail(n);
    const NodeId x = node_id("x@127.0.0.1:9");
    RawPeer p = raw_peer_as(n, x);
    ASSERT_TRUE(p.valid());
    if (!c.reads) p.set_buffer_sizes(4096);
    // Each round of the peer takes 50 ms at least: sixty of them (in each of
    // which a slow reader took its 64 KiB) span ten write time-outs.
    constexpr int ROUNDS = 60;
    std::atomic<int> rounds{0};
    std::atomic<bool> stop{false};
    std::thread peer_side([&] {
      while (!stop) {
        (void)p.send(heartbeat_from(x.to_full()));
        // A slow reader: a fraction of what the node could write.
        const bool took = !c.reads || p.take_bytes(64 * 1024, 50ms);
        std::this_thread::sleep_for(50ms);
        if (took) ++rounds;
      }
    });
    // Sends of 64 KiB, from a thread of their own, for ten write time-outs
    // or until one fails.
    std::atomic<bool> sending{true};
    std::atomic<bool> has_failed{false};
    std::optional<transport::SendError> failed;
    std::thread sender([&] {
      while (sending) {
        auto r = n.send_data_bytes(x, "a", std::vector<std::uint8_t>(64 * 1024, 'p'), std::nullopt, std::nullopt);
        if (!r.ok()) {
          failed = r.error();
          has_failed = true;
          return;
        }
      }
    });
    (void)eventually([&] { return has_failed.load() || rounds.load() >= ROUNDS; }, 30s);
    const bool failed_in_time = has_failed;
    sending = false;
    // A sender still pinned (a failure of this test) is let go by the end of
    // the connection; a slow reader lets the last send finish.
    if (!failed_in_time && !c.reads) p.close();
    sender.join();
    stop = true;
    peer_side.join();
    if (c.reads) {
      EXPECT_FALSE(failed_in_time) << c.name << ": " << failed->to_string();
      EXPECT_GE(rounds.load(), ROUNDS) << c.name << ": the slow reader took too little";
      EXPECT_TRUE(n.has_peer(x)) << c.name;
      EXPECT_EQ(trail.count<PeerDisconnected>(x), 0u) << c.name;
    } else {
      ASSERT_TRUE(failed_in_time) << c.name << ": the sender was still pinned";
      EXPECT_EQ(failed->kind, transport::SendError::Kind::Closed) << c.name;
      EXPECT_TRUE(eventually([&] { return trail.count<PeerDisconnected>(x) == 1; })) << c.name;
      EXPECT_FALSE(n.has_peer(x)) << c.name;
    }
  }
}

TEST_F(ReaderTest, APeerThatNeverStopsSendingStillSeesItsDisconnection) {
  Transport n = start_n();
  const NodeId x = node_id("x@127.0.0.1:9");
  RawPeer p = raw_peer_as(n, x);
  ASSERT_TRUE(p.valid());
  // Input is ready at every read from here on.
  std::vector<std::uint8_t> burst;
  for (int i = 0; i < 4000; ++i) {
    auto f = frame_of(heartbeat_from(x.to_full(), static_cast<std::uint64_t>(i)));
    burst.insert(burst.end(), f.begin(), f.end());
  }
  std::atomic<bool> stop{false};
  std::atomic<int> writes{0};
  std::thread flood([&] {
    while (!stop && p.write(burst)) ++writes;
  });
  ASSERT_TRUE(eventually([&] { return writes >= 20; }));
  n.forget_peer(x);
  EXPECT_TRUE(p.wait_closed());
  stop = true;
  flood.join();
}

TEST_F(ReaderTest, ManySilentConnectionsAreClosedWhileARealPeerIsServed) {
  Transport n = start("n");  // short time-out
  Transport good = start("good");
  TestMailbox n_sink(n, "sink");
  EventTrail trail(n);
  ASSERT_TRUE(runtime().block_on(dial(good, n.local_id())).ok());
  ASSERT_TRUE(eventually([&] { return n.has_peer(good.local_id()); }));
  LogCapture logs("_core::transport=debug");
  const std::size_t fds_before = open_fd_count();

  std::vector<RawPeer> silent;
  for (int i = 0; i < 50; ++i) {
    silent.push_back(RawPeer::dial(n.local_id().port));
    ASSERT_TRUE(silent.back().valid());
  }
  // The good peer keeps talking for longer than the time-out.
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  std::thread talker([&] {
    while (!stop) {
      if (send_text(good, n.local_id(), "sink", "tick")) ++sent;
      std::this_thread::sleep_for(10ms);
    }
  });
  for (auto& s : silent) EXPECT_TRUE(s.wait_closed());
  stop = true;
  talker.join();
  EXPECT_TRUE(n_sink.wait_for(static_cast<std::size_t>(sent.load())));
  EXPECT_TRUE(n.has_peer(good.local_id()));
  EXPECT_EQ(n.peer_count(), 1u);
  EXPECT_EQ(trail.count<PeerConnected>(good.local_id()), 1u);
  EXPECT_EQ(trail.events().size(), 1u);
  EXPECT_TRUE(logs.lines().empty());
  silent.clear();
  EXPECT_TRUE(eventually([&] { return open_fd_count() <= fds_before; }));
}

// An accepted connection that loses the tie-break has its sending side shut
// at once (its far end sees the end of the stream and switches over), but
// what the peer sent on it, also behind its Handshake in the same write, is
// still read and routed until the peer closes it: messages that the far end
// queued before it learnt of the connection in use are not lost. No event, no
// log line, and the connection in use is left alone.
TEST_F(ReaderTest, AnAcceptedConnectionThatLosesTheTieBreakIsStillRead) {
  Transport n = start_n();
  TestMailbox sink(n, "sink");
  EventTrail trail(n);
  LogCapture logs("_core::transport=debug");
  const NodeId z = node_id("z@127.0.0.1:9");  // "z..." > "n...": inbound from z never replaces
  RawPeer first = raw_peer_as(n, z);
  ASSERT_TRUE(first.valid());

  RawPeer second = RawPeer::dial(n.local_id().port);
  ASSERT_TRUE(second.write(concat({frame_of(handshake_from(z.to_full())), frame_of(data_from(z.to_full(), "sink", "behind")),
                                   frame_of(data_from(z.to_full(), "sink", "later"))})));
  // The node sends nothing on it and shuts its sending side.
  EXPECT_TRUE(second.wait_closed());
  ASSERT_TRUE(sink.wait_for(2));
  ASSERT_TRUE(second.send(data_from(z.to_full(), "sink", "after the refusal")));
  ASSERT_TRUE(sink.wait_for(3));
  EXPECT_EQ(text_of(sink.got()[0]), "behind");
  EXPECT_EQ(text_of(sink.got()[1]), "later");
  EXPECT_EQ(text_of(sink.got()[2]), "after the refusal");
  second.close();

  // The first connection stays in use.
  ASSERT_TRUE(first.send(data_from(z.to_full(), "sink", "kept")));
  ASSERT_TRUE(sink.wait_for(4));
  EXPECT_EQ(text_of(sink.got()[3]), "kept");
  ASSERT_TRUE(send_text(n, z, "a", "to z"));
  auto d = first.read_kind(MessageKind::Data);
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(text_of(*d), "to z");
  EXPECT_TRUE(n.has_peer(z));
  EXPECT_EQ(trail.count<PeerConnected>(z), 1u);
  EXPECT_EQ(trail.count<PeerDisconnected>(z), 0u);
  EXPECT_TRUE(logs.lines().empty());
}

// Until its Handshake is accepted, a connection has one deadline, from its
// accept: a stranger that trickles the bytes of a first frame, each in time
// for an ordinary read time-out, is closed at that deadline all the same.
TEST_F(ReaderTest, TheHandshakeHasOneDeadlineThatReadsDoNotMove) {
  Transport n = start_n(300ms);
  RawPeer slow = RawPeer::dial(n.local_id().port);
  const std::vector<std::uint8_t> header = {0x00, 0x00, 0x01, 0x00};  // a first frame of 65,536 bytes
  ASSERT_TRUE(slow.write(header));
  const auto start = std::chrono::steady_clock::now();
  bool closed = false;
  // A byte every 100 ms: more often than the read time-out, for up to ten
  // read time-outs.
  while (!closed && std::chrono::steady_clock::now() - start < 3s) {
    const std::vector<std::uint8_t> one = {0};
    closed = !slow.write(one) || slow.wait_closed(100ms);
  }
  EXPECT_TRUE(closed) << "a trickle of bytes kept the connection open";
  // The handshake of a peer that takes its time within the deadline still
  // counts.
  const NodeId x = node_id("x@127.0.0.1:9");
  RawPeer p = RawPeer::dial(n.local_id().port);
  ASSERT_TRUE(p.write_bytewise(frame_of(handshake_from(x.to_full()))));
  EXPECT_TRUE(eventually([&] { return n.has_peer(x); }));
}

TEST_F(ReaderTest, AcceptedConnectionThatWinsSupersedesAndForgetPeerClosesBoth) {
  Transport n = start_n();
  EventTrail trail(n);
  const NodeId m = node_id("m@127.0.0.1:9");  // "m..." < "n...": a newer inbound connection replaces
  RawPeer first = raw_peer_as(n, m, [&] { return trail.count<PeerConnected>(m) == 1; });
  ASSERT_TRUE(first.valid());
  RawPeer second = raw_peer_as(n, m, [&] { return trail.count<PeerConnected>(m) == 2; });
  ASSERT_TRUE(second.valid());

  // Messages for m now go through the newer connection.
  ASSERT_TRUE(send_text(n, m, "a", "newest"));
  auto d = second.read_kind(MessageKind::Data);
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(text_of(*d), "newest");
  // The superseded connection is still read: keep it alive meanwhile.
  ASSERT_TRUE(first.send(heartbeat_from(m.to_full())));

  n.forget_peer(m);
  EXPECT_TRUE(first.wait_closed());
  EXPECT_TRUE(second.wait_closed());
  EXPECT_FALSE(n.has_peer(m));
  EXPECT_EQ(trail.count<PeerDisconnected>(m), 1u);  // forget_peer's own, none from the closing readers
}

// A connection accepted before the peer's previous connection closed, whose
// Handshake comes after that closing was announced, is not ended by that
// announcement once registered: it is the connection in use now. (Ending it
// cut the connection in use of two nodes that dial each other at once, and
// with it what the other end was still sending.)
TEST_F(ReaderTest, ANewConnectionOutlivesTheAnnouncedEndOfTheOneBeforeIt) {
  Transport n = start_n();
  EventTrail trail(n);
  TestMailbox sink(n, "sink");
  const NodeId x = node_id("x@127.0.0.1:9");
  RawPeer first = raw_peer_as(n, x);
  ASSERT_TRUE(first.valid());
  RawPeer second = RawPeer::dial(n.local_id().port);  // accepted, no Handshake yet
  ASSERT_TRUE(eventually([&] { return state_of(n).awaiting_handshake.load() == 1; }));
  first.close();
  ASSERT_TRUE(eventually([&] { return trail.count<PeerDisconnected>(x) == 1; }));
  ASSERT_TRUE(second.write(concat({frame_of(handshake_from(x.to_full())), frame_of(data_from(x.to_full(), "sink", "one"))})));
  ASSERT_TRUE(eventually([&] { return trail.count<PeerConnected>(x) == 2; }));
  ASSERT_TRUE(second.send(data_from(x.to_full(), "sink", "two")));
  ASSERT_TRUE(sink.wait_for(2));
  EXPECT_TRUE(n.has_peer(x));
  EXPECT_EQ(trail.count<PeerDisconnected>(x), 1u);
}

TEST_F(ReaderTest, ClosingRegisteredConnectionAlsoClosesSupersededOnes) {
  Transport n = start_n();
  EventTrail trail(n);
  const NodeId m = node_id("m@127.0.0.1:9");
  RawPeer first = raw_peer_as(n, m, [&] { return trail.count<PeerConnected>(m) == 1; });
  ASSERT_TRUE(first.valid());
  RawPeer second = raw_peer_as(n, m, [&] { return trail.count<PeerConnected>(m) == 2; });
  ASSERT_TRUE(second.valid());

  second.close();  // the registered one
  EXPECT_TRUE(first.wait_closed());
  EXPECT_TRUE(eventually([&] { return !n.has_peer(m); }));
  EXPECT_EQ(trail.count<PeerDisconnected>(m), 1u);
}

}  // namespace
}  // namespace vardimont::test
