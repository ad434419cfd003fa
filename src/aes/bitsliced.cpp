// A bitsliced AES-256 on 64-bit words, in plain C++: the path of processors with
// neither AES instructions nor vector byte shuffles.
//
// The technique. Four blocks (64 bytes) are held as eight 64-bit words, word j
// holding bit j of every byte. The S-box is then a fixed circuit of AND and XOR over
// whole words (Boyar and Peralta's: the inversion in GF(2^8) as a small network of
// 32 ANDs between two linear layers), computed for 64 bytes at once; the linear
// steps are shifts, rotations and masks of words. Within a word, bit 16r + 4c + b
// belongs to row r, column c of block b, so a whole-word rotation by 16 moves every
// byte one row up, the step MixColumns needs. ShiftRows is never computed
// ("fixslicing", after Adomnicai and Peyrin): after i rounds without it, the byte of
// row r, column c of the real state sits in column c + i*r, so the MixColumns of
// round i looks for its neighbours i columns further along, and the round keys are
// stored already moved by the same amount. Fourteen rounds leave ShiftRows^2 owed,
// which is done once at the end. The complements in the S-box's affine constant are
// folded into the round keys (MixColumns maps a 0x63 in every byte to itself).
//
// Decryption runs the same network backwards with the same schedule: the inverse
// S-box is the forward circuit between two copies of the inverse of its linear map
// (InvSbox(y ^ 0x63) = L(S(L(y))) with L that inverse and S the S-box without its
// constant), and InvMixColumns is MixColumns after multiplying by 04x^2 + 05.
//
// Why it is constant-time: no memory address depends on the key or the data (there
// is no table, every load and store is at a position fixed by the block count) and
// no branch does (the only branches count blocks and carry the public counter).
// Every operation on secrets is an AND, XOR, OR, shift or rotation by a constant,
// which take the same time for every operand. There is no `?:` or comparison on a
// secret for a compiler to turn into a branch, and nothing a compiler could turn
// back into a table: the S-box is computed, not looked up. The key schedule's SubWord
// goes through the same circuit.
//
// IGE is one serial chain, so it runs one real block per pass, copied into all four
// lanes. CTR runs eight counter blocks per pass, as two groups of four side by side
// (`Pair`): twice the independent work between the loads and stores of the S-box,
// and a compiler for a processor with 128-bit vectors may hold both words of a pair
// in one register (on x86-64 GCC does so in the S-box). Vector AND, XOR and shifts
// are as constant-time as scalar ones; no vector permute with a secret index is
// involved. Where a pair stays in two registers, the code is the same as four blocks
// twice.
#include "aes/backend.hpp"
#include "aes/registers.hpp"
#include "aes/stack_wiped.hpp"
#include "lib/byteorder.hpp"
#include "lib/timing.hpp"
#include "lib/secret.hpp"

#include <bit>
#include <cstring>
#include <utility>

namespace rdz {
namespace {

constexpr int rounds = 14;
constexpr std::size_t block = 16;
constexpr std::size_t lanes = 4;

// A word of slices: one 64-bit word, or two side by side for two independent
// groups of four blocks (CTR), which a compiler may keep in one vector register.
struct Pair {
  std::uint64_t half[2];
};
inline Pair operator^(Pair a, Pair b) noexcept { return {{a.half[0] ^ b.half[0], a.half[1] ^ b.half[1]}}; }
inline Pair operator&(Pair a, Pair b) noexcept { return {{a.half[0] & b.half[0], a.half[1] & b.half[1]}}; }
inline Pair operator|(Pair a, Pair b) noexcept { return {{a.half[0] | b.half[0], a.half[1] | b.half[1]}}; }
inline Pair operator&(Pair a, std::uint64_t mask) noexcept { return {{a.half[0] & mask, a.half[1] & mask}}; }
inline Pair operator^(Pair a, std::uint64_t k) noexcept { return {{a.half[0] ^ k, a.half[1] ^ k}}; }
inline Pair operator>>(Pair a, int n) noexcept { return {{a.half[0] >> n, a.half[1] >> n}}; }
inline Pair operator<<(Pair a, int n) noexcept { return {{a.half[0] << n, a.half[1] << n}}; }

template <int n>
inline std::uint64_t rotate(std::uint64_t x) noexcept {
  return std::rotr(x, n);
}
template <int n>
inline Pair rotate(Pair x) noexcept {
  return {{std::rotr(x.half[0], n), std::rotr(x.half[1], n)}};
}

// Eight words: bit j of every byte (64 of them per 64-bit word) in word j.
template <class Word>
struct Slices {
  Word w[8];
};
using Four = Slices<std::uint64_t>;
using Eight = Slices<Pair>;

// ---- moving bits between the byte layout and the slices ---------------------------

// Exchanges the bits of `low` selected by `mask` with the bits of `high` `shift`
// places above them.
template <class Word>
inline void swap_across(Word& high, Word& low, int shift, std::uint64_t mask) noexcept {
  const Word t = ((high >> shift) ^ low) & mask;
  low = low ^ t;
  high = high ^ (t << shift);
}

// Exchanges the bits of `x` selected by `mask` with the bits `shift` places above them.
template <class Word>
inline Word swap_within(Word x, int shift, std::uint64_t mask) noexcept {
  const Word t = ((x >> shift) ^ x) & mask;
  return x ^ t ^ (t << shift);
}

// The three exchanges that turn the byte layout into slices; each is its own
// inverse. Before them, word 4 * c0 + b holds columns c0 and c0 + 2 of block b, bit
// 32 * c1 + 8 * r + j for bit j of row r of column 2 * c1 + c0; those are moved first
// to bit 16 * r + 8 * c1 + j. The exchanges then swap the three bits of the word's
// number (c0, b) with the three bits of j: word j, bit 16 * r + 4 * c + b.
template <class Word>
inline void transpose(Slices<Word>& s) noexcept {
  for (int k = 0; k < 4; ++k) swap_across(s.w[k], s.w[k + 4], 4, 0x0f0f0f0f0f0f0f0f);
  for (int k : {0, 1, 4, 5}) swap_across(s.w[k], s.w[k + 2], 2, 0x3333333333333333);
  for (int k : {0, 2, 4, 6}) swap_across(s.w[k], s.w[k + 1], 1, 0x5555555555555555);
}

// Columns c0 and c0 + 2 (bits 8 * r + j and 32 + 8 * r + j) to rows (16 * r + 8 * c1 + j)
// and back.
inline std::uint64_t columns_to_rows(std::uint64_t x) noexcept {
  x = swap_within(x, 16, 0x00000000ffff0000);
  return swap_within(x, 8, 0x0000ff000000ff00);
}
template <class Word>
inline Word rows_to_columns(Word x) noexcept {
  x = swap_within(x, 8, 0x0000ff000000ff00);
  return swap_within(x, 16, 0x00000000ffff0000);
}

// Four blocks (which may be the same) into slices.
inline Four load_blocks(const std::uint8_t* const (&blocks)[lanes]) noexcept {
  Four s;
  for (std::size_t b = 0; b < lanes; ++b) {
    for (std::size_t c0 = 0; c0 < 2; ++c0) {
      const std::uint64_t columns = load_le32(blocks[b] + 4 * c0) | std::uint64_t{load_le32(blocks[b] + 4 * (c0 + 2))}
                                                                        << 32;
      s.w[4 * c0 + b] = columns_to_rows(columns);
    }
  }
  transpose(s);
  return s;
}

// Block `b` of slices already transposed back, XORed with 16 bytes of `in`, into
// `out`.
inline void xor_block(const Four& s, std::size_t b, const std::uint8_t* in, std::uint8_t* out) noexcept {
  for (std::size_t c0 = 0; c0 < 2; ++c0) {
    const std::uint64_t columns = rows_to_columns(s.w[4 * c0 + b]);
    store_le32(out + 4 * c0, static_cast<std::uint32_t>(columns) ^ load_le32(in + 4 * c0));
    store_le32(out + 4 * (c0 + 2), static_cast<std::uint32_t>(columns >> 32) ^ load_le32(in + 4 * (c0 + 2)));
  }
}

// ---- the S-box ---------------------------------------------------------------------

// Boyar and Peralta's circuit for the S-box without its constant 0x63 (which the
// round keys carry): a linear layer of 23 XORs, the inversion of 32 ANDs and 30 XORs
// between them, and an output layer of 30 XORs. u0 is the high bit of the byte.
template <class Word>
[[gnu::always_inline]] inline void sbox_circuit(Slices<Word>& s) noexcept {
  const Word u0 = s.w[7], u1 = s.w[6], u2 = s.w[5], u3 = s.w[4], u4 = s.w[3], u5 = s.w[2], u6 = s.w[1], u7 = s.w[0];
  const Word t1 = u0 ^ u3, t2 = u0 ^ u5, t3 = u0 ^ u6, t4 = u3 ^ u5, t5 = u4 ^ u6, t6 = t1 ^ t5;
  const Word t7 = u1 ^ u2, t8 = u7 ^ t6, t9 = u7 ^ t7, t10 = t6 ^ t7, t11 = u1 ^ u5, t12 = u2 ^ u5;
  const Word t13 = t3 ^ t4, t14 = t6 ^ t11, t15 = t5 ^ t11, t16 = t5 ^ t12, t17 = t9 ^ t16;
  const Word t18 = u3 ^ u7, t19 = t7 ^ t18, t20 = t1 ^ t19, t21 = u6 ^ u7, t22 = t7 ^ t21;
  const Word t23 = t2 ^ t22, t24 = t2 ^ t10, t25 = t20 ^ t17, t26 = t3 ^ t16, t27 = t1 ^ t12;

  const Word m1 = t13 & t6, m2 = t23 & t8, m3 = t14 ^ m1, m4 = t19 & u7, m5 = m4 ^ m1;
  const Word m6 = t3 & t16, m7 = t22 & t9, m8 = t26 ^ m6, m9 = t20 & t17, m10 = m9 ^ m6;
  const Word m11 = t1 & t15, m12 = t4 & t27, m13 = m12 ^ m11, m14 = t2 & t10, m15 = m14 ^ m11;
  const Word m16 = m3 ^ m2, m17 = m5 ^ t24, m18 = m8 ^ m7, m19 = m10 ^ m15, m20 = m16 ^ m13;
  const Word m21 = m17 ^ m15, m22 = m18 ^ m13, m23 = m19 ^ t25, m24 = m22 ^ m23, m25 = m22 & m20;
  const Word m26 = m21 ^ m25, m27 = m20 ^ m21, m28 = m23 ^ m25, m29 = m28 & m27, m30 = m26 & m24;
  const Word m31 = m20 & m23, m32 = m27 & m31, m33 = m27 ^ m25, m34 = m21 & m22, m35 = m24 & m34;
  const Word m36 = m24 ^ m25, m37 = m21 ^ m29, m38 = m32 ^ m33, m39 = m23 ^ m30, m40 = m35 ^ m36;
  const Word m41 = m38 ^ m40, m42 = m37 ^ m39, m43 = m37 ^ m38, m44 = m39 ^ m40, m45 = m42 ^ m41;
  const Word m46 = m44 & t6, m47 = m40 & t8, m48 = m39 & u7, m49 = m43 & t16, m50 = m38 & t9;
  const Word m51 = m37 & t17, m52 = m42 & t15, m53 = m45 & t27, m54 = m41 & t10, m55 = m44 & t13;
  const Word m56 = m40 & t23, m57 = m39 & t19, m58 = m43 & t3, m59 = m38 & t22, m60 = m37 & t20;
  const Word m61 = m42 & t1, m62 = m45 & t4, m63 = m41 & t2;

  const Word l0 = m61 ^ m62, l1 = m50 ^ m56, l2 = m46 ^ m48, l3 = m47 ^ m55, l4 = m54 ^ m58;
  const Word l5 = m49 ^ m61, l6 = m62 ^ l5, l7 = m46 ^ l3, l8 = m51 ^ m59, l9 = m52 ^ m53;
  const Word l10 = m53 ^ l4, l11 = m60 ^ l2, l12 = m48 ^ m51, l13 = m50 ^ l0, l14 = m52 ^ m61;
  const Word l15 = m55 ^ l1, l16 = m56 ^ l0, l17 = m57 ^ l1, l18 = m58 ^ l8, l19 = m63 ^ l4;
  const Word l20 = l0 ^ l1, l21 = l1 ^ l7, l22 = l3 ^ l12, l23 = l18 ^ l2, l24 = l15 ^ l9;
  const Word l25 = l6 ^ l10, l26 = l7 ^ l9, l27 = l8 ^ l10, l28 = l11 ^ l14, l29 = l11 ^ l17;
  s.w[7] = l6 ^ l24;
  s.w[6] = l16 ^ l26;
  s.w[5] = l19 ^ l28;
  s.w[4] = l6 ^ l21;
  s.w[3] = l20 ^ l22;
  s.w[2] = l25 ^ l29;
  s.w[1] = l13 ^ l27;
  s.w[0] = l6 ^ l23;
}

// On a pair of groups (in vector registers) the circuit runs faster inside the
// rounds than as a call, which GCC would otherwise make of it (CTR 1 MiB about
// 1.4 times as fast here); on four blocks the compiler chooses.
inline void sbox_without_constant(Four& s) noexcept { sbox_circuit(s); }
[[gnu::always_inline]] inline void sbox_without_constant(Eight& s) noexcept { sbox_circuit(s); }

// The inverse of the S-box's linear map: bit i of the result is bits i + 2, i + 5
// and i + 7 (mod 8) of the input.
template <class Word>
inline void inverse_affine(Slices<Word>& s) noexcept {
  const Slices<Word> x = s;
  for (int i = 0; i < 8; ++i) s.w[i] = x.w[(i + 2) % 8] ^ x.w[(i + 5) % 8] ^ x.w[(i + 7) % 8];
}

// InvSbox(y ^ 0x63), the complement again carried by the round keys.
template <class Word>
inline void inverse_sbox_without_constant(Slices<Word>& s) noexcept {
  inverse_affine(s);
  sbox_without_constant(s);
  inverse_affine(s);
}

// ---- the linear layer, fixsliced ---------------------------------------------------

// Bits of the columns c >= first in every row.
constexpr std::uint64_t columns_from(int first) noexcept {
  return ((0xffffULL << (4 * first)) & 0xffff) * 0x0001000100010001ULL;
}

// The byte `rows` rows up and `columns` columns along (within its row), for every
// byte at once: the rows move by one rotation of the word, then the columns within
// every 16-bit row by two shifts under masks (one rotation fewer than two rotations
// under masks, and CTR 1 MiB about 5% faster).
template <int rows, int columns, class Word>
inline Word neighbour(Word x) noexcept {
  constexpr int along = columns % 4;
  if constexpr (along == 0) {
    return rotate<16 * rows>(x);
  } else {
    constexpr std::uint64_t wrapped = columns_from(4 - along);
    const Word row = rotate<16 * rows>(x);
    return ((row >> (4 * along)) & ~wrapped) | ((row << (16 - 4 * along)) & wrapped);
  }
}

// Multiplication by x in GF(2^8) of every byte (the reduction polynomial 0x11b).
template <class Word>
inline Slices<Word> times_x(const Slices<Word>& s) noexcept {
  return {{s.w[7], s.w[0] ^ s.w[7], s.w[1], s.w[2] ^ s.w[7], s.w[3] ^ s.w[7], s.w[4], s.w[5], s.w[6]}};
}

// MixColumns on a state that has skipped ShiftRows `shift` times (mod 4): the real
// column's next row is `shift` columns along. Each byte becomes
// 2 * (a0 ^ a1) ^ a1 ^ (a2 ^ a3), with a1, a2, a3 the bytes one, two and three rows up.
template <int shift, class Word>
inline void mix_columns(Slices<Word>& s) noexcept {
  Slices<Word> pair, up;
  for (int j = 0; j < 8; ++j) {
    up.w[j] = neighbour<1, shift>(s.w[j]);
    pair.w[j] = s.w[j] ^ up.w[j];
  }
  const Slices<Word> doubled = times_x(pair);
  for (int j = 0; j < 8; ++j) s.w[j] = doubled.w[j] ^ up.w[j] ^ neighbour<2, 2 * shift>(pair.w[j]);
}

// InvMixColumns: MixColumns after multiplying each column by 04x^2 + 05, that is
// a0 ^ 4 * (a0 ^ a2).
template <int shift, class Word>
inline void inverse_mix_columns(Slices<Word>& s) noexcept {
  Slices<Word> opposite;
  for (int j = 0; j < 8; ++j) opposite.w[j] = s.w[j] ^ neighbour<2, 2 * shift>(s.w[j]);
  const Slices<Word> quadrupled = times_x(times_x(opposite));
  for (int j = 0; j < 8; ++j) s.w[j] = s.w[j] ^ quadrupled.w[j];
  mix_columns<shift>(s);
}

// ShiftRows twice (its own inverse): rows 1 and 3 swap their column pairs.
template <class Word>
inline void shift_rows_twice(Slices<Word>& s) noexcept {
  for (Word& w : s.w) {
    w = (w & 0x0000ffff0000ffff) | ((w >> 8) & 0x00ff000000ff0000) | ((w << 8) & 0xff000000ff000000);
  }
}

// ---- rounds ------------------------------------------------------------------------

// Round key i is read from the schedule at each use, never copied.
template <class Word>
inline void add_round_key(Slices<Word>& s, const AesSchedule& schedule, int i) noexcept {
  for (int j = 0; j < 8; ++j) {
    std::uint64_t k;
    std::memcpy(&k, schedule.bytes + sizeof(Four) * i + sizeof k * j, sizeof k);
    s.w[j] = s.w[j] ^ k;
  }
}

template <int round, class Word>
inline void encrypt_round(Slices<Word>& s, const AesSchedule& schedule) noexcept {
  sbox_without_constant(s);
  mix_columns<round % 4>(s);
  add_round_key(s, schedule, round);
}

template <int round, class Word>
inline void decrypt_round(Slices<Word>& s, const AesSchedule& schedule) noexcept {
  add_round_key(s, schedule, round);
  inverse_mix_columns<round % 4>(s);
  inverse_sbox_without_constant(s);
}

template <class Word, int... round>
inline void encrypt_rounds(Slices<Word>& s, const AesSchedule& schedule,
                           std::integer_sequence<int, round...>) noexcept {
  (encrypt_round<round + 1>(s, schedule), ...);
}

template <class Word, int... round>
inline void decrypt_rounds(Slices<Word>& s, const AesSchedule& schedule,
                           std::integer_sequence<int, round...>) noexcept {
  (decrypt_round<rounds - 1 - round>(s, schedule), ...);
}

template <class Word>
void encrypt(Slices<Word>& s, const AesSchedule& schedule) noexcept {
  add_round_key(s, schedule, 0);
  encrypt_rounds(s, schedule, std::make_integer_sequence<int, rounds - 1>{});
  sbox_without_constant(s);
  add_round_key(s, schedule, rounds);
  shift_rows_twice(s);
}

void decrypt(Four& s, const AesSchedule& schedule) noexcept {
  shift_rows_twice(s);
  add_round_key(s, schedule, rounds);
  inverse_sbox_without_constant(s);
  decrypt_rounds(s, schedule, std::make_integer_sequence<int, rounds - 1>{});
  add_round_key(s, schedule, 0);
}

// ---- the key schedule --------------------------------------------------------------

// SubWord of a key schedule word (byte 0 in the low bits) through the S-box circuit,
// each byte in bit 8 * t of the slices.
std::uint32_t sub_word(std::uint32_t word) noexcept {
  Four s;
  for (int j = 0; j < 8; ++j) s.w[j] = (word >> j) & 0x01010101;
  sbox_without_constant(s);
  std::uint32_t result = 0;
  for (int j = 0; j < 8; ++j) result |= static_cast<std::uint32_t>(s.w[j] & 0x01010101) << j;
  return result ^ 0x63636363;
}

constexpr int key_words = 4 * (rounds + 1);
// One round key of eight words per round and one more.
constexpr std::size_t schedule_size = (rounds + 1) * sizeof(Four);
static_assert(schedule_size <= aes_schedule_capacity);

// Round key `i` as slices, moved as the state is after i rounds without ShiftRows
// (row r, column c holds the byte of column c - i * r) and carrying the S-box's
// constant after the first.
void store_round_key(const std::uint32_t (&words)[key_words], int i, AesSchedule& schedule,
                     std::uint8_t (&bytes)[block]) noexcept {
  for (int c = 0; c < 4; ++c) {
    for (int r = 0; r < 4; ++r) {
      bytes[4 * c + r] = static_cast<std::uint8_t>(words[4 * i + (c + 4 * r - i * r % 4) % 4] >> (8 * r));
    }
  }
  Four s = load_blocks({bytes, bytes, bytes, bytes});
  if (i > 0) {
    for (int j : {0, 1, 5, 6}) s.w[j] = ~s.w[j];
  }
  std::memcpy(schedule.bytes + sizeof s * i, s.w, sizeof s.w);
}

// Both directions use the same schedule: decryption walks it backwards.
void expand(const std::uint8_t* key, AesSchedule& schedule) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  const DataIndependentTiming timing;
  std::uint32_t words[key_words];
  for (int i = 0; i < 8; ++i) words[i] = load_le32(key + 4 * i);
  std::uint32_t round_constant = 1;
  for (int i = 8; i < key_words; ++i) {
    std::uint32_t w = words[i - 1];
    if (i % 8 == 0) {
      w = sub_word(std::rotr(w, 8)) ^ round_constant;
      round_constant <<= 1;
    } else if (i % 8 == 4) {
      w = sub_word(w);
    }
    words[i] = words[i - 8] ^ w;
  }
  std::uint8_t bytes[block];
  for (int i = 0; i <= rounds; ++i) store_round_key(words, i, schedule, bytes);
  secure_wipe(words, sizeof words);
  secure_wipe(bytes, sizeof bytes);
}

// ---- modes -------------------------------------------------------------------------

// IGE in either direction is one chain: out = F(in ^ before) ^ after, then
// before = out and after = in, with F the block encryption or decryption. Encryption
// starts from before = iv[0..15] (the previous ciphertext block) and after =
// iv[16..31], decryption the other way round. Each block is read before its output is
// stored, so `out` may be `in`.
template <void (*crypt)(Four&, const AesSchedule&)>
void ige_chain(const AesSchedule& schedule, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
               const std::uint8_t* before_iv, const std::uint8_t* after_iv) noexcept {
  std::uint8_t before[block], after[block], x[block];
  std::memcpy(before, before_iv, block);
  std::memcpy(after, after_iv, block);
  for (std::size_t i = 0; i < blocks; ++i, in += block, out += block) {
    for (std::size_t k = 0; k < block; ++k) x[k] = in[k] ^ before[k];
    Four s = load_blocks({x, x, x, x});
    crypt(s, schedule);
    transpose(s);
    std::memcpy(x, in, block);  // the next `after`, read before `out` (which may be `in`) is written
    xor_block(s, 0, after, out);
    std::memcpy(before, out, block);
    std::memcpy(after, x, block);
  }
  secure_wipe(before, sizeof before);
  secure_wipe(after, sizeof after);
  secure_wipe(x, sizeof x);
}

void ige_encrypt(const AesSchedule& encrypt_schedule, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                 const std::uint8_t* iv) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  const DataIndependentTiming timing;
  ige_chain<encrypt<std::uint64_t>>(encrypt_schedule, in, out, blocks, iv, iv + block);
}

void ige_decrypt(const AesSchedule& decrypt_schedule, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                 const std::uint8_t* iv) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  const DataIndependentTiming timing;
  ige_chain<decrypt>(decrypt_schedule, in, out, blocks, iv + block, iv);
}

// Four counter blocks from (high, low), which advances past them.
Four counter_blocks(std::uint64_t& high, std::uint64_t& low) noexcept {
  std::uint8_t counters[lanes][block];
  for (auto& counter : counters) {
    store_be64(counter, high);
    store_be64(counter + 8, low);
    if (++low == 0) ++high;
  }
  return load_blocks({counters[0], counters[1], counters[2], counters[3]});
}

// The keystream of four blocks XORed from `in` into `out`, of the first `blocks` of
// them (at most four).
void xor_keystream(const Four& keystream, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks) noexcept {
  Four s = keystream;
  transpose(s);
  for (std::size_t b = 0; b < blocks; ++b) xor_block(s, b, in + b * block, out + b * block);
}

// The keystream of eight blocks XORed from `in` into `out`: both groups leave the
// slices together (in vector registers where there are).
void xor_keystream(Eight& s, const std::uint8_t* in, std::uint8_t* out) noexcept {
  transpose(s);
  for (Pair& w : s.w) w = rows_to_columns(w);
  for (std::size_t g = 0; g < 2; ++g) {
    for (std::size_t b = 0; b < lanes; ++b, in += block, out += block) {
      for (std::size_t c0 = 0; c0 < 2; ++c0) {
        const std::uint64_t columns = s.w[4 * c0 + b].half[g];
        store_le32(out + 4 * c0, static_cast<std::uint32_t>(columns) ^ load_le32(in + 4 * c0));
        store_le32(out + 4 * (c0 + 2), static_cast<std::uint32_t>(columns >> 32) ^ load_le32(in + 4 * (c0 + 2)));
      }
    }
  }
}

// Eight blocks a pass while there are, as two groups of four side by side; then four;
// then the last one to three, for which the counter advances only past those used.
void ctr_xor(const AesSchedule& schedule, std::uint64_t& high, std::uint64_t& low, const std::uint8_t* in,
             std::uint8_t* out, std::size_t blocks) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  const DataIndependentTiming timing;
  for (; blocks >= 2 * lanes; blocks -= 2 * lanes, in += 2 * lanes * block, out += 2 * lanes * block) {
    const Four first = counter_blocks(high, low), second = counter_blocks(high, low);
    Eight s;
    for (int j = 0; j < 8; ++j) s.w[j] = {{first.w[j], second.w[j]}};
    encrypt(s, schedule);
    xor_keystream(s, in, out);
  }
  for (; blocks >= lanes; blocks -= lanes, in += lanes * block, out += lanes * block) {
    Four s = counter_blocks(high, low);
    encrypt(s, schedule);
    xor_keystream(s, in, out, lanes);
  }
  if (blocks > 0) {
    std::uint64_t unused_high = high, unused_low = low;
    Four s = counter_blocks(unused_high, unused_low);
    encrypt(s, schedule);
    xor_keystream(s, in, out, blocks);
    high += (low + blocks < low);
    low += blocks;
  }
}

}  // namespace

// The stack each call's wipe covers (aes/stack_wiped.hpp): the S-box circuit's words
// do not fit in the registers, and the compiler spills them. GCC 16's code at -O3 on
// x86-64 leaves them down to between 1408 and 1536 bytes below the call (CTR); about
// two and a half times that leaves room for other compilers and flags, at a cost this
// path's time per block hides.
constexpr std::size_t stack_wipe = 4096;

constinit const AesBackend bitsliced_backend{stack_wiped<stack_wipe, expand>,      stack_wiped<stack_wipe, expand>,
                                             stack_wiped<stack_wipe, ige_encrypt>, stack_wiped<stack_wipe, ige_decrypt>,
                                             stack_wiped<stack_wipe, ctr_xor>,     schedule_size,
                                             "bitsliced"};

}  // namespace rdz
