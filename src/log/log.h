// The structured logger: each event has a level, a target (the module path,
// such as "_core::transport"), a fixed message and named fields, and becomes
// one line written with one write. Nothing is written until a subscriber is
// installed; the first installation in a process wins.
//
// Line layout (the formatting subscriber's default):
//   2026-12-10T10:05:29.123456Z  WARN _core::transport: invalid frame, dropping connection e=...
// time in UTC with microseconds, the level right-aligned in five, the target
// and ": ", the message, then each field as name=value separated by blanks.
// With colours, the level is coloured by severity, time and target dimmed.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vardimont::log {

enum class Level : std::uint8_t { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

inline constexpr std::string_view TRANSPORT = "_core::transport";
inline constexpr std::string_view PEER = "_core::transport::peer";
inline constexpr std::string_view PY_NODE = "_core::py::node";

struct Field {
  std::string_view name;
  std::string value;
};

// The environment-filter directives of RUST_LOG: a comma-separated list of
// `level`, `target` or `target=level` (level names in any case, or `off`).
// The most specific (longest) matching target wins; with no directive
// matching, the event is off unless a bare level directive enables it.
class Filter {
 public:
  // Parses `spec`; each piece that can't be parsed is skipped and reported as
  // one line "ignoring `{piece}`: {reason}" appended to `ignored`. With no
  // valid directive left the filter passes ERROR from every target.
  static Filter parse(std::string_view spec, std::vector<std::string>* ignored);
  static Filter errors_only();

  bool enabled(Level level, std::string_view target) const noexcept;
  // The most verbose level any directive enables (fast pre-check).
  Level max_level() const noexcept { return max_; }

 private:
  struct Directive {
    std::string target;  // empty: every target
    int level;           // 0 = off, else a Level value
  };
  std::vector<Directive> directives_;
  Level max_ = Level::Error;
};

// Where lines go; the default writes to standard error with one write().
using LineSink = std::function<void(std::string_view line)>;

// Installs the process-wide subscriber. Returns false (and changes nothing)
// when one is installed already.
bool install(Filter filter, bool ansi, LineSink sink = {});

// For tests of the native core: replaces the subscriber unconditionally
// (nullptr filter = remove). Not used by the module.
void install_for_tests(std::shared_ptr<const Filter> filter, bool ansi, LineSink sink);

// Cheap test made before building the fields of an event.
bool enabled(Level level, std::string_view target) noexcept;

// Writes one event if the subscriber lets it through.
void event(Level level, std::string_view target, std::string_view message,
           std::initializer_list<Field> fields = {});

// The line for an event, without the trailing newline (exposed for tests).
std::string format_line(Level level, std::string_view target, std::string_view message,
                        std::initializer_list<Field> fields, bool ansi);

}  // namespace vardimont::log
