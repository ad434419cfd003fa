// AES-256 in Infinite Garble Extension mode, the block mode of MTProto 2.0 bodies.
//
// The 32-byte vector holds the previous ciphertext block (bytes 0..15) and the
// previous plaintext block (bytes 16..31) that chain into the first block. Only
// whole blocks are transformed; a tail of 1..15 bytes is copied as it is. The output
// may be the input itself (in place) or must not overlap it. Nothing here needs the
// interpreter.
#pragma once

#include "aes/cipher.hpp"

#include <span>

namespace rdz {

inline constexpr std::size_t ige_iv_size = 32;
using IgeIv = std::span<const std::uint8_t, ige_iv_size>;

// c = E(p ^ C) ^ P, then C = c, P = p. `out` is as long as `in`.
void ige_encrypt(const Aes256Encrypt& cipher, std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                 IgeIv iv) noexcept;
// p = D(c ^ P) ^ C, then C = c, P = p.
void ige_decrypt(const Aes256Decrypt& cipher, std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                 IgeIv iv) noexcept;

inline void ige_encrypt_in_place(const Aes256Encrypt& cipher, std::span<std::uint8_t> buffer, IgeIv iv) noexcept {
  ige_encrypt(cipher, buffer, buffer, iv);
}
inline void ige_decrypt_in_place(const Aes256Decrypt& cipher, std::span<std::uint8_t> buffer, IgeIv iv) noexcept {
  ige_decrypt(cipher, buffer, buffer, iv);
}

}  // namespace rdz
