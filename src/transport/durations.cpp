#include "transport/durations.h"

#include <limits>
#include <ratio>
#include <type_traits>

namespace vardimont::transport {

namespace {

constexpr std::uint64_t NANOS_PER_SEC = 1'000'000'000;

// The duration as nanoseconds, or nullopt when it exceeds the steady clock's
// range. A nanosecond part of a second or more is still counted exactly.
std::optional<std::chrono::steady_clock::duration> exact_steady(Duration d) noexcept {
  using Rep = std::chrono::steady_clock::duration::rep;
  using Period = std::chrono::steady_clock::duration::period;
  static_assert(std::is_same_v<Period, std::nano>, "steady_clock counts nanoseconds");
  constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<Rep>::max());
  if (d.secs > max / NANOS_PER_SEC) return std::nullopt;
  const std::uint64_t whole = d.secs * NANOS_PER_SEC;
  if (d.nanos > max - whole) return std::nullopt;
  return std::chrono::steady_clock::duration(static_cast<Rep>(whole + d.nanos));
}

}  // namespace

std::chrono::steady_clock::duration Duration::to_steady() const noexcept {
  return exact_steady(*this).value_or(std::chrono::steady_clock::duration::max());
}

Duration Duration::times3() const noexcept {
  constexpr std::uint64_t max_secs = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t nanos3 = std::uint64_t{nanos} * 3;  // below 2^34: no overflow
  const std::uint64_t carry = nanos3 / NANOS_PER_SEC;
  const auto rest = static_cast<std::uint32_t>(nanos3 % NANOS_PER_SEC);
  if (secs > (max_secs - carry) / 3) return {max_secs, static_cast<std::uint32_t>(NANOS_PER_SEC - 1)};
  return {secs * 3 + carry, rest};
}

std::optional<std::chrono::steady_clock::time_point> deadline_from(std::chrono::steady_clock::time_point start,
                                                                   Duration d) noexcept {
  const std::optional<std::chrono::steady_clock::duration> span = exact_steady(d);
  if (!span) return std::nullopt;
  if (start.time_since_epoch() > std::chrono::steady_clock::time_point::max().time_since_epoch() - *span) {
    return std::nullopt;
  }
  return start + *span;
}

std::optional<std::chrono::steady_clock::time_point> deadline_after(Duration d) noexcept {
  return deadline_from(std::chrono::steady_clock::now(), d);
}

}  // namespace vardimont::transport
