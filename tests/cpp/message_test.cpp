#include "wire/message.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include "message_builder.h"

namespace vardimont::wire {
namespace {

using test::heartbeat_from;
using test::Msg;

using Kind = DecodeError::Kind;
using Bytes = std::vector<std::uint8_t>;

std::vector<std::uint8_t> encode(const WireMessage& m) {
  std::vector<std::uint8_t> out;
  encode_body(m, out);
  EXPECT_EQ(out.size(), encoded_body_len(m));
  return out;
}

DecodeError decode_error(const std::vector<std::uint8_t>& body) {
  auto r = decode_body(body);
  EXPECT_FALSE(r.ok());
  return r.ok() ? DecodeError{} : r.error();
}

// A Data message with every field set.
WireMessage worked_data() {
  return Msg().id(300).src("a@h:1").dst("w").kind(MessageKind::Data).payload(Bytes{0x31}).reply_to("r").correlation(42);
}

TEST(BodyEncoding, WorkedExamplesByteForByte) {
  const auto hb = Bytes{0x01, 0x07, 0x05, 0x61, 0x40, 0x68, 0x3A, 0x31, 0x00, 0x02, 0x00, 0x00, 0x00};
  EXPECT_EQ(encode(heartbeat_from("a@h:1", 7)), hb);
  EXPECT_EQ(decode_body(hb).value(), heartbeat_from("a@h:1", 7));

  const auto data = Bytes{0x01, 0xFB, 0x2C, 0x01, 0x05, 0x61, 0x40, 0x68, 0x3A, 0x31,
                           0x01, 0x77, 0x01, 0x01, 0x31, 0x01, 0x01, 0x72, 0x01, 0x2A};
  EXPECT_EQ(encode(worked_data()), data);
  EXPECT_EQ(decode_body(data).value(), worked_data());
}

TEST(BodyEncoding, EncodeAppendsToWhatIsThere) {
  std::vector<std::uint8_t> out = {0xAA};
  encode_body(heartbeat_from("a@h:1", 7), out);
  ASSERT_EQ(out.size(), 14u);
  EXPECT_EQ(out[0], 0xAA);
  EXPECT_EQ(out[1], 0x01);
}

TEST(BodyEncoding, VarintsTakeTheShortestForm) {
  const struct {
    std::uint64_t value;
    std::vector<std::uint8_t> wire;
  } cases[] = {
      {0, {0x00}},
      {250, {0xFA}},
      {251, {0xFB, 0xFB, 0x00}},
      {65'535, {0xFB, 0xFF, 0xFF}},
      {65'536, {0xFC, 0x00, 0x00, 0x01, 0x00}},
      {4'294'967'295, {0xFC, 0xFF, 0xFF, 0xFF, 0xFF}},
      {4'294'967'296, {0xFD, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}},
      {std::numeric_limits<std::uint64_t>::max(),
       {0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    // msg_id sits right after the version byte; correlation_id ends the body.
    WireMessage m = heartbeat_from("", c.value);
    m.correlation_id = c.value;
    const auto body = encode(m);
    ASSERT_EQ(body.size(), 7 + 2 * c.wire.size());
    EXPECT_EQ(std::vector<std::uint8_t>(body.begin() + 1, body.begin() + 1 + c.wire.size()), c.wire);
    EXPECT_EQ(std::vector<std::uint8_t>(body.end() - static_cast<std::ptrdiff_t>(c.wire.size()), body.end()),
              c.wire);
    EXPECT_EQ(decode_body(body).value(), m);
  }
}

TEST(BodyEncoding, LengthsAboveOneByteUseLongerForms) {
  WireMessage m = heartbeat_from(std::string(300, 's'), 1);
  m.kind = MessageKind::Data;
  m.dst_actor = std::string(251, 'd');
  m.payload.assign(70'000, 0x5A);
  m.reply_to = std::string(65'536, 'r');
  const auto body = encode(m);
  EXPECT_EQ(body[2], 0xFB);  // src length 300
  EXPECT_EQ(body.size(), 1 + 1 + (3 + 300) + (3 + 251) + 1 + (5 + 70'000) + (1 + 5 + 65'536) + 1);
  EXPECT_EQ(decode_body(body).value(), m);
}

TEST(BodyDecoding, LongerVarintFormsAreAccepted) {
  const struct {
    const char* what;
    std::vector<std::uint8_t> body;
    WireMessage expected;
  } cases[] = {
      {"msg_id 0xFB form", Bytes{0x01, 0xFB, 0x05, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00},
       heartbeat_from("", 5)},
      {"msg_id 0xFC form", Bytes{0x01, 0xFC, 0x07, 0, 0, 0, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00},
       heartbeat_from("", 7)},
      {"msg_id 0xFD form", Bytes{0x01, 0xFD, 0x07, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00},
       heartbeat_from("", 7)},
      {"kind 0xFB form", Bytes{0x01, 0x07, 0x00, 0x00, 0xFB, 0x02, 0x00, 0x00, 0x00, 0x00},
       heartbeat_from("", 7)},
      {"kind 0xFC form", Bytes{0x01, 0x07, 0x00, 0x00, 0xFC, 0x02, 0, 0, 0, 0x00, 0x00, 0x00},
       heartbeat_from("", 7)},
      {"src length 0xFC form", Bytes{0x01, 0x07, 0xFC, 0x01, 0, 0, 0, 'x', 0x00, 0x02, 0x00, 0x00, 0x00},
       heartbeat_from("x", 7)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto m = decode_body(c.body);
    ASSERT_TRUE(m.ok()) << m.error().to_string();
    EXPECT_EQ(*m, c.expected);
  }
  // Re-encoding writes the shortest form again.
  const auto long_form = Bytes{0x01, 0xFC, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00};
  EXPECT_EQ(encode(decode_body(long_form).value()), (Bytes{0x01, 0x07, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00}));

  WireMessage data = heartbeat_from("", 7);
  data.kind = MessageKind::Data;
  EXPECT_EQ(decode_body(Bytes{0x01, 0x07, 0x00, 0x00, 0xFB, 0x01, 0x00, 0x00, 0x00, 0x00}).value(), data);
}

TEST(BodyDecoding, AcceptsWhatOnlyTheReaderChecks) {
  // Any version, any src text, dst_actor on a heartbeat, surplus bytes.
  WireMessage m = heartbeat_from("not a node id", 7);
  m.version = 2;
  m.dst_actor = "x";
  m.payload = {0xFF, 0x00};
  auto body = encode(m);
  body.insert(body.end(), {0xFF, 0xFE, 0x00, 0x12});
  EXPECT_EQ(decode_body(body).value(), m);

  // Every kind index.
  for (std::uint8_t k = 0; k < 4; ++k) {
    m.kind = static_cast<MessageKind>(k);
    EXPECT_EQ(decode_body(encode(m)).value().kind, m.kind);
  }
}

TEST(BodyDecoding, EveryFailureKind) {
  const std::uint8_t ff = 0xFF;
  const struct {
    const char* what;
    std::vector<std::uint8_t> body;
    DecodeError error;
    const char* text;
  } cases[] = {
      {"empty body", {}, {Kind::UnexpectedEnd, 1, 0}, "unexpected end of input: 1 more byte needed"},
      {"msg_id missing", Bytes{0x01}, {Kind::UnexpectedEnd, 1, 0},
       "unexpected end of input: 1 more byte needed"},
      {"msg_id cut inside its 0xFD form", Bytes{0x01, 0xFD, 0x01, 0x02}, {Kind::UnexpectedEnd, 6, 0},
       "unexpected end of input: 6 more bytes needed"},
      {"src length beyond the body", Bytes{0x01, 0x07, 0x05, 'a', '@'}, {Kind::UnexpectedEnd, 3, 0},
       "unexpected end of input: 3 more bytes needed"},
      {"src length 2^64-1", Bytes{0x01, 0x07, 0xFD, ff, ff, ff, ff, ff, ff, ff, ff, 'a'},
       {Kind::UnexpectedEnd, std::numeric_limits<std::uint64_t>::max() - 1, 0},
       "unexpected end of input: 18446744073709551614 more bytes needed"},
      {"payload length beyond the body", Bytes{0x01, 0x07, 0x00, 0x00, 0x01, 0xFC, 0, 0, 0, 0x40, 'x'},
       {Kind::UnexpectedEnd, 0x4000'0000 - 1, 0}, "unexpected end of input: 1073741823 more bytes needed"},
      {"payload length 2^64-1", Bytes{0x01, 0x07, 0x00, 0x00, 0x01, 0xFD, ff, ff, ff, ff, ff, ff, ff, ff},
       {Kind::UnexpectedEnd, std::numeric_limits<std::uint64_t>::max(), 0},
       "unexpected end of input: 18446744073709551615 more bytes needed"},
      {"correlation_id present, value missing",
       Bytes{0x01, 0x07, 0x00, 0x00, 0x02, 0x00, 0x00, 0x01}, {Kind::UnexpectedEnd, 1, 0},
       "unexpected end of input: 1 more byte needed"},
      {"reply_to tag missing", Bytes{0x01, 0x07, 0x00, 0x00, 0x02, 0x00}, {Kind::UnexpectedEnd, 1, 0},
       "unexpected end of input: 1 more byte needed"},
      {"src not UTF-8", Bytes{0x01, 0x07, 0x01, 0xFF, 0x00, 0x02, 0x00, 0x00, 0x00},
       {Kind::InvalidUtf8, 0, 0}, "invalid UTF-8 in string"},
      {"dst_actor not UTF-8", Bytes{0x01, 0x07, 0x00, 0x02, 0xC3, 0x28, 0x02, 0x00, 0x00, 0x00},
       {Kind::InvalidUtf8, 0, 0}, "invalid UTF-8 in string"},
      {"reply_to not UTF-8", Bytes{0x01, 0x07, 0x00, 0x00, 0x01, 0x00, 0x01, 0x01, 0x80, 0x00},
       {Kind::InvalidUtf8, 0, 0}, "invalid UTF-8 in string"},
      {"reply_to tag 2", Bytes{0x01, 0x07, 0x00, 0x00, 0x02, 0x00, 0x02, 0x00},
       {Kind::UnexpectedVariant, 0, 2}, "unexpected variant: option tag 2"},
      {"correlation_id tag 255", Bytes{0x01, 0x07, 0x00, 0x00, 0x02, 0x00, 0x00, 0xFF},
       {Kind::UnexpectedVariant, 0, 255}, "unexpected variant: option tag 255"},
      {"kind 4", Bytes{0x01, 0x07, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00}, {Kind::InvalidValue, 0, 4},
       "invalid value: found 4, expected variant index 0 <= i < 4"},
      {"kind 4 in the 0xFB form", Bytes{0x01, 0x07, 0x00, 0x00, 0xFB, 0x04, 0x00, 0x00, 0x00, 0x00},
       {Kind::InvalidValue, 0, 4}, "invalid value: found 4, expected variant index 0 <= i < 4"},
      {"kind 2^32-1", Bytes{0x01, 0x07, 0x00, 0x00, 0xFC, ff, ff, ff, ff, 0x00, 0x00, 0x00},
       {Kind::InvalidValue, 0, 0xFFFF'FFFF},
       "invalid value: found 4294967295, expected variant index 0 <= i < 4"},
      {"kind in the 0xFD form", Bytes{0x01, 0x07, 0x00, 0x00, 0xFD, 1, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x00},
       {Kind::InvalidIntegerType, 0, 0xFD}, "invalid integer type: varint byte 0xfd"},
      {"kind 0xFE", Bytes{0x01, 0x07, 0x00, 0x00, 0xFE}, {Kind::InvalidIntegerType, 0, 0xFE},
       "invalid integer type: varint byte 0xfe"},
      {"msg_id 0xFE", Bytes{0x01, 0xFE, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       {Kind::InvalidIntegerType, 0, 0xFE}, "invalid integer type: varint byte 0xfe"},
      {"msg_id 0xFF", Bytes{0x01, 0xFF}, {Kind::InvalidIntegerType, 0, 0xFF},
       "invalid integer type: varint byte 0xff"},
      {"src length 0xFE", Bytes{0x01, 0x07, 0xFE}, {Kind::InvalidIntegerType, 0, 0xFE},
       "invalid integer type: varint byte 0xfe"},
      {"correlation_id 0xFF", Bytes{0x01, 0x07, 0x00, 0x00, 0x02, 0x00, 0x00, 0x01, 0xFF},
       {Kind::InvalidIntegerType, 0, 0xFF}, "invalid integer type: varint byte 0xff"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const DecodeError e = decode_error(c.body);
    EXPECT_EQ(e, c.error);
    EXPECT_EQ(e.to_string(), c.text);
  }
}

TEST(BodyDecoding, EveryTruncationOfAValidBodyFailsAsShortInput) {
  const auto body = encode(worked_data());
  for (std::size_t n = 0; n < body.size(); ++n) {
    SCOPED_TRACE(n);
    const std::vector<std::uint8_t> cut(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_EQ(decode_error(cut).kind, Kind::UnexpectedEnd);
  }
}

TEST(BodyDecoding, Utf8IsCheckedStrictly) {
  const struct {
    const char* what;
    std::vector<std::uint8_t> text;
    bool valid;
  } cases[] = {
      {"ASCII", Bytes{'a', 'b', 'c'}, true},
      {"two-byte", Bytes{0xC3, 0xA9}, true},
      {"three-byte", Bytes{0xE2, 0x82, 0xAC}, true},
      {"four-byte", Bytes{0xF0, 0x9F, 0x98, 0x80}, true},
      {"highest scalar U+10FFFF", Bytes{0xF4, 0x8F, 0xBF, 0xBF}, true},
      {"U+D7FF below the surrogates", Bytes{0xED, 0x9F, 0xBF}, true},
      {"NUL", Bytes{0x00}, true},
      {"lone continuation", Bytes{0x80}, false},
      {"overlong two-byte", Bytes{0xC0, 0xAF}, false},
      {"overlong three-byte", Bytes{0xE0, 0x80, 0xAF}, false},
      {"overlong four-byte", Bytes{0xF0, 0x80, 0x80, 0xAF}, false},
      {"surrogate U+D800", Bytes{0xED, 0xA0, 0x80}, false},
      {"above U+10FFFF", Bytes{0xF4, 0x90, 0x80, 0x80}, false},
      {"0xF5 lead", Bytes{0xF5, 0x80, 0x80, 0x80}, false},
      {"truncated three-byte", Bytes{0xE2, 0x82}, false},
      {"truncated at the end", Bytes{'a', 0xF0, 0x9F, 0x98}, false},
      {"bad second continuation", Bytes{0xE2, 0x82, 0x41}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> body = {0x01, 0x07, static_cast<std::uint8_t>(c.text.size())};
    body.insert(body.end(), c.text.begin(), c.text.end());
    body.insert(body.end(), {0x00, 0x02, 0x00, 0x00, 0x00});
    auto m = decode_body(body);
    EXPECT_EQ(m.ok(), c.valid);
    if (m.ok()) {
      EXPECT_EQ(m->src, std::string(c.text.begin(), c.text.end()));
    } else {
      EXPECT_EQ(m.error().kind, Kind::InvalidUtf8);
    }
  }
}

}  // namespace
}  // namespace vardimont::wire
