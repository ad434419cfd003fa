#include "modes/ige.hpp"

#include "binding/call.hpp"
#include "binding/gil.hpp"
#include "modes/calls.hpp"
#include "modes/scratch.hpp"

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

constexpr Signature<3> ige256_encrypt_signature{"ige256_encrypt", {"data", "key", "iv"}};
constexpr Signature<3> ige256_decrypt_signature{"ige256_decrypt", {"data", "key", "iv"}};

template <class Cipher, auto Loop>
Outcome<Owned> ige256_call(const Signature<3>& signature, CallArgs call) {
  auto bound = bind(signature, call);
  if (!bound) return fail_from(bound);
  auto data = as_bytes((*bound)[0], "data");
  if (!data) return fail_from(data);
  auto key = as_bytes((*bound)[1], "key");
  if (!key) return fail_from(key);
  auto iv = as_bytes((*bound)[2], "iv");
  if (!iv) return fail_from(iv);
  if (auto ok = check_length(*key, aes256_key_size, "Key must be 32 bytes"); !ok) return fail_from(ok);
  if (auto ok = check_length(*iv, ige_iv_size, "IV must be 32 bytes"); !ok) return fail_from(ok);

  auto lease = ScratchLease::take();
  if (!lease) return fail_from(lease);
  std::span<std::uint8_t> text = lease->buffer().append(*data);
  const auto key_copy = copy_fixed<aes256_key_size>(*key);
  const auto iv_copy = copy_fixed<ige_iv_size>(*iv);

  without_gil([&] {
    const Cipher cipher(key_copy);
    Loop(cipher, text, iv_copy);
  });

  auto result = new_bytes(text);
  if (!result) return result;
  if (auto back = std::move(*lease).give_back(); !back) return fail_from(back);
  return result;
}

}  // namespace

void ige_encrypt_in_place(const Aes256Encrypt& cipher, std::span<std::uint8_t> buffer, IgeIv iv) noexcept {
  if (aesni::available()) return aesni::ige_encrypt(cipher.schedule(), buffer.data(), buffer.size() / aes_block, iv.data());
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
  if (aesni::available()) return aesni::ige_decrypt(cipher.schedule(), buffer.data(), buffer.size() / aes_block, iv.data());
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

Outcome<Owned> ige256_encrypt(CallArgs call) {
  return ige256_call<Aes256Encrypt, ige_encrypt_in_place>(ige256_encrypt_signature, call);
}

Outcome<Owned> ige256_decrypt(CallArgs call) {
  return ige256_call<Aes256Decrypt, ige_decrypt_in_place>(ige256_decrypt_signature, call);
}

}  // namespace rdz
