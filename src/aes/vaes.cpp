#include "aes/vaes.hpp"

#if defined(__x86_64__)

#include "aes/registers.hpp"

#include <immintrin.h>

// Per function, so that the rest of the module stays baseline x86-64.
#define RDZ_VAES512 __attribute__((target("vaes,avx512f,avx512bw")))
#define RDZ_VAES256 __attribute__((target("vaes,avx2")))

namespace rdz::vaes {
namespace {

constexpr int rounds = 14;
constexpr int in_flight = 8;  // vectors per group: enough to cover the latency of a round

// The schedule's address, made opaque to the optimiser once per group of blocks: it
// cannot then keep round keys loaded for one group in registers for the next (where
// they would live across the whole loop and, under register pressure, be spilled
// to the stack); each round key is loaded for its round.
inline const std::uint32_t* opaque(const std::uint32_t* keys) noexcept {
  asm volatile("" : "+r"(keys));
  return keys;
}

// Splits `blocks` into segments over which the low half of the counter does not
// wrap, so that the kernels may count in the low 64 bits of each lane alone; between
// two segments the carry goes into the high half (and all-0xFF wraps to zero).
template <class Segment>
inline void by_segments(Segment segment, std::uint64_t& high, std::uint64_t& low, const std::uint8_t* in,
                        std::uint8_t* out, std::size_t blocks) noexcept {
  while (blocks > 0) {
    const std::uint64_t before_wrap = 0 - low;  // 2^64 - low, where 0 stands for 2^64
    const std::size_t n = before_wrap != 0 && before_wrap < blocks ? before_wrap : blocks;
    segment(high, low, in, out, n);
    in += 16 * n;
    out += 16 * n;
    blocks -= n;
    low += n;
    if (low == 0) ++high;
  }
}

// In the kernels each 16-byte lane holds a counter as a little-endian 128-bit
// integer (low half first); reversing the lane's bytes gives the big-endian block.
inline __m128i lane_reversal() noexcept { return _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15); }

// ---- 512-bit: four blocks per vector ----------------------------------------------

RDZ_VAES512 inline __m512i round_key512(const std::uint32_t* keys, int i) noexcept {
  return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(keys + 4 * i)));
}

// K vectors of counter blocks from `counters` (advanced by 4K blocks), encrypted,
// XORed into `in` and stored to `out`. With Masked, the last vector reads and writes
// only the 8-byte words set in `last`.
template <int K, bool Masked>
RDZ_VAES512 inline void group512(const std::uint32_t* keys, __m512i& counters, const std::uint8_t* in,
                                 std::uint8_t* out, __mmask8 last) noexcept {
  const __m512i reverse = _mm512_broadcast_i32x4(lane_reversal());
  const __m512i four = _mm512_set_epi64(0, 4, 0, 4, 0, 4, 0, 4);
  keys = opaque(keys);
  __m512i x[K];
  const __m512i first = round_key512(keys, 0);
#pragma GCC unroll 8
  for (int j = 0; j < K; ++j) {
    x[j] = _mm512_xor_si512(_mm512_shuffle_epi8(counters, reverse), first);
    counters = _mm512_add_epi64(counters, four);
  }
#pragma GCC unroll 13
  for (int r = 1; r < rounds; ++r) {
    const __m512i key = round_key512(keys, r);
#pragma GCC unroll 8
    for (int j = 0; j < K; ++j) x[j] = _mm512_aesenc_epi128(x[j], key);
  }
  const __m512i final_key = round_key512(keys, rounds);
#pragma GCC unroll 8
  for (int j = 0; j < K; ++j) {
    x[j] = _mm512_aesenclast_epi128(x[j], final_key);
    if (Masked && j == K - 1) {
      const __m512i text = _mm512_maskz_loadu_epi64(last, in + 64 * j);
      _mm512_mask_storeu_epi64(out + 64 * j, last, _mm512_xor_si512(x[j], text));
    } else {
      _mm512_storeu_si512(out + 64 * j, _mm512_xor_si512(x[j], _mm512_loadu_si512(in + 64 * j)));
    }
  }
}

// The last 4K - 3 to 4K blocks of a segment.
template <int K>
RDZ_VAES512 inline void tail512(const std::uint32_t* keys, __m512i& counters, const std::uint8_t* in, std::uint8_t* out,
                                std::size_t blocks) noexcept {
  const unsigned in_last = static_cast<unsigned>(blocks) - 4 * (K - 1);  // 1..4
  group512<K, true>(keys, counters, in, out, static_cast<__mmask8>((1u << (2 * in_last)) - 1));
}

// Out of line: inlined, it would be copied into each peeled iteration of the
// segment loop.
__attribute__((noinline)) RDZ_VAES512 void segment512(const std::uint32_t* keys, std::uint64_t high, std::uint64_t low,
                                                      const std::uint8_t* in, std::uint8_t* out,
                                                      std::size_t blocks) noexcept {
  const auto h = static_cast<long long>(high), l = static_cast<long long>(low);
  __m512i counters =
      _mm512_add_epi64(_mm512_set_epi64(h, l, h, l, h, l, h, l), _mm512_set_epi64(0, 3, 0, 2, 0, 1, 0, 0));
  constexpr std::size_t per_group = 4 * in_flight;
  for (; blocks >= per_group; blocks -= per_group, in += 16 * per_group, out += 16 * per_group) {
    group512<in_flight, false>(keys, counters, in, out, 0xff);
  }
  switch ((blocks + 3) / 4) {
    case 1:
      return tail512<1>(keys, counters, in, out, blocks);
    case 2:
      return tail512<2>(keys, counters, in, out, blocks);
    case 3:
      return tail512<3>(keys, counters, in, out, blocks);
    case 4:
      return tail512<4>(keys, counters, in, out, blocks);
    case 5:
      return tail512<5>(keys, counters, in, out, blocks);
    case 6:
      return tail512<6>(keys, counters, in, out, blocks);
    case 7:
      return tail512<7>(keys, counters, in, out, blocks);
    case 8:
      return tail512<8>(keys, counters, in, out, blocks);
    default:
      return;  // none left
  }
}

// ---- 256-bit: two blocks per vector -----------------------------------------------

RDZ_VAES256 inline __m256i round_key256(const std::uint32_t* keys, int i) noexcept {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(keys + 4 * i)));
}

// As group512, two blocks per vector; with `half_last` the last vector's second
// block is neither read nor written.
template <int K>
RDZ_VAES256 inline void group256(const std::uint32_t* keys, __m256i& counters, const std::uint8_t* in,
                                 std::uint8_t* out, bool half_last) noexcept {
  const __m256i reverse = _mm256_broadcastsi128_si256(lane_reversal());
  const __m256i two = _mm256_set_epi64x(0, 2, 0, 2);
  keys = opaque(keys);
  __m256i x[K];
  const __m256i first = round_key256(keys, 0);
#pragma GCC unroll 8
  for (int j = 0; j < K; ++j) {
    x[j] = _mm256_xor_si256(_mm256_shuffle_epi8(counters, reverse), first);
    counters = _mm256_add_epi64(counters, two);
  }
#pragma GCC unroll 13
  for (int r = 1; r < rounds; ++r) {
    const __m256i key = round_key256(keys, r);
#pragma GCC unroll 8
    for (int j = 0; j < K; ++j) x[j] = _mm256_aesenc_epi128(x[j], key);
  }
  const __m256i final_key = round_key256(keys, rounds);
#pragma GCC unroll 8
  for (int j = 0; j < K; ++j) {
    x[j] = _mm256_aesenclast_epi128(x[j], final_key);
    if (j == K - 1 && half_last) {
      const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 32 * j));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 * j), _mm_xor_si128(_mm256_castsi256_si128(x[j]), text));
    } else {
      const __m256i text = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 32 * j));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * j), _mm256_xor_si256(x[j], text));
    }
  }
}

__attribute__((noinline)) RDZ_VAES256 void segment256(const std::uint32_t* keys, std::uint64_t high, std::uint64_t low,
                                                      const std::uint8_t* in, std::uint8_t* out,
                                                      std::size_t blocks) noexcept {
  const auto h = static_cast<long long>(high), l = static_cast<long long>(low);
  __m256i counters = _mm256_add_epi64(_mm256_set_epi64x(h, l, h, l), _mm256_set_epi64x(0, 1, 0, 0));
  constexpr std::size_t per_group = 2 * in_flight;
  for (; blocks >= per_group; blocks -= per_group, in += 16 * per_group, out += 16 * per_group) {
    group256<in_flight>(keys, counters, in, out, false);
  }
  switch ((blocks + 1) / 2) {
    case 1:
      return group256<1>(keys, counters, in, out, blocks % 2 != 0);
    case 2:
      return group256<2>(keys, counters, in, out, blocks % 2 != 0);
    case 3:
      return group256<3>(keys, counters, in, out, blocks % 2 != 0);
    case 4:
      return group256<4>(keys, counters, in, out, blocks % 2 != 0);
    case 5:
      return group256<5>(keys, counters, in, out, blocks % 2 != 0);
    case 6:
      return group256<6>(keys, counters, in, out, blocks % 2 != 0);
    case 7:
      return group256<7>(keys, counters, in, out, blocks % 2 != 0);
    case 8:
      return group256<8>(keys, counters, in, out, blocks % 2 != 0);
    default:
      return;  // none left
  }
}

}  // namespace

void ctr_xor_512(const AesSchedule& schedule, std::uint64_t& high, std::uint64_t& low, const std::uint8_t* in,
                 std::uint8_t* out, std::size_t blocks) noexcept {
  const RegistersClearedOnReturn<clear_avx512_registers> registers_cleared;
  by_segments(
      [&](std::uint64_t h, std::uint64_t l, const std::uint8_t* from, std::uint8_t* to, std::size_t n) {
        segment512(reinterpret_cast<const std::uint32_t*>(schedule.bytes), h, l, from, to, n);
      },
      high, low, in, out, blocks);
}

void ctr_xor_256(const AesSchedule& schedule, std::uint64_t& high, std::uint64_t& low, const std::uint8_t* in,
                 std::uint8_t* out, std::size_t blocks) noexcept {
  const RegistersClearedOnReturn<clear_avx_registers> registers_cleared;
  by_segments(
      [&](std::uint64_t h, std::uint64_t l, const std::uint8_t* from, std::uint8_t* to, std::size_t n) {
        segment256(reinterpret_cast<const std::uint32_t*>(schedule.bytes), h, l, from, to, n);
      },
      high, low, in, out, blocks);
}

}  // namespace rdz::vaes

#endif

#if defined(__x86_64__)

#include "aes/aesni.hpp"
#include "aes/backend.hpp"

namespace rdz {
namespace {

// Below four blocks the 128-bit instructions are faster: a vector would be mostly
// empty, and its set-up is not paid back.
constexpr std::size_t wide_from = 4;

void ctr_xor_512(const AesSchedule& schedule, std::uint64_t& high, std::uint64_t& low, const std::uint8_t* in,
                 std::uint8_t* out, std::size_t blocks) noexcept {
  if (blocks < wide_from) return aesni::ctr_xor(schedule, high, low, in, out, blocks);
  vaes::ctr_xor_512(schedule, high, low, in, out, blocks);
}

void ctr_xor_256(const AesSchedule& schedule, std::uint64_t& high, std::uint64_t& low, const std::uint8_t* in,
                 std::uint8_t* out, std::size_t blocks) noexcept {
  if (blocks < wide_from) return aesni::ctr_xor(schedule, high, low, in, out, blocks);
  vaes::ctr_xor_256(schedule, high, low, in, out, blocks);
}

}  // namespace

// IGE is one serial chain, which the wide instructions cannot speed up: the VAES
// backends share AES-NI's key expansion and IGE.
constinit const AesBackend vaes512_backend{
    aesni::expand_encrypt, aesni::expand_decrypt, aesni::ige_encrypt, aesni::ige_decrypt,
    ctr_xor_512,           aesni::schedule_size,  "vaes512"};
constinit const AesBackend vaes256_backend{
    aesni::expand_encrypt, aesni::expand_decrypt, aesni::ige_encrypt, aesni::ige_decrypt,
    ctr_xor_256,           aesni::schedule_size,  "vaes256"};

}  // namespace rdz

#endif
