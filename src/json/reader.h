// One JSON reader for the whole module, driven by a sink (no document is built
// unless the sink builds one). Its messages and positions are the ones callers
// show: "{message} at line {line} column {column}".
//
// A Sink is any type with these members; each returns false to abort the parse,
// after which `sink.error_message()` supplies the message of the error:
//
//   bool null_value();
//   bool bool_value(bool);
//   bool int_value(std::int64_t);      // negative integers that fit in i64
//   bool uint_value(std::uint64_t);    // non-negative integers that fit in u64
//   bool double_value(double);         // every other number, -0 included
//   bool string_value(std::string_view);  // unescaped UTF-8
//   bool begin_array();  bool end_array();
//   bool begin_object(); bool key(std::string_view); bool end_object();
//   std::string error_message();
//
// The views given to string_value and key are valid only during the call: they
// point into the input, or into a buffer reused for the next escaped string.
//
// Rules: white space is space, tab, line feed, carriage return; a nesting budget
// of 128 (127 nested containers parse, 128 fail with "recursion limit
// exceeded"); integers without '.', 'e', 'E' that do not fit i64/u64 become
// doubles; "-0" is the double -0.0; numbers outside the double range fail with
// "number out of range", underflow gives 0 or a subnormal; strings must be UTF-8
// without raw control characters, surrogate escapes must pair.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/result.h"

namespace vardimont::json {

inline constexpr int NESTING_BUDGET = 128;

struct ParseError {
  std::string message;
  std::size_t line = 1;    // from 1
  std::size_t column = 0;  // of the byte where the error was found

  // "{message} at line {line} column {column}"
  std::string to_string() const;
};

enum class Trailing : std::uint8_t {
  Ignore,          // bytes after the first value are not examined
  WhitespaceOnly,  // only white space may follow the value
};

// The parser itself is a template over the sink, instantiated in the .cpp files
// of its users through reader_impl.h.
template <class Sink>
Result<void, ParseError> parse(std::span<const std::uint8_t> text, Sink& sink, Trailing trailing);

}  // namespace vardimont::json

#include "json/reader_impl.h"
