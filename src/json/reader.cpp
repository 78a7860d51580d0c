// The cold parts of the reader: error texts and positions, and the general
// decimal-to-double conversion behind the parser's exact fast path.
#include "json/reader.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>
#include <system_error>

namespace vardimont::json {

std::string ParseError::to_string() const {
  std::string out = message;
  out += " at line ";
  out += std::to_string(line);
  out += " column ";
  out += std::to_string(column);
  return out;
}

namespace detail {

std::string_view message_of(Code code) noexcept {
  switch (code) {
    case Code::EofWhileParsingValue: return "EOF while parsing a value";
    case Code::EofWhileParsingList: return "EOF while parsing a list";
    case Code::EofWhileParsingObject: return "EOF while parsing an object";
    case Code::EofWhileParsingString: return "EOF while parsing a string";
    case Code::ExpectedValue: return "expected value";
    case Code::ExpectedIdent: return "expected ident";
    case Code::ExpectedColon: return "expected `:`";
    case Code::ExpectedListCommaOrEnd: return "expected `,` or `]`";
    case Code::ExpectedObjectCommaOrEnd: return "expected `,` or `}`";
    case Code::KeyMustBeAString: return "key must be a string";
    case Code::TrailingComma: return "trailing comma";
    case Code::TrailingCharacters: return "trailing characters";
    case Code::InvalidNumber: return "invalid number";
    case Code::NumberOutOfRange: return "number out of range";
    case Code::InvalidEscape: return "invalid escape";
    case Code::LoneLeadingSurrogateInHexEscape: return "lone leading surrogate in hex escape";
    case Code::UnexpectedEndOfHexEscape: return "unexpected end of hex escape";
    case Code::InvalidUnicodeCodePoint: return "invalid unicode code point";
    case Code::ControlCharacterWhileParsingString:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case Code::RecursionLimitExceeded: return "recursion limit exceeded";
  }
  return "invalid JSON";
}

ParseError make_error(std::span<const std::uint8_t> text, std::size_t at, std::string message) {
  at = std::min(at, text.size());
  const auto before = text.first(at);
  const auto last_lf = std::find(before.rbegin(), before.rend(), '\n');
  const std::size_t line_start = static_cast<std::size_t>(before.rend() - last_lf);
  ParseError e;
  e.message = std::move(message);
  e.line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.begin() + line_start, '\n'));
  e.column = at - line_start;
  return e;
}

bool convert_double(const char* first, const char* last, double& out) noexcept {
  double value = 0.0;
  const auto result = std::from_chars(first, last, value, std::chars_format::general);
  if (result.ec == std::errc{}) {
    out = value;
    return true;
  }
  // Out of range: decide between overflow and underflow from the decimal
  // exponent of the first non-zero digit (the text is a valid JSON number
  // with a non-zero digit, or from_chars would have given zero).
  const char* p = first;
  const bool negative = *p == '-';
  if (negative) ++p;
  std::int64_t position = 0;  // of the first non-zero digit: 0 for the units digit
  bool seen_nonzero = false;
  std::int64_t integer_digits = 0;
  for (; p != last && *p >= '0' && *p <= '9'; ++p) {
    if (!seen_nonzero && *p != '0') seen_nonzero = true;
    if (seen_nonzero) ++integer_digits;
  }
  if (seen_nonzero) {
    position = integer_digits - 1;
  } else if (p != last && *p == '.') {
    ++p;
    std::int64_t zeros = 0;
    for (; p != last && *p == '0'; ++p) ++zeros;
    position = -(zeros + 1);
  }
  while (p != last && *p != 'e' && *p != 'E') ++p;
  std::int64_t exponent = 0;
  if (p != last) {
    ++p;
    bool exponent_negative = false;
    if (*p == '+' || *p == '-') exponent_negative = *p++ == '-';
    for (; p != last; ++p) exponent = std::min<std::int64_t>(exponent * 10 + (*p - '0'), INT64_C(1) << 40);
    if (exponent_negative) exponent = -exponent;
  }
  if (position + exponent >= 0) return false;
  out = negative ? -0.0 : 0.0;
  return true;
}

}  // namespace detail

}  // namespace vardimont::json
