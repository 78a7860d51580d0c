// Conversion of intervals in floating-point seconds to whole seconds and
// nanoseconds: exact rounding to the nearest nanosecond (ties to even), the
// carry into the seconds, and the two refusals.
#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

#include "py/duration.h"

namespace vardimont::test {
namespace {

using py::duration_from_secs_f64;
using py::SecondsError;

TEST(SecondsConversion, RoundsToTheNearestNanosecondWithTiesToEven) {
  const struct {
    double seconds;
    std::uint64_t secs;
    std::uint32_t nanos;
  } cases[] = {
      {2.0, 2, 0},
      {0.25, 0, 250'000'000},
      {1.5, 1, 500'000'000},
      {0.1, 0, 100'000'000},
      {0.0, 0, 0},
      {-0.0, 0, 0},
      {1e-10, 0, 0},
      {5e-324, 0, 0},
      {4.9999999e-10, 0, 0},
      {5.0000001e-10, 0, 1},
      {0.9999999999, 1, 0},
      {0.0009765625, 0, 976'562},    // 976,562.5 ns: down to even
      {0.0029296875, 0, 2'929'688},  // 2,929,687.5 ns: up to even
      {4503599627370495.5, 4503599627370495, 500'000'000},
      {1.8e19, 18'000'000'000'000'000'000u, 0},
      {18446744073709549568.0, 18446744073709549568u, 0},  // largest below 2^64
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seconds);
    const py::ConvertedSeconds got = duration_from_secs_f64(c.seconds);
    EXPECT_EQ(got.error, SecondsError::None);
    EXPECT_EQ(got.duration.secs, c.secs);
    EXPECT_EQ(got.duration.nanos, c.nanos);
  }
}

TEST(SecondsConversion, RefusesNegativesAndWhatNoDurationHolds) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    double seconds;
    SecondsError error;
  } cases[] = {
      {-1.0, SecondsError::Negative},
      {-5e-324, SecondsError::Negative},
      {-inf, SecondsError::Negative},
      {inf, SecondsError::TooBigOrNaN},
      {nan, SecondsError::TooBigOrNaN},
      {-nan, SecondsError::TooBigOrNaN},
      {18446744073709551616.0, SecondsError::TooBigOrNaN},
      {1e20, SecondsError::TooBigOrNaN},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(duration_from_secs_f64(c.seconds).error, c.error);
  }
}

}  // namespace
}  // namespace vardimont::test
