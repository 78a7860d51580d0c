// Helpers shared by the fuzz targets. A target states its invariants with
// FUZZ_CHECK; a broken one prints what failed and aborts, which libFuzzer
// records as a crash (with the input saved) and a corpus replay reports as a
// failed test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#define FUZZ_CHECK(cond)                                                                   \
  do {                                                                                     \
    if (!(cond)) ::vardimont::fuzz::check_failed(#cond, __FILE__, __LINE__, std::string()); \
  } while (0)

// The same with a note (built only when the check fails).
#define FUZZ_CHECK_MSG(cond, note)                                               \
  do {                                                                           \
    if (!(cond)) ::vardimont::fuzz::check_failed(#cond, __FILE__, __LINE__, (note)); \
  } while (0)

namespace vardimont::fuzz {

[[noreturn]] inline void check_failed(const char* what, const char* file, int line, const std::string& note) {
  std::fprintf(stderr, "fuzz check failed: %s at %s:%d%s%s\n", what, file, line, note.empty() ? "" : ": ",
               note.c_str());
  std::fflush(stderr);
  std::abort();
}

// Lower-case hex of at most `limit` bytes, for the notes of failed checks.
inline std::string hex(std::span<const std::uint8_t> bytes, std::size_t limit = 64) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    if (i != 0) out += ' ';
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 0xF];
  }
  if (bytes.size() > limit) out += " ...";
  return out;
}

inline std::string hex(std::string_view s, std::size_t limit = 64) {
  return hex(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()), limit);
}

// A strict UTF-8 check written independently of the code under test: decode
// each code point and refuse overlong forms, surrogates and values above
// U+10FFFF.
inline bool is_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t len;
    std::uint32_t cp;
    std::uint32_t min;
    if (b0 < 0x80) {
      ++i;
      continue;
    } else if ((b0 & 0xE0) == 0xC0) {
      len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (s.size() - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = cp << 6 | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

// A small deterministic generator (splitmix64), seeded from the input so that
// a saved crash input replays the same choices.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : s_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (s_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  // Uniform enough in [0, n) for n > 0.
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }

 private:
  std::uint64_t s_;
};

inline std::uint64_t fnv1a(std::span<const std::uint8_t> bytes) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (std::uint8_t b : bytes) h = (h ^ b) * 0x100000001b3ULL;
  return h;
}

}  // namespace vardimont::fuzz
