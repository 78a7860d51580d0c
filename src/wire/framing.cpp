#include "wire/framing.h"

#include <algorithm>
#include <optional>

namespace vardimont::wire {

namespace {

// A connection that once carried a large frame gives its memory back when its
// buffer next runs empty; below this the capacity is kept for reuse.
constexpr std::size_t RETAINED_CAPACITY = 1 << 20;

std::uint32_t read_header(const std::uint8_t* p) noexcept {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Decodes every whole frame at the front of `bytes` into `out` and sets `used`
// to the number of bytes consumed: all complete frames, the failed one
// included on Decode, but never a header that fails `limit`. Once a frame is
// consumed, `limit` becomes MAX_FRAME_LEN.
std::optional<FrameError> drain(std::span<const std::uint8_t> bytes, std::vector<WireMessage>& out,
                                std::size_t& used, std::size_t& limit) {
  used = 0;
  while (bytes.size() - used >= FRAME_HEADER_LEN) {
    const std::uint32_t n = read_header(bytes.data() + used);
    if (n > limit) return FrameError{FrameError::Kind::TooLarge, n, {}};
    if (bytes.size() - used - FRAME_HEADER_LEN < n) break;  // the body is still arriving
    const std::span<const std::uint8_t> body = bytes.subspan(used + FRAME_HEADER_LEN, n);
    used += FRAME_HEADER_LEN + n;
    limit = MAX_FRAME_LEN;
    auto message = decode_body(body);
    if (!message) return FrameError{FrameError::Kind::Decode, 0, message.error()};
    out.push_back(std::move(message).value());
  }
  return std::nullopt;
}

}  // namespace

std::string FrameError::to_string() const {
  switch (kind) {
    case Kind::TooLarge:
      return "frame of " + std::to_string(declared_len) + " bytes exceeds limit";
    case Kind::Decode:
      return "frame decode failed: " + decode.to_string();
  }
  return "invalid frame";
}

std::string EncodeError::to_string() const {
  return "frame body of " + std::to_string(body_len) + " bytes exceeds limit of " +
         std::to_string(MAX_FRAME_LEN);
}

Result<std::vector<WireMessage>, FrameError> FrameDecoder::decode(
    std::span<const std::uint8_t> chunk) {
  std::vector<WireMessage> out;
  std::size_t used = 0;
  std::optional<FrameError> error;

  if (buf_.empty()) {
    // Nothing pending: decode straight from the chunk and keep only its tail.
    error = drain(chunk, out, used, limit_);
    buf_.insert(buf_.end(), chunk.begin() + static_cast<std::ptrdiff_t>(used), chunk.end());
  } else {
    buf_.insert(buf_.end(), chunk.begin(), chunk.end());
    error = drain(buf_, out, used, limit_);
    // What is left lies within this chunk whenever anything was consumed
    // (the pending frame completed first), so the move is bounded by it.
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(used));
  }
  if (buf_.empty() && buf_.capacity() > RETAINED_CAPACITY) std::vector<std::uint8_t>().swap(buf_);

  if (error) return err(*std::move(error));
  return out;
}

Result<void, EncodeError> append_frame(const WireMessage& m, std::vector<std::uint8_t>& out) {
  const std::size_t len = encoded_body_len(m);
  // Refusing here also keeps a body of 2^32 bytes or more from ever being
  // written with a truncated length.
  if (len > MAX_FRAME_LEN) return err(EncodeError{len});
  // Grow geometrically: a batch built from many frames must not reallocate
  // at every frame, which an exact reserve would do.
  const std::size_t needed = out.size() + FRAME_HEADER_LEN + len;
  if (needed > out.capacity()) out.reserve(std::max(needed, 2 * out.capacity()));
  const auto n = static_cast<std::uint32_t>(len);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
  encode_body(m, out);
  return Ok{};
}

Result<std::vector<std::uint8_t>, EncodeError> encode_frame(const WireMessage& m) {
  std::vector<std::uint8_t> frame;
  if (auto r = append_frame(m, frame); !r) return err(r.error());
  return frame;
}

}  // namespace vardimont::wire
