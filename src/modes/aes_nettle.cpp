// The portable path: Nettle's block functions (which pick their own best code for
// the processor, or constant-time software).
#include "lib/byteorder.hpp"
#include "modes/aes_backend.hpp"

#include <algorithm>
#include <cstring>

namespace rdz {
namespace {

constexpr std::size_t block = 16;

// The chaining values as 16-byte vectors.
using Block = std::uint8_t __attribute__((vector_size(16)));

Block load(const std::uint8_t* bytes) noexcept {
  Block value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

void store(std::uint8_t* bytes, Block value) noexcept { std::memcpy(bytes, &value, sizeof value); }

void expand_encrypt(const std::uint8_t* key, aes256_ctx& schedule) noexcept { aes256_set_encrypt_key(&schedule, key); }
void expand_decrypt(const std::uint8_t* key, aes256_ctx& schedule) noexcept { aes256_set_decrypt_key(&schedule, key); }

// c = E(p ^ C) ^ P, then C = c, P = p; each block is read before its output is
// stored, so `out` may be `in`.
void ige_encrypt(const aes256_ctx& encrypt, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                 const std::uint8_t* iv) noexcept {
  Block previous_cipher = load(iv), previous_plain = load(iv + block);
  alignas(16) std::uint8_t work[block];
  for (std::size_t i = 0; i < blocks; ++i, in += block, out += block) {
    const Block plain = load(in);
    store(work, plain ^ previous_cipher);
    aes256_encrypt(&encrypt, block, work, work);
    previous_cipher = load(work) ^ previous_plain;
    store(out, previous_cipher);
    previous_plain = plain;
  }
}

// p = D(c ^ P) ^ C, then C = c, P = p.
void ige_decrypt(const aes256_ctx& decrypt, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                 const std::uint8_t* iv) noexcept {
  Block previous_cipher = load(iv), previous_plain = load(iv + block);
  alignas(16) std::uint8_t work[block];
  for (std::size_t i = 0; i < blocks; ++i, in += block, out += block) {
    const Block encrypted = load(in);
    store(work, encrypted ^ previous_plain);
    aes256_decrypt(&decrypt, block, work, work);
    previous_plain = load(work) ^ previous_cipher;
    store(out, previous_plain);
    previous_cipher = encrypted;
  }
}

// Counter blocks encrypted per Nettle call, which pipelines independent blocks.
constexpr std::size_t batch = 32;

void ctr_xor(const aes256_ctx& encrypt, std::uint64_t& high, std::uint64_t& low, const std::uint8_t* in,
             std::uint8_t* out, std::size_t blocks) noexcept {
  alignas(16) std::uint8_t keystream[batch * block];
  while (blocks > 0) {
    const std::size_t n = std::min(blocks, batch);
    for (std::size_t i = 0; i < n; ++i) {
      store_be64(keystream + i * block, high);
      store_be64(keystream + i * block + 8, low);
      if (++low == 0) ++high;
    }
    aes256_encrypt(&encrypt, n * block, keystream, keystream);
    for (std::size_t i = 0; i < n * block; ++i) out[i] = in[i] ^ keystream[i];
    in += n * block;
    out += n * block;
    blocks -= n;
  }
}

}  // namespace

constinit const AesBackend nettle_backend{expand_encrypt, expand_decrypt, ige_encrypt, ige_decrypt, ctr_xor, "nettle"};

}  // namespace rdz
