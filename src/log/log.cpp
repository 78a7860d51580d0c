#include "log/log.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <utility>

#include "async/fork.h"
#include "text/hex.h"

namespace vardimont::log {

namespace {

constexpr std::string_view LEVEL_ERROR_TEXT =
    "error parsing level filter: expected one of \"off\", \"error\", \"warn\", \"info\", "
    "\"debug\", \"trace\", or a number 0-5";
constexpr std::string_view INVALID_DIRECTIVE_TEXT = "invalid filter directive";
constexpr std::string_view UNSUPPORTED_TEXT =
    "invalid filter directive: span and field filters are not supported";

bool equals_ignore_case(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != b[i]) return false;
  }
  return true;
}

// A level filter: 0 (off) to 5 (trace).
std::optional<int> parse_level(std::string_view s) noexcept {
  if (s.size() == 1 && s[0] >= '0' && s[0] <= '5') return s[0] - '0';
  static constexpr std::string_view names[] = {"off", "error", "warn", "info", "debug", "trace"};
  for (int i = 0; i < 6; ++i) {
    if (equals_ignore_case(s, names[i])) return i;
  }
  return std::nullopt;
}

// Target names: word characters, ':' and '-'. Bytes of multi-byte UTF-8
// sequences count as word characters.
bool valid_target(std::string_view s) noexcept {
  if (s.empty()) return false;
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == ':' || c == '-' || c >= 0x80;
    if (!ok) return false;
  }
  return true;
}

void append_escaped(std::string& out, std::string_view text) {
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7f) {
      out.push_back(ch);
      continue;
    }
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        out += "\\x";
        out.push_back(HEX_DIGITS[c >> 4]);
        out.push_back(HEX_DIGITS[c & 0xf]);
    }
  }
}

std::string_view level_text(Level level) noexcept {
  switch (level) {
    case Level::Error: return "ERROR";
    case Level::Warn: return " WARN";
    case Level::Info: return " INFO";
    case Level::Debug: return "DEBUG";
    case Level::Trace: return "TRACE";
  }
  return "?????";
}

std::string_view level_colour(Level level) noexcept {
  switch (level) {
    case Level::Error: return "\x1b[31m";  // red
    case Level::Warn: return "\x1b[33m";   // yellow
    case Level::Info: return "\x1b[32m";   // green
    case Level::Debug: return "\x1b[34m";  // blue
    case Level::Trace: return "\x1b[35m";  // purple
  }
  return "";
}

constexpr std::string_view DIM = "\x1b[2m";
constexpr std::string_view ITALIC = "\x1b[3m";
constexpr std::string_view RESET = "\x1b[0m";

void append_time(std::string& out) {
  using namespace std::chrono;
  const auto now = time_point_cast<microseconds>(system_clock::now());
  const auto secs = floor<seconds>(now);
  const auto micros = (now - secs).count();
  const std::time_t t = system_clock::to_time_t(secs);
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char buf[40];
  const int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ",
                              tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                              tm.tm_min, tm.tm_sec, static_cast<int>(micros));
  if (n > 0) out.append(buf, std::min(static_cast<std::size_t>(n), sizeof buf - 1));
}

struct Subscriber {
  std::shared_ptr<const Filter> filter;
  bool ansi;
  LineSink sink;  // empty: standard error
};

// The process-wide logger state. Deliberately never destroyed: worker
// threads of a runtime may still log while the process runs its exit-time
// destructors.
struct Global {
  std::mutex mu;
  std::shared_ptr<const Subscriber> current;  // guarded by mu
  bool installed = false;                     // guarded by mu; set by install() only
  std::atomic<int> max_verbosity{0};          // of `current`; 0 = nothing passes
};

Global& global() {
  static Global* const g = new Global();
  return *g;
}

std::mutex& global_mutex() { return global().mu; }
[[maybe_unused]] const int global_held_across_fork = async::hold_across_fork<global_mutex>();

std::shared_ptr<const Subscriber> current_for(Level level, std::string_view target) noexcept {
  Global& g = global();
  if (static_cast<int>(level) > g.max_verbosity.load(std::memory_order_relaxed)) return nullptr;
  std::shared_ptr<const Subscriber> sub;
  {
    std::lock_guard<std::mutex> lock(g.mu);
    sub = g.current;
  }
  if (!sub || !sub->filter->enabled(level, target)) return nullptr;
  return sub;
}

void set_current(std::shared_ptr<const Subscriber> sub) {
  Global& g = global();
  std::shared_ptr<const Subscriber> old;  // released outside the lock
  std::lock_guard<std::mutex> lock(g.mu);
  g.max_verbosity.store(sub ? sub->filter->max_verbosity() : 0, std::memory_order_relaxed);
  old = std::exchange(g.current, std::move(sub));
}

}  // namespace

// ---- Filter ----

void Filter::add(Directive d) {
  // Most specific first: longer targets before shorter ones, the bare level
  // (empty target) last. A later directive for the same target replaces the
  // earlier one.
  auto same = std::find_if(directives_.begin(), directives_.end(),
                           [&](const Directive& x) { return x.target == d.target; });
  if (same != directives_.end()) {
    same->level = d.level;
  } else {
    auto pos = std::find_if(directives_.begin(), directives_.end(), [&](const Directive& x) {
      return x.target.size() < d.target.size();
    });
    directives_.insert(pos, std::move(d));
  }
  max_ = 0;
  for (const Directive& x : directives_) max_ = std::max(max_, x.level);
}

Filter Filter::errors_only() {
  Filter f;
  f.directives_.push_back(Directive{std::string(), static_cast<int>(Level::Error)});
  f.max_ = static_cast<int>(Level::Error);
  return f;
}

Filter Filter::parse(std::string_view spec, std::vector<std::string>* ignored) {
  Filter f;
  auto reject = [ignored](std::string_view piece, std::string_view reason) {
    if (ignored == nullptr) return;
    std::string line = "ignoring `";
    line.append(piece);
    line += "`: ";
    line.append(reason);
    ignored->push_back(std::move(line));
  };

  std::size_t start = 0;
  while (start <= spec.size()) {
    std::size_t end = spec.find(',', start);
    if (end == std::string_view::npos) end = spec.size();
    const std::string_view piece = spec.substr(start, end - start);
    start = end + 1;
    if (piece.empty()) continue;

    if (piece.find_first_of("[]{}") != std::string_view::npos) {
      reject(piece, UNSUPPORTED_TEXT);
      continue;
    }
    if (const std::optional<int> level = parse_level(piece)) {
      f.add(Directive{std::string(), *level});
      continue;
    }
    const std::size_t eq = piece.find('=');
    std::string_view target = piece.substr(0, eq);
    const std::string_view level_part =
        eq == std::string_view::npos ? std::string_view() : piece.substr(eq + 1);
    if (!valid_target(target) || level_part.find('=') != std::string_view::npos) {
      reject(piece, INVALID_DIRECTIVE_TEXT);
      continue;
    }
    int level = static_cast<int>(Level::Trace);  // a target alone enables every level
    if (!level_part.empty()) {
      const std::optional<int> parsed = parse_level(level_part);
      if (!parsed) {
        reject(piece, LEVEL_ERROR_TEXT);
        continue;
      }
      level = *parsed;
    }
    // A "target" that reads as a level is no target: `info=debug` sets the
    // level for every target.
    if (parse_level(target)) target = std::string_view();
    f.add(Directive{std::string(target), level});
  }
  if (f.directives_.empty()) return errors_only();
  return f;
}

bool Filter::enabled(Level level, std::string_view target) const noexcept {
  for (const Directive& d : directives_) {
    if (target.substr(0, d.target.size()) == d.target) {
      return static_cast<int>(level) <= d.level;
    }
  }
  return false;
}

// ---- output ----

std::string format_line(Level level, std::string_view target, std::string_view message,
                        std::initializer_list<Field> fields, bool ansi) {
  std::string line;
  line.reserve(64 + target.size() + message.size());
  if (ansi) line += DIM;
  append_time(line);
  if (ansi) line += RESET;
  line.push_back(' ');
  if (ansi) line += level_colour(level);
  line += level_text(level);
  if (ansi) line += RESET;
  line.push_back(' ');
  if (ansi) {
    line += DIM;
    append_escaped(line, target);
    line += RESET;
    line += DIM;
    line.push_back(':');
    line += RESET;
  } else {
    append_escaped(line, target);
    line.push_back(':');
  }
  line.push_back(' ');
  append_escaped(line, message);
  for (const Field& f : fields) {
    line.push_back(' ');
    if (ansi) {
      line += ITALIC;
      append_escaped(line, f.name);
      line += RESET;
      line += DIM;
      line.push_back('=');
      line += RESET;
    } else {
      append_escaped(line, f.name);
      line.push_back('=');
    }
    append_escaped(line, f.value);
  }
  return line;
}

void write_stderr_line(std::string_view line) noexcept {
  std::string buf;
  try {
    buf.reserve(line.size() + 1);
    buf.append(line);
    buf.push_back('\n');
  } catch (...) {
    return;  // out of memory: the line is lost
  }
  const char* p = buf.data();
  std::size_t left = buf.size();
  while (left > 0) {
    const ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (n == 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

bool install(Filter filter, bool ansi, LineSink sink) {
  auto sub = std::make_shared<const Subscriber>(
      Subscriber{std::make_shared<const Filter>(std::move(filter)), ansi, std::move(sink)});
  Global& g = global();
  {
    std::lock_guard<std::mutex> lock(g.mu);
    if (g.installed) return false;
    g.installed = true;
  }
  set_current(std::move(sub));
  return true;
}

void install_for_tests(std::shared_ptr<const Filter> filter, bool ansi, LineSink sink) {
  if (!filter) {
    set_current(nullptr);
    return;
  }
  set_current(
      std::make_shared<const Subscriber>(Subscriber{std::move(filter), ansi, std::move(sink)}));
}

bool enabled(Level level, std::string_view target) noexcept {
  return current_for(level, target) != nullptr;
}

void event(Level level, std::string_view target, std::string_view message,
           std::initializer_list<Field> fields) {
  const std::shared_ptr<const Subscriber> sub = current_for(level, target);
  if (!sub) return;
  const std::string line = format_line(level, target, message, fields, sub->ansi);
  if (sub->sink) {
    sub->sink(line);
  } else {
    write_stderr_line(line);
  }
}

}  // namespace vardimont::log
