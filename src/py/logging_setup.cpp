#include "py/logging_setup.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/reader.h"
#include "log/log.h"

namespace vardimont::py {
namespace {

bool is_utf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    const std::size_t n = json::detail::utf8_sequence_length(p, end);
    if (n == 0) return false;
    p += n;
  }
  return true;
}

// An environment variable as text; a value that is not UTF-8 counts as unset.
std::optional<std::string_view> env_text(const char* name) noexcept {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  std::string_view text(value);
  if (!is_utf8(text)) return std::nullopt;
  return text;
}

// One write per line, retried on interruption and short writes; a failing
// standard error is not the caller's problem.
void write_stderr_line(std::string line) noexcept {
  line.push_back('\n');
  std::string_view rest(line);
  while (!rest.empty()) {
    const ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void setup_logging() noexcept {
  try {
    const std::optional<std::string_view> no_color = env_text("NO_COLOR");
    const bool ansi = !no_color || no_color->empty();

    std::vector<std::string> ignored;
    log::Filter filter = log::Filter::parse(env_text("RUST_LOG").value_or(std::string_view{}), &ignored);
    for (std::string& line : ignored) write_stderr_line(std::move(line));

    // Fails when a subscriber is installed already; that is expected.
    (void)log::install(std::move(filter), ansi);
  } catch (const std::exception&) {
    // Out of memory while building the filter: start without logging rather
    // than fail the start.
  }
}

}  // namespace vardimont::py
