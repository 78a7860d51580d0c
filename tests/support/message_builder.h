// Building wire messages in tests: Msg sets the fields a test names and
// leaves the others at their defaults; the shortcuts build the messages a
// node sends (a Handshake, with its proof when there is a secret, a
// Heartbeat, Data), and frame_of / concat give the bytes a peer writes.
// Free of GoogleTest, so that the fuzz targets can use it too.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "wire/auth.h"
#include "wire/framing.h"
#include "wire/message.h"

namespace vardimont::test {

// A WireMessage built field by field, the others left at their defaults:
//   Msg().kind(wire::MessageKind::Error).payload("x").correlation(5)
class Msg {
 public:
  Msg& id(std::uint64_t v) { m_.msg_id = v; return *this; }
  Msg& version(std::uint8_t v) { m_.version = v; return *this; }
  Msg& src(std::string v) { m_.src = std::move(v); return *this; }
  Msg& dst(std::string v) { m_.dst_actor = std::move(v); return *this; }
  Msg& kind(wire::MessageKind v) { m_.kind = v; return *this; }
  Msg& payload(std::vector<std::uint8_t> v) { m_.payload = std::move(v); return *this; }
  Msg& payload(std::string_view v) { m_.payload.assign(v.begin(), v.end()); return *this; }
  Msg& reply_to(std::optional<std::string> v) { m_.reply_to = std::move(v); return *this; }
  Msg& correlation(std::optional<std::uint64_t> v) { m_.correlation_id = v; return *this; }
  // The Handshake proof made with `secret`, as the payload.
  Msg& proof(std::span<const std::uint8_t> secret) {
    const auto p = wire::build_proof(secret);
    m_.payload.assign(p.begin(), p.end());
    return *this;
  }
  operator wire::WireMessage() const { return m_; }  // NOLINT(implicit)
  wire::WireMessage get() const { return m_; }

 private:
  wire::WireMessage m_;
};

// A Heartbeat from `src`.
inline wire::WireMessage heartbeat_from(std::string src, std::uint64_t msg_id = 1) {
  return Msg().id(msg_id).src(std::move(src)).kind(wire::MessageKind::Heartbeat);
}

// A Handshake from `src`, with a proof made with `secret` when there is one.
inline wire::WireMessage handshake_from(std::string src,
                                        std::optional<std::vector<std::uint8_t>> secret = std::nullopt) {
  Msg m = Msg().id(1).src(std::move(src)).kind(wire::MessageKind::Handshake);
  if (secret) m.proof(*secret);
  return m;
}

// A Data message from `src` to `dst_actor` with `payload`.
inline wire::WireMessage data_from(std::string src, std::string dst_actor, std::string_view payload,
                                   std::uint64_t msg_id = 2) {
  return Msg().id(msg_id).src(std::move(src)).kind(wire::MessageKind::Data).dst(std::move(dst_actor)).payload(payload);
}

// The frame of `m`; empty when `m` cannot be framed.
inline std::vector<std::uint8_t> frame_of(const wire::WireMessage& m) {
  auto f = wire::encode_frame(m);
  return f.ok() ? std::move(f.value()) : std::vector<std::uint8_t>{};
}

// Frames (and raw bytes) one after the other, as one chunk.
inline std::vector<std::uint8_t> concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline std::vector<std::uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

}  // namespace vardimont::test
