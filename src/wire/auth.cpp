#include "wire/auth.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <sys/random.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

namespace vardimont::wire {

namespace {

constexpr std::size_t TAG_LEN = PROOF_LEN - NONCE_LEN;
static_assert(TAG_LEN == SHA256_DIGEST_LENGTH);
constexpr std::size_t SHA256_BLOCK_LEN = 64;

// HMAC-SHA256(secret, data) into `tag`; false if the library fails (it can
// only run out of memory or miss its SHA-256 implementation).
bool hmac_sha256(std::span<const std::uint8_t> secret, const std::uint8_t* data, std::size_t len,
                 std::uint8_t (&tag)[TAG_LEN]) noexcept {
  // RFC 2104 hashes a key longer than the block first; doing that here gives
  // the same tag and keeps the key length within HMAC()'s `int` parameter
  // however long the secret is.
  std::uint8_t hashed[SHA256_DIGEST_LENGTH];
  const std::uint8_t* key = secret.data();
  std::size_t key_len = secret.size();
  if (key_len > SHA256_BLOCK_LEN) {
    if (SHA256(key, key_len, hashed) == nullptr) return false;
    key = hashed;
    key_len = sizeof hashed;
  }
  // The empty key is valid; the library still wants a real pointer for it.
  static const std::uint8_t empty_key = 0;
  if (key_len == 0) key = &empty_key;

  unsigned int out_len = 0;
  const bool ok = HMAC(EVP_sha256(), key, static_cast<int>(key_len), data, len, tag, &out_len) != nullptr &&
                  out_len == TAG_LEN;
  OPENSSL_cleanse(hashed, sizeof hashed);
  return ok;
}

bool os_random(std::uint8_t* out, std::size_t len) noexcept {
  while (len > 0) {
    const ssize_t got = getrandom(out, len, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out += got;
    len -= static_cast<std::size_t>(got);
  }
  return true;
}

std::uint64_t splitmix64(std::uint64_t x) noexcept {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// The nonce comes from OpenSSL's generator, a CSPRNG seeded from the operating
// system and kept per thread by the library. Should it ever fail, the kernel's
// getrandom(2) is asked directly; should that fail too, the nonce is made of a
// per-thread counter mixed with the clock. The nonce is not a secret (it
// travels in the clear) and proofs are replayable anyway, so a predictable
// nonce costs no security, and a dial never fails for want of randomness.
void draw_nonce(std::uint8_t* out) noexcept {
  if (RAND_bytes(out, static_cast<int>(NONCE_LEN)) == 1) return;
  if (os_random(out, NONCE_LEN)) return;
  detail::fallback_nonce(std::span<std::uint8_t, NONCE_LEN>(out, NONCE_LEN));
}

}  // namespace

namespace detail {

void fallback_nonce(std::span<std::uint8_t, NONCE_LEN> out) noexcept {
  thread_local std::uint64_t counter = 0;
  // The counter's address tells live threads apart; the clock tells apart
  // threads that reuse an address, and runs of the process.
  const auto thread_key = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&counter));
  const auto now = static_cast<std::uint64_t>(
      std::chrono::system_clock::now().time_since_epoch().count() ^
      std::chrono::steady_clock::now().time_since_epoch().count());
  const std::uint64_t words[2] = {splitmix64(thread_key ^ splitmix64(++counter)),
                                  splitmix64(now ^ splitmix64(counter + thread_key))};
  std::memcpy(out.data(), words, sizeof words);
}

}  // namespace detail

std::array<std::uint8_t, PROOF_LEN> build_proof(std::span<const std::uint8_t> secret) {
  std::array<std::uint8_t, PROOF_LEN> proof{};
  draw_nonce(proof.data());
  std::uint8_t tag[TAG_LEN];
  // A library failure leaves an all-zero tag: the proof then fails at the
  // peer, which refuses the connection, instead of carrying garbage.
  if (hmac_sha256(secret, proof.data(), NONCE_LEN, tag)) {
    std::memcpy(proof.data() + NONCE_LEN, tag, TAG_LEN);
  }
  return proof;
}

bool verify_proof(std::span<const std::uint8_t> secret, std::span<const std::uint8_t> proof) noexcept {
  if (proof.size() != PROOF_LEN) return false;
  std::uint8_t expected[TAG_LEN];
  if (!hmac_sha256(secret, proof.data(), NONCE_LEN, expected)) return false;  // fail closed
  return CRYPTO_memcmp(expected, proof.data() + NONCE_LEN, TAG_LEN) == 0;
}

}  // namespace vardimont::wire
