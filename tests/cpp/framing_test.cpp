#include "wire/framing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "message_builder.h"

namespace vardimont::wire {
namespace {

using test::heartbeat_from;
using test::Msg;

using Bytes = std::vector<std::uint8_t>;

// A Data message of `payload_len` bytes whose optional fields depend on
// `msg_id`, so that a stream of them mixes every form.
WireMessage data(std::uint64_t msg_id, std::size_t payload_len) {
  Bytes payload(payload_len);
  for (std::size_t i = 0; i < payload_len; ++i) payload[i] = static_cast<std::uint8_t>(i * 31 + msg_id);
  Msg m = Msg().id(msg_id).src("sender@127.0.0.1:4000").dst("worker").kind(MessageKind::Data).payload(std::move(payload));
  if (msg_id % 2 == 0) m.reply_to("reply-" + std::to_string(msg_id));
  if (msg_id % 3 == 0) m.correlation(msg_id * 1'000'003);
  return m;
}

Bytes frame(const WireMessage& m) { return encode_frame(m).value(); }

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

// Feeds `stream` in pieces of the given sizes, then the rest, and collects
// every message; fails the test on any error.
std::vector<WireMessage> feed(FrameDecoder& d, const Bytes& stream, const std::vector<std::size_t>& sizes) {
  std::vector<WireMessage> all;
  std::size_t at = 0;
  auto take = [&](std::size_t n) {
    auto r = d.decode(std::span(stream).subspan(at, n));
    at += n;
    if (!r.ok()) {
      ADD_FAILURE() << r.error().to_string();
      return;
    }
    for (auto& m : r.value()) all.push_back(std::move(m));
  };
  for (std::size_t n : sizes) take(std::min(n, stream.size() - at));
  take(stream.size() - at);
  return all;
}

const Bytes HEARTBEAT_FRAME = {0x0D, 0x00, 0x00, 0x00, 0x01, 0x07, 0x05, 0x61, 0x40,
                               0x68, 0x3A, 0x31, 0x00, 0x02, 0x00, 0x00, 0x00};

TEST(EncodeFrame, HeartbeatWorkedExample) {
  EXPECT_EQ(frame(heartbeat_from("a@h:1", 7)), HEARTBEAT_FRAME);
  FrameDecoder d;
  auto r = d.decode(HEARTBEAT_FRAME);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->size(), 1u);
  EXPECT_EQ(r->front(), heartbeat_from("a@h:1", 7));
  EXPECT_EQ(d.buffered(), 0u);
}

TEST(EncodeFrame, AppendFrameBuildsOneBatch) {
  Bytes batch = {0xEE};
  ASSERT_TRUE(append_frame(heartbeat_from("a@h:1", 7), batch).ok());
  ASSERT_TRUE(append_frame(data(8, 300), batch).ok());
  Bytes expected = {0xEE};
  append(expected, HEARTBEAT_FRAME);
  append(expected, frame(data(8, 300)));
  EXPECT_EQ(batch, expected);
}

// The largest body that is still framed, then one byte more, which is refused
// on the sending side and leaves the batch untouched.
TEST(EncodeFrame, BodyLimitIsInclusive) {
  WireMessage m = data(1, 0);
  m.reply_to.reset();
  const std::size_t overhead = encoded_body_len(m) + 4;  // payload length 0 -> 0xFC form
  m.payload.assign(MAX_FRAME_LEN - overhead, 0x42);
  ASSERT_EQ(encoded_body_len(m), MAX_FRAME_LEN);

  auto f = encode_frame(m);
  ASSERT_TRUE(f.ok());
  EXPECT_EQ(f->size(), MAX_FRAME_LEN + 4);
  EXPECT_EQ(Bytes(f->begin(), f->begin() + 4), (Bytes{0x00, 0x00, 0x00, 0x01}));
  FrameDecoder d;
  auto r = d.decode(*f);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  ASSERT_EQ(r->size(), 1u);
  EXPECT_TRUE(r->front() == m);
  f = Bytes{};

  m.dst_actor.push_back('x');
  auto too_long = encode_frame(m);
  ASSERT_FALSE(too_long.ok());
  EXPECT_EQ(too_long.error().body_len, MAX_FRAME_LEN + 1);
  EXPECT_EQ(too_long.error().to_string(), "frame body of 16777217 bytes exceeds limit of 16777216");
  Bytes batch = {1, 2, 3};
  EXPECT_FALSE(append_frame(m, batch).ok());
  EXPECT_EQ(batch, (Bytes{1, 2, 3}));
}

TEST(FrameDecoder, IncompleteInputYieldsNothing) {
  for (std::size_t n = 0; n < HEARTBEAT_FRAME.size(); ++n) {
    SCOPED_TRACE(n);
    FrameDecoder d;
    auto r = d.decode(std::span(HEARTBEAT_FRAME).first(n));
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r->empty());
    EXPECT_EQ(d.buffered(), n);
  }
}

TEST(FrameDecoder, OneByteAtATime) {
  FrameDecoder d;
  for (std::size_t i = 0; i + 1 < HEARTBEAT_FRAME.size(); ++i) {
    auto r = d.decode(std::span(HEARTBEAT_FRAME).subspan(i, 1));
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r->empty()) << "call " << i + 1;
  }
  auto r = d.decode(std::span(HEARTBEAT_FRAME).last(1));
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->size(), 1u);
  EXPECT_EQ(r->front(), heartbeat_from("a@h:1", 7));
  EXPECT_EQ(d.buffered(), 0u);
}

TEST(FrameDecoder, TwoFramesAndAHalfThenTheRest) {
  Bytes stream = frame(heartbeat_from("a@h:1", 1));
  append(stream, frame(data(2, 40)));
  const Bytes third = frame(data(3, 40));
  const std::size_t first_part = stream.size() + third.size() / 2;
  append(stream, third);

  FrameDecoder d;
  auto r = d.decode(std::span(stream).first(first_part));
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->size(), 2u);
  EXPECT_EQ((*r)[0], heartbeat_from("a@h:1", 1));
  EXPECT_EQ((*r)[1], data(2, 40));
  EXPECT_EQ(d.buffered(), third.size() / 2);

  r = d.decode(std::span(stream).subspan(first_part));
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->size(), 1u);
  EXPECT_EQ((*r)[0], data(3, 40));
  EXPECT_EQ(d.buffered(), 0u);
}

// The same bytes in any chunking give the same messages in the same order.
TEST(FrameDecoder, AnyChunkingGivesTheSameMessages) {
  std::vector<WireMessage> sent;
  Bytes stream;
  for (std::uint64_t id = 1; id <= 60; ++id) {
    sent.push_back(id % 4 == 0 ? heartbeat_from("a@h:1", id) : data(id, (id * 37) % 700));
    append(stream, frame(sent.back()));
  }
  sent.push_back(data(61, 70'000));  // a payload longer than most chunks
  append(stream, frame(sent.back()));

  {
    SCOPED_TRACE("one chunk");
    FrameDecoder d;
    EXPECT_EQ(feed(d, stream, {}), sent);
  }
  {
    SCOPED_TRACE("one byte at a time");
    FrameDecoder d;
    EXPECT_EQ(feed(d, stream, std::vector<std::size_t>(stream.size(), 1)), sent);
  }
  std::mt19937 rng(20240611);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE("random chunking, round " + std::to_string(round));
    std::uniform_int_distribution<std::size_t> size(0, round % 2 == 0 ? 9 : 5000);
    std::vector<std::size_t> sizes;
    for (std::size_t total = 0; total < stream.size();) total += sizes.emplace_back(size(rng));
    FrameDecoder d;
    EXPECT_EQ(feed(d, stream, sizes), sent);
    EXPECT_EQ(d.buffered(), 0u);
  }
}

TEST(FrameDecoder, LimitIsTestedAsSoonAsTheHeaderIsBuffered) {
  const struct {
    Bytes header;
    std::uint64_t declared;
    const char* text;
  } refused[] = {
      {{0x01, 0x00, 0x00, 0x01}, 16'777'217, "frame of 16777217 bytes exceeds limit"},
      {{0xFF, 0xFF, 0xFF, 0xFF}, 4'294'967'295, "frame of 4294967295 bytes exceeds limit"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.text);
    FrameDecoder d;
    // Split inside the header: the first part is buffered quietly.
    ASSERT_TRUE(d.decode(std::span(c.header).first(3)).ok());
    auto r = d.decode(std::span(c.header).last(1));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, FrameError::Kind::TooLarge);
    EXPECT_EQ(r.error().declared_len, c.declared);
    EXPECT_EQ(r.error().to_string(), c.text);
    EXPECT_EQ(d.buffered(), 4u);  // nothing consumed
    // Another call meets the same header again.
    r = d.decode(Bytes{0x00});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().declared_len, c.declared);
  }

  // Exactly the limit is accepted and waits for its body.
  FrameDecoder d;
  auto r = d.decode(Bytes{0x00, 0x00, 0x00, 0x01, 0x01});
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->empty());
  EXPECT_EQ(d.buffered(), 5u);
}

TEST(FrameDecoder, TooLargeAfterGoodFramesKeepsTheHeader) {
  Bytes stream = frame(heartbeat_from("a@h:1", 1));
  append(stream, Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xAB});
  FrameDecoder d;
  auto r = d.decode(stream);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, FrameError::Kind::TooLarge);
  EXPECT_EQ(d.buffered(), 5u);
}

TEST(FrameDecoder, DecodeErrorConsumesTheFailedFrame) {
  const struct {
    const char* what;
    Bytes bad_frame;
    const char* text;
  } cases[] = {
      {"empty body", {0x00, 0x00, 0x00, 0x00},
       "frame decode failed: unexpected end of input: 1 more byte needed"},
      {"kind 4", {0x08, 0x00, 0x00, 0x00, 0x01, 0x07, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00},
       "frame decode failed: invalid value: found 4, expected variant index 0 <= i < 4"},
      // The body ends where the frame ends: a message cut short by its own
      // header does not read into the next frame.
      {"body shorter than its fields", {0x03, 0x00, 0x00, 0x00, 0x01, 0x07, 0x05},
       "frame decode failed: unexpected end of input: 5 more bytes needed"},
  };
  const Bytes good = frame(heartbeat_from("a@h:1", 9));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // A good frame, the bad one, and the start of another in one chunk: the
    // call fails, the good message is dropped with it, the tail stays.
    Bytes stream = good;
    append(stream, c.bad_frame);
    append(stream, Bytes{0x0D, 0x00});
    FrameDecoder d;
    auto r = d.decode(stream);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, FrameError::Kind::Decode);
    EXPECT_EQ(r.error().to_string(), c.text);
    EXPECT_EQ(d.buffered(), 2u);

    // Pending bytes before the bad frame take the buffered path.
    FrameDecoder split;
    ASSERT_TRUE(split.decode(std::span(stream).first(2)).ok());
    r = split.decode(std::span(stream).subspan(2));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().to_string(), c.text);
    EXPECT_EQ(split.buffered(), 2u);
  }
}

TEST(FrameDecoder, SurplusBodyBytesAreDroppedWithTheFrame) {
  Bytes body = frame(heartbeat_from("a@h:1", 7));
  body.erase(body.begin(), body.begin() + 4);
  body.insert(body.end(), {0xFE, 0xFF, 0x00});
  Bytes stream = {static_cast<std::uint8_t>(body.size()), 0x00, 0x00, 0x00};
  append(stream, body);
  append(stream, HEARTBEAT_FRAME);

  FrameDecoder d;
  auto r = d.decode(stream);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  ASSERT_EQ(r->size(), 2u);
  EXPECT_EQ((*r)[0], heartbeat_from("a@h:1", 7));
  EXPECT_EQ((*r)[1], heartbeat_from("a@h:1", 7));
}

TEST(FrameDecoder, EmptyChunkChangesNothing) {
  FrameDecoder d;
  auto r = d.decode({});
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->empty());
  ASSERT_TRUE(d.decode(std::span(HEARTBEAT_FRAME).first(6)).ok());
  r = d.decode({});
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->empty());
  EXPECT_EQ(d.buffered(), 6u);
}

// Chunks of many small frames, each completing a pending frame and leaving
// the start of the next one: only that start stays buffered.
TEST(FrameDecoder, PendingTailCarriesAcrossChunksOfManyFrames) {
  Bytes chunk;
  const std::size_t frames_per_chunk = 5000;
  for (std::size_t i = 0; i < frames_per_chunk; ++i) append(chunk, HEARTBEAT_FRAME);
  FrameDecoder d;
  ASSERT_TRUE(d.decode(std::span(HEARTBEAT_FRAME).first(5)).ok());
  // Rotate so that every chunk completes the pending frame and leaves 5
  // bytes of the next one pending again.
  Bytes rotated(chunk.begin() + 5, chunk.end());
  rotated.insert(rotated.end(), chunk.begin(), chunk.begin() + 5);
  for (int round = 0; round < 20; ++round) {
    auto r = d.decode(rotated);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), frames_per_chunk);
    ASSERT_EQ(d.buffered(), 5u);
  }
}

TEST(FrameError, DisplayTexts) {
  EXPECT_EQ((FrameError{FrameError::Kind::TooLarge, 16'777'217, {}}).to_string(),
            "frame of 16777217 bytes exceeds limit");
  EXPECT_EQ((FrameError{FrameError::Kind::Decode, 0, {DecodeError::Kind::InvalidUtf8, 0, 0}}).to_string(),
            "frame decode failed: invalid UTF-8 in string");
}

}  // namespace
}  // namespace vardimont::wire
