// The rounds of the vector-permute AES (vperm.cpp explains the technique), written
// once over the vector layer: a `Vec` is one block in a 16-byte vector (vec128.hpp)
// or two in a 32-byte one (vec256.hpp, a block in each lane, every shuffle within
// its lane). The layers give the same operations as overloads on their vector type,
// so each step below does the same thing to every block it holds.
//
// Include this inside the target region of the file that runs it (after its
// `#pragma GCC target`): GCC gives a template the target options in force where the
// template is defined, and an always-inline operation of the layer can be inlined
// only into code whose target includes its own. Everything here is always inlined,
// like the layers: no instance exists out of line, so none compiled for one
// instruction set can be shared (COMDAT) with a file compiled for another.
#pragma once

#include "aes/backend.hpp"
#include "aes/vec128.hpp"
#include "aes/vec256.hpp"
#include "aes/vperm_tables.hpp"

#include <cstddef>
#include <cstdint>

// GCC's target pragma defines the instruction set's macro; clang's attribute region
// (its equivalent) does not, so only GCC can be checked here.
#if defined(__x86_64__) && !defined(__SSSE3__) && !defined(__clang__)
#error "aes/vperm_rounds.hpp belongs inside a region compiled for SSSE3 or AVX2"
#endif

#if defined(__x86_64__) || defined(__aarch64__)

namespace rdz::vperm {

using vec128::band;
using vec128::eor;
using vec128::eor_block;
using vec128::high_nibbles;
using vec128::lookup;
using vec128::low_nibbles;
using vec128::permute;
using vec128::shuffle;
#if defined(__x86_64__)
using vec256::band;
using vec256::eor;
using vec256::eor_block;
using vec256::high_nibbles;
using vec256::lookup;
using vec256::low_nibbles;
using vec256::permute;
using vec256::shuffle;
#endif

[[gnu::always_inline]] inline const std::uint8_t* round_key_bytes(const AesSchedule& keys, int m) noexcept {
  return keys.bytes + 16 * m;
}

// The inverse in the tower, as the two nibble vectors the output tables take.
template <class Vec>
struct Inverted {
  Vec io, jo;
};

template <class Vec>
[[gnu::always_inline]] inline Inverted<Vec> invert(Vec y) noexcept {
  const Vec i = high_nibbles(y), k = low_nibbles(y), j = eor(i, k);
  const Bytes16& inverse = tables.inverse;
  const Vec a_over_k = lookup(tables.a_over, k);
  const Vec iak = eor(lookup(inverse, i), a_over_k), jak = eor(lookup(inverse, j), a_over_k);
  return {eor(lookup(inverse, iak), j), eor(lookup(inverse, jak), i)};
}

template <class Vec>
[[gnu::always_inline]] inline Vec map_in(const derive::InputPair& pair, Vec x) noexcept {
  return eor(lookup(pair.low, low_nibbles(x)), lookup(pair.high, high_nibbles(x)));
}

template <class Vec>
[[gnu::always_inline]] inline Vec map_out(const derive::OutputPair& pair, Inverted<Vec> v) noexcept {
  return eor(lookup(pair.u, v.io), lookup(pair.w, v.jo));
}

// MixColumns and round key m of a middle round of encryption, from the S-box times 1
// and times 2 of its state. MixColumns is
// 2 a_r + 3 a_r+1 + a_r+2 + a_r+3 = y + rot1(y + s1) with y = s2 + rot2(s1): two
// rotations, the fewest shuffles (rotations within a column commute, so
// rot1(rot2(s1)) is a_r+3).
template <class Vec>
[[gnu::always_inline]] inline Vec mix_columns(const AesSchedule& keys, int m, Vec s1, Vec s2) noexcept {
  const Vec a2 = permute(s1, tables.encrypt_rotate_2[m & 3]);
  const Vec y = eor(s2, a2), z = eor(y, s1);
  return eor(eor_block(y, round_key_bytes(keys, m)), permute(z, tables.encrypt_rotate_1[m & 3]));
}

// One middle round of encryption, m = 1..13: SubBytes (the output pairs give the
// S-box times 1 and 2), MixColumns and the round key. This is the form for
// independent blocks (CTR), where the vector ports set the pace.
template <class Vec>
[[gnu::always_inline]] inline Vec encrypt_round(const AesSchedule& keys, int m, Vec b) noexcept {
  const Inverted<Vec> v = invert(b);
  return mix_columns(keys, m, map_out(tables.sbox_1, v), map_out(tables.sbox_2, v));
}

template <class Vec>
[[gnu::always_inline]] inline Vec encrypt_first(const AesSchedule& keys, Vec b) noexcept {
  return eor_block(map_in(tables.encrypt_in, b), round_key_bytes(keys, 0));
}

template <class Vec>
[[gnu::always_inline]] inline Vec encrypt_last(const AesSchedule& keys, Vec b) noexcept {
  return permute(eor_block(map_out(tables.sbox_last, invert(b)), round_key_bytes(keys, rounds)),
                 tables.shift_rows[rounds & 3]);
}

// N vectors of independent blocks side by side (chains for the processor to overlap),
// for CTR, from round `from` (1, or later where the caller has done the first rounds).
template <std::size_t N, class Vec>
[[gnu::always_inline]] inline void encrypt_blocks(const AesSchedule& keys, Vec (&x)[N], int from = 1) noexcept {
  if (from == 1) {
    for (Vec& b : x) b = encrypt_first(keys, b);
  }
  for (int m = from; m < rounds; ++m) {
    for (Vec& b : x) b = encrypt_round(keys, m, b);
  }
  for (Vec& b : x) b = encrypt_last(keys, b);
}

}  // namespace rdz::vperm

#endif
