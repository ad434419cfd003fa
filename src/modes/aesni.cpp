#include "modes/aesni.hpp"

#include "modes/aes.hpp"

#include <atomic>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace rdz::aesni {

#if defined(__x86_64__)
namespace {

constexpr int rounds = 14;

// Round key i of a schedule, read from the schedule itself each time it is needed:
// the loops keep no copy of the round keys of their own (which the compiler could
// spill to the stack, where the cipher object's wipe would not reach it).
inline __m128i round_key(const aes256_ctx& schedule, int i) noexcept {
  // Nettle stores each round key as four little-endian words: on x86 the bytes are
  // the round key in FIPS 197 order.
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(schedule.keys + 4 * i));
}

__attribute__((target("aes"))) inline __m128i encrypt_block(const aes256_ctx& keys, __m128i block) noexcept {
  block = _mm_xor_si128(block, round_key(keys, 0));
  for (int i = 1; i < rounds; ++i) block = _mm_aesenc_si128(block, round_key(keys, i));
  return _mm_aesenclast_si128(block, round_key(keys, rounds));
}

// Nettle keeps a decryption schedule in encryption order and walks it backwards.
__attribute__((target("aes"))) inline __m128i decrypt_block(const aes256_ctx& keys, __m128i block) noexcept {
  block = _mm_xor_si128(block, round_key(keys, rounds));
  for (int i = rounds - 1; i > 0; --i) block = _mm_aesdec_si128(block, round_key(keys, i));
  return _mm_aesdeclast_si128(block, round_key(keys, 0));
}

// One step of the AES-256 key schedule: `previous` two round keys back, combined
// with a word of the last one (`assist`, already broadcast).
inline __m128i schedule_step(__m128i previous, __m128i assist) noexcept {
  previous = _mm_xor_si128(previous, _mm_slli_si128(previous, 4));
  previous = _mm_xor_si128(previous, _mm_slli_si128(previous, 4));
  previous = _mm_xor_si128(previous, _mm_slli_si128(previous, 4));
  return _mm_xor_si128(previous, assist);
}

// Round keys 2i and 2i + 1 from 2i - 2 and 2i - 1 (the last pair has only 2i).
template <int round_constant>
__attribute__((target("aes"))) inline void schedule_pair(__m128i* k, int i) noexcept {
  k[2 * i] =
      schedule_step(k[2 * i - 2], _mm_shuffle_epi32(_mm_aeskeygenassist_si128(k[2 * i - 1], round_constant), 0xff));
  if (2 * i + 1 <= rounds) {
    k[2 * i + 1] = schedule_step(k[2 * i - 1], _mm_shuffle_epi32(_mm_aeskeygenassist_si128(k[2 * i], 0), 0xaa));
  }
}

inline __m128i load(const std::uint8_t* p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store(std::uint8_t* p, __m128i v) noexcept { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// The FIPS 197 appendix C.3 example, and Nettle's answers for the same key.
bool agrees_with_nettle() noexcept {
  std::uint8_t key[32], plain[16], expected[16];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(i);
  for (int i = 0; i < 16; ++i) plain[i] = static_cast<std::uint8_t>(i * 0x11);
  const std::uint8_t fips[16] = {0x8e, 0xa2, 0xb7, 0xca, 0x51, 0x67, 0x45, 0xbf,
                                 0xea, 0xfc, 0x49, 0x90, 0x4b, 0x49, 0x60, 0x89};
  aes256_ctx encrypt, ours_encrypt, nettle_decrypt, ours_decrypt;
  aes256_set_encrypt_key(&encrypt, key);
  aes256_set_decrypt_key(&nettle_decrypt, key);
  expand_key(key, ours_encrypt);
  invert_schedule(ours_encrypt, ours_decrypt);
  bool same = std::memcmp(&encrypt, &ours_encrypt, sizeof encrypt) == 0;
  std::uint8_t other_key[32];
  for (int i = 0; i < 32; ++i) other_key[i] = static_cast<std::uint8_t>(0xff - 7 * i);
  aes256_set_encrypt_key(&nettle_decrypt, other_key);
  expand_key(other_key, ours_decrypt);
  same = same && std::memcmp(&nettle_decrypt, &ours_decrypt, sizeof ours_decrypt) == 0;
  aes256_set_decrypt_key(&nettle_decrypt, key);
  invert_schedule(ours_encrypt, ours_decrypt);
  aes256_encrypt(&encrypt, 16, expected, plain);

  std::uint8_t block[32] = {};  // a zero vector: IGE of one block is then plain AES
  std::memcpy(block, plain, 16);
  const std::uint8_t zero_iv[32] = {};
  ige_encrypt(encrypt, block, 1, zero_iv);
  same = same && std::memcmp(block, fips, 16) == 0 && std::memcmp(expected, fips, 16) == 0;
  ige_decrypt(ours_decrypt, block, 1, zero_iv);
  same = same && std::memcmp(block, plain, 16) == 0;
  same = same && std::memcmp(&nettle_decrypt, &ours_decrypt, sizeof ours_decrypt) == 0;

  std::uint64_t high = 0x0001020304050607, low = 0x08090a0b0c0d0e0f;
  std::uint8_t stream[16] = {};
  ctr_xor(encrypt, high, low, stream, 1);  // the keystream of counter block 00 01 .. 0f
  std::uint8_t counter[16];
  for (int i = 0; i < 16; ++i) counter[i] = static_cast<std::uint8_t>(i);
  std::uint8_t nettle_stream[16];
  aes256_encrypt(&encrypt, 16, nettle_stream, counter);
  same = same && std::memcmp(stream, nettle_stream, 16) == 0 && high == 0x0001020304050607 && low == 0x08090a0b0c0d0e10;
  secure_wipe(&encrypt, sizeof encrypt);
  secure_wipe(&ours_encrypt, sizeof ours_encrypt);
  secure_wipe(&nettle_decrypt, sizeof nettle_decrypt);
  secure_wipe(&ours_decrypt, sizeof ours_decrypt);
  return same;
}

}  // namespace

bool available() noexcept {
#ifdef REDERODIDIZO_NETTLE_ONLY
  return false;
#endif
  // -1 unknown, 0 no, 1 yes. Racing threads compute and store the same answer.
  static std::atomic<int> answer{-1};
  int known = answer.load(std::memory_order_relaxed);
  if (known < 0) {
    known = __builtin_cpu_supports("aes") && agrees_with_nettle() ? 1 : 0;
    answer.store(known, std::memory_order_relaxed);
  }
  return known == 1;
}

__attribute__((target("aes"))) void expand_key(const std::uint8_t* key, aes256_ctx& encrypt) noexcept {
  __m128i k[rounds + 1];
  k[0] = load(key);
  k[1] = load(key + 16);
  schedule_pair<0x01>(k, 1);
  schedule_pair<0x02>(k, 2);
  schedule_pair<0x04>(k, 3);
  schedule_pair<0x08>(k, 4);
  schedule_pair<0x10>(k, 5);
  schedule_pair<0x20>(k, 6);
  schedule_pair<0x40>(k, 7);
  auto* out = reinterpret_cast<__m128i*>(encrypt.keys);
  for (int i = 0; i <= rounds; ++i) _mm_storeu_si128(out + i, k[i]);
  secure_wipe(k, sizeof k);
}

__attribute__((target("aes"))) void invert_schedule(const aes256_ctx& encrypt, aes256_ctx& decrypt) noexcept {
  // The equivalent inverse cipher: the inner round keys through InvMixColumns, in
  // Nettle's order (the decryption walks them from the last).
  auto* out = reinterpret_cast<__m128i*>(decrypt.keys);
  _mm_storeu_si128(out, round_key(encrypt, 0));
  for (int i = 1; i < rounds; ++i) _mm_storeu_si128(out + i, _mm_aesimc_si128(round_key(encrypt, i)));
  _mm_storeu_si128(out + rounds, round_key(encrypt, rounds));
}

__attribute__((target("aes"))) void ige_encrypt(const aes256_ctx& schedule, std::uint8_t* data, std::size_t blocks,
                                                const std::uint8_t* iv) noexcept {
  const aes256_ctx& keys = schedule;
  __m128i previous_cipher = load(iv);
  __m128i previous_plain = load(iv + 16);
  for (std::size_t i = 0; i < blocks; ++i, data += 16) {
    const __m128i plain = load(data);
    previous_cipher = _mm_xor_si128(encrypt_block(keys, _mm_xor_si128(plain, previous_cipher)), previous_plain);
    store(data, previous_cipher);
    previous_plain = plain;
  }
}

__attribute__((target("aes"))) void ige_decrypt(const aes256_ctx& schedule, std::uint8_t* data, std::size_t blocks,
                                                const std::uint8_t* iv) noexcept {
  const aes256_ctx& keys = schedule;
  __m128i previous_cipher = load(iv);
  __m128i previous_plain = load(iv + 16);
  for (std::size_t i = 0; i < blocks; ++i, data += 16) {
    const __m128i encrypted = load(data);
    previous_plain = _mm_xor_si128(decrypt_block(keys, _mm_xor_si128(encrypted, previous_plain)), previous_cipher);
    store(data, previous_plain);
    previous_cipher = encrypted;
  }
}

__attribute__((target("aes"))) void ctr_xor(const aes256_ctx& schedule, std::uint64_t& high, std::uint64_t& low,
                                            std::uint8_t* data, std::size_t blocks) noexcept {
  const aes256_ctx& keys = schedule;
  auto next_counter = [&] {
    const __m128i block =
        _mm_set_epi64x(static_cast<long long>(__builtin_bswap64(low)), static_cast<long long>(__builtin_bswap64(high)));
    if (++low == 0) ++high;
    return block;
  };
  constexpr std::size_t lanes = 8;
  for (; blocks >= lanes; blocks -= lanes, data += lanes * 16) {
    __m128i b[lanes];
    const __m128i first = round_key(keys, 0);
    for (std::size_t j = 0; j < lanes; ++j) b[j] = _mm_xor_si128(next_counter(), first);
    for (int r = 1; r < rounds; ++r) {
      const __m128i key = round_key(keys, r);
      for (std::size_t j = 0; j < lanes; ++j) b[j] = _mm_aesenc_si128(b[j], key);
    }
    const __m128i last = round_key(keys, rounds);
    for (std::size_t j = 0; j < lanes; ++j) {
      b[j] = _mm_aesenclast_si128(b[j], last);
      store(data + 16 * j, _mm_xor_si128(load(data + 16 * j), b[j]));
    }
  }
  for (; blocks > 0; --blocks, data += 16) {
    store(data, _mm_xor_si128(load(data), encrypt_block(keys, next_counter())));
  }
}

#else  // no AES instructions on this architecture: the callers use Nettle throughout

bool available() noexcept { return false; }
void expand_key(const std::uint8_t*, aes256_ctx&) noexcept {}
void invert_schedule(const aes256_ctx&, aes256_ctx&) noexcept {}
void ige_encrypt(const aes256_ctx&, std::uint8_t*, std::size_t, const std::uint8_t*) noexcept {}
void ige_decrypt(const aes256_ctx&, std::uint8_t*, std::size_t, const std::uint8_t*) noexcept {}
void ctr_xor(const aes256_ctx&, std::uint64_t&, std::uint64_t&, std::uint8_t*, std::size_t) noexcept {}

#endif

}  // namespace rdz::aesni
