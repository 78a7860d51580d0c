#include "log/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

namespace vardimont::log {
namespace {

const std::regex kTime(
    R"(\d{4}-(0[1-9]|1[0-2])-(0[1-9]|[12]\d|3[01])T([01]\d|2[0-3]):[0-5]\d:[0-5]\d\.\d{6}Z)");

// The line with its timestamp replaced by "<time>", after checking that the
// line holds exactly one timestamp of the fixed format.
std::string without_time(const std::string& line) {
  auto begin = std::sregex_iterator(line.begin(), line.end(), kTime);
  EXPECT_EQ(std::distance(begin, std::sregex_iterator()), 1) << line;
  return std::regex_replace(line, kTime, "<time>");
}

TEST(LogFormat, PlainLayout) {
  struct Case {
    Level level;
    std::string text;
  };
  for (const Case& c : {Case{Level::Error, "ERROR"}, Case{Level::Warn, " WARN"},
                        Case{Level::Info, " INFO"}, Case{Level::Debug, "DEBUG"},
                        Case{Level::Trace, "TRACE"}}) {
    const std::string line =
        format_line(c.level, TRANSPORT, "invalid frame, dropping connection",
                    {{"e", "frame too large"}, {"peer", "a@127.0.0.1:9000"}}, false);
    EXPECT_EQ(without_time(line), "<time> " + c.text +
                                      " _core::transport: invalid frame, dropping connection "
                                      "e=frame too large peer=a@127.0.0.1:9000");
    EXPECT_TRUE(std::regex_search(line, std::regex("^" + std::string(R"(\d{4}-)"))));
  }
  EXPECT_EQ(without_time(format_line(Level::Info, PY_NODE, "no fields", {}, false)),
            "<time>  INFO _core::py::node: no fields");
}

TEST(LogFormat, AnsiLayout) {
  struct Case {
    Level level;
    std::string coloured;
  };
  for (const Case& c : {Case{Level::Error, "\x1b[31mERROR\x1b[0m"},
                        Case{Level::Warn, "\x1b[33m WARN\x1b[0m"},
                        Case{Level::Info, "\x1b[32m INFO\x1b[0m"},
                        Case{Level::Debug, "\x1b[34mDEBUG\x1b[0m"},
                        Case{Level::Trace, "\x1b[35mTRACE\x1b[0m"}}) {
    const std::string line = format_line(c.level, PEER, "failed to encode frame, dropping",
                                         {{"e", "too long"}}, true);
    EXPECT_EQ(without_time(line),
              "\x1b[2m<time>\x1b[0m " + c.coloured +
                  " \x1b[2m_core::transport::peer\x1b[0m\x1b[2m:\x1b[0m "
                  "failed to encode frame, dropping \x1b[3me\x1b[0m\x1b[2m=\x1b[0mtoo long");
  }
}

TEST(LogFormat, ControlCharactersAreEscaped) {
  const std::string line = format_line(Level::Warn, TRANSPORT, "two\nlines",
                                       {{"detail", "x\x1b[31my\r\t\x01\x7f"}}, false);
  EXPECT_EQ(without_time(line),
            "<time>  WARN _core::transport: two\\nlines detail=x\\x1b[31my\\r\\t\\x01\\x7f");
  EXPECT_EQ(line.find('\n'), std::string::npos);
}

// ---- filter ----

struct Check {
  Level level;
  const char* target;
  bool enabled;
};

struct FilterCase {
  const char* spec;
  std::vector<std::string> ignored;
  std::vector<Check> checks;
};

const std::string kLevelError =
    "error parsing level filter: expected one of \"off\", \"error\", \"warn\", \"info\", "
    "\"debug\", \"trace\", or a number 0-5";
const std::string kUnsupported =
    "invalid filter directive: span and field filters are not supported";

TEST(LogFilter, DirectivesTable) {
  const std::vector<FilterCase> cases = {
      // No directive: ERROR from every target, nothing else.
      {"", {}, {{Level::Error, "_core::transport", true}, {Level::Warn, "_core::transport", false},
                {Level::Error, "other", true}}},
      {",,", {}, {{Level::Error, "x", true}, {Level::Warn, "x", false}}},
      // A bare level applies to every target; names in any case, or numbers.
      {"debug", {}, {{Level::Debug, "_core::py::node", true},
                     {Level::Trace, "_core::py::node", false}}},
      {"WaRn", {}, {{Level::Warn, "x", true}, {Level::Info, "x", false}}},
      {"4", {}, {{Level::Debug, "x", true}, {Level::Trace, "x", false}}},
      {"5", {}, {{Level::Trace, "x", true}}},
      {"off", {}, {{Level::Error, "x", false}}},
      {"0", {}, {{Level::Error, "x", false}}},
      // A target matches every target that begins with it; others stay off.
      {"_core=debug", {}, {{Level::Debug, "_core::transport", true},
                           {Level::Debug, "_core::py::node", true},
                           {Level::Trace, "_core::transport", false},
                           {Level::Error, "other", false}}},
      {"_core=1", {}, {{Level::Error, "_core::transport", true},
                       {Level::Warn, "_core::transport", false}}},
      {"_core=DEBUG", {}, {{Level::Debug, "_core::transport::peer", true}}},
      // A target alone, or with an empty level, enables every level.
      {"_core", {}, {{Level::Trace, "_core::transport", true}, {Level::Error, "other", false}}},
      {"_core=", {}, {{Level::Trace, "_core::transport", true}}},
      // The longest matching target decides, then the bare level.
      {"warn,_core::transport=trace", {}, {{Level::Trace, "_core::transport::peer", true},
                                           {Level::Info, "_core::py::node", false},
                                           {Level::Warn, "_core::py::node", true}}},
      {"info,_core::transport=off", {}, {{Level::Error, "_core::transport", false},
                                         {Level::Error, "_core::transport::peer", false},
                                         {Level::Info, "_core::py::node", true}}},
      {"_core::transport=debug,_core=warn", {}, {{Level::Debug, "_core::transport", true},
                                                 {Level::Debug, "_core::py::node", false},
                                                 {Level::Warn, "_core::py::node", true}}},
      // Of two directives for one target, the later one holds.
      {"_core=debug,_core=error", {}, {{Level::Warn, "_core::transport", false},
                                       {Level::Error, "_core::transport", true}}},
      // A target that reads as a level is no target.
      {"info=debug", {}, {{Level::Debug, "anything", true}}},
      // Prefixes are compared as text, not by path segment.
      {"_core::trans=debug", {}, {{Level::Debug, "_core::transport", true}}},
      {"_core-x=debug", {}, {{Level::Debug, "_core-x", true}}},
      // Pieces that can't be parsed are reported and skipped.
      {"a=notalevel", {"ignoring `a=notalevel`: " + kLevelError},
       {{Level::Error, "a", true}, {Level::Warn, "a", false}}},
      {"=x", {"ignoring `=x`: invalid filter directive"}, {{Level::Error, "x", true}}},
      {"=debug", {"ignoring `=debug`: invalid filter directive"}, {{Level::Debug, "x", false}}},
      {"a=b=c", {"ignoring `a=b=c`: invalid filter directive"}, {}},
      {" debug", {"ignoring ` debug`: invalid filter directive"}, {{Level::Debug, "x", false}}},
      {"bad.target=debug", {"ignoring `bad.target=debug`: invalid filter directive"}, {}},
      {"a[span]=debug",
       {"ignoring `a[span]=debug`: " + kUnsupported},
       {{Level::Debug, "a", false}, {Level::Error, "a", true}}},
      {"[{field}]=trace",
       {"ignoring `[{field}]=trace`: " + kUnsupported},
       {}},
      // Valid pieces beside invalid ones are used; no fallback then.
      {"_core=debug,junk=nope,,x y", {"ignoring `junk=nope`: " + kLevelError,
                                      "ignoring `x y`: invalid filter directive"},
       {{Level::Debug, "_core::transport", true}, {Level::Error, "other", false}}},
  };
  for (const FilterCase& c : cases) {
    SCOPED_TRACE(std::string("RUST_LOG=") + c.spec);
    std::vector<std::string> ignored;
    const Filter f = Filter::parse(c.spec, &ignored);
    EXPECT_EQ(ignored, c.ignored);
    for (const Check& k : c.checks) {
      EXPECT_EQ(f.enabled(k.level, k.target), k.enabled)
          << "level " << static_cast<int>(k.level) << " target " << k.target;
      if (k.enabled) {
        EXPECT_GE(f.max_verbosity(), static_cast<int>(k.level));
      }
    }
  }
}

TEST(LogFilter, ErrorsOnly) {
  const Filter f = Filter::errors_only();
  EXPECT_TRUE(f.enabled(Level::Error, "anything"));
  EXPECT_FALSE(f.enabled(Level::Warn, "anything"));
  EXPECT_EQ(f.max_level(), Level::Error);
  EXPECT_NO_THROW((void)Filter::parse("a=nope", nullptr));
}

// ---- the process-wide subscriber ----

struct Captured {
  std::mutex mu;
  std::vector<std::string> lines;
  LineSink sink() {
    return [this](std::string_view line) {
      std::lock_guard<std::mutex> lock(mu);
      lines.emplace_back(line);
    };
  }
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> lock(mu);
    return std::exchange(lines, {});
  }
};

class LogSubscriber : public ::testing::Test {
 protected:
  void TearDown() override { install_for_tests(nullptr, false, {}); }
};

TEST_F(LogSubscriber, EventsPassTheFilterIntoOneLineEach) {
  Captured out;
  install_for_tests(
      std::make_shared<const Filter>(Filter::parse("_core::transport=debug", nullptr)), false,
      out.sink());
  EXPECT_TRUE(enabled(Level::Debug, PEER));
  EXPECT_FALSE(enabled(Level::Trace, PEER));
  EXPECT_FALSE(enabled(Level::Error, PY_NODE));
  event(Level::Debug, PEER, "kept", {{"n", "1"}});
  event(Level::Trace, PEER, "dropped");
  event(Level::Error, PY_NODE, "dropped");
  const std::vector<std::string> lines = out.take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(without_time(lines[0]), "<time> DEBUG _core::transport::peer: kept n=1");

  install_for_tests(nullptr, false, {});
  EXPECT_FALSE(enabled(Level::Error, PEER));
  event(Level::Error, PEER, "nobody listens");
  EXPECT_TRUE(out.take().empty());
}

TEST_F(LogSubscriber, AnsiChoiceIsTheSubscribers) {
  Captured out;
  install_for_tests(std::make_shared<const Filter>(Filter::errors_only()), true, out.sink());
  event(Level::Error, TRANSPORT, "coloured");
  const std::vector<std::string> lines = out.take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\x1b[31mERROR\x1b[0m"), std::string::npos);
}

// Redirects standard error into a pipe for the life of the object.
class StderrCapture {
 public:
  StderrCapture() {
    EXPECT_EQ(::pipe(fds_), 0);
    saved_ = ::dup(STDERR_FILENO);
    ::dup2(fds_[1], STDERR_FILENO);
  }
  std::string finish() {
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    ::close(fds_[1]);
    std::string out;
    char buf[512];
    for (ssize_t n; (n = ::read(fds_[0], buf, sizeof buf)) > 0;) {
      out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fds_[0]);
    return out;
  }

 private:
  int fds_[2] = {-1, -1};
  int saved_ = -1;
};

TEST_F(LogSubscriber, DefaultSinkWritesLinesToStandardError) {
  install_for_tests(std::make_shared<const Filter>(Filter::errors_only()), false, {});
  StderrCapture capture;
  write_stderr_line("ignoring `x y`: invalid filter directive");
  event(Level::Error, TRANSPORT, "to stderr", {{"k", "v"}});
  const std::string out = capture.finish();
  const auto nl = out.find('\n');
  ASSERT_NE(nl, std::string::npos);
  EXPECT_EQ(out.substr(0, nl), "ignoring `x y`: invalid filter directive");
  EXPECT_EQ(without_time(out.substr(nl + 1)), "<time> ERROR _core::transport: to stderr k=v\n");
}

// install() changes the process for good, so it is tried in a child process:
// the first installation holds, later ones change nothing.
TEST(LogInstall, FirstInstallationWins) {
  EXPECT_EXIT(
      {
        Captured first;
        Captured second;
        const bool installed = install(Filter::parse("warn", nullptr), false, first.sink());
        const bool again = install(Filter::parse("trace", nullptr), true, second.sink());
        event(Level::Warn, TRANSPORT, "w");
        event(Level::Info, TRANSPORT, "i");
        const bool ok = installed && !again && first.take().size() == 1 && second.take().empty();
        std::_Exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vardimont::log
