// Durations as the settings hold them, and the deadlines made from them.
// Settings come from Python as any float of seconds that fits the type, so
// every conversion saturates or reports "no deadline" instead of overflowing.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace vardimont::transport {

// Whole seconds and nanoseconds (0..999,999,999).
struct Duration {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;

  static Duration from_millis(std::uint64_t ms) { return {ms / 1000, static_cast<std::uint32_t>(ms % 1000 * 1'000'000)}; }
  bool is_zero() const noexcept { return secs == 0 && nanos == 0; }
  // Saturates at the clock's largest duration.
  std::chrono::steady_clock::duration to_steady() const noexcept;
  // Three times this, saturating.
  Duration times3() const noexcept;
  friend bool operator==(const Duration&, const Duration&) = default;
};

// `start + d`, or nullopt when that cannot be represented (no deadline).
std::optional<std::chrono::steady_clock::time_point> deadline_from(std::chrono::steady_clock::time_point start,
                                                                   Duration d) noexcept;
// `now + d`, or nullopt when that cannot be represented (no deadline).
std::optional<std::chrono::steady_clock::time_point> deadline_after(Duration d) noexcept;

}  // namespace vardimont::transport
