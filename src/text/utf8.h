// Well-formed UTF-8 as every reader of text in this system accepts it:
// shortest forms only, no surrogates, nothing above U+10FFFF. The wire
// decoder, the JSON reader and the binding's environment reads all check text
// here, so that they agree on what is text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vardimont {

// Length of the well-formed sequence of two to four bytes at `p` (p < end), or
// 0 when the bytes there are not one: a lone continuation byte, an overlong
// form, a surrogate, a code point above U+10FFFF or a sequence cut off by
// `end`. An ASCII byte is not a multi-byte sequence either; callers take those
// on their own fast path.
inline std::size_t utf8_sequence_length(const std::uint8_t* p, const std::uint8_t* end) noexcept {
  const std::uint8_t b0 = p[0];
  const auto avail = static_cast<std::size_t>(end - p);
  auto cont = [](std::uint8_t b) { return (b & 0xC0) == 0x80; };
  if (b0 >= 0xC2 && b0 <= 0xDF) return avail >= 2 && cont(p[1]) ? 2 : 0;
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (avail < 3) return 0;
    const std::uint8_t lo = b0 == 0xE0 ? 0xA0 : 0x80;  // E0: no overlongs
    const std::uint8_t hi = b0 == 0xED ? 0x9F : 0xBF;  // ED: no surrogates
    return p[1] >= lo && p[1] <= hi && cont(p[2]) ? 3 : 0;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (avail < 4) return 0;
    const std::uint8_t lo = b0 == 0xF0 ? 0x90 : 0x80;  // F0: no overlongs
    const std::uint8_t hi = b0 == 0xF4 ? 0x8F : 0xBF;  // F4: nothing above U+10FFFF
    return p[1] >= lo && p[1] <= hi && cont(p[2]) && cont(p[3]) ? 4 : 0;
  }
  return 0;
}

// Whether all of the `n` bytes at `s` are well-formed UTF-8.
inline bool is_utf8(const std::uint8_t* s, std::size_t n) noexcept {
  const std::uint8_t* p = s;
  const std::uint8_t* const end = s + n;
  while (p < end) {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    const std::size_t len = utf8_sequence_length(p, end);
    if (len == 0) return false;
    p += len;
  }
  return true;
}

inline bool is_utf8(std::string_view s) noexcept {
  return is_utf8(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

}  // namespace vardimont
