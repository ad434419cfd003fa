// The hardware limit of an AES-256 CTR keystream with the wide AES instructions:
// counter blocks encrypted with VAES (512-bit, four blocks per instruction, where
// AVX-512 is there; else 256-bit, two) with many vectors in flight and all 15 round
// keys held in registers, XORed into a buffer in place. Nothing else is done per
// block: no carry beyond the low 64 bits, no tail, no call boundary. What the
// module's CTR calls add to this is their overhead.
// The round keys are arbitrary; the key schedule does not change the timing.
//
//   vaes_ctr BLOCKS REPETITIONS   prints the mean ns per block over the repetitions
//                                 (after one untimed pass), a checksum byte and the
//                                 vector width; exits 2 without VAES
#include <immintrin.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

constexpr int in_flight = 8;

__attribute__((target("vaes,avx512f,avx512bw"))) void keystream512(__m128i* data, std::size_t blocks,
                                                                   const __m128i* keys128) {
  __m512i k[15];
  for (int r = 0; r < 15; ++r) k[r] = _mm512_broadcast_i32x4(keys128[r]);
  const __m512i reverse = _mm512_broadcast_i32x4(_mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
  const __m512i step = _mm512_set_epi64(0, 4, 0, 4, 0, 4, 0, 4);
  __m512i counter = _mm512_set_epi64(0, 3, 0, 2, 0, 1, 0, 0);
  auto* at = reinterpret_cast<__m512i*>(data);
  for (std::size_t i = 0; i + 4 * in_flight <= blocks; i += 4 * in_flight, at += in_flight) {
    __m512i x[in_flight];
#pragma GCC unroll 16
    for (int j = 0; j < in_flight; ++j) {
      x[j] = _mm512_xor_si512(_mm512_shuffle_epi8(counter, reverse), k[0]);
      counter = _mm512_add_epi64(counter, step);
    }
#pragma GCC unroll 13
    for (int r = 1; r < 14; ++r) {
#pragma GCC unroll 16
      for (int j = 0; j < in_flight; ++j) x[j] = _mm512_aesenc_epi128(x[j], k[r]);
    }
#pragma GCC unroll 16
    for (int j = 0; j < in_flight; ++j) {
      _mm512_storeu_si512(at + j, _mm512_xor_si512(_mm512_aesenclast_epi128(x[j], k[14]), _mm512_loadu_si512(at + j)));
    }
  }
}

__attribute__((target("vaes,avx2"))) void keystream256(__m128i* data, std::size_t blocks, const __m128i* keys128) {
  const __m256i reverse =
      _mm256_broadcastsi128_si256(_mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
  const __m256i step = _mm256_set_epi64x(0, 2, 0, 2);
  __m256i counter = _mm256_set_epi64x(0, 1, 0, 0);
  auto* at = reinterpret_cast<__m256i*>(data);
  // Sixteen YMM registers cannot hold eight blocks and fifteen round keys: each round
  // key is broadcast from memory (L1) for its round, on a load port the AES
  // instructions do not use.
  for (std::size_t i = 0; i + 2 * in_flight <= blocks; i += 2 * in_flight, at += in_flight) {
    __m256i x[in_flight];
#pragma GCC unroll 16
    for (int j = 0; j < in_flight; ++j) {
      x[j] = _mm256_xor_si256(_mm256_shuffle_epi8(counter, reverse), _mm256_broadcastsi128_si256(keys128[0]));
      counter = _mm256_add_epi64(counter, step);
    }
#pragma GCC unroll 13
    for (int r = 1; r < 14; ++r) {
      const __m256i k = _mm256_broadcastsi128_si256(keys128[r]);
#pragma GCC unroll 16
      for (int j = 0; j < in_flight; ++j) x[j] = _mm256_aesenc_epi128(x[j], k);
    }
    const __m256i last = _mm256_broadcastsi128_si256(keys128[14]);
#pragma GCC unroll 16
    for (int j = 0; j < in_flight; ++j) {
      _mm256_storeu_si256(at + j, _mm256_xor_si256(_mm256_aesenclast_epi128(x[j], last), _mm256_loadu_si256(at + j)));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 65536;
  const long repetitions = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 10;
  __builtin_cpu_init();
  const bool has256 = __builtin_cpu_supports("vaes") && __builtin_cpu_supports("avx2");
  const bool has512 = has256 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
  if (!has256) {
    std::printf("unsupported\n");
    return 2;
  }
  alignas(16) __m128i keys[15];
  for (int round = 0; round < 15; ++round)
    keys[round] = _mm_set_epi32(round * 0x9e3779b9, round + 17, ~round, round << 20);
  const auto blocks = std::make_unique<__m128i[]>(count);
  for (std::size_t i = 0; i < count; ++i) blocks[i] = _mm_set_epi64x(static_cast<long long>(i), 0x5bd1e995);
  const auto run = has512 ? keystream512 : keystream256;

  run(blocks.get(), count, keys);  // page faults and clock ramp-up stay outside
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < repetitions; ++i) run(blocks.get(), count, keys);
  const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;

  alignas(16) unsigned char sink[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(sink), blocks[count / 2]);
  std::printf("%.4f %02x %d\n", elapsed.count() / (static_cast<double>(count) * repetitions), sink[0],
              has512 ? 512 : 256);
  return 0;
}
