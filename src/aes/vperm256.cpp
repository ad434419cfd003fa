// The vector-permute backend with its CTR on 32-byte vectors (AVX2), for x86-64
// processors that have AVX2 but no AES instructions (virtual machines whose CPU model
// hides AES-NI). VPSHUFB does PSHUFB's 16-byte shuffle in each half of a ymm
// register, at the rate PSHUFB runs on an xmm one, and the shuffles set the pace of
// the vector-permute AES: with a block in each half, CTR does twice the work per
// shuffle. The rounds are vperm's (vperm_rounds.hpp, over vec256.hpp); the key
// expansions, the schedule and IGE, one serial chain, are vperm's own (vperm.hpp).
// A round key is the 16-byte one of vperm's schedule in both halves.
//
// Why it is constant-time, as vperm: the only data-dependent indexing is the in-
// register shuffle, with every index in 0..15 or 0x80..0x8f; every memory address
// (tables, round keys, input, output) depends only on public lengths and positions;
// the only branches are on the block count and on the counter, which MTProto's
// transports send in the clear. The lookups of constant tables are asm statements
// (vec256::lookup), which the compiler cannot turn into memory lookups.
#include "aes/backend.hpp"

#if defined(__x86_64__)

#include "aes/registers.hpp"
#include "aes/vec256.hpp"
#include "aes/vperm.hpp"

#include <cstddef>
#include <cstdint>

// Everything below may use AVX2; it runs only once the processor has said it has it.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

// The rounds shared with vperm.cpp, compiled here for AVX2.
#include "aes/vperm_rounds.hpp"

namespace rdz {
namespace {

using vec256::Vec;

constexpr std::size_t block = 16;

// Vectors in flight per pass, two blocks each: enough independent chains to keep both
// shuffle ports busy, few enough that the state stays in the sixteen registers. On
// the Intel Xeon this was written on, CTR over 1 MiB ran at 0.77, 0.87, 0.95, 0.90
// and 0.92 GB/s with 2, 3, 4, 5 and 6.
constexpr std::size_t in_flight = 4;

// Counter blocks `low` and `low + 1` (with the carry into `high`), big-endian, one a
// lane. Both supported targets are little-endian: a lane's first eight bytes are the
// first 64-bit element.
Vec counter_pair(std::uint64_t high, std::uint64_t low) noexcept {
  const std::uint64_t next_low = low + 1, next_high = next_low == 0 ? high + 1 : high;
  const auto big_endian = [](std::uint64_t word) { return static_cast<long long>(__builtin_bswap64(word)); };
  return _mm256_set_epi64x(big_endian(next_low), big_endian(next_high), big_endian(low), big_endian(high));
}

// 2N - 1 or 2N blocks from the counter: N vectors encrypted side by side, XORed into
// the input. With an odd count the last vector's second block is neither read nor
// written.
template <std::size_t N>
void ctr_pass(const AesSchedule& keys, std::uint64_t high, std::uint64_t low, const std::uint8_t* in,
              std::uint8_t* out, std::size_t blocks) noexcept {
  Vec x[N];
  for (std::size_t j = 0; j < N; ++j) {
    const std::uint64_t at = low + 2 * j;
    x[j] = counter_pair(at < low ? high + 1 : high, at);
  }
  vperm::encrypt_blocks(keys, x);
  for (std::size_t j = 0; j < N; ++j, in += 2 * block, out += 2 * block) {
    if (j == N - 1 && blocks % 2 != 0) {
      const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_xor_si128(_mm256_castsi256_si128(x[j]), text));
    } else {
      vec256::store(out, vec256::eor(vec256::load(in), x[j]));
    }
  }
}

// The last 1..2K blocks, in as few vectors as they need.
template <std::size_t K>
void ctr_tail(const AesSchedule& keys, std::uint64_t high, std::uint64_t low, const std::uint8_t* in,
              std::uint8_t* out, std::size_t blocks) noexcept {
  if constexpr (K > 1) {
    if (blocks <= 2 * (K - 1)) return ctr_tail<K - 1>(keys, high, low, in, out, blocks);
  }
  ctr_pass<K>(keys, high, low, in, out, blocks);
}

void ctr_xor(const AesSchedule& encrypt, std::uint64_t& high, std::uint64_t& low, const std::uint8_t* in,
             std::uint8_t* out, std::size_t blocks) noexcept {
  const RegistersClearedOnReturn<clear_avx_registers> registers_cleared;
  const auto advance = [&](std::size_t n) {
    low += n;
    if (low < n) ++high;  // all-0xFF wraps to zero
    in += n * block, out += n * block, blocks -= n;
  };
  constexpr std::size_t per_pass = 2 * in_flight;
  while (blocks >= per_pass) {
    ctr_pass<in_flight>(encrypt, high, low, in, out, per_pass);
    advance(per_pass);
  }
  if (blocks == 0) return;
  ctr_tail<in_flight>(encrypt, high, low, in, out, blocks);
  advance(blocks);
}

}  // namespace

// Only CTR differs from vperm: the rest is its code, on its schedule.
constinit const AesBackend vperm256_backend = vperm::backend<ctr_xor>("vperm256");

}  // namespace rdz

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
