// Frames: a 4-byte little-endian body length N, then N body bytes holding one
// WireMessage. No magic, version, checksum or trailer; the next frame starts
// right after the body.
//
//   offset 0  u32 LE  N, at most MAX_FRAME_LEN
//   offset 4  N bytes the body (see wire/message.h)
//
// Example: the 13-byte Heartbeat body travels as 0D 00 00 00 and those bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/result.h"
#include "wire/message.h"

namespace vardimont::wire {

inline constexpr std::size_t FRAME_HEADER_LEN = 4;
inline constexpr std::size_t MAX_FRAME_LEN = 16'777'216;  // longest body accepted

struct FrameError {
  enum class Kind : std::uint8_t { TooLarge, Decode };
  Kind kind = Kind::TooLarge;
  std::uint64_t declared_len = 0;  // TooLarge: N from the header
  DecodeError decode{};            // Decode

  // "frame of {} bytes exceeds limit" / "frame decode failed: {}"
  std::string to_string() const;

  friend bool operator==(const FrameError&, const FrameError&) = default;
};

// Why a message could not be framed: its body is longer than MAX_FRAME_LEN, so
// no receiver would accept it (and a body of 2^32 bytes or more would not even
// fit the length field). A body of exactly MAX_FRAME_LEN bytes is framed.
struct EncodeError {
  std::size_t body_len = 0;

  // "frame body of {} bytes exceeds limit of 16777216"
  std::string to_string() const;
};

// One connection's inbound decoding state. Each chunk is copied at most once
// into the buffer (complete frames of a chunk that arrives on an empty buffer
// are decoded straight from the chunk), and bodies are decoded from a view of
// those bytes. Consumed bytes are reclaimed at the end of every call, so the
// buffer holds at most one partial frame, and the work per call is linear in
// the chunk's length however many frames it holds.
class FrameDecoder {
 public:
  FrameDecoder() = default;
  // A decoder whose first frame may hold at most `first_frame_limit` body
  // bytes (at most MAX_FRAME_LEN); every later frame, MAX_FRAME_LEN. Lets a
  // connection refuse to buffer much before its peer is known.
  explicit FrameDecoder(std::size_t first_frame_limit) noexcept : limit_(first_frame_limit) {}

  // Appends `chunk` and returns every message it completes, in order, or the
  // first error; messages decoded earlier in a failing call are discarded.
  // The limit is tested as soon as a header is buffered: TooLarge consumes
  // nothing. Decode consumes the failed frame; bytes after it stay buffered.
  Result<std::vector<WireMessage>, FrameError> decode(std::span<const std::uint8_t> chunk);

  // Bytes received and not yet consumed.
  std::size_t buffered() const noexcept { return buf_.size(); }

 private:
  std::vector<std::uint8_t> buf_;  // the unconsumed bytes, from the front
  std::size_t limit_ = MAX_FRAME_LEN;  // for the next frame's body
};

// A new contiguous frame, header and body.
Result<std::vector<std::uint8_t>, EncodeError> encode_frame(const WireMessage& m);

// Appends the frame of `m` to `out`; on error `out` is left unchanged. The
// writer uses this to build one batch buffer without an intermediate copy.
Result<void, EncodeError> append_frame(const WireMessage& m, std::vector<std::uint8_t>& out);

}  // namespace vardimont::wire
