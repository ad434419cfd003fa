// The ARMv8 cryptography extension's AES instructions (AESE, AESMC, AESD, AESIMC),
// the key expansion included.
//
// Why it is constant-time: the instructions work on whole 128-bit registers, with no
// operand-dependent timing in the cores we know of (the architecture promises it only
// under PSTATE.DIT, from ARMv8.4, which every entry point here sets where the processor
// has it, lib/timing.hpp); no branch and no
// address depends on the key, the data or the IGE vector (the loops count blocks, and
// the CTR counter, which may steer branches, is public). Even the key schedule's
// SubWord runs on AESE instead of an S-box table: the word is spread over all four
// columns of a register, so ShiftRows moves nothing and AESE against a zero round key
// is SubBytes of the word in every column. Nothing here is written as a byte-indexed
// lookup, and <arm_neon.h>'s intrinsics map one to one onto the instructions, so the
// compiler has no table to fall back on.
//
// The module is built for baseline ARMv8-A, which does not have these instructions:
// every function that uses them carries the target attribute, and the backend runs only
// after the kernel has reported HWCAP_AES (cpu::detect).
//
// The instructions split a round differently from FIPS 197's pseudocode: AESE is
// AddRoundKey then SubBytes and ShiftRows, AESMC is MixColumns. So a round key is added
// at the start of each AESE, and the last round key is a plain XOR after the last AESE;
// the decryption (AESD, AESIMC) has the same shape over the equivalent inverse cipher's
// schedule.
//
// Key material: the loops load the round keys from the caller's schedule into registers
// and keep them there. ARM64 has 32 vector registers, enough for the 15 round keys and
// the eight CTR blocks, so nothing is spilled to the stack (the native driver's stack
// scan checks it; what a prologue saves of v8-v15 is the caller's, not key material).
// Every entry point zeroes the vector registers before it returns (registers.hpp).
#if defined(__aarch64__)

#include "aes/backend.hpp"
#include "aes/registers.hpp"
#include "lib/timing.hpp"

#include <arm_neon.h>

#include <bit>
#include <cstddef>
#include <cstdint>

// The lanes are read as little-endian: a 32-bit lane's first byte is its low one
// (RotWord below), a 64-bit lane's first eight bytes are its value (the counter).
static_assert(std::endian::native == std::endian::little, "the ARM64 code assumes little-endian lanes");

namespace rdz::armv8 {
namespace {

constexpr int rounds = 14;
constexpr std::size_t block = 16;

// The schedule holds the 15 round keys one after another, each in FIPS 197 byte order
// (vld1q_u8 puts the bytes in memory order, which is the state's column order). The
// decryption schedule holds the equivalent inverse cipher's keys in the order the
// decryption uses them: the last encryption key first, the inner ones through
// InvMixColumns.
constexpr std::size_t schedule_size = (rounds + 1) * block;

struct RoundKeys {
  uint8x16_t key[rounds + 1];
};

inline uint8x16_t load(const std::uint8_t* p) noexcept { return vld1q_u8(p); }
inline void store(std::uint8_t* p, uint8x16_t v) noexcept { vst1q_u8(p, v); }

inline RoundKeys load_keys(const AesSchedule& schedule) noexcept {
  RoundKeys keys;
#pragma GCC unroll 15
  for (int i = 0; i <= rounds; ++i) keys.key[i] = load(schedule.bytes + block * i);
  return keys;
}

// ---- the key schedule ----------------------------------------------------------

// w[i] = w[i-8] ^ t for the four words of a round key at once: the prefix XOR of the
// round key two back, with `t` (already in all four words) added to each word.
inline uint8x16_t schedule_step(uint8x16_t previous, uint8x16_t t) noexcept {
  const uint8x16_t zero = vdupq_n_u8(0);
  previous = veorq_u8(previous, vextq_u8(zero, previous, 12));
  previous = veorq_u8(previous, vextq_u8(zero, previous, 12));
  previous = veorq_u8(previous, vextq_u8(zero, previous, 12));
  return veorq_u8(previous, t);
}

// SubWord of the last word of `key`, in all four words.
__attribute__((target("+aes"))) inline uint32x4_t sub_last_word(uint8x16_t key) noexcept {
  const uint8x16_t spread = vreinterpretq_u8_u32(vdupq_laneq_u32(vreinterpretq_u32_u8(key), 3));
  return vreinterpretq_u32_u8(vaeseq_u8(spread, vdupq_n_u8(0)));
}

// SubWord(RotWord(last word)) ^ Rcon, in all four words. RotWord moves the word's
// first byte (the low one of the little-endian lane) to its end: a right rotation
// of the lane by 8. It commutes with SubWord, which works byte by byte.
__attribute__((target("+aes"))) inline uint8x16_t rot_sub_last_word(uint8x16_t key, std::uint8_t rcon) noexcept {
  const uint32x4_t s = sub_last_word(key);
  const uint32x4_t rotated = vorrq_u32(vshrq_n_u32(s, 8), vshlq_n_u32(s, 24));
  return veorq_u8(vreinterpretq_u8_u32(rotated), vreinterpretq_u8_u32(vdupq_n_u32(rcon)));
}

}  // namespace

__attribute__((target("+aes"))) void expand_encrypt(const std::uint8_t* key, AesSchedule& schedule) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  const DataIndependentTiming timing;
  std::uint8_t* out = schedule.bytes;
  uint8x16_t even = load(key), odd = load(key + block);
  store(out, even);
  store(out + block, odd);
  std::uint8_t rcon = 1;
  for (int i = 2; i <= rounds; i += 2, rcon = static_cast<std::uint8_t>(rcon << 1)) {
    even = schedule_step(even, rot_sub_last_word(odd, rcon));
    store(out + block * i, even);
    if (i == rounds) break;
    odd = schedule_step(odd, vreinterpretq_u8_u32(sub_last_word(even)));
    store(out + block * (i + 1), odd);
  }
}

__attribute__((target("+aes"))) void expand_decrypt(const std::uint8_t* key, AesSchedule& schedule) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  const DataIndependentTiming timing;
  expand_encrypt(key, schedule);
  // Reversed in place, the inner keys through InvMixColumns (the middle one stays put).
  std::uint8_t* k = schedule.bytes;
  for (int i = 0, j = rounds; i <= j; ++i, --j) {
    uint8x16_t first = load(k + block * i), last = load(k + block * j);
    if (i != 0) {
      first = vaesimcq_u8(first);
      last = vaesimcq_u8(last);
    }
    store(k + block * i, last);
    store(k + block * j, first);
  }
}

namespace {

// The block cipher in either direction, with `first` as the key of its first
// AddRoundKey (AESE and AESD add their key operand before the round: the IGE chain
// passes the input block XORed with key 0 here, and the chaining value as `state`).
// Seen from `state`, this is one AESE (AESD) and AESMC (AESIMC) pair per round, which
// many cores fuse, then the last AESE (AESD); the caller adds the last key.
__attribute__((target("+aes"))) inline uint8x16_t encrypt_rounds(const RoundKeys& k, uint8x16_t first,
                                                                 uint8x16_t state) noexcept {
  state = vaesmcq_u8(vaeseq_u8(state, first));
#pragma GCC unroll 12
  for (int r = 1; r < rounds - 1; ++r) state = vaesmcq_u8(vaeseq_u8(state, k.key[r]));
  return vaeseq_u8(state, k.key[rounds - 1]);
}

__attribute__((target("+aes"))) inline uint8x16_t decrypt_rounds(const RoundKeys& k, uint8x16_t first,
                                                                 uint8x16_t state) noexcept {
  state = vaesimcq_u8(vaesdq_u8(state, first));
#pragma GCC unroll 12
  for (int r = 1; r < rounds - 1; ++r) state = vaesimcq_u8(vaesdq_u8(state, k.key[r]));
  return vaesdq_u8(state, k.key[rounds - 1]);
}

// IGE in either direction is one chain: out = F(in ^ before) ^ after, then
// before = out and after = in, with F the block cipher. Encryption starts from
// before = iv[0..15] (the previous ciphertext block) and after = iv[16..31],
// decryption the other way round. Only `before` is on the chain: in ^ key 0 and
// after ^ key 14 are computed beside it, so each block costs its rounds plus one XOR.
// The chaining values stay in registers; each input is read before its output is
// stored, so `out` may be `in`.
template <uint8x16_t (*rounds_of)(const RoundKeys&, uint8x16_t, uint8x16_t)>
__attribute__((target("+aes"))) inline void ige_chain(const AesSchedule& schedule, const std::uint8_t* in,
                                                      std::uint8_t* out, std::size_t blocks,
                                                      const std::uint8_t* before_iv,
                                                      const std::uint8_t* after_iv) noexcept {
  const RoundKeys k = load_keys(schedule);
  // `after` with the last key already added, carried from block to block as one value:
  // left as two XORs, the compiler reassociates them so both land on the chain.
  uint8x16_t before = load(before_iv), after_last = veorq_u8(load(after_iv), k.key[rounds]);
  for (std::size_t i = 0; i < blocks; ++i, in += block, out += block) {
    const uint8x16_t input = load(in);
    before = veorq_u8(rounds_of(k, veorq_u8(input, k.key[0]), before), after_last);
    store(out, before);
    after_last = veorq_u8(input, k.key[rounds]);
  }
}

}  // namespace

__attribute__((target("+aes"))) void ige_encrypt(const AesSchedule& encrypt, const std::uint8_t* in, std::uint8_t* out,
                                                 std::size_t blocks, const std::uint8_t* iv) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  const DataIndependentTiming timing;
  ige_chain<encrypt_rounds>(encrypt, in, out, blocks, iv, iv + block);
}

__attribute__((target("+aes"))) void ige_decrypt(const AesSchedule& decrypt, const std::uint8_t* in, std::uint8_t* out,
                                                 std::size_t blocks, const std::uint8_t* iv) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  const DataIndependentTiming timing;
  ige_chain<decrypt_rounds>(decrypt, in, out, blocks, iv + block, iv);
}

namespace {

// The 128-bit big-endian counter block, from its host-order halves; then the next.
inline uint8x16_t next_counter(std::uint64_t& high, std::uint64_t& low) noexcept {
  const uint8x16_t counter =
      vreinterpretq_u8_u64(vcombine_u64(vcreate_u64(__builtin_bswap64(high)), vcreate_u64(__builtin_bswap64(low))));
  if (++low == 0) ++high;
  return counter;
}

constexpr std::size_t lanes = 8;

// `n` (at most `lanes`) counter blocks encrypted side by side, XORed into `n` blocks.
// The rounds of the blocks interleave, so the AES unit always has independent work.
template <std::size_t n>
__attribute__((target("+aes"))) inline void ctr_blocks(const RoundKeys& k, std::uint64_t& high, std::uint64_t& low,
                                                       const std::uint8_t* in, std::uint8_t* out) noexcept {
  uint8x16_t b[n];
#pragma GCC unroll 8
  for (std::size_t j = 0; j < n; ++j) b[j] = next_counter(high, low);
#pragma GCC unroll 13
  for (int r = 0; r < rounds - 1; ++r) {
#pragma GCC unroll 8
    for (std::size_t j = 0; j < n; ++j) b[j] = vaesmcq_u8(vaeseq_u8(b[j], k.key[r]));
  }
#pragma GCC unroll 8
  for (std::size_t j = 0; j < n; ++j) {
    const uint8x16_t stream = veorq_u8(vaeseq_u8(b[j], k.key[rounds - 1]), k.key[rounds]);
    store(out + block * j, veorq_u8(load(in + block * j), stream));
  }
}

// Eight blocks at a time; of the tail, four side by side, then the rest one by one.
// (The choice's self-check runs every one of these loops.)
__attribute__((target("+aes"))) inline void ctr_loop(const RoundKeys& k, std::uint64_t& high, std::uint64_t& low,
                                                     const std::uint8_t* in, std::uint8_t* out,
                                                     std::size_t blocks) noexcept {
  for (; blocks >= lanes; blocks -= lanes, in += lanes * block, out += lanes * block) {
    ctr_blocks<lanes>(k, high, low, in, out);
  }
  if (blocks >= 4) {
    ctr_blocks<4>(k, high, low, in, out);
    blocks -= 4, in += 4 * block, out += 4 * block;
  }
  for (; blocks > 0; --blocks, in += block, out += block) ctr_blocks<1>(k, high, low, in, out);
}

}  // namespace

__attribute__((target("+aes"))) void ctr_xor(const AesSchedule& encrypt, std::uint64_t& high, std::uint64_t& low,
                                             const std::uint8_t* in, std::uint8_t* out, std::size_t blocks) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  const DataIndependentTiming timing;
  const RoundKeys k = load_keys(encrypt);
  // The counter in locals: through the references, every store of output could alias it.
  std::uint64_t high_now = high, low_now = low;
  ctr_loop(k, high_now, low_now, in, out, blocks);
  high = high_now;
  low = low_now;
}

}  // namespace rdz::armv8

namespace rdz {

constinit const AesBackend armv8_backend{armv8::expand_encrypt,
                                         armv8::expand_decrypt,
                                         armv8::ige_encrypt,
                                         armv8::ige_decrypt,
                                         armv8::ctr_xor,
                                         armv8::schedule_size,
                                         "armv8"};

}  // namespace rdz

#endif
