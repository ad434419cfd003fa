// Nettle's AES: the reference every other backend is checked against, and a path a
// build can force (to compare with it). Never chosen by itself: Nettle's software AES
// and its key schedule index tables with key and data bytes, which is not
// constant-time.
#include "aes/backend.hpp"
#include "aes/registers.hpp"
#include "aes/stack_wiped.hpp"
#include "lib/byteorder.hpp"

#include <nettle/aes.h>

#include <algorithm>
#include <cstring>

namespace rdz {
namespace {

constexpr std::size_t block = 16;

// Nettle's context lives in the schedule's storage.
static_assert(sizeof(aes256_ctx) <= sizeof(AesSchedule) && alignof(aes256_ctx) <= alignof(AesSchedule));
aes256_ctx& context(AesSchedule& schedule) noexcept { return *reinterpret_cast<aes256_ctx*>(schedule.bytes); }
const aes256_ctx& context(const AesSchedule& schedule) noexcept {
  return *reinterpret_cast<const aes256_ctx*>(schedule.bytes);
}

// The chaining values as 16-byte vectors.
using Block = std::uint8_t __attribute__((vector_size(16)));

Block load(const std::uint8_t* bytes) noexcept {
  Block value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

void store(std::uint8_t* bytes, Block value) noexcept { std::memcpy(bytes, &value, sizeof value); }

void expand_encrypt(const std::uint8_t* key, AesSchedule& schedule) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  aes256_set_encrypt_key(&context(schedule), key);
}
void expand_decrypt(const std::uint8_t* key, AesSchedule& schedule) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  aes256_set_decrypt_key(&context(schedule), key);
}

// IGE in either direction is one chain: out = F(in ^ before) ^ after, then
// before = out and after = in, with F the block encryption or decryption. Encryption
// starts from before = iv[0..15] (the previous ciphertext block) and after = iv[16..31]
// (the previous plaintext block), decryption the other way round. Each block is read
// before its output is stored, so `out` may be `in`.
template <void (*crypt)(const aes256_ctx*, std::size_t, std::uint8_t*, const std::uint8_t*)>
void ige_chain(const aes256_ctx& schedule, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
               const std::uint8_t* before_iv, const std::uint8_t* after_iv) noexcept {
  Block before = load(before_iv), after = load(after_iv);
  alignas(16) std::uint8_t work[block];
  for (std::size_t i = 0; i < blocks; ++i, in += block, out += block) {
    const Block input = load(in);
    store(work, input ^ before);
    crypt(&schedule, block, work, work);
    before = load(work) ^ after;
    store(out, before);
    after = input;
  }
}

void ige_encrypt(const AesSchedule& encrypt, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                 const std::uint8_t* iv) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  ige_chain<aes256_encrypt>(context(encrypt), in, out, blocks, iv, iv + block);
}

void ige_decrypt(const AesSchedule& decrypt, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                 const std::uint8_t* iv) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  ige_chain<aes256_decrypt>(context(decrypt), in, out, blocks, iv + block, iv);
}

// Counter blocks encrypted per Nettle call, which pipelines independent blocks.
constexpr std::size_t batch = 32;

void ctr_xor(const AesSchedule& encrypt, std::uint64_t& high, std::uint64_t& low, const std::uint8_t* in,
             std::uint8_t* out, std::size_t blocks) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  alignas(16) std::uint8_t keystream[batch * block];
  while (blocks > 0) {
    const std::size_t n = std::min(blocks, batch);
    for (std::size_t i = 0; i < n; ++i) {
      store_be64(keystream + i * block, high);
      store_be64(keystream + i * block + 8, low);
      if (++low == 0) ++high;
    }
    aes256_encrypt(&context(encrypt), n * block, keystream, keystream);
    for (std::size_t i = 0; i < n * block; ++i) out[i] = in[i] ^ keystream[i];
    in += n * block;
    out += n * block;
    blocks -= n;
  }
}

}  // namespace

// The stack each call's wipe covers (aes/stack_wiped.hpp): the keystream buffer,
// the chaining block, and Nettle's own frames (down to between 512 and 768 bytes
// below the call on x86-64).
constexpr std::size_t stack_wipe = 2048;

constinit const AesBackend nettle_backend{stack_wiped<stack_wipe, expand_encrypt>,
                                          stack_wiped<stack_wipe, expand_decrypt>,
                                          stack_wiped<stack_wipe, ige_encrypt>,
                                          stack_wiped<stack_wipe, ige_decrypt>,
                                          stack_wiped<stack_wipe, ctr_xor>,
                                          sizeof(aes256_ctx),
                                          "nettle"};

}  // namespace rdz
