// The JSON reader on arbitrary bytes, through two sinks: the sorted compact
// re-render (rerender_sorted) and a sink of this target that builds a tree.
// Checks:
//  - both accept exactly the same documents (one value, white space around);
//  - the tree sink sees only what the reader promises: UTF-8 strings and
//    keys, finite doubles, negative int_value, nesting below the budget;
//  - the re-render equals the tree written here with keys sorted and the last
//    of repeated keys kept, and it is a fixed point: the reader accepts it and
//    it re-renders to the same text, with the same values (doubles bit for bit);
//  - with trailing bytes ignored the reader reads the same first value, and it
//    fails only where the strict reading fails, with the same error;
//  - a sink that refuses at some callback ends the parse with the sink's
//    message.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "fuzz_support.h"
#include "json/reader.h"
#include "json/rerender.h"
#include "json/writer.h"

namespace {

namespace json = vardimont::json;

struct Value;
struct Member;
using Array = std::vector<Value>;
using Object = std::vector<Member>;  // document order
struct Value {
  std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string, Array, Object> v;
};
struct Member {
  std::string key;
  Value value;
};

bool same(const Value& a, const Value& b);

bool same_array(const Array& a, const Array& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!same(a[i], b[i])) return false;
  }
  return true;
}

bool same(const Value& a, const Value& b) {
  if (a.v.index() != b.v.index()) return false;
  return std::visit(
      [&b](const auto& x) -> bool {
        using T = std::decay_t<decltype(x)>;
        const T& y = std::get<T>(b.v);
        if constexpr (std::is_same_v<T, double>) {
          return std::memcmp(&x, &y, sizeof x) == 0;  // -0.0 and 0.0 differ
        } else if constexpr (std::is_same_v<T, Array>) {
          return same_array(x, y);
        } else if constexpr (std::is_same_v<T, Object>) {
          if (x.size() != y.size()) return false;
          for (std::size_t i = 0; i < x.size(); ++i) {
            if (x[i].key != y[i].key || !same(x[i].value, y[i].value)) return false;
          }
          return true;
        } else {
          return x == y;
        }
      },
      a.v);
}

// Builds the tree and checks what every callback receives. With `stop_at`
// set, the callback of that number refuses.
class TreeSink {
 public:
  explicit TreeSink(std::optional<std::size_t> stop_at = std::nullopt) : stop_at_(stop_at) {}

  bool null_value() { return put(Value{}); }
  bool bool_value(bool b) { return put(Value{b}); }
  bool int_value(std::int64_t i) {
    FUZZ_CHECK(i < 0);
    return put(Value{i});
  }
  bool uint_value(std::uint64_t u) { return put(Value{u}); }
  bool double_value(double d) {
    FUZZ_CHECK(std::isfinite(d));
    return put(Value{d});
  }
  bool string_value(std::string_view s) {
    FUZZ_CHECK_MSG(vardimont::fuzz::is_utf8(s), vardimont::fuzz::hex(s));
    return put(Value{std::string(s)});
  }
  bool begin_array() {
    if (!tick()) return false;
    open_.push_back(Open{Value{Array{}}, {}});
    FUZZ_CHECK(open_.size() < static_cast<std::size_t>(json::NESTING_BUDGET));
    return true;
  }
  bool end_array() {
    if (!tick()) return false;
    FUZZ_CHECK(!open_.empty() && std::holds_alternative<Array>(open_.back().value.v));
    return close();
  }
  bool begin_object() {
    if (!tick()) return false;
    open_.push_back(Open{Value{Object{}}, {}});
    FUZZ_CHECK(open_.size() < static_cast<std::size_t>(json::NESTING_BUDGET));
    return true;
  }
  bool key(std::string_view k) {
    if (!tick()) return false;
    FUZZ_CHECK(!open_.empty() && std::holds_alternative<Object>(open_.back().value.v));
    FUZZ_CHECK_MSG(vardimont::fuzz::is_utf8(k), vardimont::fuzz::hex(k));
    open_.back().key = std::string(k);
    return true;
  }
  bool end_object() {
    if (!tick()) return false;
    FUZZ_CHECK(!open_.empty() && std::holds_alternative<Object>(open_.back().value.v));
    return close();
  }
  std::string error_message() { return "refused by the sink"; }

  // The document, once the parse has succeeded.
  const Value& root() const {
    FUZZ_CHECK(open_.empty() && root_.has_value());
    return *root_;
  }
  std::size_t callbacks() const { return calls_; }

 private:
  struct Open {
    Value value;
    std::string key;
  };

  // Counts the callback; false for the one that is to refuse.
  bool tick() {
    const std::size_t n = calls_++;
    return !(stop_at_ && n == *stop_at_);
  }

  bool put(Value v) {
    if (!tick()) return false;
    if (open_.empty()) {
      FUZZ_CHECK(!root_.has_value());
      root_ = std::move(v);
    } else if (auto* a = std::get_if<Array>(&open_.back().value.v)) {
      a->push_back(std::move(v));
    } else {
      std::get<Object>(open_.back().value.v).push_back(Member{std::move(open_.back().key), std::move(v)});
    }
    return true;
  }

  bool close() {
    Value done = std::move(open_.back().value);
    open_.pop_back();
    // put() would tick again; insert directly.
    if (open_.empty()) {
      FUZZ_CHECK(!root_.has_value());
      root_ = std::move(done);
    } else if (auto* a = std::get_if<Array>(&open_.back().value.v)) {
      a->push_back(std::move(done));
    } else {
      std::get<Object>(open_.back().value.v).push_back(Member{std::move(open_.back().key), std::move(done)});
    }
    return true;
  }

  std::optional<std::size_t> stop_at_;
  std::size_t calls_ = 0;
  std::vector<Open> open_;
  std::optional<Value> root_;
};

// Object members in ascending byte order of their keys, the last of repeated
// keys kept; everything else unchanged.
Value canonical(const Value& v) {
  if (const auto* a = std::get_if<Array>(&v.v)) {
    Array out;
    for (const Value& item : *a) out.push_back(canonical(item));
    return Value{std::move(out)};
  }
  if (const auto* o = std::get_if<Object>(&v.v)) {
    std::map<std::string, const Value*> last;  // std::string compares as unsigned bytes
    for (const Member& m : *o) last[m.key] = &m.value;
    Object out;
    for (const auto& [k, item] : last) out.push_back(Member{k, canonical(*item)});
    return Value{std::move(out)};
  }
  return v;
}

void render(const Value& v, std::string& out) {
  std::visit(
      [&out](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          out += "null";
        } else if constexpr (std::is_same_v<T, bool>) {
          out += x ? "true" : "false";
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          out += std::to_string(x);
        } else if constexpr (std::is_same_v<T, std::uint64_t>) {
          out += std::to_string(x);
        } else if constexpr (std::is_same_v<T, double>) {
          json::write_double(out, x, json::ExponentSign::MinusOnly);
        } else if constexpr (std::is_same_v<T, std::string>) {
          json::write_string(out, x);
        } else if constexpr (std::is_same_v<T, Array>) {
          out += '[';
          for (std::size_t i = 0; i < x.size(); ++i) {
            if (i != 0) out += ',';
            render(x[i], out);
          }
          out += ']';
        } else {
          out += '{';
          for (std::size_t i = 0; i < x.size(); ++i) {
            if (i != 0) out += ',';
            json::write_string(out, x[i].key);
            out += ':';
            render(x[i].value, out);
          }
          out += '}';
        }
      },
      v.v);
}

std::span<const std::uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

bool same_error(const json::ParseError& a, const json::ParseError& b) {
  return a.message == b.message && a.line == b.line && a.column == b.column;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> text(data, size);
  const std::string note = vardimont::fuzz::hex(text);

  TreeSink strict;
  const auto strict_result = json::parse(text, strict, json::Trailing::WhitespaceOnly);
  const std::optional<std::string> rendered = json::rerender_sorted(text);
  FUZZ_CHECK_MSG(strict_result.ok() == rendered.has_value(),
                 note + (strict_result.ok() ? "" : " / " + strict_result.error().to_string()));

  TreeSink lenient;
  const auto lenient_result = json::parse(text, lenient, json::Trailing::Ignore);
  if (!lenient_result.ok()) {
    FUZZ_CHECK_MSG(!strict_result.ok() && same_error(lenient_result.error(), strict_result.error()), note);
  } else if (strict_result.ok()) {
    FUZZ_CHECK_MSG(same(lenient.root(), strict.root()), note);
  } else {
    FUZZ_CHECK_MSG(strict_result.error().message == "trailing characters", note + " / " + strict_result.error().to_string());
  }

  if (!strict_result.ok()) {
    const json::ParseError& e = strict_result.error();
    FUZZ_CHECK(!e.message.empty() && e.line >= 1 && e.column <= size);
    FUZZ_CHECK(e.to_string().find(" at line ") != std::string::npos);
  } else {
    const Value sorted = canonical(strict.root());
    std::string expected;
    render(sorted, expected);
    FUZZ_CHECK_MSG(*rendered == expected, note + " / got " + *rendered + " / expected " + expected);

    TreeSink reread;
    FUZZ_CHECK_MSG(json::parse(bytes_of(*rendered), reread, json::Trailing::WhitespaceOnly).ok(), *rendered);
    FUZZ_CHECK_MSG(same(reread.root(), sorted), note + " / " + *rendered);
    const auto twice = json::rerender_sorted(bytes_of(*rendered));
    FUZZ_CHECK_MSG(twice.has_value() && *twice == *rendered, *rendered);
  }

  // A sink that refuses somewhere along the way.
  const std::size_t callbacks = lenient_result.ok() ? lenient.callbacks() : 0;
  if (callbacks > 0) {
    const std::size_t stop = static_cast<std::size_t>(vardimont::fuzz::fnv1a(text) % callbacks);
    TreeSink refusing(stop);
    const auto refused = json::parse(text, refusing, json::Trailing::Ignore);
    FUZZ_CHECK_MSG(!refused.ok() && refused.error().message == "refused by the sink", note);
  }
  return 0;
}
