// The 16-byte vector layer under the vector-permute AES: load, store, XOR, AND, the
// split of a byte into its nibbles, and the byte shuffle (of a value, or of a constant
// table); SSSE3 on x86-64, NEON on ARM64 (where every processor has it).
//
// The shuffle is the one place the two instruction sets differ: PSHUFB zeroes a byte
// whose index has bit 7 set and otherwise uses the index's low 4 bits, TBL zeroes a
// byte whose index is 16 or more. Callers keep every index in 0..15 or in
// 0x80..0x8f, where both give the same byte (the table's, or zero).
//
// On x86-64 the module is compiled for baseline x86-64, without SSSE3, and runs
// SSSE3 code only after the processor has said it has it. So every function here
// carries the SSSE3 target attribute and is always inlined: none exists out of line,
// as a shared (COMDAT) copy another file could end up calling before the check.
// Their callers must carry the attribute too (the compiler refuses otherwise).
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <tmmintrin.h>
#define RDZ_VEC128 [[gnu::always_inline, gnu::target("ssse3")]] inline
#elif defined(__aarch64__)
#include <arm_neon.h>

#include <bit>
// from_words and the shuffle patterns take a 64-bit lane's first byte as its low one.
static_assert(std::endian::native == std::endian::little, "the NEON layer assumes little-endian lanes");
#define RDZ_VEC128 [[gnu::always_inline]] inline
#endif

#if defined(__x86_64__) || defined(__aarch64__)

namespace rdz::vec128 {

// A 16-byte constant (table or shuffle pattern), aligned for the load.
struct alignas(16) Bytes16 {
  std::uint8_t byte[16];
};

#if defined(__x86_64__)

using Vec = __m128i;

RDZ_VEC128 Vec load(const std::uint8_t* p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
RDZ_VEC128 void store(std::uint8_t* p, Vec v) noexcept { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
RDZ_VEC128 Vec eor(Vec a, Vec b) noexcept { return _mm_xor_si128(a, b); }
RDZ_VEC128 Vec band(Vec a, Vec b) noexcept { return _mm_and_si128(a, b); }
RDZ_VEC128 Vec splat(std::uint8_t byte) noexcept { return _mm_set1_epi8(static_cast<char>(byte)); }
// Bytes 0..7 from `low`, 8..15 from `high`, each little-endian.
RDZ_VEC128 Vec from_words(std::uint64_t low, std::uint64_t high) noexcept {
  return _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low));
}
// The mask is loaded for each use, for the reason given at lookup() below: a copy of
// a mask kept in a register would take a vector port.
inline constexpr Bytes16 nibble_mask{{15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15}};
RDZ_VEC128 Vec low_nibbles(Vec v) noexcept {
  Vec result;
  asm("movdqa %1, %0\n\tpand %2, %0" : "=&x"(result) : "m"(nibble_mask), "x"(v));
  return result;
}
// Masked first, then shifted: the 16-bit shift then brings zeros into bit 4..7, and
// the mask, not the byte, is what the AND overwrites (no copy of the byte).
inline constexpr Bytes16 high_nibble_mask{{0xf0, 0xf0, 0xf0, 0xf0, 0xf0, 0xf0, 0xf0, 0xf0,
                                           0xf0, 0xf0, 0xf0, 0xf0, 0xf0, 0xf0, 0xf0, 0xf0}};
RDZ_VEC128 Vec high_nibbles(Vec v) noexcept {
  Vec result;
  asm("movdqa %1, %0\n\tpand %2, %0\n\tpsrlw $4, %0" : "=&x"(result) : "m"(high_nibble_mask), "x"(v));
  return result;
}
// result[n] = table[index[n]], zero where index[n] is 0x80..0x8f.
RDZ_VEC128 Vec shuffle(Vec table, Vec index) noexcept { return _mm_shuffle_epi8(table, index); }
// The same with a constant table, loaded from memory for this one lookup. PSHUFB
// overwrites its table operand, so a table kept in a register costs a register copy
// per lookup, and on the Intel Xeon this was measured on those copies are not always
// renamed away: they take the vector ports the shuffles and XORs need, and some land
// on the dependency chain. A load takes a load port instead, and does not wait for the data.
// One asm statement, because the compiler, seeing the same table twice, would keep it
// in a register and copy it again.
RDZ_VEC128 Vec lookup(const Bytes16& table, Vec index) noexcept {
  Vec result;
  asm("movdqa %1, %0\n\tpshufb %2, %0" : "=&x"(result) : "m"(table), "x"(index));
  return result;
}

#else

using Vec = uint8x16_t;

RDZ_VEC128 Vec load(const std::uint8_t* p) noexcept { return vld1q_u8(p); }
RDZ_VEC128 void store(std::uint8_t* p, Vec v) noexcept { vst1q_u8(p, v); }
RDZ_VEC128 Vec eor(Vec a, Vec b) noexcept { return veorq_u8(a, b); }
RDZ_VEC128 Vec band(Vec a, Vec b) noexcept { return vandq_u8(a, b); }
RDZ_VEC128 Vec splat(std::uint8_t byte) noexcept { return vdupq_n_u8(byte); }
RDZ_VEC128 Vec from_words(std::uint64_t low, std::uint64_t high) noexcept {
  return vreinterpretq_u8_u64(vcombine_u64(vcreate_u64(low), vcreate_u64(high)));
}
RDZ_VEC128 Vec low_nibbles(Vec v) noexcept { return vandq_u8(v, vdupq_n_u8(0x0f)); }
RDZ_VEC128 Vec high_nibbles(Vec v) noexcept { return vshrq_n_u8(v, 4); }
RDZ_VEC128 Vec shuffle(Vec table, Vec index) noexcept { return vqtbl1q_u8(table, index); }
// TBL does not overwrite its table: a table may stay in a register.
RDZ_VEC128 Vec lookup(const Bytes16& table, Vec index) noexcept { return vqtbl1q_u8(load(table.byte), index); }

#endif

RDZ_VEC128 Vec load(const Bytes16& constant) noexcept { return load(constant.byte); }

// The forms the rounds shared with the 32-byte layer (vec256.hpp) take, where a
// constant or a round key is the same 16 bytes in every lane: `v` rearranged by a
// constant pattern, and `v` XORed with the 16 bytes at `bytes`.
RDZ_VEC128 Vec permute(Vec v, const Bytes16& pattern) noexcept { return shuffle(v, load(pattern)); }
RDZ_VEC128 Vec eor_block(Vec v, const std::uint8_t* bytes) noexcept { return eor(v, load(bytes)); }

// The value as it is, opaque to the compiler: it then cannot re-associate a chain of
// XORs through it, which it does without regard to when each term is ready (adding
// a term that is ready early at the end, one step more on a dependency chain).
RDZ_VEC128 Vec settled(Vec v) noexcept {
#if defined(__x86_64__)
  asm("" : "+x"(v));
#else
  asm("" : "+w"(v));
#endif
  return v;
}

}  // namespace rdz::vec128

#endif

#undef RDZ_VEC128
