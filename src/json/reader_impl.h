// The parser behind json::parse. Included by reader.h only.
//
// A recursive descent over the byte span, bounded by the nesting budget (at
// most 127 frames deep). It allocates nothing for input without escapes:
// strings are handed to the sink as views into the input, and only a string
// with escapes is unescaped, into one scratch buffer reused for every string
// of the parse. Positions of errors follow one rule: an error found while
// looking at a byte that has not been consumed is reported at that byte; an
// error found after consuming bytes is reported after them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "json/escape.h"
#include "json/reader.h"
#include "text/hex.h"
#include "text/utf8.h"

namespace vardimont::json {

namespace detail {

// The reader's own messages; the sink's failures carry the sink's text.
enum class Code : std::uint8_t {
  EofWhileParsingValue,
  EofWhileParsingList,
  EofWhileParsingObject,
  EofWhileParsingString,
  ExpectedValue,
  ExpectedIdent,
  ExpectedColon,
  ExpectedListCommaOrEnd,
  ExpectedObjectCommaOrEnd,
  KeyMustBeAString,
  TrailingComma,
  TrailingCharacters,
  InvalidNumber,
  NumberOutOfRange,
  InvalidEscape,
  LoneLeadingSurrogateInHexEscape,
  UnexpectedEndOfHexEscape,
  InvalidUnicodeCodePoint,
  ControlCharacterWhileParsingString,
  RecursionLimitExceeded,
};

std::string_view message_of(Code code) noexcept;

// Builds the error for a failure at byte offset `at` of `text` (at may equal
// text.size()): the line counts the line feeds before `at`, the column the bytes
// between the last of them and `at`.
ParseError make_error(std::span<const std::uint8_t> text, std::size_t at, std::string message);

// Converts the number text [first, last), already checked against the JSON
// grammar, to the nearest double. False when its magnitude is beyond the
// double range; a value too small for the range gives a zero of its sign.
bool convert_double(const char* first, const char* last, double& out) noexcept;

struct ByteFlags {
  bool v[256];
};

// True for bytes that may appear unescaped in a string and need no further
// check: ASCII that JSON does not escape (printable, except '"' and '\\').
// Bytes from 0x80 on start a multi-byte sequence, which is checked apart.
constexpr ByteFlags plain_string_bytes() {
  ByteFlags t{};
  for (int c = 0; c < 0x80; ++c) t.v[c] = ESCAPE.v[c] == 0;
  return t;
}
inline constexpr ByteFlags kPlainStringByte = plain_string_bytes();

inline constexpr double kExactPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                         1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Whether any of the eight bytes of `x` needs a closer look in a string: a
// control character, '"', '\\' or a byte of a multi-byte sequence.
inline bool has_special_byte(std::uint64_t x) noexcept {
  constexpr std::uint64_t ones = 0x0101010101010101ULL;
  constexpr std::uint64_t highs = 0x8080808080808080ULL;
  const std::uint64_t quote = x ^ (ones * '"');
  const std::uint64_t backslash = x ^ (ones * '\\');
  const std::uint64_t below_space = x - ones * 0x20;
  const std::uint64_t found =
      ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) | (below_space & ~x) | x;
  return (found & highs) != 0;
}

inline void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    const char b[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 2);
  } else if (cp < 0x10000) {
    const char b[3] = {static_cast<char>(0xE0 | (cp >> 12)),
                       static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                       static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 3);
  } else {
    const char b[4] = {static_cast<char>(0xF0 | (cp >> 18)),
                       static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                       static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                       static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 4);
  }
}

inline bool is_digit(std::uint8_t c) noexcept { return static_cast<unsigned>(c - '0') < 10; }

template <class Sink>
class Parser {
 public:
  Parser(std::span<const std::uint8_t> text, Sink& sink) noexcept
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), sink_(sink) {}

  bool run(Trailing trailing) {
    if (!parse_value()) return false;
    if (trailing == Trailing::WhitespaceOnly) {
      skip_whitespace();
      if (p_ != end_) return fail_peek(Code::TrailingCharacters);
    }
    return true;
  }

  ParseError take_error() {
    const std::size_t at = static_cast<std::size_t>(error_at_ - begin_);
    std::string message = custom_ ? std::move(custom_message_) : std::string(message_of(code_));
    return make_error(std::span<const std::uint8_t>(begin_, static_cast<std::size_t>(end_ - begin_)),
                      at, std::move(message));
  }

 private:
  // An error found after consuming the bytes up to p_.
  bool fail(Code code) noexcept {
    code_ = code;
    error_at_ = p_;
    return false;
  }
  // An error found while looking at the byte at p_, not consumed yet.
  bool fail_peek(Code code) noexcept {
    code_ = code;
    error_at_ = p_ == end_ ? p_ : p_ + 1;
    return false;
  }
  bool fail_sink() {
    custom_ = true;
    custom_message_ = sink_.error_message();
    error_at_ = p_;
    return false;
  }

  void skip_whitespace() noexcept {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\t' || *p_ == '\r')) ++p_;
  }

  bool parse_value() {
    skip_whitespace();
    if (p_ == end_) return fail_peek(Code::EofWhileParsingValue);
    switch (*p_) {
      case 'n':
        ++p_;
        if (!parse_ident("ull")) return false;
        return sink_.null_value() || fail_sink();
      case 't':
        ++p_;
        if (!parse_ident("rue")) return false;
        return sink_.bool_value(true) || fail_sink();
      case 'f':
        ++p_;
        if (!parse_ident("alse")) return false;
        return sink_.bool_value(false) || fail_sink();
      case '-':
        ++p_;
        return parse_number(true);
      case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9':
        return parse_number(false);
      case '"': {
        ++p_;
        std::string_view s;
        if (!parse_string(s)) return false;
        return sink_.string_value(s) || fail_sink();
      }
      case '[':
        return parse_array();
      case '{':
        return parse_object();
      default:
        return fail_peek(Code::ExpectedValue);
    }
  }

  bool parse_ident(const char* rest) noexcept {
    for (; *rest != '\0'; ++rest) {
      if (p_ == end_) return fail(Code::EofWhileParsingValue);
      if (*p_++ != static_cast<std::uint8_t>(*rest)) return fail(Code::ExpectedIdent);
    }
    return true;
  }

  // p_ at the opening bracket.
  bool parse_array() {
    if (--remaining_depth_ == 0) return fail_peek(Code::RecursionLimitExceeded);
    ++p_;
    if (!sink_.begin_array()) return fail_sink();
    skip_whitespace();
    if (p_ == end_) return fail_peek(Code::EofWhileParsingList);
    if (*p_ != ']') {
      for (;;) {
        if (!parse_value()) return false;
        skip_whitespace();
        if (p_ == end_) return fail_peek(Code::EofWhileParsingList);
        if (*p_ == ']') break;
        if (*p_ != ',') return fail_peek(Code::ExpectedListCommaOrEnd);
        ++p_;
        skip_whitespace();
        if (p_ == end_) return fail_peek(Code::EofWhileParsingValue);
        if (*p_ == ']') return fail_peek(Code::TrailingComma);
      }
    }
    ++p_;
    ++remaining_depth_;
    return sink_.end_array() || fail_sink();
  }

  // p_ at the opening brace.
  bool parse_object() {
    if (--remaining_depth_ == 0) return fail_peek(Code::RecursionLimitExceeded);
    ++p_;
    if (!sink_.begin_object()) return fail_sink();
    skip_whitespace();
    if (p_ == end_) return fail_peek(Code::EofWhileParsingObject);
    if (*p_ != '}') {
      for (;;) {
        // p_ at the first byte of a key, white space skipped.
        if (*p_ != '"') return fail_peek(Code::KeyMustBeAString);
        ++p_;
        std::string_view k;
        if (!parse_string(k)) return false;
        if (!sink_.key(k)) return fail_sink();
        skip_whitespace();
        if (p_ == end_) return fail_peek(Code::EofWhileParsingObject);
        if (*p_ != ':') return fail_peek(Code::ExpectedColon);
        ++p_;
        if (!parse_value()) return false;
        skip_whitespace();
        if (p_ == end_) return fail_peek(Code::EofWhileParsingObject);
        if (*p_ == '}') break;
        if (*p_ != ',') return fail_peek(Code::ExpectedObjectCommaOrEnd);
        ++p_;
        skip_whitespace();
        if (p_ == end_) return fail_peek(Code::EofWhileParsingValue);
        if (*p_ == '}') return fail_peek(Code::TrailingComma);
      }
    }
    ++p_;
    ++remaining_depth_;
    return sink_.end_object() || fail_sink();
  }

  // p_ just after the opening quotation mark. On success p_ is after the
  // closing one and `out` views the input (no escapes) or the scratch buffer,
  // valid until the next string is parsed.
  bool parse_string(std::string_view& out) {
    const std::uint8_t* run = p_;  // first byte not yet copied to the scratch buffer
    bool escaped = false;
    bool bad_utf8 = false;  // reported only once the string is complete
    for (;;) {
      while (end_ - p_ >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p_, sizeof word);
        if (has_special_byte(word)) break;
        p_ += 8;
      }
      while (p_ != end_ && kPlainStringByte.v[*p_]) ++p_;
      if (p_ == end_) return fail(Code::EofWhileParsingString);
      const std::uint8_t c = *p_;
      if (c == '"') {
        if (escaped) {
          scratch_.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p_ - run));
          out = scratch_;
        } else {
          out = std::string_view(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p_ - run));
        }
        ++p_;
        if (bad_utf8) return fail(Code::InvalidUnicodeCodePoint);
        return true;
      }
      if (c == '\\') {
        if (!escaped) {
          scratch_.clear();
          escaped = true;
        }
        scratch_.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p_ - run));
        ++p_;
        if (!parse_escape()) return false;
        run = p_;
        continue;
      }
      if (c < 0x20) {
        ++p_;
        return fail(Code::ControlCharacterWhileParsingString);
      }
      // c >= 0x80: the lead byte of a multi-byte sequence, or not UTF-8.
      const std::size_t n = utf8_sequence_length(p_, end_);
      if (n == 0) {
        bad_utf8 = true;
        ++p_;
      } else {
        p_ += n;
      }
    }
  }

  // p_ just after a backslash; appends the character to the scratch buffer.
  bool parse_escape() {
    if (p_ == end_) return fail(Code::EofWhileParsingString);
    const std::uint8_t c = *p_++;
    switch (c) {
      case '"': scratch_.push_back('"'); return true;
      case '\\': scratch_.push_back('\\'); return true;
      case '/': scratch_.push_back('/'); return true;
      case 'b': scratch_.push_back('\b'); return true;
      case 'f': scratch_.push_back('\f'); return true;
      case 'n': scratch_.push_back('\n'); return true;
      case 'r': scratch_.push_back('\r'); return true;
      case 't': scratch_.push_back('\t'); return true;
      case 'u': return parse_unicode_escape();
      default: return fail(Code::InvalidEscape);
    }
  }

  // p_ just after "\u".
  bool parse_unicode_escape() {
    std::uint32_t n;
    if (!hex4(n)) return false;
    if (n >= 0xDC00 && n <= 0xDFFF) return fail(Code::LoneLeadingSurrogateInHexEscape);
    if (n < 0xD800 || n > 0xDBFF) {
      append_utf8(scratch_, n);
      return true;
    }
    // A leading surrogate: a "\u" escape of a trailing one must follow.
    if (p_ == end_) return fail(Code::EofWhileParsingString);
    if (*p_++ != '\\') return fail(Code::UnexpectedEndOfHexEscape);
    if (p_ == end_) return fail(Code::EofWhileParsingString);
    if (*p_++ != 'u') return fail(Code::UnexpectedEndOfHexEscape);
    std::uint32_t n2;
    if (!hex4(n2)) return false;
    if (n2 < 0xDC00 || n2 > 0xDFFF) return fail(Code::LoneLeadingSurrogateInHexEscape);
    append_utf8(scratch_, 0x10000 + ((n - 0xD800) << 10) + (n2 - 0xDC00));
    return true;
  }

  bool hex4(std::uint32_t& out) noexcept {
    if (end_ - p_ < 4) {
      p_ = end_;
      return fail(Code::EofWhileParsingString);
    }
    const int a = HEX_VALUE.v[p_[0]], b = HEX_VALUE.v[p_[1]], c = HEX_VALUE.v[p_[2]],
              d = HEX_VALUE.v[p_[3]];
    p_ += 4;
    if ((a | b | c | d) < 0) return fail(Code::InvalidEscape);
    out = static_cast<std::uint32_t>(a << 12 | b << 8 | c << 4 | d);
    return true;
  }

  // p_ at the first digit position (after '-' when negative).
  bool parse_number(bool negative) {
    const std::uint8_t* const start = negative ? p_ - 1 : p_;
    if (p_ == end_) return fail(Code::EofWhileParsingValue);
    std::uint64_t significand = 0;
    bool exact = true;  // significand holds every digit read so far
    const std::uint8_t first = *p_++;
    if (first == '0') {
      if (p_ != end_ && is_digit(*p_)) return fail_peek(Code::InvalidNumber);
    } else if (is_digit(first)) {
      significand = first - '0';
      while (p_ != end_ && is_digit(*p_)) {
        const unsigned digit = *p_ - '0';
        if (exact && significand <= (UINT64_MAX - digit) / 10) {
          significand = significand * 10 + digit;
        } else {
          exact = false;
        }
        ++p_;
      }
    } else {
      return fail(Code::InvalidNumber);
    }

    const bool has_fraction = p_ != end_ && *p_ == '.';
    int exponent = 0;  // of the significand, while it is exact
    if (has_fraction) {
      ++p_;
      const std::uint8_t* const digits = p_;
      while (p_ != end_ && is_digit(*p_)) {
        const unsigned digit = *p_ - '0';
        if (exact && significand <= (UINT64_MAX - digit) / 10) {
          significand = significand * 10 + digit;
          --exponent;
        } else {
          exact = false;
        }
        ++p_;
      }
      if (p_ == digits) {
        return fail_peek(p_ == end_ ? Code::EofWhileParsingValue : Code::InvalidNumber);
      }
    }
    const bool has_exponent = p_ != end_ && (*p_ == 'e' || *p_ == 'E');
    if (has_exponent) {
      ++p_;
      bool exponent_negative = false;
      if (p_ != end_ && (*p_ == '+' || *p_ == '-')) exponent_negative = *p_++ == '-';
      if (p_ == end_) return fail(Code::EofWhileParsingValue);
      if (!is_digit(*p_++)) return fail(Code::InvalidNumber);
      int value = p_[-1] - '0';
      while (p_ != end_ && is_digit(*p_)) {
        if (value < 100000) value = value * 10 + (*p_ - '0');  // beyond that only the sign matters
        ++p_;
      }
      exponent += exponent_negative ? -value : value;
    }

    if (!has_fraction && !has_exponent && exact) {
      if (!negative) return sink_.uint_value(significand) || fail_sink();
      if (significand == 0) return sink_.double_value(-0.0) || fail_sink();
      if (significand <= std::uint64_t{1} << 63) {
        return sink_.int_value(static_cast<std::int64_t>(0 - significand)) || fail_sink();
      }
      return sink_.double_value(-static_cast<double>(significand)) || fail_sink();
    }

    double value;
    if (exact && significand == 0) {
      value = 0.0;
    } else if (exact && significand <= (std::uint64_t{1} << 53) && exponent >= -22 && exponent <= 22) {
      // Both operands are exact, so one rounding gives the nearest double.
      value = static_cast<double>(significand);
      value = exponent >= 0 ? value * kExactPow10[exponent] : value / kExactPow10[-exponent];
    } else {
      if (!convert_double(reinterpret_cast<const char*>(start), reinterpret_cast<const char*>(p_), value)) {
        return fail(Code::NumberOutOfRange);
      }
      return sink_.double_value(value) || fail_sink();
    }
    return sink_.double_value(negative ? -value : value) || fail_sink();
  }

  const std::uint8_t* const begin_;
  const std::uint8_t* p_;
  const std::uint8_t* const end_;
  Sink& sink_;
  int remaining_depth_ = NESTING_BUDGET;
  std::string scratch_;

  const std::uint8_t* error_at_ = nullptr;
  Code code_ = Code::ExpectedValue;
  bool custom_ = false;
  std::string custom_message_;
};

}  // namespace detail

template <class Sink>
Result<void, ParseError> parse(std::span<const std::uint8_t> text, Sink& sink, Trailing trailing) {
  detail::Parser<Sink> parser(text, sink);
  if (parser.run(trailing)) return Ok{};
  return err(parser.take_error());
}

}  // namespace vardimont::json
