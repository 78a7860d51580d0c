// WireMessage: the only record that nodes exchange, and its body encoding.
//
// Body layout (little-endian, variable-length integers, no padding):
//
//   version         u8
//   msg_id          varint
//   src             varint length, UTF-8 bytes
//   dst_actor       varint length, UTF-8 bytes
//   kind            varint index 0..3 (read as a 32-bit varint)
//   payload         varint length, bytes
//   reply_to        0x00 | 0x01 varint length, UTF-8 bytes
//   correlation_id  0x00 | 0x01 varint
//
// Varint: 0..250 one byte; 0xFB + u16; 0xFC + u32; 0xFD + u64. Encoding writes
// the shortest form; decoding accepts every longer form and refuses 0xFE/0xFF
// (and 0xFD where a 32-bit value is read).
//
// Example: a Heartbeat with msg_id 7 from "a@h:1" is the 13 bytes
//   01 07 05 61 40 68 3A 31 00 02 00 00 00
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/result.h"

namespace vardimont::wire {

inline constexpr std::uint8_t PROTOCOL_VERSION = 1;

// The value of each kind is its index on the wire.
enum class MessageKind : std::uint8_t {
  Handshake = 0,
  Data = 1,
  Heartbeat = 2,
  Error = 3,
};

struct WireMessage {
  std::uint8_t version = PROTOCOL_VERSION;
  std::uint64_t msg_id = 0;
  std::string src;        // the sender's full id
  std::string dst_actor;  // empty except for Data
  MessageKind kind = MessageKind::Data;
  std::vector<std::uint8_t> payload;
  std::optional<std::string> reply_to;
  std::optional<std::uint64_t> correlation_id;

  friend bool operator==(const WireMessage&, const WireMessage&) = default;
};

// Why a body failed to decode. Decoding stops at the first bad field.
struct DecodeError {
  enum class Kind : std::uint8_t {
    UnexpectedEnd,       // the body ends inside a field
    InvalidUtf8,         // src, dst_actor or reply_to is not UTF-8
    UnexpectedVariant,   // option tag other than 0x00 / 0x01
    InvalidValue,        // kind index above 3
    InvalidIntegerType,  // varint starting 0xFE/0xFF (and 0xFD for kind)
  };
  Kind kind = Kind::UnexpectedEnd;
  std::uint64_t missing = 0;  // UnexpectedEnd: the number of bytes missing
  // UnexpectedVariant: the tag; InvalidValue: the index found;
  // InvalidIntegerType: the varint's first byte.
  std::uint64_t value = 0;

  // The description that appears after "frame decode failed: ", such as
  // "unexpected end of input: 1 more byte needed".
  std::string to_string() const;

  friend bool operator==(const DecodeError&, const DecodeError&) = default;
};

// The exact number of bytes encode_body appends for `m`.
std::size_t encoded_body_len(const WireMessage& m) noexcept;
// The same for `m` with a payload of `payload_len` bytes in place of its own:
// lets a message be measured before a large payload is built.
std::size_t encoded_body_len(const WireMessage& m, std::size_t payload_len) noexcept;

// Appends the body encoding of `m` to `out`. Cannot fail.
void encode_body(const WireMessage& m, std::vector<std::uint8_t>& out);

// Decodes one body; the message owns copies of its texts and payload. Bytes
// after the eighth field are ignored. No declared length is trusted: texts and
// the payload are compared with the bytes left before anything is reserved
// for them, so a body never makes the decoder allocate more than its own size.
Result<WireMessage, DecodeError> decode_body(std::span<const std::uint8_t> body);

}  // namespace vardimont::wire
