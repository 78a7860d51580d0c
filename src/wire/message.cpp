#include "wire/message.h"

#include <cassert>
#include <cstring>
#include <string_view>

#include "text/hex.h"
#include "text/utf8.h"

namespace vardimont::wire {

namespace {

// Varint markers: the first byte of a multi-byte form.
constexpr std::uint8_t SINGLE_BYTE_MAX = 250;
constexpr std::uint8_t U16_MARKER = 0xFB;
constexpr std::uint8_t U32_MARKER = 0xFC;
constexpr std::uint8_t U64_MARKER = 0xFD;

constexpr std::uint8_t OPTION_ABSENT = 0x00;
constexpr std::uint8_t OPTION_PRESENT = 0x01;

constexpr std::uint32_t KIND_COUNT = 4;

std::size_t varint_len(std::uint64_t v) noexcept {
  if (v <= SINGLE_BYTE_MAX) return 1;
  if (v <= 0xFFFF) return 3;
  if (v <= 0xFFFF'FFFF) return 5;
  return 9;
}

std::size_t text_len(std::string_view s) noexcept { return varint_len(s.size()) + s.size(); }

// Writes into storage sized by encoded_body_len; never checks bounds itself.
class BodyWriter {
 public:
  explicit BodyWriter(std::uint8_t* p) noexcept : p_(p) {}

  std::uint8_t* pos() const noexcept { return p_; }

  void u8(std::uint8_t v) noexcept { *p_++ = v; }

  void varint(std::uint64_t v) noexcept {
    if (v <= SINGLE_BYTE_MAX) {
      u8(static_cast<std::uint8_t>(v));
    } else if (v <= 0xFFFF) {
      u8(U16_MARKER);
      little_endian(v, 2);
    } else if (v <= 0xFFFF'FFFF) {
      u8(U32_MARKER);
      little_endian(v, 4);
    } else {
      u8(U64_MARKER);
      little_endian(v, 8);
    }
  }

  void bytes(const void* data, std::size_t n) noexcept {
    varint(n);
    if (n != 0) std::memcpy(p_, data, n);
    p_ += n;
  }

 private:
  void little_endian(std::uint64_t v, int n) noexcept {
    for (int i = 0; i < n; ++i) u8(static_cast<std::uint8_t>(v >> (8 * i)));
  }

  std::uint8_t* p_;
};

// Reads fields from one body. Every read checks the bytes left first; the
// first failure is kept in `error` and the caller stops.
class BodyReader {
 public:
  explicit BodyReader(std::span<const std::uint8_t> body) noexcept
      : p_(body.data()), end_(body.data() + body.size()) {}

  DecodeError error;

  bool u8(std::uint8_t& v) noexcept {
    if (!need(1)) return false;
    v = *p_++;
    return true;
  }

  bool varint_u64(std::uint64_t& v) noexcept {
    std::uint8_t first;
    if (!u8(first)) return false;
    if (first <= SINGLE_BYTE_MAX) {
      v = first;
      return true;
    }
    switch (first) {
      case U16_MARKER:
        return little_endian(v, 2);
      case U32_MARKER:
        return little_endian(v, 4);
      case U64_MARKER:
        return little_endian(v, 8);
      default:  // 0xFE (a 128-bit value) and 0xFF are never valid here
        return fail(DecodeError::Kind::InvalidIntegerType, first);
    }
  }

  bool varint_u32(std::uint32_t& v) noexcept {
    if (p_ != end_ && *p_ == U64_MARKER) return fail(DecodeError::Kind::InvalidIntegerType, *p_);
    std::uint64_t wide;
    if (!varint_u64(wide)) return false;
    v = static_cast<std::uint32_t>(wide);  // at most the 0xFC form: fits
    return true;
  }

  bool text(std::string& s) {
    std::span<const std::uint8_t> raw;
    if (!sized(raw)) return false;
    if (!is_utf8(raw.data(), raw.size())) return fail(DecodeError::Kind::InvalidUtf8, 0);
    s.assign(reinterpret_cast<const char*>(raw.data()), raw.size());
    return true;
  }

  bool bytes(std::vector<std::uint8_t>& b) {
    std::span<const std::uint8_t> raw;
    if (!sized(raw)) return false;
    b.assign(raw.begin(), raw.end());
    return true;
  }

  // True with `present` set for the tags 0x00 and 0x01.
  bool option_tag(bool& present) noexcept {
    std::uint8_t tag;
    if (!u8(tag)) return false;
    if (tag != OPTION_ABSENT && tag != OPTION_PRESENT) {
      return fail(DecodeError::Kind::UnexpectedVariant, tag);
    }
    present = tag == OPTION_PRESENT;
    return true;
  }

  bool fail(DecodeError::Kind kind, std::uint64_t value) noexcept {
    error = DecodeError{kind, 0, value};
    return false;
  }

 private:
  std::size_t left() const noexcept { return static_cast<std::size_t>(end_ - p_); }

  bool need(std::uint64_t n) noexcept {
    if (left() >= n) return true;
    error = DecodeError{DecodeError::Kind::UnexpectedEnd, n - left(), 0};
    return false;
  }

  bool little_endian(std::uint64_t& v, int n) noexcept {
    if (!need(static_cast<std::uint64_t>(n))) return false;
    v = 0;
    for (int i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(p_[i]) << (8 * i);
    p_ += n;
    return true;
  }

  // A length-prefixed run of bytes, as a view of the body. The declared
  // length is checked against the bytes left before anyone reserves memory.
  bool sized(std::span<const std::uint8_t>& raw) noexcept {
    std::uint64_t n;
    if (!varint_u64(n) || !need(n)) return false;
    raw = {p_, static_cast<std::size_t>(n)};
    p_ += n;
    return true;
  }

  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

}  // namespace

std::string DecodeError::to_string() const {
  switch (kind) {
    case Kind::UnexpectedEnd:
      return "unexpected end of input: " + std::to_string(missing) +
             (missing == 1 ? " more byte needed" : " more bytes needed");
    case Kind::InvalidUtf8:
      return "invalid UTF-8 in string";
    case Kind::UnexpectedVariant:
      return "unexpected variant: option tag " + std::to_string(value);
    case Kind::InvalidValue:
      return "invalid value: found " + std::to_string(value) +
             ", expected variant index 0 <= i < " + std::to_string(KIND_COUNT);
    case Kind::InvalidIntegerType: {
      const char byte[] = {'0', 'x', HEX_DIGITS[(value >> 4) & 0xF], HEX_DIGITS[value & 0xF], '\0'};
      return std::string("invalid integer type: varint byte ") + byte;
    }
  }
  return "invalid message body";
}

std::size_t encoded_body_len(const WireMessage& m) noexcept { return encoded_body_len(m, m.payload.size()); }

std::size_t encoded_body_len(const WireMessage& m, std::size_t payload_len) noexcept {
  std::size_t n = 1;  // version
  n += varint_len(m.msg_id);
  n += text_len(m.src);
  n += text_len(m.dst_actor);
  n += varint_len(static_cast<std::uint8_t>(m.kind));  // one byte for every real kind
  n += varint_len(payload_len) + payload_len;
  n += 1 + (m.reply_to ? text_len(*m.reply_to) : 0);
  n += 1 + (m.correlation_id ? varint_len(*m.correlation_id) : 0);
  return n;
}

void encode_body(const WireMessage& m, std::vector<std::uint8_t>& out) {
  const std::size_t len = encoded_body_len(m);
  const std::size_t start = out.size();
  out.resize(start + len);
  BodyWriter w(out.data() + start);
  w.u8(m.version);
  w.varint(m.msg_id);
  w.bytes(m.src.data(), m.src.size());
  w.bytes(m.dst_actor.data(), m.dst_actor.size());
  w.varint(static_cast<std::uint8_t>(m.kind));
  w.bytes(m.payload.data(), m.payload.size());
  if (m.reply_to) {
    w.u8(OPTION_PRESENT);
    w.bytes(m.reply_to->data(), m.reply_to->size());
  } else {
    w.u8(OPTION_ABSENT);
  }
  if (m.correlation_id) {
    w.u8(OPTION_PRESENT);
    w.varint(*m.correlation_id);
  } else {
    w.u8(OPTION_ABSENT);
  }
  assert(w.pos() == out.data() + start + len);
}

Result<WireMessage, DecodeError> decode_body(std::span<const std::uint8_t> body) {
  BodyReader r(body);
  WireMessage m;
  std::uint32_t kind = 0;
  bool present = false;

  if (!r.u8(m.version) || !r.varint_u64(m.msg_id) || !r.text(m.src) || !r.text(m.dst_actor) ||
      !r.varint_u32(kind)) {
    return err(r.error);
  }
  if (kind >= KIND_COUNT) return err(DecodeError{DecodeError::Kind::InvalidValue, 0, kind});
  m.kind = static_cast<MessageKind>(kind);

  if (!r.bytes(m.payload) || !r.option_tag(present)) return err(r.error);
  if (present && !r.text(m.reply_to.emplace())) return err(r.error);
  if (!r.option_tag(present)) return err(r.error);
  if (present && !r.varint_u64(m.correlation_id.emplace())) return err(r.error);
  return m;  // bytes after the last field are ignored
}

}  // namespace vardimont::wire
