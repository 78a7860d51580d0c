// decode_body on arbitrary bytes. The outcome is compared with a second,
// independently written reading of the body layout (the same message, or the
// same error with the same details), and every accepted message must encode
// to its shortest form, which decodes to an equal message and encodes to the
// same bytes again.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "wire/framing.h"
#include "wire/message.h"

namespace {

using vardimont::wire::DecodeError;
using vardimont::wire::MessageKind;
using vardimont::wire::WireMessage;
using Kind = DecodeError::Kind;

// The body layout read with a cursor and plain arithmetic on the offset.
class Expected {
 public:
  explicit Expected(std::span<const std::uint8_t> body) : b_(body) {}

  std::optional<DecodeError> error;

  std::optional<WireMessage> decode() {
    WireMessage m;
    std::uint64_t v = 0;
    if (!byte(v)) return std::nullopt;
    m.version = static_cast<std::uint8_t>(v);
    if (!varint(m.msg_id, 8) || !text(m.src) || !text(m.dst_actor)) return std::nullopt;
    if (!varint(v, 4)) return std::nullopt;
    if (v > 3) return fail(Kind::InvalidValue, 0, v);
    m.kind = static_cast<MessageKind>(v);
    std::string payload;
    if (!sized(payload)) return std::nullopt;
    m.payload.assign(payload.begin(), payload.end());
    if (!byte(v)) return std::nullopt;
    if (v > 1) return fail(Kind::UnexpectedVariant, 0, v);
    if (v == 1 && !text(m.reply_to.emplace())) return std::nullopt;
    if (!byte(v)) return std::nullopt;
    if (v > 1) return fail(Kind::UnexpectedVariant, 0, v);
    if (v == 1 && !varint(m.correlation_id.emplace(), 8)) return std::nullopt;
    return m;
  }

 private:
  std::optional<WireMessage> fail(Kind kind, std::uint64_t missing, std::uint64_t value) {
    error = DecodeError{kind, missing, value};
    return std::nullopt;
  }
  bool take(std::size_t n) {
    if (b_.size() - at_ < n) {
      fail(Kind::UnexpectedEnd, n - (b_.size() - at_), 0);
      return false;
    }
    return true;
  }
  bool byte(std::uint64_t& v) {
    if (!take(1)) return false;
    v = b_[at_++];
    return true;
  }
  // A varint of at most `width` bytes: 0..250 itself, 251/252/253 followed by
  // 2/4/8 bytes; a marker wider than `width` and 254/255 are refused.
  bool varint(std::uint64_t& v, int width) {
    if (at_ < b_.size()) {
      const std::uint8_t first = b_[at_];
      if (first >= 254 || (first == 253 && width < 8)) {
        fail(Kind::InvalidIntegerType, 0, first);
        return false;
      }
    }
    std::uint64_t first;
    if (!byte(first)) return false;
    if (first <= 250) {
      v = first;
      return true;
    }
    const std::size_t n = first == 251 ? 2 : first == 252 ? 4 : 8;
    if (!take(n)) return false;
    v = 0;
    for (std::size_t i = n; i > 0; --i) v = v * 256 + b_[at_ + i - 1];
    at_ += n;
    return true;
  }
  bool sized(std::string& out) {
    std::uint64_t n;
    if (!varint(n, 8)) return false;
    if (n > b_.size() - at_) {
      fail(Kind::UnexpectedEnd, n - (b_.size() - at_), 0);
      return false;
    }
    out.assign(reinterpret_cast<const char*>(b_.data() + at_), static_cast<std::size_t>(n));
    at_ += static_cast<std::size_t>(n);
    return true;
  }
  bool text(std::string& out) {
    if (!sized(out)) return false;
    if (!vardimont::fuzz::is_utf8(out)) {
      fail(Kind::InvalidUtf8, 0, 0);
      return false;
    }
    return true;
  }

  std::span<const std::uint8_t> b_;
  std::size_t at_ = 0;
};

std::string describe(const DecodeError& e) {
  return e.to_string() + " (kind " + std::to_string(static_cast<int>(e.kind)) + ", missing " +
         std::to_string(e.missing) + ", value " + std::to_string(e.value) + ")";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> body(data, size);
  const auto decoded = vardimont::wire::decode_body(body);
  Expected reference(body);
  const std::optional<WireMessage> expected = reference.decode();
  const std::string note = vardimont::fuzz::hex(body);

  FUZZ_CHECK_MSG(decoded.ok() == expected.has_value(),
                 note + (decoded.ok() ? " / expected " + describe(*reference.error) : " / got " + describe(decoded.error())));
  if (!decoded.ok()) {
    const DecodeError& e = decoded.error();
    FUZZ_CHECK_MSG(e == *reference.error, note + " / got " + describe(e) + ", expected " + describe(*reference.error));
    FUZZ_CHECK(!e.to_string().empty());
    return 0;
  }

  const WireMessage& m = decoded.value();
  FUZZ_CHECK_MSG(m == *expected, note);

  // The shortest encoding: never longer than what was read, a fixed point.
  std::vector<std::uint8_t> encoded;
  vardimont::wire::encode_body(m, encoded);
  FUZZ_CHECK(encoded.size() == vardimont::wire::encoded_body_len(m));
  FUZZ_CHECK(encoded.size() <= size);
  const auto again = vardimont::wire::decode_body(encoded);
  FUZZ_CHECK_MSG(again.ok() && again.value() == m, note);
  std::vector<std::uint8_t> reencoded;
  vardimont::wire::encode_body(again.value(), reencoded);
  FUZZ_CHECK(reencoded == encoded);

  // Every field is needed: a body cut short by one byte fails as short input,
  // and bytes after the last field change nothing.
  const auto cut = vardimont::wire::decode_body(std::span(encoded).first(encoded.size() - 1));
  FUZZ_CHECK(!cut.ok() && cut.error().kind == Kind::UnexpectedEnd && cut.error().missing >= 1);
  encoded.push_back(0xFF);
  const auto surplus = vardimont::wire::decode_body(encoded);
  FUZZ_CHECK(surplus.ok() && surplus.value() == m);
  encoded.pop_back();

  // Appending to a batch appends exactly header and body.
  std::vector<std::uint8_t> batch{0xAA};
  FUZZ_CHECK(vardimont::wire::append_frame(m, batch).ok());
  FUZZ_CHECK(batch.size() == 1 + vardimont::wire::FRAME_HEADER_LEN + encoded.size());
  const std::uint32_t declared = static_cast<std::uint32_t>(batch[1]) | static_cast<std::uint32_t>(batch[2]) << 8 |
                                 static_cast<std::uint32_t>(batch[3]) << 16 | static_cast<std::uint32_t>(batch[4]) << 24;
  FUZZ_CHECK(declared == encoded.size());
  FUZZ_CHECK(std::equal(encoded.begin(), encoded.end(), batch.begin() + 5));
  return 0;
}
