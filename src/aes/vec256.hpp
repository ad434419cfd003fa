// The 32-byte vector layer under the vector-permute AES on AVX2: the operations of
// vec128.hpp on two 16-byte lanes at once, one block in each. VPSHUFB shuffles each
// lane within itself, with PSHUFB's rule per lane (an index with bit 7 set gives
// zero, else its low 4 bits pick the byte), so a 16-byte table or pattern is
// broadcast to both lanes (VBROADCASTI128) and every step does to each lane what the
// 16-byte layer does to its one block. x86-64 only.
//
// The module is compiled for baseline x86-64 and runs AVX2 code only after the
// processor (and the OS, for the YMM state) has said it can. So, as in vec128.hpp,
// every function here carries the AVX2 target attribute and is always inlined: none
// exists out of line, as a shared (COMDAT) copy that code running before the check
// could end up calling. Their callers must carry the attribute too.
#pragma once

#include "aes/vec128.hpp"

#if defined(__x86_64__)

#include <immintrin.h>

#include <cstdint>

#define RDZ_VEC256 [[gnu::always_inline, gnu::target("avx2")]] inline

namespace rdz::vec256 {

using vec128::Bytes16;
using Vec = __m256i;

// A 32-byte constant, for the memory operand of a 256-bit AND.
struct alignas(32) Bytes32 {
  std::uint8_t byte[32];
};

// The 16 bytes at `bytes` in both lanes.
RDZ_VEC256 Vec broadcast(const std::uint8_t* bytes) noexcept {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)));
}
RDZ_VEC256 Vec load(const std::uint8_t* p) noexcept { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
RDZ_VEC256 void store(std::uint8_t* p, Vec v) noexcept { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
RDZ_VEC256 Vec eor(Vec a, Vec b) noexcept { return _mm256_xor_si256(a, b); }
RDZ_VEC256 Vec band(Vec a, Vec b) noexcept { return _mm256_and_si256(a, b); }

// The masks and tables are memory operands, loaded at each use (a load port, not a
// vector port): kept in registers, as the compiler would keep them, they would take
// registers the blocks in flight need, and the state would be spilled to the stack.
// asm statements, so that the compiler cannot hoist them. The three-operand forms
// need no register copies.
inline constexpr Bytes32 nibble_mask{{15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15,
                                      15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15}};
RDZ_VEC256 Vec low_nibbles(Vec v) noexcept {
  Vec result;
  asm("vpand %1, %2, %0" : "=x"(result) : "m"(nibble_mask), "x"(v));
  return result;
}
// Shifted first, then masked: the 16-bit shift brings the next byte's low bits into
// bits 4..7, which the mask clears.
RDZ_VEC256 Vec high_nibbles(Vec v) noexcept {
  Vec result;
  asm("vpsrlw $4, %2, %0\n\tvpand %1, %0, %0" : "=&x"(result) : "m"(nibble_mask), "x"(v));
  return result;
}
// result[n] = table[index[n]] within each lane, zero where index[n] is 0x80..0x8f.
RDZ_VEC256 Vec shuffle(Vec table, Vec index) noexcept { return _mm256_shuffle_epi8(table, index); }
// The same with a constant 16-byte table in both lanes, broadcast from memory for
// this one lookup (VBROADCASTI128 takes a load port only, no vector port).
RDZ_VEC256 Vec lookup(const Bytes16& table, Vec index) noexcept {
  Vec result;
  asm("vbroadcasti128 %1, %0\n\tvpshufb %2, %0, %0" : "=&x"(result) : "m"(table), "x"(index));
  return result;
}
// `v` rearranged within each lane by a constant 16-byte pattern.
RDZ_VEC256 Vec permute(Vec v, const Bytes16& pattern) noexcept {
  Vec result;
  asm("vbroadcasti128 %1, %0\n\tvpshufb %0, %2, %0" : "=&x"(result) : "m"(pattern), "x"(v));
  return result;
}
// `v` XORed with the 16 bytes at `bytes` in each lane (a round key).
RDZ_VEC256 Vec eor_block(Vec v, const std::uint8_t* bytes) noexcept { return eor(v, broadcast(bytes)); }

}  // namespace rdz::vec256

#undef RDZ_VEC256

#endif
