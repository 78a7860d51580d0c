// FrameDecoder::decode fed the input in several chunkings derived from the
// input itself: whole, byte by byte, and random cuts with empty chunks mixed
// in. Every chunking must produce exactly what a frame-by-frame reading of
// the whole input predicts: each call returns the frames that end inside its
// chunk, in order; the first bad frame fails the call whose chunk completes
// its header (too large) or its body (undecodable); without an error,
// whatever chunking, the same messages come out and the incomplete tail stays
// buffered.
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

using vardimont::wire::FrameDecoder;
using vardimont::wire::FrameError;
using vardimont::wire::WireMessage;

struct Reference {
  std::vector<WireMessage> messages;
  std::vector<std::size_t> ends;  // input offset just after each message's frame
  std::optional<FrameError> error;
  std::size_t error_at = 0;     // offset at which the error becomes visible
  std::size_t consumed = 0;     // bytes of complete good frames
};

Reference read_frames(std::span<const std::uint8_t> in) {
  Reference r;
  std::size_t at = 0;
  while (in.size() - at >= vardimont::wire::FRAME_HEADER_LEN) {
    const std::uint32_t n = static_cast<std::uint32_t>(in[at]) | static_cast<std::uint32_t>(in[at + 1]) << 8 |
                            static_cast<std::uint32_t>(in[at + 2]) << 16 |
                            static_cast<std::uint32_t>(in[at + 3]) << 24;
    if (n > vardimont::wire::MAX_FRAME_LEN) {
      r.error = FrameError{FrameError::Kind::TooLarge, n, {}};
      r.error_at = at + 4;
      break;
    }
    if (in.size() - at - 4 < n) break;
    auto body = vardimont::wire::decode_body(in.subspan(at + 4, n));
    at += 4 + n;
    if (!body.ok()) {
      r.error = FrameError{FrameError::Kind::Decode, 0, body.error()};
      r.error_at = at;
      break;
    }
    r.messages.push_back(std::move(body).value());
    r.ends.push_back(at);
  }
  r.consumed = r.ends.empty() ? 0 : r.ends.back();
  return r;
}

bool same_error(const FrameError& a, const FrameError& b) {
  if (a.kind != b.kind) return false;
  if (a.kind == FrameError::Kind::TooLarge) return a.declared_len == b.declared_len;
  return a.decode == b.decode;
}

// The number of reference frames that end at or before `offset`.
std::size_t frames_before(const Reference& r, std::size_t offset) {
  std::size_t k = 0;
  while (k < r.ends.size() && r.ends[k] <= offset) ++k;
  return k;
}

void feed(std::span<const std::uint8_t> in, const std::vector<std::size_t>& cuts, const Reference& ref,
          const char* name) {
  const std::string note = std::string(name) + " chunking of " + vardimont::fuzz::hex(in);
  FrameDecoder decoder;
  std::size_t fed = 0;
  std::size_t got = 0;  // messages returned so far
  for (std::size_t len : cuts) {
    const std::size_t before = fed;
    fed += len;
    auto result = decoder.decode(in.subspan(before, len));
    if (!result.ok()) {
      FUZZ_CHECK_MSG(ref.error.has_value(), note + ": unexpected " + result.error().to_string());
      FUZZ_CHECK_MSG(same_error(result.error(), *ref.error), note + ": " + result.error().to_string());
      FUZZ_CHECK_MSG(ref.error_at > before && ref.error_at <= fed, note + ": error in the wrong call");
      FUZZ_CHECK_MSG(got == frames_before(ref, before), note);
      FUZZ_CHECK(!result.error().to_string().empty());
      if (result.error().kind == FrameError::Kind::TooLarge) {
        // Nothing was consumed: the same header is met again.
        auto repeat = decoder.decode({});
        FUZZ_CHECK_MSG(!repeat.ok() && same_error(repeat.error(), *ref.error), note);
      }
      return;
    }
    const std::size_t now = frames_before(ref, fed);
    FUZZ_CHECK_MSG(result.value().size() == now - got, note + ": wrong number of messages");
    for (const WireMessage& m : result.value()) {
      FUZZ_CHECK_MSG(m == ref.messages[got], note + ": message " + std::to_string(got) + " differs");
      ++got;
    }
  }
  FUZZ_CHECK_MSG(!ref.error.has_value(), note + ": missed " + ref.error->to_string());
  FUZZ_CHECK_MSG(got == ref.messages.size(), note);
  FUZZ_CHECK_MSG(decoder.buffered() == in.size() - ref.consumed, note + ": wrong tail");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> in(data, size);
  const Reference ref = read_frames(in);

  feed(in, {size}, ref, "whole");

  std::vector<std::size_t> cuts(size, 1);
  feed(in, cuts, ref, "byte-by-byte");

  vardimont::fuzz::Rng rng(vardimont::fuzz::fnv1a(in));
  for (int round = 0; round < 3; ++round) {
    cuts.clear();
    std::size_t left = size;
    while (left > 0) {
      std::size_t len;
      switch (rng.below(4)) {
        case 0: len = 0; break;                        // an empty chunk
        case 1: len = 1 + rng.below(4); break;         // inside a header
        case 2: len = 1 + rng.below(32); break;        // inside a small body
        default: len = 1 + rng.below(left); break;     // anything
      }
      len = std::min(len, left);
      cuts.push_back(len);
      left -= len;
    }
    cuts.push_back(0);
    feed(in, cuts, ref, "random");
  }

  // The frames re-encoded in their shortest form read back as the same list.
  std::vector<std::uint8_t> stream;
  for (const WireMessage& m : ref.messages) FUZZ_CHECK(vardimont::wire::append_frame(m, stream).ok());
  FrameDecoder decoder;
  auto again = decoder.decode(stream);
  FUZZ_CHECK(again.ok() && again.value() == ref.messages && decoder.buffered() == 0);
  return 0;
}
