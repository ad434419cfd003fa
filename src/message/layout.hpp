// The MTProto 2.0 encrypted message.
//
//   packed:    auth_key_id (8) | msg_key (16) | AES-256-IGE(plaintext)
//   plaintext: salt (8) | session_id (8) | msg_id (8) | seq_no (4) | length (4) |
//              body | padding
//
// Integers are little-endian two's complement. The padding (12 to 27 random bytes)
// makes the plaintext the smallest multiple of 16 that leaves at least 12 of them.
#pragma once

#include "binding/convert.hpp"
#include "message/derive.hpp"

namespace rdz {

inline constexpr std::size_t packed_header_size = auth_key_id_size + msg_key_size;  // 24
inline constexpr std::size_t session_id_size = 8;

namespace plaintext_at {
inline constexpr std::size_t salt = 0;
inline constexpr std::size_t session_id = 8;
inline constexpr std::size_t msg_id = 16;
inline constexpr std::size_t seq_no = 24;
inline constexpr std::size_t length = 28;
inline constexpr std::size_t body = 32;
}  // namespace plaintext_at

constexpr std::size_t plaintext_size(std::size_t body_size) noexcept { return (body_size + 59) & ~std::size_t{15}; }

// The key checks that both directions make first, in this order.
inline Outcome<void> check_key_material(ByteView auth_key, ByteView auth_key_id) {
  if (auth_key.size() != auth_key_size) return fail(Failure::value_error("auth_key must be 256 bytes"));
  if (auth_key_id.size() != auth_key_id_size) return fail(Failure::value_error("auth_key_id must be 8 bytes"));
  return {};
}

}  // namespace rdz
