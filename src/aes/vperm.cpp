// The vector-permute backend: AES-256 on 16-byte byte shuffles (PSHUFB with SSSE3 on
// x86-64, TBL with NEON on ARM64), for processors without AES instructions.
//
// The technique (Hamburg, "Accelerating AES with Vector Permute Instructions", CHES
// 2009): SubBytes is an inversion in GF(2^8) written as a quadratic extension of
// GF(16), where every step is a function of one nibble, i.e. a lookup of sixteen
// bytes in a register indexed by sixteen nibbles at once; the linear maps around the
// inversion (the S-box's affine map, basis changes, MixColumns' factors) are folded
// into the output lookups; the column rotations of MixColumns are byte shuffles with
// fixed patterns, and ShiftRows is not done at all but tracked in the rotation
// patterns and in the layout of the round keys (vperm_tables.hpp derives and proves
// every constant). The state lives in the tower basis between rounds, and so do the
// round keys, which also carry the S-box's constant: the schedule is this backend's
// own.
//
// Why it is constant-time: the only data-dependent indexing is the shuffle, whose
// "table" is a register, never memory; every memory address (tables, round keys,
// input, output) depends only on public lengths and positions; no branch depends on
// the key, the data or the IGE vector (the CTR counter is public, its carry may
// branch). The key schedule uses the same vector S-box, not a table in memory. What
// could break this is a compiler turning a shuffle of a constant table back into a
// memory lookup: it has no reason to (the shuffle is one instruction, a gather
// through memory sixteen), and the code never spells the byte path as array
// indexing, which is what it would have to recognise first; on x86-64 the lookups of
// constant tables are asm statements (vec128::lookup), which it cannot rewrite.
//
// The rounds are written once, in vperm_rounds.hpp, for this file and for
// vperm256.cpp, which runs them on two blocks per 32-byte vector for CTR and shares
// this file's key expansions and IGE (vperm.hpp).
//
// Round keys are read from the schedule where they are used and not kept in locals,
// so that no copy of them is left on the stack; the expansion works in the schedule's
// own storage.
#include "aes/vperm.hpp"

#include "aes/backend.hpp"
#include "aes/registers.hpp"
#include "aes/vec128.hpp"
#include "aes/vperm_tables.hpp"
#include "lib/timing.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__aarch64__)

// Everything below may use SSSE3; it runs only once the processor has said it has it.
#if defined(__x86_64__)
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("ssse3"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("ssse3")
#endif
#endif

// The rounds shared with vperm256.cpp, compiled here for SSSE3.
#include "aes/vperm_rounds.hpp"

namespace rdz {
namespace {

using vec128::Bytes16;
using vec128::eor;
using vec128::load;
using vec128::lookup;
using vec128::shuffle;
using vec128::Vec;
using vperm::encrypt_blocks;
using vperm::encrypt_first;
using vperm::encrypt_last;
using vperm::encrypt_round;
using vperm::Inverted;
using vperm::invert;
using vperm::map_in;
using vperm::map_out;
using vperm::mix_columns;
using vperm::rounds;
using vperm::tables;

constexpr std::size_t block = 16;
static_assert(vperm::schedule_size == (rounds + 1) * block);

std::uint8_t* slot(AesSchedule& schedule, int i) noexcept { return schedule.bytes + block * i; }
Vec round_key(const AesSchedule& schedule, int i) noexcept { return load(schedule.bytes + block * i); }

// The same round on the single chain of IGE encryption, where the chain sets the pace
// but the vector ports still count (forms with more shuffles and a shorter chain
// measured slower). The one difference: y + key is kept whole, so that the last
// rotation is followed by one XOR, not two.
Vec ige_round(const AesSchedule& keys, int m, Vec b) noexcept {
  const Inverted v = invert(b);
  const Vec s1 = map_out(tables.sbox_1, v), s2 = map_out(tables.sbox_2, v);
  const Vec a2 = shuffle(s1, load(tables.encrypt_rotate_2[m & 3]));
  const Vec y = eor(s2, a2), z = eor(y, s1);
  return eor(vec128::settled(eor(y, round_key(keys, m))), shuffle(z, load(tables.encrypt_rotate_1[m & 3])));
}

// One block (the end of CTR).
Vec encrypt_block(const AesSchedule& keys, Vec b) noexcept {
  b = encrypt_first(keys, b);
  for (int m = 1; m < rounds; ++m) b = encrypt_round(keys, m, b);
  return encrypt_last(keys, b);
}

// The middle rounds of the equivalent inverse cipher (FIPS 197 5.3.5): InvMixColumns is
// 0e a_r + 0b a_r+1 + 0d a_r+2 + 09 a_r+3, four output pairs and three rotations.
Vec decrypt_middle(const AesSchedule& keys, Vec b) noexcept {
#pragma GCC unroll 13
  for (int m = 1; m < rounds; ++m) {
    const Inverted v = invert(b);
    const Vec e0 =
        eor(vec128::settled(eor(lookup(tables.inv_e.u, v.io), round_key(keys, m))), lookup(tables.inv_e.w, v.jo));
    const Vec b1 = shuffle(map_out(tables.inv_b, v), load(tables.decrypt_rotate_1[m & 3]));
    const Vec d2 = shuffle(map_out(tables.inv_d, v), load(tables.decrypt_rotate_2[m & 3]));
    const Vec n3 = shuffle(map_out(tables.inv_9, v), load(tables.decrypt_rotate_3[m & 3]));
    b = eor(vec128::settled(eor(e0, b1)), vec128::settled(eor(d2, n3)));
  }
  return b;
}

// SubBytes in the FIPS basis, for the key schedule.
Vec sub_bytes(Vec x) noexcept {
  return eor(map_out(tables.sbox_last, invert(map_in(tables.encrypt_in, x))), vec128::splat(0x63));
}

// The FIPS 197 round keys (5.2), one 4-word round key at a time: round key r is the
// running XOR of the words of round key r - 2, each XORed with the same word derived
// from the last word of round key r - 1 (with RotWord and Rcon for even r).
void expand_fips(const std::uint8_t* key, AesSchedule& schedule) noexcept {
  std::memcpy(schedule.bytes, key, 32);
  for (int r = 2; r <= rounds; ++r) {
    const bool even = r % 2 == 0;
    Vec word = shuffle(sub_bytes(round_key(schedule, r - 1)), load(even ? tables.rot_word : tables.last_word));
    if (even) {
      const std::uint64_t rcon = tables.rcon[r / 2 - 1] * std::uint64_t{0x0000000100000001};
      word = eor(word, vec128::from_words(rcon, rcon));
    }
    Vec running = round_key(schedule, r - 2);
    running = eor(running, shuffle(running, load(tables.shift_words_1)));
    running = eor(running, shuffle(running, load(tables.shift_words_2)));
    vec128::store(slot(schedule, r), eor(running, word));
  }
}

// Encryption round key m in the form the rounds add it: the tower basis with the
// S-box's constant (the first has none, the last stays in the FIPS basis), through
// ShiftRows^-m.
Vec encryption_key(int m, Vec fips) noexcept {
  if (m == 0) return map_in(tables.encrypt_in, fips);
  const Vec unshift = load(tables.unshift_rows[m & 3]);
  if (m == rounds) return shuffle(eor(fips, vec128::splat(0x63)), unshift);
  return shuffle(eor(map_in(tables.encrypt_in, fips), vec128::splat(tables.encrypt_constant)), unshift);
}

// Decryption round key m (used m-th, made from FIPS round key 14 - m): in the basis
// psi with the inverse S-box's constant, the middle ones through InvMixColumns; the
// last in the FIPS basis; through InvShiftRows^-m = ShiftRows^m.
Vec decryption_key(int m, Vec fips) noexcept {
  const Vec constant = vec128::splat(tables.decrypt_constant);
  if (m == 0) return eor(map_in(tables.decrypt_in, fips), constant);
  const Vec shift = load(tables.shift_rows[m & 3]);
  if (m == rounds) return shuffle(fips, shift);
  Vec mixed = map_in(tables.key_e, fips);
  mixed = eor(mixed, shuffle(map_in(tables.key_b, fips), load(tables.decrypt_rotate_1[0])));
  mixed = eor(mixed, shuffle(map_in(tables.key_d, fips), load(tables.decrypt_rotate_2[0])));
  mixed = eor(mixed, shuffle(map_in(tables.key_9, fips), load(tables.decrypt_rotate_3[0])));
  return shuffle(eor(mixed, constant), shift);
}

}  // namespace

// The entry points vperm256.cpp shares (vperm.hpp).
namespace vperm {

void expand_encrypt(const std::uint8_t* key, AesSchedule& schedule) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  const DataIndependentTiming timing;
  expand_fips(key, schedule);
  for (int m = 0; m <= rounds; ++m) vec128::store(slot(schedule, m), encryption_key(m, round_key(schedule, m)));
}

// In place: slots m and 14 - m trade their FIPS keys as they are transformed.
void expand_decrypt(const std::uint8_t* key, AesSchedule& schedule) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  const DataIndependentTiming timing;
  expand_fips(key, schedule);
  for (int m = 0; m < rounds / 2; ++m) {
    const Vec low = round_key(schedule, m), high = round_key(schedule, rounds - m);
    vec128::store(slot(schedule, m), decryption_key(m, high));
    vec128::store(slot(schedule, rounds - m), decryption_key(rounds - m, low));
  }
  vec128::store(slot(schedule, rounds / 2), decryption_key(rounds / 2, round_key(schedule, rounds / 2)));
}

// IGE in either direction is one chain: out = F(in ^ before) ^ after, then
// before = out and after = in. Encryption starts from before = iv[0..15] and
// after = iv[16..31], decryption the other way round.
//
// Nothing overlaps the chain, so in encryption, whose rounds leave the shuffle unit
// room to spare, the linear steps between one block's last SubBytes and the next
// block's first are cut short: the next block's first state,
// phi(in' ^ out) ^ k0 with out = shift(last(v) ^ k14) ^ after, is
// shift(phi(last(v)) ^ phi(k14)) ^ (phi(after ^ in') ^ k0), since phi works byte by
// byte and so commutes with the byte shuffle. phi(last(v)) is the middle rounds'
// S-box table (sbox_1) on the chain; the rest depends only on inputs and keys and is
// ready early. The block's own output still goes the long way, beside the chain.
void ige_encrypt(const AesSchedule& keys, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                 const std::uint8_t* iv) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  const DataIndependentTiming timing;
  if (blocks == 0) return;
  const Vec shift = load(tables.shift_rows[rounds & 3]);
  Vec after = load(iv + block);
  Vec state = encrypt_first(keys, eor(load(in), load(iv)));
  for (std::size_t i = 0;; ++i, in += block, out += block) {
    Vec b = state;
#pragma GCC unroll 13
    for (int m = 1; m < rounds; ++m) b = ige_round(keys, m, b);
    const Inverted v = invert(b);
    const Vec input = load(in);
    if (i + 1 < blocks) {  // a public length
      const Vec early = encrypt_first(keys, eor(after, load(in + block)));
      const Vec last = eor(map_out(tables.sbox_1, v), map_in(tables.encrypt_in, round_key(keys, rounds)));
      state = eor(shuffle(last, shift), early);
    }
    vec128::store(out, eor(shuffle(eor(map_out(tables.sbox_last, v), round_key(keys, rounds)), shift), after));
    after = input;
    if (i + 1 == blocks) return;
  }
}

// IGE decryption, the same chain the other way round, with the same short cut between
// blocks: the next block's first state psi(in' ^ out) ^ k0, with
// out = unshift(last(v) ^ k14) ^ after, is
// unshift(psi(last(v)) ^ psi(k14)) ^ (psi(after ^ in') ^ k0), and psi(last(v)) is one
// output pair (inv_last_psi) on the chain.
void ige_decrypt(const AesSchedule& keys, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                 const std::uint8_t* iv) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  const DataIndependentTiming timing;
  if (blocks == 0) return;
  const Vec unshift = load(tables.unshift_rows[rounds & 3]);
  Vec after = load(iv);
  Vec state = eor(map_in(tables.decrypt_in, eor(load(in), load(iv + block))), round_key(keys, 0));
  for (std::size_t i = 0;; ++i, in += block, out += block) {
    const Inverted v = invert(decrypt_middle(keys, state));
    const Vec input = load(in);
    if (i + 1 < blocks) {  // a public length
      const Vec early = eor(map_in(tables.decrypt_in, eor(after, load(in + block))), round_key(keys, 0));
      const Vec last = eor(map_out(tables.inv_last_psi, v), map_in(tables.decrypt_in, round_key(keys, rounds)));
      state = eor(shuffle(last, unshift), early);
    }
    vec128::store(out, eor(shuffle(eor(map_out(tables.inv_last, v), round_key(keys, rounds)), unshift), after));
    after = input;
    if (i + 1 == blocks) return;
  }
}

}  // namespace vperm

namespace {

// The counter block, big-endian, from its two host-order halves (both supported
// targets are little-endian: the vector's first eight bytes are the low lane).
static_assert(std::endian::native == std::endian::little);
Vec counter_block(std::uint64_t& high, std::uint64_t& low) noexcept {
  const Vec counter = vec128::from_words(__builtin_bswap64(high), __builtin_bswap64(low));
  if (++low == 0) ++high;
  return counter;
}

template <std::size_t N>
[[gnu::always_inline]] inline void ctr_blocks(const AesSchedule& keys, std::uint64_t& high, std::uint64_t& low,
                                              const std::uint8_t* in, std::uint8_t* out) noexcept {
  Vec x[N];
  for (Vec& b : x) b = counter_block(high, low);
  encrypt_blocks(keys, x);
  for (std::size_t j = 0; j < N; ++j) vec128::store(out + block * j, eor(load(in + block * j), x[j]));
}

// Four blocks per group: enough independent work to hide the chain of dependent
// shuffles in a round, and what the CTR tables pack into one vector (four counters'
// bytes 15, and four bytes of four blocks in the second round).
constexpr std::size_t lanes = 4;

// Neighbouring counters differ only in their last byte while it does not wrap (a
// public condition), and the first round works on bytes before it mixes them: its
// output is the same for all of them but for what byte 15 adds through MixColumns.
// So that part of the first round is done once per run of counters, with byte 15 set
// to zero (which the S-box tables send to zero), and each block adds the S-box of
// its own byte 15, times 2, 3, 1, 1, where MixColumns puts it: the S-boxes of the
// four blocks' bytes come from one vector S-box.
//
// After the first round the blocks of a run still share twelve bytes, so the second
// round's S-box of those is done once per run too. The four bytes that differ, of
// four blocks, are packed into one vector and go through one vector S-box; each
// block takes its four results back into place (one shuffle for the S-box times 1,
// one for times 2) and does its own MixColumns.
//
// Nothing here is indexed by or branches on anything but the counter.
struct CtrRun {
  Vec packed;  // the first round's output, at the bytes that differ, in every lane
  Vec s1, s2;  // the second round's S-box times 1 and 2 of the bytes all share
};

CtrRun ctr_run(const AesSchedule& keys, std::uint64_t high, std::uint64_t low) noexcept {
  const Vec counter = vec128::from_words(__builtin_bswap64(high), __builtin_bswap64(low));
  const Vec first = encrypt_round(keys, 1, vec128::band(encrypt_first(keys, counter), load(tables.ctr_shared)));
  const Inverted v = invert(first);
  const Vec shared = load(tables.ctr_shared_2);
  return {shuffle(first, load(tables.ctr_gather_shared)), vec128::band(map_out(tables.sbox_1, v), shared),
          vec128::band(map_out(tables.sbox_2, v), shared)};
}

// The states after the second round of four neighbouring counters of the run.
void second_round(const AesSchedule& keys, const CtrRun& run, std::uint64_t low, Vec* x) noexcept {
  // Bytes 15 of the four counters, in bytes 0..3 and again in 4..7, 8..11, 12..15.
  const std::uint64_t last = (low & 0xff) * std::uint64_t{0x0101010101010101} + std::uint64_t{0x0302010003020100};
  const Vec key_byte = shuffle(round_key(keys, 0), vec128::splat(15));
  const Inverted first = invert(eor(map_in(tables.encrypt_in, vec128::from_words(last, last)), key_byte));
  const Vec times = eor(vec128::band(map_out(tables.sbox_1, first), load(tables.ctr_times_1)),
                        vec128::band(map_out(tables.sbox_2, first), load(tables.ctr_times_2)));
  const Inverted v = invert(eor(run.packed, shuffle(times, load(tables.ctr_gather_times))));
  const Vec s1 = map_out(tables.sbox_1, v), s2 = map_out(tables.sbox_2, v);
  for (std::size_t j = 0; j < lanes; ++j) {
    const Vec back = load(tables.ctr_scatter[j]);
    x[j] = mix_columns(keys, 2, eor(run.s1, shuffle(s1, back)), eor(run.s2, shuffle(s2, back)));
  }
}

// One or two groups of four counters of the same run. Two (eight blocks in flight)
// measured 2-3% faster than one: a round's chain of dependent steps is long, and more
// independent blocks fill it (two blocks in flight were 15% slower than four).
template <std::size_t Groups>
void ctr_blocks_sharing(const AesSchedule& keys, const CtrRun& run, std::uint64_t& high, std::uint64_t& low,
                        const std::uint8_t* in, std::uint8_t* out) noexcept {
  Vec x[lanes * Groups];
  for (std::size_t g = 0; g < Groups; ++g) second_round(keys, run, low + lanes * g, x + lanes * g);
  encrypt_blocks(keys, x, 3);
  for (std::size_t j = 0; j < lanes * Groups; ++j) vec128::store(out + block * j, eor(load(in + block * j), x[j]));
  low += lanes * Groups;
  if (low < lanes * Groups) ++high;
}

void ctr_xor(const AesSchedule& encrypt, std::uint64_t& high, std::uint64_t& low, const std::uint8_t* in,
             std::uint8_t* out, std::size_t blocks) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  const DataIndependentTiming timing;
  const auto shares_upper_bytes = [&] { return (low & 0xff) != 0 && (low & 0xff) <= 0x100 - lanes; };
  while (blocks >= lanes) {
    if ((low & 0xff) > 0x100 - lanes) {
      ctr_blocks<lanes>(encrypt, high, low, in, out);
      blocks -= lanes, in += lanes * block, out += lanes * block;
      continue;
    }
    const CtrRun run = ctr_run(encrypt, high, low);
    do {
      const std::size_t groups = blocks >= 2 * lanes && (low & 0xff) <= 0x100 - 2 * lanes ? 2 : 1;
      if (groups == 2) {
        ctr_blocks_sharing<2>(encrypt, run, high, low, in, out);
      } else {
        ctr_blocks_sharing<1>(encrypt, run, high, low, in, out);
      }
      blocks -= groups * lanes, in += groups * lanes * block, out += groups * lanes * block;
    } while (blocks >= lanes && shares_upper_bytes());
  }
  for (; blocks > 0; --blocks, in += block, out += block) {
    vec128::store(out, eor(load(in), encrypt_block(encrypt, counter_block(high, low))));
  }
}

}  // namespace

constinit const AesBackend vperm_backend = vperm::backend<ctr_xor>("vperm");

}  // namespace rdz

#if defined(__x86_64__)
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif

#endif
