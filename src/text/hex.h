// Hexadecimal digits, both ways: the lowercase digit of a nibble for every
// writer (JSON's \u00xx escapes, log field escapes, error texts that name a
// byte), and the value of a digit of either case for the JSON reader.
#pragma once

#include <cstdint>

namespace vardimont {

// HEX_DIGITS[v] is the lowercase digit of the nibble v (0..15).
inline constexpr char HEX_DIGITS[] = "0123456789abcdef";

struct HexValues {
  std::int8_t v[256];
};

// HEX_VALUE.v[c] is the value of the hex digit c ('0'..'9', 'a'..'f',
// 'A'..'F'), or -1 for any other byte.
inline constexpr HexValues HEX_VALUE = [] {
  HexValues t{};
  for (int c = 0; c < 256; ++c) t.v[c] = -1;
  for (int c = 0; c < 10; ++c) t.v['0' + c] = static_cast<std::int8_t>(c);
  for (int c = 0; c < 6; ++c) {
    t.v['a' + c] = static_cast<std::int8_t>(10 + c);
    t.v['A' + c] = static_cast<std::int8_t>(10 + c);
  }
  return t;
}();

}  // namespace vardimont
