// Re-render of a peer's Error payload: one JSON value, white space around it
// allowed and nothing else after it, written back compactly with object keys
// in ascending byte order (a repeated key keeps its last value).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vardimont::json {

// The compact sorted text, or nullopt when the bytes are not exactly one JSON
// value (any parse error, trailing garbage, nesting of 128 or more).
std::optional<std::string> rerender_sorted(std::span<const std::uint8_t> text);

}  // namespace vardimont::json
