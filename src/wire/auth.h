// The handshake proof: a 16-byte random nonce followed by HMAC-SHA256 of the
// nonce alone, keyed with the cluster secret (RFC 2104: any key length, the
// empty key included).
//
//   offset 0   16 bytes  nonce
//   offset 16  32 bytes  tag = HMAC-SHA256(secret, nonce)
//
// One-way and replayable by design: it proves knowledge of the secret, nothing
// more; it binds no node id, direction or time. Both functions are pure apart
// from the random source and safe to call from any number of threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vardimont::wire {

inline constexpr std::size_t NONCE_LEN = 16;
inline constexpr std::size_t PROOF_LEN = 48;

// A fresh nonce and its tag. Always returns a proof (see auth.cpp for what
// happens when the system's random source fails).
std::array<std::uint8_t, PROOF_LEN> build_proof(std::span<const std::uint8_t> secret);

// True only for a PROOF_LEN-byte proof whose last 32 bytes are the tag of its
// first 16 under `secret`; the tags are compared in constant time.
bool verify_proof(std::span<const std::uint8_t> secret, std::span<const std::uint8_t> proof) noexcept;

namespace detail {
// The nonce used when no random source answers: unique per thread and call,
// not secret. Exposed for tests.
void fallback_nonce(std::span<std::uint8_t, NONCE_LEN> out) noexcept;
}  // namespace detail

}  // namespace vardimont::wire
