#include "json/writer.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <system_error>

#include "json/escape.h"
#include "text/hex.h"

namespace vardimont::json {

namespace {

// Appends what `write` lays out at a char* with room for `room` bytes.
template <class Buffer, class Write>
void append_written(Buffer& out, std::size_t room, Write write) {
  const std::size_t old = out.size();
  out.resize(old + room);
  char* const first = reinterpret_cast<char*>(out.data());
  out.resize(static_cast<std::size_t>(write(first + old) - first));
}

// memcpy of a possibly empty range (an empty string_view may hold no pointer).
char* copy(const char* first, const char* last, char* dst) noexcept {
  const auto n = static_cast<std::size_t>(last - first);
  if (n != 0) std::memcpy(dst, first, n);
  return dst + n;
}

}  // namespace

char* write_string(char* dst, std::string_view s) noexcept {
  *dst++ = '"';
  const char* p = s.data();
  const char* const end = p + s.size();
  const char* run = p;  // first byte not yet written
  for (; p != end; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    const char e = ESCAPE.v[c];
    if (e == 0) [[likely]] continue;
    dst = copy(run, p, dst);
    *dst++ = '\\';
    *dst++ = e;
    if (e == 'u') {
      *dst++ = '0';
      *dst++ = '0';
      *dst++ = HEX_DIGITS[c >> 4];
      *dst++ = HEX_DIGITS[c & 0xF];
    }
    run = p + 1;
  }
  dst = copy(run, end, dst);
  *dst++ = '"';
  return dst;
}

char* write_double(char* dst, double v, ExponentSign sign) noexcept {
  char* w = dst;
  if (!std::isfinite(v)) {
    // Outside the contract; written as JSON's null rather than as invalid text.
    std::memcpy(w, "null", 4);
    return w + 4;
  }
  if (std::signbit(v)) {
    *w++ = '-';
    v = -v;
  }
  if (v == 0.0) {
    std::memcpy(w, "0.0", 3);
    return w + 3;
  }
  // The shortest digits that read back as v, as "d[.ddd]e(+|-)xx".
  char sci[32];
  const auto r = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
  char digits[24];
  int n = 0;
  const char* p = sci;
  for (; p != r.ptr && *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  while (n > 1 && digits[n - 1] == '0') --n;
  int exponent = 0;
  {
    ++p;  // 'e'
    const bool negative = *p == '-';
    ++p;
    for (; p != r.ptr; ++p) exponent = exponent * 10 + (*p - '0');
    if (negative) exponent = -exponent;
  }

  if (exponent >= 0 && exponent <= 15) {
    if (exponent >= n - 1) {
      std::memcpy(w, digits, static_cast<std::size_t>(n));
      w += n;
      for (int i = n - 1; i < exponent; ++i) *w++ = '0';
      *w++ = '.';
      *w++ = '0';
    } else {
      std::memcpy(w, digits, static_cast<std::size_t>(exponent + 1));
      w += exponent + 1;
      *w++ = '.';
      std::memcpy(w, digits + exponent + 1, static_cast<std::size_t>(n - exponent - 1));
      w += n - exponent - 1;
    }
    return w;
  }
  if (exponent < 0 && exponent >= -5) {
    *w++ = '0';
    *w++ = '.';
    for (int i = 0; i < -exponent - 1; ++i) *w++ = '0';
    std::memcpy(w, digits, static_cast<std::size_t>(n));
    return w + n;
  }
  *w++ = digits[0];
  if (n > 1) {
    *w++ = '.';
    std::memcpy(w, digits + 1, static_cast<std::size_t>(n - 1));
    w += n - 1;
  }
  *w++ = 'e';
  if (exponent < 0) {
    *w++ = '-';
    exponent = -exponent;
  } else if (sign == ExponentSign::PlusAndMinus) {
    *w++ = '+';
  }
  return std::to_chars(w, w + 4, exponent).ptr;
}

void write_string(std::vector<std::uint8_t>& out, std::string_view s) {
  append_written(out, string_len(s), [s](char* dst) { return write_string(dst, s); });
}
void write_string(std::string& out, std::string_view s) {
  append_written(out, string_len(s), [s](char* dst) { return write_string(dst, s); });
}

std::size_t string_len(std::string_view s) noexcept {
  std::size_t n = 2 + s.size();  // the quotes and every byte once
  for (const char ch : s) {
    const char e = ESCAPE.v[static_cast<unsigned char>(ch)];
    if (e != 0) n += e == 'u' ? 5 : 1;  // six bytes for a \u00xx escape, two for the others
  }
  return n;
}

void write_int(std::vector<std::uint8_t>& out, std::int64_t v) {
  append_written(out, MAX_INT_LENGTH, [v](char* dst) { return write_int(dst, v); });
}
void write_uint(std::vector<std::uint8_t>& out, std::uint64_t v) {
  append_written(out, MAX_INT_LENGTH, [v](char* dst) { return write_uint(dst, v); });
}
void write_int(std::string& out, std::int64_t v) {
  append_written(out, MAX_INT_LENGTH, [v](char* dst) { return write_int(dst, v); });
}
void write_uint(std::string& out, std::uint64_t v) {
  append_written(out, MAX_INT_LENGTH, [v](char* dst) { return write_uint(dst, v); });
}

void write_double(std::vector<std::uint8_t>& out, double v, ExponentSign sign) {
  append_written(out, MAX_DOUBLE_LENGTH, [v, sign](char* dst) { return write_double(dst, v, sign); });
}
void write_double(std::string& out, double v, ExponentSign sign) {
  append_written(out, MAX_DOUBLE_LENGTH, [v, sign](char* dst) { return write_double(dst, v, sign); });
}

}  // namespace vardimont::json
