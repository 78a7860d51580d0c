#include "py/logging_setup.h"

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "log/log.h"
#include "text/utf8.h"

namespace vardimont::py {
namespace {

// An environment variable as text; a value that is not UTF-8 counts as unset.
std::optional<std::string_view> env_text(const char* name) noexcept {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  std::string_view text(value);
  if (!is_utf8(text)) return std::nullopt;
  return text;
}

}  // namespace

void setup_logging() noexcept {
  try {
    const std::optional<std::string_view> no_color = env_text("NO_COLOR");
    const bool ansi = !no_color || no_color->empty();

    std::vector<std::string> ignored;
    log::Filter filter = log::Filter::parse(env_text("RUST_LOG").value_or(std::string_view{}), &ignored);
    for (const std::string& line : ignored) log::write_stderr_line(line);

    // Fails when a subscriber is installed already; that is expected.
    (void)log::install(std::move(filter), ansi);
  } catch (const std::exception&) {
    // Out of memory while building the filter: start without logging rather
    // than fail the start.
  }
}

}  // namespace vardimont::py
