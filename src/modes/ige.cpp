#include "modes/ige.hpp"

#include <cstring>

namespace rdz {
namespace {

// Without AES-NI: one Nettle call per block, the chaining values in 16-byte vectors.
using Block = std::uint8_t __attribute__((vector_size(16)));

Block load(const std::uint8_t* bytes) noexcept {
  Block block;
  std::memcpy(&block, bytes, sizeof block);
  return block;
}

void store(std::uint8_t* bytes, Block block) noexcept { std::memcpy(bytes, &block, sizeof block); }

}  // namespace

void ige_encrypt_in_place(const Aes256Encrypt& cipher, std::span<std::uint8_t> buffer, IgeIv iv) noexcept {
  if (aesni::available())
    return aesni::ige_encrypt(cipher.schedule(), buffer.data(), buffer.size() / aes_block, iv.data());
  Block previous_cipher = load(iv.data());
  Block previous_plain = load(iv.data() + aes_block);
  alignas(16) std::uint8_t work[aes_block];
  const std::size_t blocks = buffer.size() / aes_block;
  std::uint8_t* at = buffer.data();
  for (std::size_t i = 0; i < blocks; ++i, at += aes_block) {
    const Block plain = load(at);
    store(work, plain ^ previous_cipher);
    cipher.encrypt(work, work, aes_block);
    previous_cipher = load(work) ^ previous_plain;
    store(at, previous_cipher);
    previous_plain = plain;
  }
}

void ige_decrypt_in_place(const Aes256Decrypt& cipher, std::span<std::uint8_t> buffer, IgeIv iv) noexcept {
  if (aesni::available())
    return aesni::ige_decrypt(cipher.schedule(), buffer.data(), buffer.size() / aes_block, iv.data());
  Block previous_cipher = load(iv.data());
  Block previous_plain = load(iv.data() + aes_block);
  alignas(16) std::uint8_t work[aes_block];
  const std::size_t blocks = buffer.size() / aes_block;
  std::uint8_t* at = buffer.data();
  for (std::size_t i = 0; i < blocks; ++i, at += aes_block) {
    const Block encrypted = load(at);
    store(work, encrypted ^ previous_plain);
    cipher.decrypt(work, work, aes_block);
    previous_plain = load(work) ^ previous_cipher;
    store(at, previous_plain);
    previous_cipher = encrypted;
  }
}

}  // namespace rdz
