// Compact JSON writing helpers shared by the payload encoder, the re-rendered
// error details and the error payloads of the transport.
//
// Every form comes in two shapes. write_X(char* dst, ...) lays the text out at
// dst, which the caller has made room for (MAX_X_LENGTH bytes, or
// string_len(s) for a string), and returns the end of what it wrote; nothing
// is allocated and nothing past that room is touched. write_X(buffer, ...)
// appends the same bytes to a std::string or a byte vector.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vardimont::json {

// Appends `s` as a JSON string with quotes: \" \\ \b \t \n \f \r, other
// U+0000..U+001F as \u00xx (lowercase hex); everything else copied as is.
// The char* form writes exactly string_len(s) bytes.
char* write_string(char* dst, std::string_view s) noexcept;
void write_string(std::vector<std::uint8_t>& out, std::string_view s);
void write_string(std::string& out, std::string_view s);
// The number of bytes write_string writes for `s`.
std::size_t string_len(std::string_view s) noexcept;

// The longest integer: "-9223372036854775808" and "18446744073709551615".
inline constexpr std::size_t MAX_INT_LENGTH = 20;

// Plain decimal: digits, '-' for negative values, no '+' and no exponent.
inline char* write_int(char* dst, std::int64_t v) noexcept { return std::to_chars(dst, dst + MAX_INT_LENGTH, v).ptr; }
inline char* write_uint(char* dst, std::uint64_t v) noexcept { return std::to_chars(dst, dst + MAX_INT_LENGTH, v).ptr; }
void write_int(std::vector<std::uint8_t>& out, std::int64_t v);
void write_uint(std::vector<std::uint8_t>& out, std::uint64_t v);
void write_int(std::string& out, std::int64_t v);
void write_uint(std::string& out, std::uint64_t v);

enum class ExponentSign : std::uint8_t {
  PlusAndMinus,  // 1e+16, 1e-6   (payload encoding of Python floats)
  MinusOnly,     // 1e16,  1e-6   (re-rendered error details)
};

// The longest double: a sign and 17 significant digits, either as
// "-0.0000ddddddddddddddddd" or as "-d.dddddddddddddddde-308".
inline constexpr std::size_t MAX_DOUBLE_LENGTH = 24;

// Appends a finite double in the shortest form that reads back as the same
// value: "-0.0", "0.0", "1.0", "12.5", "0.00001", "1e+16" / "1e16", "1.25e-7".
// Decimal form for exponents -5..15, scientific outside. A non-finite value,
// outside this contract, is written as null.
char* write_double(char* dst, double v, ExponentSign sign) noexcept;
void write_double(std::vector<std::uint8_t>& out, double v, ExponentSign sign);
void write_double(std::string& out, double v, ExponentSign sign);

}  // namespace vardimont::json
