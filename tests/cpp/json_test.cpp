#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

#include "json/reader.h"
#include "json/rerender.h"
#include "json/writer.h"

namespace vardimont::json {
namespace {

std::span<const std::uint8_t> bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::string hexfloat(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%a", v);
  return buf;
}

// Records every sink call as a token, so a parse can be compared as one text:
// `[u1,i-2,d0x1p+0,s"x",{k"a":null}]`. Doubles are written in hex, exactly.
struct Recorder {
  std::string events;
  std::vector<bool> first{true};

  void sep() {
    if (!first.back()) events += ',';
    first.back() = false;
  }
  bool null_value() { return add("null"); }
  bool bool_value(bool v) { return add(v ? "true" : "false"); }
  bool int_value(std::int64_t v) { return add("i" + std::to_string(v)); }
  bool uint_value(std::uint64_t v) { return add("u" + std::to_string(v)); }
  bool double_value(double v) { return add("d" + hexfloat(v)); }
  bool string_value(std::string_view s) { return add("s\"" + std::string(s) + "\""); }
  bool begin_array() {
    sep();
    events += '[';
    first.push_back(true);
    return true;
  }
  bool end_array() {
    first.pop_back();
    events += ']';
    return true;
  }
  bool begin_object() {
    sep();
    events += '{';
    first.push_back(true);
    return true;
  }
  bool key(std::string_view k) {
    sep();
    events += "k\"" + std::string(k) + "\":";
    first.back() = true;
    return true;
  }
  bool end_object() {
    first.pop_back();
    events += '}';
    return true;
  }
  std::string error_message() { return "recorder never fails"; }

 private:
  bool add(const std::string& token) {
    sep();
    events += token;
    return true;
  }
};

// The events of a successful parse, or the error text.
std::string parse_text(std::string_view text, Trailing trailing = Trailing::Ignore) {
  Recorder r;
  auto result = parse(bytes(text), r, trailing);
  if (!result) return "error: " + result.error().to_string();
  return r.events;
}

std::string nested(int depth, std::string_view open, std::string_view inner, std::string_view close) {
  std::string s;
  for (int i = 0; i < depth; ++i) s += open;
  s += inner;
  for (int i = 0; i < depth; ++i) s += close;
  return s;
}

struct Case {
  std::string input;
  std::string expected;
};

// ---------------------------------------------------------------- reader

TEST(JsonReader, ValuesReachTheSinkInDocumentOrder) {
  const Case rows[] = {
        Case{"null", "null"}, Case{" \t\r\ntrue \n", "true"}, Case{"false", "false"},
        Case{"[]", "[]"}, Case{"{}", "{}"}, Case{"[ ]", "[]"}, Case{"{ }", "{}"},
        Case{R"({"b":1,"a":[1.0,null,"x"]})", R"({k"b":u1,k"a":[d0x1p+0,null,s"x"]})"},
        Case{R"( { "a" : [ 1 , { } , [ ] ] } )", R"({k"a":[u1,{},[]]})"},
        // A repeated key reaches the sink twice, in document order.
        Case{R"({"a":1,"b":2,"a":3})", R"({k"a":u1,k"b":u2,k"a":u3})"},
        Case{R"({"":""})", R"({k"":s""})"},
        // Escapes, including a surrogate pair, and raw UTF-8 of every length.
        Case{R"("\"\\\/\b\f\n\r\t")", "s\"\"\\/\b\f\n\r\t\""},
        Case{R"("\u0041\u00e9\u20AC\uD83D\uDE00")", "s\"A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""},
        Case{"\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\x7F\"", "s\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\x7F\""},
        Case{R"("\u0000")", std::string("s\"\0\"", 4)},
        Case{R"({"k\n":"v"})", "{k\"k\n\":s\"v\"}"},
        // Strings long enough for the word-at-a-time scan, with the special
        // byte at every offset.
        Case{"\"0123456789abcdefghij\"", "s\"0123456789abcdefghij\""},
        Case{"\"0123456\\n89abcdefghij\"", "s\"0123456\n89abcdefghij\""},
        Case{"\"01234567\xC3\xA9" "abcdefgh\"", "s\"01234567\xC3\xA9" "abcdefgh\""},
        // Only the first value is read.
        Case{"1 2", "u1"}, Case{"[1]]", "[u1]"}, Case{"nullx", "null"},
        Case{"{} and more", "{}"}, Case{"123abc", "u123"}, Case{"\"a\"\"b\"", "s\"a\""},
  };
  for (const Case& row : rows) EXPECT_EQ(parse_text(row.input), row.expected) << row.input;
}

Case num(std::string text, double v) { return {std::move(text), "d" + hexfloat(v)}; }
Case num(std::string text, std::string events) { return {std::move(text), std::move(events)}; }

TEST(JsonReader, NumbersTakeTheNarrowestKind) {
  const Case rows[] = {
        num("0", "u0"), num("-0", -0.0), num("-0.0", -0.0), num("0.0", 0.0), num("-1", "i-1"),
        num("18446744073709551615", "u18446744073709551615"),
        num("18446744073709551616", 18446744073709551616.0),
        num("-9223372036854775808", "i-9223372036854775808"),
        num("-9223372036854775809", -9223372036854775809.0),
        num("-18446744073709551615", -18446744073709551615.0),
        num("123456789012345678901234567890", 123456789012345678901234567890.0),
        num("1e2", 100.0), num("1E+2", 100.0), num("1.0", 1.0), num("1.5e-3", 0.0015),
        num("0.1", 0.1), num("-12.5", -12.5), num("123456.789", 123456.789),
        num("3.141592653589793238462643383279", 3.141592653589793),
        num("9007199254740993", "u9007199254740993"), num("9007199254740993.0", 9007199254740992.0),
        num("1e22", 1e22), num("1e23", 1e23), num("2.2250738585072014e-308", 2.2250738585072014e-308),
        num("5e-324", 5e-324), num("-5e-324", -5e-324), num("1.7976931348623157e308", 1.7976931348623157e308),
        num("1e-400", 0.0), num("-1e-400", -0.0), num("0e999999999999", 0.0),
        num("1e-99999999999999999999", 0.0), num("0.000001e6", 1.0),
        num("0.00000000000000000000000000000000000000001e41", 1.0),
        num("100000000000000000000000000000000000000000e-41", 1.0),
  };
  for (const Case& row : rows) EXPECT_EQ(parse_text(row.input), row.expected) << row.input;
}

TEST(JsonReader, ErrorsGiveMessageLineAndColumn) {
  const Case rows[] = {
        Case{"", "EOF while parsing a value at line 1 column 0"},
        Case{" ", "EOF while parsing a value at line 1 column 1"},
        Case{"[1,", "EOF while parsing a value at line 1 column 3"},
        Case{R"({"a":)", "EOF while parsing a value at line 1 column 5"},
        Case{"nu", "EOF while parsing a value at line 1 column 2"},
        Case{"-", "EOF while parsing a value at line 1 column 1"},
        Case{"1.", "EOF while parsing a value at line 1 column 2"},
        Case{"1e", "EOF while parsing a value at line 1 column 2"},
        Case{"1e-", "EOF while parsing a value at line 1 column 3"},
        Case{"[", "EOF while parsing a list at line 1 column 1"},
        Case{"[1", "EOF while parsing a list at line 1 column 2"},
        Case{"{", "EOF while parsing an object at line 1 column 1"},
        Case{R"({"a")", "EOF while parsing an object at line 1 column 4"},
        Case{R"({"a":1)", "EOF while parsing an object at line 1 column 6"},
        Case{R"("abc)", "EOF while parsing a string at line 1 column 4"},
        Case{R"("ab\)", "EOF while parsing a string at line 1 column 4"},
        Case{R"("\u12)", "EOF while parsing a string at line 1 column 5"},
        Case{R"("\uD83D)", "EOF while parsing a string at line 1 column 7"},
        Case{R"("\uD83D\)", "EOF while parsing a string at line 1 column 8"},
        Case{"x", "expected value at line 1 column 1"},
        Case{"NaN", "expected value at line 1 column 1"},
        Case{"Infinity", "expected value at line 1 column 1"},
        Case{"'a'", "expected value at line 1 column 1"},
        Case{"[1,/*c*/2]", "expected value at line 1 column 4"},
        Case{"+1", "expected value at line 1 column 1"},
        Case{"True", "expected value at line 1 column 1"},
        Case{"nulx", "expected ident at line 1 column 4"},
        Case{"trUe", "expected ident at line 1 column 3"},
        Case{"falsy", "expected ident at line 1 column 5"},
        Case{R"({"a" 1})", "expected `:` at line 1 column 6"},
        Case{"[1 2]", "expected `,` or `]` at line 1 column 4"},
        Case{"[1x]", "expected `,` or `]` at line 1 column 3"},
        Case{R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
        Case{"{1:2}", "key must be a string at line 1 column 2"},
        Case{"{,}", "key must be a string at line 1 column 2"},
        Case{R"({"a":1,2:3})", "key must be a string at line 1 column 8"},
        Case{"[1,]", "trailing comma at line 1 column 4"},
        Case{R"({"a":1,})", "trailing comma at line 1 column 8"},
        Case{"[\n1,\n]", "trailing comma at line 3 column 1"},
        Case{"01", "invalid number at line 1 column 2"},
        Case{"-01", "invalid number at line 1 column 3"},
        Case{"-x", "invalid number at line 1 column 2"},
        Case{"[-]", "invalid number at line 1 column 3"},
        Case{"1.x", "invalid number at line 1 column 3"},
        Case{"1.e5", "invalid number at line 1 column 3"},
        Case{"1ex", "invalid number at line 1 column 3"},
        Case{"1e+x", "invalid number at line 1 column 4"},
        Case{"1e400", "number out of range at line 1 column 5"},
        Case{"-1e400", "number out of range at line 1 column 6"},
        Case{"1.7976931348623159e308", "number out of range at line 1 column 22"},
        Case{"1e99999999999999999999", "number out of range at line 1 column 22"},
        Case{std::string(400, '9'), "number out of range at line 1 column 400"},
        Case{R"("\x")", "invalid escape at line 1 column 3"},
        Case{R"("\U0041")", "invalid escape at line 1 column 3"},
        Case{R"("\u12G4")", "invalid escape at line 1 column 7"},
        Case{R"("\uD83D\u12G4")", "invalid escape at line 1 column 13"},
        Case{R"("\uDE00")", "lone leading surrogate in hex escape at line 1 column 7"},
        Case{R"("\uD83D\u0041")", "lone leading surrogate in hex escape at line 1 column 13"},
        Case{R"("\uD83D\uD83D")", "lone leading surrogate in hex escape at line 1 column 13"},
        Case{R"("\uD83D")", "unexpected end of hex escape at line 1 column 8"},
        Case{R"("\uD83Dx")", "unexpected end of hex escape at line 1 column 8"},
        Case{R"("\uD83D\n")", "unexpected end of hex escape at line 1 column 9"},
        Case{"\"\xFF\"", "invalid unicode code point at line 1 column 3"},
        Case{"\"\xC3\"", "invalid unicode code point at line 1 column 3"},
        Case{"\"\xC0\xAF\"", "invalid unicode code point at line 1 column 4"},        // overlong
        Case{"\"\xED\xA0\x80\"", "invalid unicode code point at line 1 column 5"},    // surrogate
        Case{"\"\xF4\x90\x80\x80\"", "invalid unicode code point at line 1 column 6"},  // > U+10FFFF
        Case{"\"\xE2\x82\"", "invalid unicode code point at line 1 column 4"},        // truncated
        Case{"{\"\xFF\":1}", "invalid unicode code point at line 1 column 4"},
        // The string must end before bad UTF-8 is reported.
        Case{"\"\xFF", "EOF while parsing a string at line 1 column 2"},
        Case{"\"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        Case{"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
        Case{"\"0123456789\tabc\"",
             "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 12"},
        Case{"\n\n  x", "expected value at line 3 column 3"},
  };
  for (const Case& row : rows) EXPECT_EQ(parse_text(row.input), "error: " + row.expected) << row.input;
}

TEST(JsonReader, NestingBudgetAllows127ContainersAnd128Fail) {
  const std::string limit = "error: recursion limit exceeded";
  // Arrays, objects, and both mixed: 127 containers on the left, 128 on the right.
  const std::pair<std::string, std::string> shapes[] = {
      {nested(127, "[", "", "]"), nested(128, "[", "", "]")},
      {nested(126, "{\"a\":", "{}", "}"), nested(127, "{\"a\":", "{}", "}")},
      {nested(63, "[{\"a\":", "[]", "}]"), nested(64, "[{\"a\":", "1", "}]")},
  };
  for (const auto& [ok, deep] : shapes) {
    EXPECT_EQ(parse_text(ok).rfind("error", 0), std::string::npos) << ok;
    EXPECT_EQ(parse_text(deep).substr(0, limit.size()), limit) << deep;
  }
  EXPECT_EQ(parse_text(nested(128, "[", "", "]")), "error: recursion limit exceeded at line 1 column 128");
  // The budget is given back as containers close: siblings do not add up.
  std::string siblings = "[";
  for (int i = 0; i < 200; ++i) siblings += nested(100, "[", "", "]") + ",";
  siblings += "1]";
  EXPECT_EQ(parse_text(siblings).rfind("error", 0), std::string::npos);
  // Far deeper than the budget stops at the budget, without recursing further.
  EXPECT_EQ(parse_text(std::string(1 << 20, '[')), "error: recursion limit exceeded at line 1 column 128");
}

TEST(JsonReader, TrailingModes) {
  struct Row {
    std::string input;
    std::string ignore;
    std::string whitespace_only;
  };
  const Row rows[] = {
      {"1 2", "u1", "error: trailing characters at line 1 column 3"},
      {"[1]]", "[u1]", "error: trailing characters at line 1 column 4"},
      {"nullx", "null", "error: trailing characters at line 1 column 5"},
      {"{} and more", "{}", "error: trailing characters at line 1 column 4"},
      {" {} \n\t\r ", "{}", "{}"},
      {"1", "u1", "u1"},
      {"\"s\" ", "s\"s\"", "s\"s\""},
      // An error inside the first value is reported in both modes.
      {"[1,]x", "error: trailing comma at line 1 column 4", "error: trailing comma at line 1 column 4"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(parse_text(row.input, Trailing::Ignore), row.ignore) << row.input;
    EXPECT_EQ(parse_text(row.input, Trailing::WhitespaceOnly), row.whitespace_only) << row.input;
  }
}

// Fails at its n-th call, counting every sink call from 1.
struct FailingSink {
  int fail_at;
  int calls = 0;
  bool step() { return ++calls != fail_at; }
  bool null_value() { return step(); }
  bool bool_value(bool) { return step(); }
  bool int_value(std::int64_t) { return step(); }
  bool uint_value(std::uint64_t) { return step(); }
  bool double_value(double) { return step(); }
  bool string_value(std::string_view) { return step(); }
  bool begin_array() { return step(); }
  bool end_array() { return step(); }
  bool begin_object() { return step(); }
  bool key(std::string_view) { return step(); }
  bool end_object() { return step(); }
  std::string error_message() { return "sink failed at call " + std::to_string(calls); }
};

TEST(JsonReader, SinkFailureAbortsWithItsMessageAtTheCurrentPosition) {
  const std::string doc = R"([null,{"k":-1},2.5,"s",true])";
  // begin_array, null, begin_object, key, int, end_object, double, string, bool, end_array.
  const std::size_t columns[] = {1, 5, 7, 10, 13, 14, 18, 22, 27, 28};
  for (int n = 1; n <= 10; ++n) {
    FailingSink sink{n};
    auto result = parse(bytes(doc), sink, Trailing::Ignore);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, "sink failed at call " + std::to_string(n));
    EXPECT_EQ(result.error().line, 1u);
    EXPECT_EQ(result.error().column, columns[n - 1]) << "call " << n;
    EXPECT_EQ(sink.calls, n);  // nothing is called after the failure
  }
  FailingSink never{0};
  EXPECT_TRUE(parse(bytes(doc), never, Trailing::WhitespaceOnly));
  EXPECT_EQ(never.calls, 10);
}

TEST(JsonReader, StringsWithoutEscapesAreViewsIntoTheInput) {
  struct Views {
    std::vector<std::string_view> seen;
    bool null_value() { return true; }
    bool bool_value(bool) { return true; }
    bool int_value(std::int64_t) { return true; }
    bool uint_value(std::uint64_t) { return true; }
    bool double_value(double) { return true; }
    bool string_value(std::string_view s) {
      seen.push_back(s);
      return true;
    }
    bool begin_array() { return true; }
    bool end_array() { return true; }
    bool begin_object() { return true; }
    bool key(std::string_view k) { return string_value(k); }
    bool end_object() { return true; }
    std::string error_message() { return {}; }
  } sink;
  const std::string doc = R"({"plain":"text","esc\n":"x"})";
  ASSERT_TRUE(parse(bytes(doc), sink, Trailing::Ignore));
  ASSERT_EQ(sink.seen.size(), 4u);
  EXPECT_EQ(sink.seen[0].data(), doc.data() + 2);
  EXPECT_EQ(sink.seen[1].data(), doc.data() + 10);
  EXPECT_EQ(sink.seen[3].data(), doc.data() + 25);
}

// The exact fast path must agree with a correctly rounded conversion.
TEST(JsonReader, NumberConversionIsCorrectlyRounded) {
  std::mt19937_64 rng(12345);
  for (int i = 0; i < 50000; ++i) {
    std::string text = std::to_string(rng() >> (rng() % 64));
    const std::size_t frac = rng() % (text.size() + 1);
    if (frac > 0 && frac < text.size() && rng() % 2) text.insert(text.size() - frac, ".");
    if (rng() % 2) text += "e" + std::to_string(static_cast<int>(rng() % 80) - 40);
    if (rng() % 4 == 0) text.insert(0, "-");
    double expected = 0;
    ASSERT_EQ(std::from_chars(text.data(), text.data() + text.size(), expected).ec, std::errc{}) << text;
    Recorder r;
    ASSERT_TRUE(parse(bytes(text), r, Trailing::WhitespaceOnly)) << text;
    if (r.events[0] == 'd') {
      ASSERT_EQ(r.events, "d" + hexfloat(expected)) << text;
    }
  }
}

// ---------------------------------------------------------------- writer

// What a char* form writes into a buffer of `room` bytes. The bytes after the
// room keep a sentinel, or the test fails: nothing is written past the room.
template <class LayOut>
std::string laid_out(std::size_t room, LayOut lay_out) {
  constexpr char SENTINEL = '\x7f';
  std::vector<char> buf(room + 16, SENTINEL);
  const char* const end = lay_out(buf.data());
  EXPECT_LE(static_cast<std::size_t>(end - buf.data()), room);
  EXPECT_EQ(std::string(buf.begin() + static_cast<std::ptrdiff_t>(room), buf.end()), std::string(16, SENTINEL));
  return std::string(buf.data(), static_cast<std::size_t>(end - buf.data()));
}

// The appended form, checked against the char* form in MAX_DOUBLE_LENGTH bytes.
std::string double_text(double v, ExponentSign sign = ExponentSign::PlusAndMinus) {
  std::string s;
  write_double(s, v, sign);
  EXPECT_EQ(laid_out(MAX_DOUBLE_LENGTH, [&](char* dst) { return write_double(dst, v, sign); }), s);
  return s;
}

TEST(JsonWriter, DoubleForms) {
  struct Row {
    double v;
    const char* plus_and_minus;
    const char* minus_only;
  };
  const Row rows[] = {
      {0.0, "0.0", "0.0"},
      {-0.0, "-0.0", "-0.0"},
      {1.0, "1.0", "1.0"},
      {-1.0, "-1.0", "-1.0"},
      {100.0, "100.0", "100.0"},
      {12.5, "12.5", "12.5"},
      {0.5, "0.5", "0.5"},
      {123456.789, "123456.789", "123456.789"},
      {1e15, "1000000000000000.0", "1000000000000000.0"},
      {1.5e15, "1500000000000000.0", "1500000000000000.0"},
      {123456789012345.6, "123456789012345.6", "123456789012345.6"},
      {1e16, "1e+16", "1e16"},
      {1.5e300, "1.5e+300", "1.5e300"},
      {1e20, "1e+20", "1e20"},
      {18446744073709551616.0, "1.8446744073709552e+19", "1.8446744073709552e19"},
      {0.0001, "0.0001", "0.0001"},
      {1e-5, "0.00001", "0.00001"},
      {1.2345e-5, "0.000012345", "0.000012345"},
      {1e-6, "1e-6", "1e-6"},
      {1e-7, "1e-7", "1e-7"},
      {1.25e-7, "1.25e-7", "1.25e-7"},
      {-1.25e-7, "-1.25e-7", "-1.25e-7"},
      {5e-324, "5e-324", "5e-324"},
      {0.1, "0.1", "0.1"},
      {1.0 / 3.0, "0.3333333333333333", "0.3333333333333333"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308", "1.7976931348623157e308"},
      {std::numeric_limits<double>::min(), "2.2250738585072014e-308", "2.2250738585072014e-308"},
      // The longest forms, decimal and scientific: MAX_DOUBLE_LENGTH bytes.
      {-1.0000000000000003e-5, "-0.000010000000000000003", "-0.000010000000000000003"},
      {-2.2250738585072014e-308, "-2.2250738585072014e-308", "-2.2250738585072014e-308"},
      {std::numeric_limits<double>::quiet_NaN(), "null", "null"},
      {std::numeric_limits<double>::infinity(), "null", "null"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(double_text(row.v, ExponentSign::PlusAndMinus), row.plus_and_minus);
    EXPECT_EQ(double_text(row.v, ExponentSign::MinusOnly), row.minus_only);
  }
  EXPECT_EQ(double_text(-1.0000000000000003e-5).size(), MAX_DOUBLE_LENGTH);
  EXPECT_EQ(double_text(-2.2250738585072014e-308).size(), MAX_DOUBLE_LENGTH);
  std::vector<std::uint8_t> buf{'['};
  write_double(buf, 2.5, ExponentSign::PlusAndMinus);
  EXPECT_EQ(std::string(buf.begin(), buf.end()), "[2.5");
}

TEST(JsonWriter, DoublesReadBackBitForBit) {
  // Takes the one double of a document; anything else fails the parse.
  struct OneDouble {
    double value = 0;
    bool null_value() { return false; }
    bool bool_value(bool) { return false; }
    bool int_value(std::int64_t) { return false; }
    bool uint_value(std::uint64_t) { return false; }
    bool double_value(double v) { return value = v, true; }
    bool string_value(std::string_view) { return false; }
    bool begin_array() { return false; }
    bool end_array() { return false; }
    bool begin_object() { return false; }
    bool key(std::string_view) { return false; }
    bool end_object() { return false; }
    std::string error_message() { return "not a double"; }
  };
  std::mt19937_64 rng(2024);
  std::string text;
  for (int checked = 0; checked < 60000;) {
    const double v = std::bit_cast<double>(rng());
    if (!std::isfinite(v)) continue;
    ++checked;
    for (ExponentSign sign : {ExponentSign::PlusAndMinus, ExponentSign::MinusOnly}) {
      text = double_text(v, sign);
      ASSERT_LE(text.size(), MAX_DOUBLE_LENGTH);
      OneDouble sink;
      ASSERT_TRUE(parse(bytes(text), sink, Trailing::WhitespaceOnly)) << text;
      ASSERT_EQ(std::bit_cast<std::uint64_t>(sink.value), std::bit_cast<std::uint64_t>(v)) << text;
    }
  }
  // Values that are whole numbers in the decimal range still read back as
  // doubles, since they are written with ".0".
  for (double v : {1.0, 1e15, 4503599627370496.0, -2.0}) {
    EXPECT_EQ(parse_text(double_text(v)), "d" + hexfloat(v));
  }
}

TEST(JsonWriter, StringEscapes) {
  const Case rows[] = {
      {"", R"("")"},
      {"plain text", R"("plain text")"},
      {"\"", R"("\"")"},
      {"\\", R"("\\")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string("\0\x01\x1b\x1f", 4), R"("\u0000\u0001\u001b\u001f")"},
      {"/\x7F\xC3\xA9\xF0\x9F\x98\x80 ", "\"/\x7F\xC3\xA9\xF0\x9F\x98\x80 \""},
      {"tab\there \"q\" back\\slash \x01", R"("tab\there \"q\" back\\slash \u0001")"},
      {"a\nb\nc", R"("a\nb\nc")"},
  };
  for (const Case& row : rows) {
    std::string s = "x";
    write_string(s, row.input);
    EXPECT_EQ(s, "x" + row.expected);
    std::vector<std::uint8_t> v;
    write_string(v, row.input);
    EXPECT_EQ(std::string(v.begin(), v.end()), row.expected);
    EXPECT_EQ(string_len(row.input), row.expected.size());  // measures without writing
    EXPECT_EQ(laid_out(string_len(row.input), [&](char* dst) { return write_string(dst, row.input); }),
              row.expected);
  }
  // Every byte value round-trips through the reader (valid UTF-8 only; the
  // writer copies other bytes as they are).
  std::string all;
  for (int c = 0; c < 0x80; ++c) all += static_cast<char>(c);
  std::string text;
  write_string(text, all);
  EXPECT_EQ(parse_text(text), "s\"" + all + "\"");
  std::string every_byte;
  for (int c = 0; c < 0x100; ++c) every_byte += static_cast<char>(c);
  text.clear();
  write_string(text, every_byte);
  EXPECT_EQ(string_len(every_byte), text.size());
  EXPECT_EQ(laid_out(string_len(every_byte), [&](char* dst) { return write_string(dst, every_byte); }), text);
}

TEST(JsonWriter, Integers) {
  std::vector<std::uint8_t> v;
  write_int(v, std::numeric_limits<std::int64_t>::min());
  v.push_back(',');
  write_int(v, 0);
  v.push_back(',');
  write_uint(v, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(std::string(v.begin(), v.end()), "-9223372036854775808,0,18446744073709551615");
  std::string s;
  write_int(s, -42);
  write_uint(s, 7);
  EXPECT_EQ(s, "-427");
  // The longest forms fill MAX_INT_LENGTH.
  EXPECT_EQ(laid_out(MAX_INT_LENGTH,
                     [](char* dst) { return write_int(dst, std::numeric_limits<std::int64_t>::min()); }),
            "-9223372036854775808");
  EXPECT_EQ(laid_out(MAX_INT_LENGTH,
                     [](char* dst) { return write_uint(dst, std::numeric_limits<std::uint64_t>::max()); }),
            "18446744073709551615");
}

// ---------------------------------------------------------------- rerender

std::string rerender(std::string_view text) {
  auto r = rerender_sorted(bytes(text));
  return r ? *r : "<none>";
}

TEST(JsonRerender, SortedCompactText) {
  const Case rows[] = {
      {"null", "null"},
      {" \t\n\r{}\n", "{}"},
      {"[ ]", "[]"},
      {"\"\"", "\"\""},
      {"0", "0"},
      {R"({"error":"actor_not_found:x"})", R"({"error":"actor_not_found:x"})"},
      {R"({ "b" : 1 ,
            "a" : 2 })",
       R"({"a":2,"b":1})"},
      {R"({"a":1,"b":2,"a":3})", R"({"a":3,"b":2})"},
      {R"({"a":1,"a":2,"a":3})", R"({"a":3})"},
      {R"({"a":{"y":1,"x":2},"a":{"q":0}})", R"({"a":{"q":0}})"},
      {R"({"b":{"d":1,"c":2},"a":[{"z":1,"y":2},{"w":[]}]})", R"({"a":[{"y":2,"z":1},{"w":[]}],"b":{"c":2,"d":1}})"},
      {R"({"ab":1,"a":2,"":3})", R"({"":3,"a":2,"ab":1})"},
      // Keys order by their unescaped bytes: "\n" (0x0a) < "A" < "z" < "é" (0xc3 0xa9).
      {R"({"\u00e9":1,"z":2,"A":3,"\n":4})", R"({"\n":4,"A":3,"z":2,"é":1})"},
      {R"([1.0,-0,1e16,1E-7,100,18446744073709551616,-5,0.5,-9223372036854775808])",
       "[1.0,-0.0,1e16,1e-7,100,1.8446744073709552e19,-5,0.5,-9223372036854775808]"},
      {R"("\u00e9\/\"\\\t\u0001\u007f")", "\"\xC3\xA9/\\\"\\\\\\t\\u0001\x7F\""},
      {R"([true,false,null,{}])", "[true,false,null,{}]"},
  };
  for (const Case& row : rows) EXPECT_EQ(rerender(row.input), row.expected) << row.input;
}

TEST(JsonRerender, AnythingButExactlyOneValueGivesNothing) {
  for (std::string_view input :
       {"", " ", "abc", "1 2", "[1]]", "{} x", "nullx", "[1,]", "{\"a\":1,}", "1e400", "\"\xFF\"",
        "\"\\uDE00\"", "{1:2}", "[", "01"}) {
    EXPECT_FALSE(rerender_sorted(bytes(input))) << input;
  }
}

TEST(JsonRerender, NestingOf127IsKeptAnd128Refused) {
  const std::string arrays = nested(127, "[", "", "]");
  EXPECT_EQ(rerender(arrays), arrays);
  EXPECT_FALSE(rerender_sorted(bytes(nested(128, "[", "", "]"))));
  const std::string objects = nested(126, "{\"b\":0,\"a\":", "{}", "}");
  EXPECT_EQ(rerender(objects), nested(126, "{\"a\":", "{}", ",\"b\":0}"));
  EXPECT_FALSE(rerender_sorted(bytes(nested(127, "{\"a\":", "{}", "}"))));
}

// A plain tree model of the re-render: std::map keeps keys sorted by bytes and
// assignment keeps the last value of a repeated key.
struct Value {
  std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string,
               std::vector<Value>, std::map<std::string, Value>>
      v;
};

struct TreeBuilder {
  std::vector<Value> stack;  // open containers, outermost first
  std::vector<std::string> keys;
  Value root;

  void put(Value v) {
    if (stack.empty()) {
      root = std::move(v);
    } else if (auto* a = std::get_if<std::vector<Value>>(&stack.back().v)) {
      a->push_back(std::move(v));
    } else {
      std::get<std::map<std::string, Value>>(stack.back().v)[keys.back()] = std::move(v);
      keys.pop_back();
    }
  }
  bool null_value() { return put(Value{}), true; }
  bool bool_value(bool b) { return put(Value{b}), true; }
  bool int_value(std::int64_t i) { return put(Value{i}), true; }
  bool uint_value(std::uint64_t u) { return put(Value{u}), true; }
  bool double_value(double d) { return put(Value{d}), true; }
  bool string_value(std::string_view s) { return put(Value{std::string(s)}), true; }
  bool begin_array() { return stack.push_back(Value{std::vector<Value>{}}), true; }
  bool begin_object() { return stack.push_back(Value{std::map<std::string, Value>{}}), true; }
  bool key(std::string_view k) { return keys.emplace_back(k), true; }
  bool end_array() {
    Value v = std::move(stack.back());
    stack.pop_back();
    return put(std::move(v)), true;
  }
  bool end_object() { return end_array(); }
  std::string error_message() { return {}; }
};

void render(const Value& value, std::string& out) {
  struct Visit {
    std::string& out;
    void operator()(std::monostate) { out += "null"; }
    void operator()(bool b) { out += b ? "true" : "false"; }
    void operator()(std::int64_t i) { write_int(out, i); }
    void operator()(std::uint64_t u) { write_uint(out, u); }
    void operator()(double d) { write_double(out, d, ExponentSign::MinusOnly); }
    void operator()(const std::string& s) { write_string(out, s); }
    void operator()(const std::vector<Value>& a) {
      out += '[';
      for (std::size_t i = 0; i < a.size(); ++i) {
        if (i) out += ',';
        render(a[i], out);
      }
      out += ']';
    }
    void operator()(const std::map<std::string, Value>& m) {
      out += '{';
      bool first = true;
      for (const auto& [k, v] : m) {
        if (!first) out += ',';
        first = false;
        write_string(out, k);
        out += ':';
        render(v, out);
      }
      out += '}';
    }
  };
  std::visit(Visit{out}, value.v);
}

// Random documents with white space, unsorted and repeated keys, escapes and
// every kind of number.
class DocumentGenerator {
 public:
  explicit DocumentGenerator(std::uint64_t seed) : rng_(seed) {}

  std::string document() {
    std::string out;
    value(out, 0);
    ws(out);
    return out;
  }

 private:
  void ws(std::string& out) {
    static constexpr const char* spaces[] = {"", "", "", " ", "\n", "\t", "\r\n  "};
    out += spaces[rng_() % 7];
  }
  void string(std::string& out) {
    static constexpr const char* pieces[] = {"a", "b", "ab", "", "\\n", "\\u00e9", "\xC3\xA9", "\\\"",
                                             "\\\\", "\\/", "\\u0001", "\\ud83d\\ude00", "z", "A"};
    out += '"';
    const int n = static_cast<int>(rng_() % 3);
    for (int i = 0; i < n; ++i) out += pieces[rng_() % 14];
    out += '"';
  }
  void value(std::string& out, int depth) {
    ws(out);
    static constexpr const char* scalars[] = {"null", "true", "false", "0", "-0", "17", "-17", "1.5", "-2.5e-3",
                                              "1e16", "1E300", "0.1", "18446744073709551615",
                                              "18446744073709551616", "-9223372036854775809", "5e-324",
                                              "123456.789", "1e-400"};
    const unsigned pick = static_cast<unsigned>(rng_() % (depth < 6 ? 10 : 6));
    if (pick < 3) {
      out += scalars[rng_() % 18];
    } else if (pick < 6) {
      string(out);
    } else if (pick < 8) {
      out += '[';
      const int n = static_cast<int>(rng_() % 4);
      for (int i = 0; i < n; ++i) {
        if (i) out += ',';
        value(out, depth + 1);
      }
      ws(out);
      out += ']';
    } else {
      out += '{';
      const int n = static_cast<int>(rng_() % 5);
      for (int i = 0; i < n; ++i) {
        if (i) out += ',';
        ws(out);
        string(out);
        ws(out);
        out += ':';
        value(out, depth + 1);
      }
      ws(out);
      out += '}';
    }
  }

  std::mt19937_64 rng_;
};

TEST(JsonRerender, AgreesWithATreeModelAndIsStable) {
  DocumentGenerator gen(7);
  for (int i = 0; i < 3000; ++i) {
    const std::string doc = gen.document();
    SCOPED_TRACE(doc);
    TreeBuilder tree;
    ASSERT_TRUE(parse(bytes(doc), tree, Trailing::WhitespaceOnly));
    std::string expected;
    render(tree.root, expected);

    const auto once = rerender_sorted(bytes(doc));
    ASSERT_TRUE(once);
    EXPECT_EQ(*once, expected);
    const auto twice = rerender_sorted(bytes(*once));
    ASSERT_TRUE(twice);
    EXPECT_EQ(*twice, *once);
  }
}

// Damaged documents: every outcome is a value or an error, never a read past
// the input (each input sits in an allocation of exactly its size, so the
// address sanitizer sees any over-read), and whatever re-renders is stable.
TEST(JsonRerender, DamagedDocumentsFailCleanly) {
  DocumentGenerator gen(99);
  std::mt19937_64 rng(5);
  static constexpr char noise[] = "[]{}\",:\\u0123456789.eE+-ntfalsr \x01\x7F\xC3\xA9\xED\xFF";
  int accepted = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string doc = gen.document();
    const int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits && !doc.empty(); ++e) {
      const std::size_t at = rng() % doc.size();
      switch (rng() % 4) {
        case 0: doc[at] = noise[rng() % (sizeof noise - 1)]; break;
        case 1: doc.insert(at, 1, noise[rng() % (sizeof noise - 1)]); break;
        case 2: doc.erase(at, 1); break;
        default: doc.resize(at); break;
      }
    }
    const std::vector<std::uint8_t> exact(doc.begin(), doc.end());
    Recorder r;
    (void)parse(std::span<const std::uint8_t>(exact), r, Trailing::Ignore);
    const auto once = rerender_sorted(exact);
    if (once) {
      ++accepted;
      const std::vector<std::uint8_t> again(once->begin(), once->end());
      EXPECT_EQ(rerender_sorted(again), once) << doc;
    }
  }
  EXPECT_GT(accepted, 1000);  // the damage leaves enough valid documents to compare
}

}  // namespace
}  // namespace vardimont::json
