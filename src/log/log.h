// The structured logger: each event has a level, a target (the module path,
// such as "_core::transport"), a fixed message and named fields, and becomes
// one line written with one write. Nothing is written until a subscriber is
// installed; the first installation in a process wins.
//
// Line layout (the formatting subscriber's default):
//   2026-12-10T10:05:29.123456Z  WARN _core::transport: invalid frame, dropping connection e=...
// time in UTC with microseconds, the level right-aligned in five, the target
// and ": ", the message, then each field as name=value separated by blanks.
// With colours, the level is coloured by severity, time and target dimmed,
// field names in italics. Control characters in the target, the message and
// field values are written escaped (\n, \r, \t, \xNN), so that text from a
// peer can neither break a line in two nor smuggle terminal escapes.
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
// `level`, `target` or `target=level`. Levels are trace, debug, info, warn,
// error and off in any case, or 0 (off) to 5 (trace); a target alone, or with
// an empty level, enables every level. A directive's target matches every
// event target that begins with it; the directive with the longest matching
// target decides (of two with the same target, the later one), then a bare
// level directive; with none matching, the event is off.
class Filter {
 public:
  // Parses `spec`; each piece that can't be parsed is skipped and reported as
  // one line "ignoring `{piece}`: {reason}" appended to `ignored` (may be
  // null). Empty pieces are skipped silently. With no valid directive left
  // the filter passes ERROR from every target.
  static Filter parse(std::string_view spec, std::vector<std::string>* ignored);
  static Filter errors_only();

  bool enabled(Level level, std::string_view target) const noexcept;
  // The most verbose level any directive enables (fast pre-check); Error when
  // every directive is off.
  Level max_level() const noexcept { return max_ == 0 ? Level::Error : static_cast<Level>(max_); }
  // 0 when every directive is off, else the most verbose Level value enabled.
  int max_verbosity() const noexcept { return max_; }

 private:
  struct Directive {
    std::string target;  // empty: every target
    int level;           // 0 = off, else a Level value
  };
  void add(Directive d);
  std::vector<Directive> directives_;  // most specific first
  int max_ = 0;
};

// Where lines go: called with one line, without its line break, possibly from
// several threads at once. The default writes the line and its line break to
// standard error with one write().
using LineSink = std::function<void(std::string_view line)>;

// Installs the process-wide subscriber. Returns false (and changes nothing)
// when one is installed already.
bool install(Filter filter, bool ansi, LineSink sink = {});

// For tests of the native core: replaces the subscriber unconditionally
// (nullptr filter = remove). Does not count as the installation of install().
void install_for_tests(std::shared_ptr<const Filter> filter, bool ansi, LineSink sink);

// Cheap test made before building the fields of an event.
bool enabled(Level level, std::string_view target) noexcept;

// Writes one event if the subscriber lets it through.
void event(Level level, std::string_view target, std::string_view message,
           std::initializer_list<Field> fields = {});

// The line for an event, without the trailing newline (exposed for tests).
std::string format_line(Level level, std::string_view target, std::string_view message,
                        std::initializer_list<Field> fields, bool ansi);

// Writes `line` and a line break to standard error with one write(), going on
// after partial writes and interruptions (for the "ignoring" lines of parse()).
void write_stderr_line(std::string_view line) noexcept;

}  // namespace vardimont::log
