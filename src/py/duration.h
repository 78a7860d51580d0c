// Conversion of an interval in floating-point seconds, as Python gives it, to
// the whole seconds and nanoseconds that the settings hold. No Python here.
//
// The result is the exact value of the double rounded to the nearest
// nanosecond, a tie going to the even count; a fraction that rounds up to a
// whole second carries into the seconds. Refused: anything below zero (-inf
// included; -0.0 is zero) as negative, and NaN, +inf and 2^64 s or more as
// too big.
#pragma once

#include <bit>
#include <cstdint>

#include "transport/transport.h"

namespace vardimont::py {

enum class SecondsError : std::uint8_t {
  None,
  Negative,     // "cannot convert float seconds to Duration: value is negative"
  TooBigOrNaN,  // "cannot convert float seconds to Duration: value is either too big or NaN"
};

struct ConvertedSeconds {
  transport::Duration duration;
  SecondsError error = SecondsError::None;
};

constexpr ConvertedSeconds duration_from_secs_f64(double v) noexcept {
  __extension__ typedef unsigned __int128 u128;
  constexpr std::uint64_t NANOS_PER_SEC = 1'000'000'000;

  if (v < 0) return {{}, SecondsError::Negative};
  if (!(v < 18446744073709551616.0)) return {{}, SecondsError::TooBigOrNaN};

  // v = m * 2^e exactly, with m < 2^53; zero and subnormals are far below
  // half a nanosecond.
  const auto bits = std::bit_cast<std::uint64_t>(v);
  const int biased_exponent = static_cast<int>((bits >> 52) & 0x7ff);
  if (biased_exponent == 0) return {{0, 0}};
  const std::uint64_t m = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
  const int e = biased_exponent - 1075;
  if (e >= 0) return {{m << e, 0}};  // a whole number; e <= 11 since v < 2^64

  // v = m / 2^k. m * 10^9 < 2^83, so for k >= 85 the fraction is below a
  // quarter of a nanosecond and v below one second.
  const int k = -e;
  if (k >= 85) return {{0, 0}};
  const std::uint64_t secs = k < 64 ? m >> k : 0;
  const std::uint64_t frac = k < 64 ? m & ((std::uint64_t{1} << k) - 1) : m;
  const u128 scaled = static_cast<u128>(frac) * NANOS_PER_SEC;
  auto nanos = static_cast<std::uint64_t>(scaled >> k);
  const u128 rest = scaled & ((u128{1} << k) - 1);
  const u128 half = u128{1} << (k - 1);
  if (rest > half || (rest == half && (nanos & 1) != 0)) ++nanos;
  if (nanos == NANOS_PER_SEC) return {{secs + 1, 0}};  // no overflow: such a v has a fraction, so v < 2^53
  return {{secs, static_cast<std::uint32_t>(nanos)}};
}

}  // namespace vardimont::py
