// The peer handle, its queue and the writer, over real loopback sockets: a
// plain socket on the far end decodes what the writer wrote.
#include "transport/peer.h"

#include <sys/socket.h>

#include <future>

#include <gtest/gtest.h>

#include "transport_fixture.h"
#include "wire/framing.h"

namespace vardimont::test {
namespace {

using transport::PeerHandle;
using transport::SendError;

WireMessage data(std::uint64_t id, std::size_t payload_len = 3, std::string dst = "actor") {
  return Msg().id(id).src("peer@127.0.0.1:1").dst(std::move(dst)).kind(wire::MessageKind::Data)
      .payload(std::vector<std::uint8_t>(payload_len, static_cast<std::uint8_t>('a' + id % 26)));
}

class PeerTest : public TransportTest {
 protected:
  const NodeId peer_ = node_id("peer@127.0.0.1:1");

  HandMadeConnection connection(std::uint64_t capacity) {
    return spawn_connection(runtime().executor(), peer_, capacity, SMALL_BUFFERS);
  }
};

TEST(SendErrorText, EachVariantDisplaysItsText) {
  const struct {
    SendError error;
    const char* text;
  } cases[] = {
      {{SendError::Kind::Closed}, "peer connection is closed"},
      {{SendError::Kind::NotConnected}, "peer not connected"},
      {{SendError::Kind::PayloadTooLarge, 16'777'217}, "payload too large (16777217 bytes)"},
      {{SendError::Kind::PayloadTooLarge, 0}, "payload too large (0 bytes)"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.to_string(), c.text);
}

TEST_F(PeerTest, ConnectionIdentityIsTheQueueNotThePeerId) {
  HandMadeConnection a = connection(4);
  HandMadeConnection b = connection(4);
  const PeerHandle copy = a.handle;
  EXPECT_TRUE(copy.same_connection(a.handle));
  EXPECT_FALSE(a.handle.same_connection(b.handle));
  EXPECT_EQ(a.handle.id(), b.handle.id());
}

TEST_F(PeerTest, QueuedMessagesAreAllWrittenInOrderThenTheStreamEnds) {
  HandMadeConnection c = connection(16);
  std::vector<WireMessage> sent{occupy_writer(c)};
  for (std::uint64_t i = 1; i <= 10; ++i) {
    sent.push_back(data(i));
    ASSERT_TRUE(c.handle.blocking_send(sent.back()).ok());
  }
  // The last handle goes while the writer is still busy with the first message.
  { PeerHandle last = std::move(c.handle); }

  for (const WireMessage& expected : sent) {
    std::optional<WireMessage> got = c.remote.read_message();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, expected);
  }
  EXPECT_TRUE(c.remote.wait_closed());
  EXPECT_FALSE(c.remote.error().has_value());
}

TEST_F(PeerTest, EverythingQueuedDuringAWriteLeavesInTheNextBatch) {
  // Capacity 10. While the writer writes the first message, ten fill the
  // queue. Once the first is read, the writer takes all ten into one batch
  // (together they stay under the batch's bound) before writing, which
  // empties the queue at once: ten more messages fit although the far end has
  // read none of the ten. A writer that wrote one message per write would
  // still hold nine of them in the queue.
  constexpr std::size_t LARGE = 4 * 1024;
  static_assert(10 * LARGE < transport::MAX_BATCH_LEN);
  HandMadeConnection c = connection(10);
  const WireMessage first = occupy_writer(c);
  std::vector<WireMessage> batch;
  for (std::uint64_t i = 1; i <= 10; ++i) {
    batch.push_back(data(i, LARGE));
    ASSERT_TRUE(c.handle.blocking_send(batch.back()).ok());
  }
  WireMessage probe = data(99);
  ASSERT_EQ(c.handle.try_send(probe), async::TrySend::Full);  // the writer is still on `first`

  ASSERT_TRUE(c.remote.take_bytes(rest_of_frame(first)));

  std::vector<WireMessage> after;
  for (std::uint64_t i = 11; i <= 20; ++i) {
    WireMessage m = data(i);
    ASSERT_TRUE(eventually([&] { return c.handle.try_send(m) == async::TrySend::Ok; }))
        << "message " << i << " found no room: the queue was not drained into one batch";
    after.push_back(data(i));
  }

  EXPECT_EQ(c.remote.read_message(), first);
  for (const auto* group : {&batch, &after}) {
    for (const WireMessage& expected : *group) {
      std::optional<WireMessage> got = c.remote.read_message();
      ASSERT_TRUE(got.has_value());
      EXPECT_EQ(got->msg_id, expected.msg_id);
      EXPECT_EQ(*got, expected);
    }
  }
}

// A sender that keeps the queue busy while the writer frames cannot pour
// messages past the queue's bound into one unbounded batch: against a far end
// that reads nothing, sends of large messages soon wait for room. Here every
// message is queued before the writer builds its batch, which is the most
// that the fastest sender could achieve: a batch stops at its bound (one
// message, since each is larger than the bound), so one slot is free while
// the writer writes it and the next send finds the queue full. A batch
// drained while anything is queued would take them all and leave the queue
// empty, and no send would wait for room.
TEST_F(PeerTest, ABatchIsBoundedSoSendersStillWaitForRoom) {
  constexpr std::size_t COUNT = 8;
  constexpr std::size_t LEN = 1 << 20;  // larger than the bound, and than the socket buffers
  static_assert(LEN > transport::MAX_BATCH_LEN);
  HandMadeConnection c = connection(COUNT);
  const WireMessage first = occupy_writer(c);
  for (std::uint64_t i = 1; i <= COUNT; ++i) ASSERT_TRUE(c.handle.blocking_send(data(i, LEN)).ok());
  WireMessage probe = data(99);
  ASSERT_EQ(c.handle.try_send(probe), async::TrySend::Full);  // the writer is still on `first`

  // Once the first bytes of message 1 arrive, the writer has built its next
  // batch and is writing it; the far end reads nothing more.
  ASSERT_TRUE(c.remote.take_bytes(rest_of_frame(first) + OCCUPY_PEEK));
  EXPECT_EQ(c.handle.try_send(probe), async::TrySend::Ok) << "the batch took no message";
  WireMessage next = data(100);
  EXPECT_EQ(c.handle.try_send(next), async::TrySend::Full) << "sends that never waited for room";
  c.remote.close();  // the writer's write fails
}

TEST_F(PeerTest, WithCapacityOneASecondSendWaitsForTheWriterToTakeTheFirst) {
  HandMadeConnection c = connection(1);
  const WireMessage first = occupy_writer(c);
  ASSERT_TRUE(c.handle.blocking_send(data(1)).ok());
  WireMessage third = data(2);
  EXPECT_EQ(c.handle.try_send(third), async::TrySend::Full);

  auto waiting = std::async(std::launch::async, [&] { return c.handle.blocking_send(data(2)); });
  ASSERT_TRUE(c.remote.take_bytes(rest_of_frame(first)));
  ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(waiting.get().ok());

  for (std::uint64_t id : {0, 1, 2}) {
    std::optional<WireMessage> got = c.remote.read_message();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->msg_id, id);
  }
}

TEST_F(PeerTest, AFailedWriteClosesTheQueueForWaitingAndLaterSends) {
  HandMadeConnection c = connection(1);
  occupy_writer(c);
  ASSERT_TRUE(c.handle.blocking_send(data(1)).ok());  // fills the queue
  auto waiting = std::async(std::launch::async, [&] { return c.handle.blocking_send(data(2)); });

  // Resetting the far end, with unread bytes in its buffer, fails the write.
  const linger reset{1, 0};
  ::setsockopt(c.remote.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  c.remote.close();

  ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
  const Result<void, SendError> waited = waiting.get();
  ASSERT_FALSE(waited.ok());
  EXPECT_EQ(waited.error(), SendError{SendError::Kind::Closed});

  const Result<void, SendError> later = c.handle.blocking_send(data(3));
  ASSERT_FALSE(later.ok());
  EXPECT_EQ(later.error().to_string(), "peer connection is closed");

  const Result<void, SendError> from_task = runtime().block_on(c.handle.send(data(4)));
  ASSERT_FALSE(from_task.ok());
  EXPECT_EQ(from_task.error(), SendError{SendError::Kind::Closed});
}

TEST_F(PeerTest, AMessageThatCannotBeFramedIsLoggedAndSkipped) {
  LogCapture logs("warn");
  HandMadeConnection c = connection(8);
  const WireMessage first = occupy_writer(c);
  // A body longer than a frame may be: refused by the frame encoder.
  const WireMessage unframable = data(100, wire::MAX_FRAME_LEN);
  const std::string reason = wire::encode_frame(unframable).error().to_string();

  // After `first`, a batch that starts with an unframable message (dropped,
  // back to waiting) and then one that drains another behind a good one.
  for (const WireMessage& m : {unframable, data(1), unframable, data(2)}) {
    ASSERT_TRUE(c.handle.blocking_send(m).ok());
  }
  { PeerHandle last = std::move(c.handle); }

  for (std::uint64_t id : {0, 1, 2}) {
    std::optional<WireMessage> got = c.remote.read_message();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->msg_id, id);
  }
  EXPECT_TRUE(c.remote.wait_closed());
  EXPECT_EQ(logs.count_containing("WARN _core::transport::peer: failed to encode frame, dropping e=" + reason), 2u)
      << ::testing::PrintToString(logs.lines());
}

TEST_F(PeerTest, BlockingSendOnAWorkerThreadThrowsInsteadOfBlocking) {
  HandMadeConnection c = connection(1);
  std::promise<bool> threw;
  asio::post(runtime().executor(), [&] {
    try {
      (void)c.handle.blocking_send(data(1));
      threw.set_value(false);
    } catch (const async::BlockingOnWorker&) {
      threw.set_value(true);
    }
  });
  auto result = threw.get_future();
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(result.get());
}

}  // namespace
}  // namespace vardimont::test
