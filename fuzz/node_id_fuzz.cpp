// NodeId::parse on arbitrary text, checked against a second, independently
// written reading of the same rules, and the round trip of every accepted id:
// parse(to_full()) gives an equal id whose full id is unchanged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "runtime/node_id.h"

namespace {

using vardimont::runtime::NodeId;
using vardimont::runtime::NodeIdError;

struct Expected {
  bool ok = false;
  NodeIdError error = NodeIdError::MissingAt;
  std::string name, host;
  std::uint32_t port = 0;
};

// The rules, applied by scanning characters one by one.
Expected expected_parse(std::string_view text) {
  Expected e;
  std::size_t at = text.size();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '@') {
      at = i;
      break;
    }
  }
  if (at == text.size()) return e;  // MissingAt
  std::size_t colon = text.size();
  for (std::size_t i = text.size(); i > at + 1; --i) {
    if (text[i - 1] == ':') {
      colon = i - 1;
      break;
    }
  }
  if (colon == text.size()) {
    e.error = NodeIdError::MissingHostPort;
    return e;
  }
  e.name = std::string(text.substr(0, at));
  e.host = std::string(text.substr(at + 1, colon - at - 1));
  if (e.name.empty()) {
    e.error = NodeIdError::EmptyName;
    return e;
  }
  if (e.host.empty()) {
    e.error = NodeIdError::EmptyHost;
    return e;
  }
  std::string digits(text.substr(colon + 1));
  e.error = NodeIdError::InvalidPort;
  if (!digits.empty() && digits[0] == '+') digits.erase(0, 1);
  if (digits.empty()) return e;
  for (char c : digits) {
    if (c < '0' || c > '9') return e;
  }
  const std::size_t nonzero = digits.find_first_not_of('0');
  const std::string significant = nonzero == std::string::npos ? "0" : digits.substr(nonzero);
  if (significant.size() > 5 || std::stoul(significant) > 65535) return e;
  e.ok = true;
  e.port = static_cast<std::uint32_t>(std::stoul(significant));
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = NodeId::parse(text);
  const Expected expected = expected_parse(text);
  const std::string note = vardimont::fuzz::hex(text);

  FUZZ_CHECK_MSG(parsed.ok() == expected.ok, note);
  if (!parsed.ok()) {
    FUZZ_CHECK_MSG(parsed.error() == expected.error, note);
    FUZZ_CHECK(!to_string(parsed.error()).empty());
    return 0;
  }

  const NodeId& id = parsed.value();
  FUZZ_CHECK_MSG(id.name == expected.name && id.host == expected.host && id.port == expected.port, note);
  FUZZ_CHECK(!id.name.empty() && id.name.find('@') == std::string::npos && !id.host.empty());

  const std::string full = id.to_full();
  FUZZ_CHECK_MSG(full == id.name + "@" + id.host + ":" + std::to_string(id.port), note);
  const auto again = NodeId::parse(full);
  FUZZ_CHECK_MSG(again.ok() && again.value() == id, note);
  FUZZ_CHECK_MSG(again.value().to_full() == full, note);
  FUZZ_CHECK(vardimont::runtime::NodeIdHash{}(again.value()) == vardimont::runtime::NodeIdHash{}(id));

  // The port's spelling does not make another id.
  const auto padded = NodeId::parse(id.name + "@" + id.host + ":+000" + std::to_string(id.port));
  FUZZ_CHECK_MSG(padded.ok() && padded.value() == id, note);
  return 0;
}
