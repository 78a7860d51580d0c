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

void append(std::vector<std::uint8_t>& out, const char* first, const char* last) {
  out.insert(out.end(), reinterpret_cast<const std::uint8_t*>(first),
             reinterpret_cast<const std::uint8_t*>(last));
}
void append(std::string& out, const char* first, const char* last) { out.append(first, last); }

template <class Buffer>
void write_string_to(Buffer& out, std::string_view s) {
  out.push_back('"');
  const char* p = s.data();
  const char* const end = p + s.size();
  const char* run = p;  // first byte not yet appended
  for (; p != end; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    const char e = ESCAPE.v[c];
    if (e == 0) [[likely]] continue;
    append(out, run, p);
    if (e == 'u') {
      const char u[6] = {'\\', 'u', '0', '0', HEX_DIGITS[c >> 4], HEX_DIGITS[c & 0xF]};
      append(out, u, u + 6);
    } else {
      const char two[2] = {'\\', e};
      append(out, two, two + 2);
    }
    run = p + 1;
  }
  append(out, run, end);
  out.push_back('"');
}

// Lays out `v` into `buf` (at least 40 bytes) and returns the end.
char* format_double(char* buf, double v, ExponentSign sign) {
  char* w = buf;
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

}  // namespace

void write_string(std::vector<std::uint8_t>& out, std::string_view s) { write_string_to(out, s); }
void write_string(std::string& out, std::string_view s) { write_string_to(out, s); }

std::size_t string_len(std::string_view s) noexcept {
  std::size_t n = 2 + s.size();  // the quotes and every byte once
  for (const char ch : s) {
    const char e = ESCAPE.v[static_cast<unsigned char>(ch)];
    if (e != 0) n += e == 'u' ? 5 : 1;  // six bytes for a \u00xx escape, two for the others
  }
  return n;
}

void write_int(std::vector<std::uint8_t>& out, std::int64_t v) {
  char buf[24];
  append(out, buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

void write_uint(std::vector<std::uint8_t>& out, std::uint64_t v) {
  char buf[24];
  append(out, buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

void write_int(std::string& out, std::int64_t v) {
  char buf[24];
  append(out, buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

void write_uint(std::string& out, std::uint64_t v) {
  char buf[24];
  append(out, buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

void write_double(std::vector<std::uint8_t>& out, double v, ExponentSign sign) {
  char buf[48];
  append(out, buf, format_double(buf, v, sign));
}

void write_double(std::string& out, double v, ExponentSign sign) {
  char buf[48];
  append(out, buf, format_double(buf, v, sign));
}

}  // namespace vardimont::json
