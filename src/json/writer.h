// Compact JSON writing helpers shared by the payload encoder and the error
// payloads of the transport. All append to a caller's buffer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vardimont::json {

// Appends `s` as a JSON string with quotes: \" \\ \b \t \n \f \r, other
// U+0000..U+001F as \u00xx (lowercase hex); everything else copied as is.
void write_string(std::vector<std::uint8_t>& out, std::string_view s);
void write_string(std::string& out, std::string_view s);
// The number of bytes write_string appends for `s`.
std::size_t string_len(std::string_view s) noexcept;

void write_int(std::vector<std::uint8_t>& out, std::int64_t v);
void write_uint(std::vector<std::uint8_t>& out, std::uint64_t v);
void write_int(std::string& out, std::int64_t v);
void write_uint(std::string& out, std::uint64_t v);

enum class ExponentSign : std::uint8_t {
  PlusAndMinus,  // 1e+16, 1e-6   (payload encoding of Python floats)
  MinusOnly,     // 1e16,  1e-6   (re-rendered error details)
};

// Appends a finite double in the shortest form that reads back as the same
// value: "-0.0", "0.0", "1.0", "12.5", "0.00001", "1e+16" / "1e16", "1.25e-7".
// Decimal form for exponents -5..15, scientific outside. A non-finite value,
// outside this contract, is written as null.
void write_double(std::vector<std::uint8_t>& out, double v, ExponentSign sign);
void write_double(std::string& out, double v, ExponentSign sign);

}  // namespace vardimont::json
