// The MTProto 2.0 derivation of the AES-256 key and IGE vector of one message, and
// the message key.
//
// With direction offset x (0 for what the client sends, 8 for what it receives):
//   a = SHA-256(msg_key + auth_key[x .. x+36])
//   b = SHA-256(auth_key[x+40 .. x+76] + msg_key)
//   key = a[0..8] + b[8..24] + a[24..32]
//   iv  = b[0..8] + a[8..24] + b[24..32]
//   msg_key = SHA-256(auth_key[88+x .. 120+x] + plaintext)[8..24]
#pragma once

#include "lib/secret.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace rdz {

inline constexpr std::size_t auth_key_size = 256;
inline constexpr std::size_t auth_key_id_size = 8;
inline constexpr std::size_t msg_key_size = 16;

using AuthKey = std::span<const std::uint8_t, auth_key_size>;
// The message key travels in the clear in front of every message: not a secret.
using MsgKey = std::array<std::uint8_t, msg_key_size>;

using Key32 = std::span<std::uint8_t, 32>;

// Writes the derived AES key and IGE vector into `key` and `iv`. `x` is 0 or 8.
// Needs nothing from the interpreter.
void derive_key_iv(AuthKey auth_key, std::span<const std::uint8_t> msg_key, unsigned x, Key32 key, Key32 iv) noexcept;

// The derived key and vector in the call's own memory, wiped together.
class KeyIv {
 public:
  KeyIv(AuthKey auth_key, std::span<const std::uint8_t> msg_key, unsigned x) noexcept {
    derive_key_iv(auth_key, msg_key, x, bytes_.bytes().first<32>(), bytes_.bytes().last<32>());
  }
  std::span<const std::uint8_t, 32> key() const noexcept { return bytes_.view().first<32>(); }
  std::span<const std::uint8_t, 32> iv() const noexcept { return bytes_.view().last<32>(); }

 private:
  Secret<64> bytes_;
};

// Hashes the key slice and the plaintext straight from their storage, no copy.
MsgKey message_key(AuthKey auth_key, std::span<const std::uint8_t> plaintext, unsigned x) noexcept;

// Whether two message keys are equal, in time that does not depend on where they
// differ: the one computed from a decrypted message is secret until it matches.
// Out of line, so that the caller's branch is on the answer alone, and the
// constant-time check (tests/native/constant_time.cpp) sees the code the module runs.
bool same_msg_key(const MsgKey& a, const MsgKey& b) noexcept;

}  // namespace rdz
