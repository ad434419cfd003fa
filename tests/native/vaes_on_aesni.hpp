// Force-included (g++ -include) into src/aes/vaes.cpp for the constant-time check
// only: each 256-bit VAES round becomes two AES-NI rounds, one per 128-bit half.
//
// valgrind decodes AVX2 and AES-NI but not VAES, so the VAES kernels cannot run under
// memcheck as they are. Rewritten this way everything else in them stays as
// compiled from the same source: the counters, the loads and stores, the masks of
// the last vector, the loop and its tails. A VAES instruction runs AES-NI's round on
// each lane independently, so the rewrite computes the same bytes (the check compares
// them with Nettle's); what it cannot show is the timing of the VAES instruction
// itself, which like AES-NI's does not depend on its operands.
//
// The two names are macros because that is the only way to replace a compiler
// intrinsic in a source file without editing it. The 512-bit kernels keep their
// AVX-512 instructions: valgrind runs none of them, and they stay unchecked.
#pragma once

#include <immintrin.h>

namespace rdz::ct {

// Marks the binary for the driver (constant_time.cpp).
extern constinit const bool vaes_on_aesni = true;

template <__m128i (*round)(__m128i, __m128i)>
__attribute__((target("aes,avx2"))) inline __m256i on_halves(__m256i state, __m256i key) noexcept {
  const __m128i low = round(_mm256_castsi256_si128(state), _mm256_castsi256_si128(key));
  const __m128i high = round(_mm256_extracti128_si256(state, 1), _mm256_extracti128_si256(key, 1));
  return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

__attribute__((target("aes"))) inline __m128i aes_round(__m128i state, __m128i key) noexcept {
  return _mm_aesenc_si128(state, key);
}
__attribute__((target("aes"))) inline __m128i aes_last_round(__m128i state, __m128i key) noexcept {
  return _mm_aesenclast_si128(state, key);
}

}  // namespace rdz::ct

#define _mm256_aesenc_epi128 ::rdz::ct::on_halves<::rdz::ct::aes_round>
#define _mm256_aesenclast_epi128 ::rdz::ct::on_halves<::rdz::ct::aes_last_round>
