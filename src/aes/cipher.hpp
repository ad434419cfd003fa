// AES-256 over an AES backend (backend.hpp): the process's chosen one in the module,
// which a call asks for before it starts work and passes in, so that no cipher can
// exist without a path that passed its check. The cipher objects own the schedule on
// the caller's stack: the constructor expands the key with the backend,
// the destructor overwrites what the backend wrote with zeros, so the round keys are
// erased on every way out of a call. The schedule never leaves the object: the modes
// ask the cipher to run their loops over it.
#pragma once

#include "aes/backend.hpp"
#include "lib/secret.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace rdz {

inline constexpr std::size_t aes_block = 16;
inline constexpr std::size_t aes256_key_size = 32;

using Aes256Key = std::span<const std::uint8_t, aes256_key_size>;

class Aes256Encrypt {
 public:
  Aes256Encrypt(const AesBackend& backend, Aes256Key key) noexcept : backend_(backend) {
    backend_.expand_encrypt(key.data(), schedule_);
  }
  ~Aes256Encrypt() { secure_wipe(&schedule_, backend_.schedule_size); }
  Aes256Encrypt(const Aes256Encrypt&) = delete;
  Aes256Encrypt& operator=(const Aes256Encrypt&) = delete;

  // IGE encryption of `blocks` whole blocks (AesBackend::ige_encrypt).
  void ige(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks, const std::uint8_t* iv) const noexcept {
    backend_.ige_encrypt(schedule_, in, out, blocks, iv);
  }

  // out = in ^ the keystream of `blocks` counter blocks (AesBackend::ctr_xor).
  void ctr_xor(std::uint64_t& high, std::uint64_t& low, const std::uint8_t* in, std::uint8_t* out,
               std::size_t blocks) const noexcept {
    backend_.ctr_xor(schedule_, high, low, in, out, blocks);
  }

 private:
  const AesBackend& backend_;
  AesSchedule schedule_;
};

class Aes256Decrypt {
 public:
  Aes256Decrypt(const AesBackend& backend, Aes256Key key) noexcept : backend_(backend) {
    backend_.expand_decrypt(key.data(), schedule_);
  }
  ~Aes256Decrypt() { secure_wipe(&schedule_, backend_.schedule_size); }
  Aes256Decrypt(const Aes256Decrypt&) = delete;
  Aes256Decrypt& operator=(const Aes256Decrypt&) = delete;

  // IGE decryption of `blocks` whole blocks (AesBackend::ige_decrypt).
  void ige(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks, const std::uint8_t* iv) const noexcept {
    backend_.ige_decrypt(schedule_, in, out, blocks, iv);
  }

 private:
  const AesBackend& backend_;
  AesSchedule schedule_;
};

}  // namespace rdz
