// NodeId: a node's identity, name@host:port. The full id written by to_full()
// is the only text form of an id: every src, log field, event and tie-break key
// uses exactly that text. Pure value code: no I/O, no state, no locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "base/result.h"

namespace vardimont::runtime {

// Why a text is not a node id; the parser's tests run in declaration order and
// the first one that fails decides the error.
enum class NodeIdError : std::uint8_t {
  MissingAt,        // "expected 'name@host:port'"
  MissingHostPort,  // "expected 'host:port' in node id"
  EmptyName,        // "node name must not be empty"
  EmptyHost,        // "host must not be empty"
  InvalidPort,      // "port must be a number"
};

// The display text of an error (the only thing any user sees of it).
std::string_view to_string(NodeIdError e) noexcept;

struct NodeId {
  std::string name;  // never empty, never contains '@'
  std::string host;  // kept exactly as written (brackets, case); never empty
  std::uint16_t port = 0;

  // The first '@' ends the name; the last ':' after it splits host and port.
  // Nothing is trimmed, folded or validated beyond that. The port is ASCII
  // decimal, at most 65535, with any number of leading zeros and at most one
  // leading '+'.
  static Result<NodeId, NodeIdError> parse(std::string_view text);

  // "{name}@{host}:{port}", port in plain decimal. Parsing the result gives an
  // equal id.
  std::string to_full() const;

  // Names and hosts compare byte for byte, ports as numbers.
  friend bool operator==(const NodeId&, const NodeId&) = default;
};

// Consistent with operator==; the values themselves are never shown.
struct NodeIdHash {
  std::size_t operator()(const NodeId& id) const noexcept;
};

}  // namespace vardimont::runtime

template <>
struct std::hash<vardimont::runtime::NodeId> : vardimont::runtime::NodeIdHash {};
