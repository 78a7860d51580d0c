// Which bytes a JSON string cannot hold as they are, and how each is written:
// \" \\ \b \t \n \f \r, and the other bytes U+0000..U+001F as \u00xx. The
// writer, the payload encoder's scan and the reader's fast path all read this
// one table.
#pragma once

namespace vardimont::json {

struct EscapeTable {
  char v[256];
};

// ESCAPE.v[c] is 0 for a byte copied as is, otherwise the character that
// follows the backslash of its escape ('u' for the \u00xx form).
inline constexpr EscapeTable ESCAPE = [] {
  EscapeTable t{};
  for (int c = 0; c < 0x20; ++c) t.v[c] = 'u';
  t.v[static_cast<unsigned char>('\b')] = 'b';
  t.v[static_cast<unsigned char>('\t')] = 't';
  t.v[static_cast<unsigned char>('\n')] = 'n';
  t.v[static_cast<unsigned char>('\f')] = 'f';
  t.v[static_cast<unsigned char>('\r')] = 'r';
  t.v[static_cast<unsigned char>('"')] = '"';
  t.v[static_cast<unsigned char>('\\')] = '\\';
  return t;
}();

}  // namespace vardimont::json
