#include "runtime/node_id.h"

#include <charconv>
#include <optional>

namespace vardimont::runtime {

namespace {

// ASCII decimal with one optional leading '+', value at most 65535. '-' is
// never a sign; white space and non-ASCII digits are refused.
std::optional<std::uint16_t> parse_port(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 65535) return std::nullopt;  // also keeps `value` from overflowing
  }
  return static_cast<std::uint16_t>(value);
}

}  // namespace

std::string_view to_string(NodeIdError e) noexcept {
  switch (e) {
    case NodeIdError::MissingAt:
      return "expected 'name@host:port'";
    case NodeIdError::MissingHostPort:
      return "expected 'host:port' in node id";
    case NodeIdError::EmptyName:
      return "node name must not be empty";
    case NodeIdError::EmptyHost:
      return "host must not be empty";
    case NodeIdError::InvalidPort:
      return "port must be a number";
  }
  return "invalid node id";
}

Result<NodeId, NodeIdError> NodeId::parse(std::string_view text) {
  const std::size_t at = text.find('@');
  if (at == std::string_view::npos) return err(NodeIdError::MissingAt);
  const std::string_view name = text.substr(0, at);
  const std::string_view rest = text.substr(at + 1);

  const std::size_t colon = rest.rfind(':');
  if (colon == std::string_view::npos) return err(NodeIdError::MissingHostPort);
  const std::string_view host = rest.substr(0, colon);
  const std::string_view port_text = rest.substr(colon + 1);

  if (name.empty()) return err(NodeIdError::EmptyName);
  if (host.empty()) return err(NodeIdError::EmptyHost);
  const std::optional<std::uint16_t> port = parse_port(port_text);
  if (!port) return err(NodeIdError::InvalidPort);

  return NodeId{std::string(name), std::string(host), *port};
}

std::string NodeId::to_full() const {
  char digits[5];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, port);
  (void)ec;  // five digits always hold a 16-bit value
  const std::string_view port_text(digits, static_cast<std::size_t>(end - digits));

  std::string full;
  full.reserve(name.size() + host.size() + port_text.size() + 2);
  full.append(name).append(1, '@').append(host).append(1, ':').append(port_text);
  return full;
}

std::size_t NodeIdHash::operator()(const NodeId& id) const noexcept {
  // Boost-style combination; every field contributes, so equal ids hash
  // equally and ids that differ in one field rarely collide.
  std::size_t h = std::hash<std::string>{}(id.name);
  auto mix = [&h](std::size_t v) {
    h ^= v + static_cast<std::size_t>(0x9e3779b97f4a7c15ULL) + (h << 6) + (h >> 2);
  };
  mix(std::hash<std::string>{}(id.host));
  mix(std::hash<std::uint16_t>{}(id.port));
  return h;
}

}  // namespace vardimont::runtime
