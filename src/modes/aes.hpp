// AES-256 over Nettle. The cipher objects own Nettle's context on the caller's
// stack: the constructor expands the key, the destructor overwrites the expanded key
// with zeros, so the round keys are erased on every way out of a call. With AES-NI
// the schedule is computed with the AES instructions in Nettle's layout (aesni.hpp);
// without, by Nettle, whose block functions then pick their constant-time software
// path. Both give the same bytes.
#pragma once

#include "lib/secret.hpp"
#include "modes/aesni.hpp"

#include <nettle/aes.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace rdz {

inline constexpr std::size_t aes_block = 16;
inline constexpr std::size_t aes256_key_size = 32;

using Aes256Key = std::span<const std::uint8_t, aes256_key_size>;

class Aes256Encrypt {
 public:
  explicit Aes256Encrypt(Aes256Key key) noexcept {
    if (aesni::available()) {
      aesni::expand_key(key.data(), context_);
    } else {
      aes256_set_encrypt_key(&context_, key.data());
    }
  }
  ~Aes256Encrypt() { secure_wipe(&context_, sizeof context_); }
  Aes256Encrypt(const Aes256Encrypt&) = delete;
  Aes256Encrypt& operator=(const Aes256Encrypt&) = delete;

  // Encrypts `length` bytes of whole blocks; `out` may equal `in`.
  void encrypt(std::uint8_t* out, const std::uint8_t* in, std::size_t length) const noexcept {
    aes256_encrypt(&context_, length, out, in);
  }

  const aes256_ctx& schedule() const noexcept { return context_; }

 private:
  aes256_ctx context_;
};

class Aes256Decrypt {
 public:
  explicit Aes256Decrypt(Aes256Key key) noexcept {
    if (aesni::available()) {
      aes256_ctx encrypt;
      aesni::expand_key(key.data(), encrypt);
      aesni::invert_schedule(encrypt, context_);
      secure_wipe(&encrypt, sizeof encrypt);
    } else {
      aes256_set_decrypt_key(&context_, key.data());
    }
  }
  ~Aes256Decrypt() { secure_wipe(&context_, sizeof context_); }
  Aes256Decrypt(const Aes256Decrypt&) = delete;
  Aes256Decrypt& operator=(const Aes256Decrypt&) = delete;

  void decrypt(std::uint8_t* out, const std::uint8_t* in, std::size_t length) const noexcept {
    aes256_decrypt(&context_, length, out, in);
  }

  const aes256_ctx& schedule() const noexcept { return context_; }

 private:
  aes256_ctx context_;
};

}  // namespace rdz
