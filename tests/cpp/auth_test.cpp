#include "wire/auth.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vardimont::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes repeat(std::size_t n, std::uint8_t step) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * step);
  return b;
}

Bytes from_hex(std::string_view hex) {
  Bytes b;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    b.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return b;
}

Bytes to_bytes(const std::array<std::uint8_t, PROOF_LEN>& proof) { return Bytes(proof.begin(), proof.end()); }

// Known answers: HMAC-SHA256 over the nonce 00 01 .. 0F, computed by an
// independent implementation. They pin the tag to RFC 2104 for an empty key, a
// short key, a key of exactly one block and one that must be hashed first.
TEST(VerifyProof, KnownAnswers) {
  const struct {
    const char* what;
    Bytes secret;
    const char* tag;
  } cases[] = {
      {"empty secret", {}, "d926952ca8b7ec4a95941d1ada3a5203ceff8cceee34f574d23909eb314c40c0"},
      {"short secret", text("cluster-secret"), "73f00aee8383b04dd401badddc7cf2688de347f4e96e4f558d632a15c4373dcb"},
      {"64-byte secret", repeat(64, 1), "19590e34c7b25c3ce91edc91788316f2e0d6d5e9fdc20d3d576b87717050e26b"},
      {"200-byte secret", repeat(200, 7), "b61df4192d84f7c21d2b7eab3b7e842a457df903bd3eed48cbf841055386f400"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes proof = repeat(NONCE_LEN, 1);
    const Bytes tag = from_hex(c.tag);
    proof.insert(proof.end(), tag.begin(), tag.end());
    ASSERT_EQ(proof.size(), PROOF_LEN);
    EXPECT_TRUE(verify_proof(c.secret, proof));
    proof.back() ^= 0x01;
    EXPECT_FALSE(verify_proof(c.secret, proof));
  }
}

TEST(BuildProof, VerifiesWithTheSameSecretAnyNumberOfTimes) {
  for (const Bytes& secret : {Bytes{}, text("s"), text("cluster-secret"), repeat(64, 3), repeat(65, 3),
                              repeat(100'000, 5)}) {
    SCOPED_TRACE(secret.size());
    const auto proof = build_proof(secret);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(verify_proof(secret, proof));
  }
}

// Secrets at most one block long are padded with zeros to a block, so trailing
// zeros make no difference; a longer secret is hashed, which gives another key.
TEST(BuildProof, WhichSecretsShareAKey) {
  const struct {
    const char* what;
    Bytes built_with;
    Bytes checked_with;
    bool verifies;
  } cases[] = {
      {"trailing zero", text("secret"), text(std::string_view("secret\0", 7)), true},
      {"padded to a full block", text("secret"), [] {
         Bytes b = text("secret");
         b.resize(64, 0);
         return b;
       }(),
       true},
      {"empty and all zeros", {}, Bytes(64, 0), true},
      {"padded past a block is hashed", text("secret"), [] {
         Bytes b = text("secret");
         b.resize(65, 0);
         return b;
       }(),
       false},
      {"empty and non-empty", {}, text("x"), false},
      {"other secret", text("secret"), text("secreT"), false},
      {"prefix", text("secret"), text("secre"), false},
      {"long secrets differing in the last byte", repeat(300, 1), [] {
         Bytes b = repeat(300, 1);
         b.back() ^= 0x80;
         return b;
       }(),
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(verify_proof(c.checked_with, build_proof(c.built_with)), c.verifies);
    EXPECT_EQ(verify_proof(c.built_with, build_proof(c.checked_with)), c.verifies);
  }
}

TEST(BuildProof, EveryCallDrawsAFreshNonce) {
  const Bytes secret = text("cluster-secret");
  std::set<Bytes> nonces;
  for (int i = 0; i < 64; ++i) {
    const auto proof = build_proof(secret);
    EXPECT_TRUE(nonces.emplace(proof.begin(), proof.begin() + NONCE_LEN).second);
    EXPECT_TRUE(verify_proof(secret, proof));
  }
}

TEST(VerifyProof, RefusesWrongLengthsAndEveryBitFlip) {
  const Bytes secret = text("cluster-secret");
  const Bytes proof = to_bytes(build_proof(secret));
  for (std::size_t len : {std::size_t{0}, std::size_t{1}, NONCE_LEN, PROOF_LEN - 1, PROOF_LEN + 1, 2 * PROOF_LEN}) {
    SCOPED_TRACE(len);
    Bytes wrong = proof;
    wrong.resize(len, 0);
    EXPECT_FALSE(verify_proof(secret, wrong));
  }
  for (std::size_t bit = 0; bit < 8 * PROOF_LEN; ++bit) {
    Bytes flipped = proof;
    flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    EXPECT_FALSE(verify_proof(secret, flipped)) << "bit " << bit;
  }
  EXPECT_TRUE(verify_proof(secret, proof));
}

TEST(BuildProof, FallbackNoncesDifferAcrossCallsAndThreads) {
  std::set<Bytes> seen;
  auto draw = [] {
    std::array<std::uint8_t, NONCE_LEN> nonce{};
    detail::fallback_nonce(nonce);
    return Bytes(nonce.begin(), nonce.end());
  };
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(seen.insert(draw()).second);
  Bytes other[2];
  std::thread a([&] { other[0] = draw(); });
  std::thread b([&] { other[1] = draw(); });
  a.join();
  b.join();
  EXPECT_NE(other[0], other[1]);
  EXPECT_FALSE(seen.count(other[0]));
  EXPECT_FALSE(seen.count(other[1]));
}

TEST(BuildProof, ConcurrentCallersShareNoState) {
  const Bytes secret = text("cluster-secret");
  std::vector<std::thread> threads;
  std::vector<Bytes> proofs(4);
  for (std::size_t t = 0; t < proofs.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const auto p = build_proof(secret);
        if (!verify_proof(secret, p)) return;  // the check below then fails
        proofs[t] = to_bytes(p);
      }
    });
  }
  for (auto& t : threads) t.join();
  std::set<Bytes> distinct(proofs.begin(), proofs.end());
  EXPECT_EQ(distinct.size(), proofs.size());
  for (const auto& p : proofs) EXPECT_TRUE(verify_proof(secret, p));
}

}  // namespace
}  // namespace vardimont::wire
