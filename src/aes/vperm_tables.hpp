// The constants of the vector-permute AES, each derived here at compile time from the
// field arithmetic (none is typed in), and proved against the S-box's definition for
// all 256 bytes by static_asserts at the end.
//
// The field. FIPS 197 computes in GF(2^8) = GF(2)[z]/(z^8 + z^4 + z^3 + z + 1). Here
// the same field is GF(16)[t]/(t^2 + a t + a) over GF(16) = GF(2)[y]/(y^4 + y + 1),
// with the smallest a for which that quadratic is irreducible: a byte's high nibble
// is the coefficient i of t, its low nibble the constant k. The map phi from the FIPS
// basis to this one sends z to a root of the AES polynomial in the tower; it is
// GF(2)-linear, so it is two 16-entry lookups (low nibble, high nibble) and an XOR.
//
// The inverse of x = i t + k needs only functions of ONE nibble (what a 16-byte
// shuffle computes) and XORs. Its norm is N = a i^2 + a i k + k^2, and with
// j = i + k:
//   io = j + 1 / (1/i + a/k) = N / (k + a i),   jo = i + 1 / (1/j + a/k) = N / (k + a j)
// so 1/io = (a i + k) / N is the inverse's constant coefficient u, 1/jo = w, and the
// coefficient of t, i / N, is a GF(16)-linear mix of u and w. Hence
//   x^-1 = U[io] ^ W[jo],  U[n] = ((1 + a)/a^2 / n) t + 1/n,  W[n] = (1/a^2 / n) t.
// Zero has no inverse: the tables give 0x80 for 1/0 and a/0, an index both shuffles
// turn into zero (what 1/infinity should be), and XORing a nibble into it keeps bit 7
// set. Tracing the cases i = 0, k = 0, j = 0, k = a i, k = a j and x = 0 through the
// formulas shows every one comes out right (the static_asserts check all 256).
//
// Since U and W are looked up anyway, each output table folds in the GF(2)-linear
// maps that follow the inversion: the S-box's affine map without its constant, the
// basis change back (or into the basis of the next round), and MixColumns' factor
// 2 (encryption) or InvMixColumns' 0e, 0b, 0d, 09 (decryption). The affine constant
// goes into the round keys, which the expansion stores in the round's basis.
#pragma once

#include "aes/vec128.hpp"

#include <cstdint>

#if defined(__x86_64__) || defined(__aarch64__)

namespace rdz::vperm {

using vec128::Bytes16;

namespace derive {

// GF(2^8) as FIPS 197 defines it.
consteval std::uint8_t aes_mul(unsigned a, unsigned b) {
  unsigned r = 0;
  for (; b != 0; b >>= 1) {
    if (b & 1) r ^= a;
    a <<= 1;
    if (a & 0x100) a ^= 0x11b;
  }
  return static_cast<std::uint8_t>(r);
}

// x^254, which is 1/x, and 0 for 0.
consteval std::uint8_t aes_inverse(std::uint8_t x) {
  std::uint8_t result = 1, power = x;
  for (unsigned e = 254; e != 0; e >>= 1, power = aes_mul(power, power)) {
    if (e & 1) result = aes_mul(result, power);
  }
  return result;
}

// GF(16) = GF(2)[y]/(y^4 + y + 1).
consteval std::uint8_t gf16_mul(unsigned a, unsigned b) {
  unsigned r = 0;
  for (; b != 0; b >>= 1) {
    if (b & 1) r ^= a;
    a <<= 1;
    if (a & 0x10) a ^= 0x13;
  }
  return static_cast<std::uint8_t>(r);
}

consteval std::uint8_t gf16_inverse(std::uint8_t x) {
  for (unsigned y = 1; y < 16; ++y) {
    if (gf16_mul(x, y) == 1) return static_cast<std::uint8_t>(y);
  }
  return 0;
}

// t^2 + a t + a has no root in GF(16).
consteval bool irreducible(std::uint8_t a) {
  for (unsigned t = 0; t < 16; ++t) {
    if ((gf16_mul(t, t) ^ gf16_mul(a, t) ^ a) == 0) return false;
  }
  return true;
}

consteval std::uint8_t smallest_a() {
  for (std::uint8_t a = 2; a < 16; ++a) {
    if (irreducible(a)) return a;
  }
  return 0;
}

inline constexpr std::uint8_t a = smallest_a();
static_assert(a > 1);

// The tower: (i t + k)(i' t + k') with t^2 = a t + a.
consteval std::uint8_t tower_mul(std::uint8_t x, std::uint8_t y) {
  const std::uint8_t hh = gf16_mul(x >> 4, y >> 4);
  const std::uint8_t high = gf16_mul(x >> 4, y & 15) ^ gf16_mul(x & 15, y >> 4) ^ gf16_mul(hh, a);
  const std::uint8_t low = gf16_mul(x & 15, y & 15) ^ gf16_mul(hh, a);
  return static_cast<std::uint8_t>(high << 4 | low);
}

// A GF(2)-linear map of bytes, by the images of the eight bits.
struct Linear {
  std::uint8_t image[8];
  constexpr std::uint8_t operator()(unsigned x) const {
    std::uint8_t r = 0;
    for (int m = 0; m < 8; ++m) {
      if (x >> m & 1) r ^= image[m];
    }
    return r;
  }
};

consteval Linear compose(const Linear& outer, const Linear& inner) {
  Linear r{};
  for (int m = 0; m < 8; ++m) r.image[m] = outer(inner.image[m]);
  return r;
}

consteval Linear inverse(const Linear& f) {
  Linear r{};
  for (int m = 0; m < 8; ++m) {
    for (unsigned x = 0; x < 256; ++x) {
      if (f(x) == 1u << m) r.image[m] = static_cast<std::uint8_t>(x);
    }
  }
  return r;
}

consteval Linear times(std::uint8_t factor) {
  Linear r{};
  for (int m = 0; m < 8; ++m) r.image[m] = aes_mul(factor, 1u << m);
  return r;
}

// The S-box's affine map without its constant 0x63 (FIPS 197 equation 5.1):
// bit m of the result is bits m, m+4, m+5, m+6, m+7 (mod 8) of the input.
consteval Linear affine_linear() {
  Linear r{};
  for (int m = 0; m < 8; ++m) {
    const unsigned x = 1u << m;
    const unsigned rotl = x | x << 8;
    r.image[m] = static_cast<std::uint8_t>(x ^ (rotl >> 7) ^ (rotl >> 6) ^ (rotl >> 5) ^ (rotl >> 4));
  }
  return r;
}

// phi: z^m goes to root^m, where root is a root of the AES polynomial in the tower.
consteval Linear to_tower() {
  for (unsigned root = 2; root < 256; ++root) {
    Linear r{};
    std::uint8_t power = 1;
    for (int m = 0; m < 8; ++m, power = tower_mul(power, static_cast<std::uint8_t>(root))) r.image[m] = power;
    // power is now root^8, which must equal root^4 + root^3 + root + 1.
    if (power == (r.image[4] ^ r.image[3] ^ r.image[1] ^ r.image[0])) return r;
  }
  return {};
}

inline constexpr Linear phi = to_tower();
inline constexpr Linear phi_inverse = inverse(phi);
inline constexpr Linear affine = affine_linear();
inline constexpr Linear affine_inverse = inverse(affine);
// The decryption state's basis: psi(x) = phi(affine^-1(x)); the inverse S-box's
// constant affine^-1(0x63) is added in the round keys.
inline constexpr Linear psi = compose(phi, affine_inverse);

// phi is a field isomorphism: linear, and it turns multiplication by z into
// multiplication by the root; so phi(x y) = phi(x) phi(y) for all x, y.
consteval bool phi_is_isomorphism() {
  for (unsigned x = 0; x < 256; ++x) {
    if (phi(aes_mul(x, 2)) != tower_mul(phi(x), phi.image[1])) return false;
    if (phi_inverse(phi(x)) != x) return false;
  }
  return true;
}
static_assert(phi_is_isomorphism());

constexpr std::uint8_t infinity = 0x80;

// The S-box by definition (FIPS 197 5.1.1), the reference of the proofs below.
consteval std::uint8_t sbox(std::uint8_t x) { return affine(aes_inverse(x)) ^ 0x63; }
static_assert(sbox(0x00) == 0x63 && sbox(0x01) == 0x7c && sbox(0x53) == 0xed && sbox(0xff) == 0x16);

template <class F>
consteval Bytes16 nibble_table(F f) {
  Bytes16 t{};
  for (unsigned n = 0; n < 16; ++n) t.byte[n] = f(n);
  return t;
}

// U[n] and W[n] above, as tower bytes.
consteval std::uint8_t part_u(unsigned n) {
  const std::uint8_t u = gf16_inverse(static_cast<std::uint8_t>(n));
  const std::uint8_t coefficient = gf16_mul(a ^ 1, gf16_inverse(gf16_mul(a, a)));
  return static_cast<std::uint8_t>(gf16_mul(u, coefficient) << 4 | u);
}
consteval std::uint8_t part_w(unsigned n) {
  const std::uint8_t w = gf16_inverse(static_cast<std::uint8_t>(n));
  return static_cast<std::uint8_t>(gf16_mul(w, gf16_inverse(gf16_mul(a, a))) << 4);
}

// The pair of output tables that maps the inverse, as (io, jo), through `after`.
struct OutputPair {
  Bytes16 u, w;
};
consteval OutputPair output_pair(const Linear& after) {
  return {nibble_table([&](unsigned n) { return after(part_u(n)); }),
          nibble_table([&](unsigned n) { return after(part_w(n)); })};
}

// A linear map of whole bytes as two nibble tables.
struct InputPair {
  Bytes16 low, high;
};
consteval InputPair input_pair(const Linear& f) {
  return {nibble_table([&](unsigned n) { return f(n); }), nibble_table([&](unsigned n) { return f(n << 4); })};
}

// Byte permutations, as shuffle patterns: result[n] = source[pattern[n]]. The state
// byte of row r and column c is byte r + 4c (FIPS 197 3.4).
struct Permutation {
  std::uint8_t index[16];
  constexpr Permutation then(const Permutation& next) const {  // apply this, then next
    Permutation r{};
    for (int n = 0; n < 16; ++n) r.index[n] = index[next.index[n]];
    return r;
  }
};

consteval Permutation identity() {
  Permutation p{};
  for (int n = 0; n < 16; ++n) p.index[n] = static_cast<std::uint8_t>(n);
  return p;
}

// ShiftRows by `shift` columns: row r takes the byte r + shift * r columns on.
consteval Permutation shift_rows(int shift) {
  Permutation p{};
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) p.index[r + 4 * c] = static_cast<std::uint8_t>(r + 4 * ((c + shift * r + 16) % 4));
  }
  return p;
}

// Within each column, row r takes row r + k: MixColumns' rotations.
consteval Permutation rotate_column(int k) {
  Permutation p{};
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) p.index[r + 4 * c] = static_cast<std::uint8_t>((r + k) % 4 + 4 * c);
  }
  return p;
}

consteval Permutation power(const Permutation& p, int n) {
  Permutation r = identity();
  for (int i = 0; i < n; ++i) r = r.then(p);
  return r;
}

// The rounds skip ShiftRows (shift = 1 encrypting, -1 decrypting): after m rounds the
// true state is ShiftRows^m of the register, so a column rotation must be applied as
// ShiftRows^m, rotate, ShiftRows^-m; round keys are stored through ShiftRows^-m, and
// the last round undoes what is left.
consteval Permutation conjugate_rotation(int shift, int m, int k) {
  return power(shift_rows(shift), m).then(rotate_column(k)).then(power(shift_rows(-shift), m));
}

consteval Bytes16 pattern(const Permutation& p) {
  Bytes16 b{};
  for (int n = 0; n < 16; ++n) b.byte[n] = p.index[n];
  return b;
}

consteval Bytes16 round_rotation(int shift, int m, int k) { return pattern(conjugate_rotation(shift, m, k)); }

// Word patterns of the key schedule: the last word of a round key broadcast, with
// RotWord (byte 1, 2, 3, 0) or without; a shift of the words up by `words`, with
// zeros (index 0x80) below.
consteval Bytes16 broadcast_last_word(bool rotate) {
  Bytes16 b{};
  for (int n = 0; n < 16; ++n) b.byte[n] = static_cast<std::uint8_t>(12 + (n + (rotate ? 1 : 0)) % 4);
  return b;
}
consteval Bytes16 shift_words_up(int words) {
  Bytes16 b{};
  for (int n = 0; n < 16; ++n) b.byte[n] = n < 4 * words ? infinity : static_cast<std::uint8_t>(n - 4 * words);
  return b;
}

// Never defined: a constant evaluation that reaches it fails to compile.
std::uint8_t byte_with_two_coefficients();

// CTR: where the first round's MixColumns (round 1, patterns rotate_1 and rotate_2
// as the round applies them: s2 + rot1(s1 + s2) + rot2(s1 + rot1(s1))) sends byte 15,
// the one that changes between neighbouring counters, and with which factor. The
// result takes lane `lane` of a vector that holds the S-box times 1, 2 and 3 in its
// bytes 0..3, 4..7 and 8..11; zero (index 0x80) where byte 15 does not reach.
consteval Bytes16 spread_last_byte(const Bytes16& rotate_1, const Bytes16& rotate_2, unsigned lane) {
  Bytes16 b{};
  for (int n = 0; n < 16; ++n) {
    int factor = 0, found = 0;
    if (n == 15) factor = 2, ++found;
    if (rotate_1.byte[n] == 15) factor = 3, ++found;
    if (rotate_2.byte[n] == 15 || rotate_1.byte[rotate_2.byte[n]] == 15) factor = 1, ++found;
    if (found > 1) b.byte[n] = byte_with_two_coefficients();
    b.byte[n] = factor == 0 ? infinity : static_cast<std::uint8_t>(lane + 4 * (factor - 1));
  }
  return b;
}

// CTR's second round: the four bytes where the first round leaves neighbouring
// counters different (where spread_last_byte reaches), in order.
struct Reached {
  int position[4];
  int count;
};
consteval Reached reached_bytes(const Bytes16& spread) {
  Reached r{};
  for (int n = 0; n < 16; ++n) {
    if (spread.byte[n] == infinity) continue;
    if (r.count < 4) r.position[r.count] = n;
    ++r.count;
  }
  return r;
}

// Byte 4 lane + t of the result takes byte `position[t]` of lane `lane`'s vector in
// `from` (-1: of the one vector shared by all lanes), to pack the differing bytes of
// four blocks into one vector.
consteval Bytes16 gather_reached(const Reached& r, const Bytes16* spread) {
  Bytes16 b{};
  for (int lane = 0; lane < 4; ++lane) {
    for (int t = 0; t < 4; ++t) {
      b.byte[4 * lane + t] = spread ? spread[lane].byte[r.position[t]] : static_cast<std::uint8_t>(r.position[t]);
    }
  }
  return b;
}

// The way back: lane `lane`'s four bytes of a packed vector to their positions, zero
// (index 0x80) elsewhere.
consteval Bytes16 scatter_reached(const Reached& r, int lane) {
  Bytes16 b{};
  for (int n = 0; n < 16; ++n) b.byte[n] = infinity;
  for (int t = 0; t < 4; ++t) b.byte[r.position[t]] = static_cast<std::uint8_t>(4 * lane + t);
  return b;
}

// All ones in bytes first..last, zero elsewhere.
consteval Bytes16 byte_mask(int first, int last) {
  Bytes16 b{};
  for (int n = first; n <= last; ++n) b.byte[n] = 0xff;
  return b;
}

}  // namespace derive

inline constexpr int rounds = 14;

struct Tables {
  // The inversion in the tower.
  Bytes16 inverse, a_over;
  // Encryption: the input into the tower basis, the middle rounds' S-box times 1 and
  // times 2 in the tower basis, the last round's S-box in the FIPS basis (the S-box's
  // constant is in the round keys).
  derive::InputPair encrypt_in;
  derive::OutputPair sbox_1, sbox_2, sbox_last;
  // Decryption: the input into the basis psi, the inverse S-box times 0e, 0b, 0d, 09
  // in that basis, and the last round's in the FIPS basis.
  derive::InputPair decrypt_in;
  derive::OutputPair inv_e, inv_b, inv_d, inv_9;
  derive::OutputPair inv_last;
  // The same as inv_last, into the basis psi: the IGE chain's way into the next block.
  derive::OutputPair inv_last_psi;
  // The decryption round keys: psi(f w) for f = 0e, 0b, 0d, 09, from a FIPS round key w.
  derive::InputPair key_e, key_b, key_d, key_9;
  // The S-box's constant in each round's basis: phi(63), and phi(affine^-1(63)).
  std::uint8_t encrypt_constant, decrypt_constant;
  // Column rotations by 1, 2 (encryption) and 3 rows in round m (by m mod 4).
  Bytes16 encrypt_rotate_1[4], encrypt_rotate_2[4];
  Bytes16 decrypt_rotate_1[4], decrypt_rotate_2[4], decrypt_rotate_3[4];
  // ShiftRows^m for m = 0..3 (what a round key is stored through is ShiftRows^-m, both
  // directions alike since decryption skips InvShiftRows), and the key schedule's patterns.
  Bytes16 shift_rows[4], unshift_rows[4];
  Bytes16 rot_word, last_word, shift_words_1, shift_words_2;
  // The round constants of the key schedule (FIPS 197 5.2), one per even round key.
  std::uint8_t rcon[8];
  // CTR's first round: byte 15 of four neighbouring counters spread through
  // MixColumns, the bytes that keep the S-box times 1 (and 3) and times 2 (and 3),
  // and the bytes that all neighbouring counters share.
  Bytes16 ctr_spread[4], ctr_times_1, ctr_times_2, ctr_shared;
  // CTR's second round: the first round's bytes that differ between four neighbouring
  // counters, packed into one vector (from the shared state, and from the S-box
  // multiples of bytes 15), each lane's share of the packed S-box results put back,
  // and the bytes the shared state's S-box gives for all of them.
  Bytes16 ctr_gather_shared, ctr_gather_times, ctr_scatter[4], ctr_shared_2;
};

consteval Tables make_tables() {
  using namespace derive;
  Tables t{};
  t.inverse = nibble_table([](unsigned n) -> std::uint8_t { return n ? gf16_inverse(n) : infinity; });
  t.a_over = nibble_table([](unsigned n) -> std::uint8_t { return n ? gf16_mul(a, gf16_inverse(n)) : infinity; });
  t.encrypt_in = input_pair(phi);
  t.sbox_1 = output_pair(compose(phi, compose(affine, phi_inverse)));
  t.sbox_2 = output_pair(compose(phi, compose(times(2), compose(affine, phi_inverse))));
  t.sbox_last = output_pair(compose(affine, phi_inverse));
  t.decrypt_in = input_pair(psi);
  t.inv_e = output_pair(compose(psi, compose(times(0x0e), phi_inverse)));
  t.inv_b = output_pair(compose(psi, compose(times(0x0b), phi_inverse)));
  t.inv_d = output_pair(compose(psi, compose(times(0x0d), phi_inverse)));
  t.inv_9 = output_pair(compose(psi, compose(times(0x09), phi_inverse)));
  t.inv_last = output_pair(phi_inverse);
  t.inv_last_psi = output_pair(compose(psi, phi_inverse));
  t.key_e = input_pair(compose(psi, times(0x0e)));
  t.key_b = input_pair(compose(psi, times(0x0b)));
  t.key_d = input_pair(compose(psi, times(0x0d)));
  t.key_9 = input_pair(compose(psi, times(0x09)));
  t.encrypt_constant = phi(0x63);
  t.decrypt_constant = phi(affine_inverse(0x63));
  for (int m = 0; m < 4; ++m) {
    t.encrypt_rotate_1[m] = round_rotation(1, m, 1);
    t.encrypt_rotate_2[m] = round_rotation(1, m, 2);
    t.decrypt_rotate_1[m] = round_rotation(-1, m, 1);
    t.decrypt_rotate_2[m] = round_rotation(-1, m, 2);
    t.decrypt_rotate_3[m] = round_rotation(-1, m, 3);
    t.shift_rows[m] = pattern(power(shift_rows(1), m));
    t.unshift_rows[m] = pattern(power(shift_rows(-1), m));
  }
  t.rot_word = broadcast_last_word(true);
  t.last_word = broadcast_last_word(false);
  t.shift_words_1 = shift_words_up(1);
  t.shift_words_2 = shift_words_up(2);
  std::uint8_t rc = 1;
  for (int i = 0; i < 8; ++i, rc = aes_mul(rc, 2)) t.rcon[i] = rc;
  for (unsigned lane = 0; lane < 4; ++lane) {
    t.ctr_spread[lane] = spread_last_byte(t.encrypt_rotate_1[1], t.encrypt_rotate_2[1], lane);
  }
  t.ctr_times_1 = byte_mask(0, 3), t.ctr_times_2 = byte_mask(4, 7);
  for (int n = 8; n < 12; ++n) t.ctr_times_1.byte[n] = t.ctr_times_2.byte[n] = 0xff;
  t.ctr_shared = byte_mask(0, 14);
  const Reached reached = reached_bytes(t.ctr_spread[0]);
  t.ctr_gather_shared = gather_reached(reached, nullptr);
  t.ctr_gather_times = gather_reached(reached, t.ctr_spread);
  for (int lane = 0; lane < 4; ++lane) t.ctr_scatter[lane] = scatter_reached(reached, lane);
  t.ctr_shared_2 = byte_mask(0, 15);
  for (int n : reached.position) t.ctr_shared_2.byte[n] = 0;
  return t;
}

inline constexpr Tables tables = make_tables();

namespace derive {

// Never defined: a constant evaluation that reaches it fails to compile.
std::uint8_t index_where_shuffles_differ();

// The proofs: the byte path of the vector code, one byte at a time, with the
// shuffle's semantics (an index outside 0..15 and 0x80..0x8f, where the two
// instruction sets would differ, makes the evaluation fail to compile).
consteval std::uint8_t lookup(const Bytes16& table, unsigned index) {
  if (index >= 16 && (index < 0x80 || index >= 0x90)) return index_where_shuffles_differ();
  return index & 0x80 ? 0 : table.byte[index];
}

struct Inverted {
  unsigned io, jo;
};
consteval Inverted invert(std::uint8_t y) {
  const unsigned i = y >> 4, k = y & 15, j = i ^ k;
  const unsigned ak = lookup(tables.a_over, k);
  const unsigned iak = lookup(tables.inverse, i) ^ ak, jak = lookup(tables.inverse, j) ^ ak;
  return {lookup(tables.inverse, iak) ^ j, lookup(tables.inverse, jak) ^ i};
}
consteval std::uint8_t in(const InputPair& p, std::uint8_t x) { return lookup(p.low, x & 15) ^ lookup(p.high, x >> 4); }
consteval std::uint8_t out(const OutputPair& p, Inverted v) { return lookup(p.u, v.io) ^ lookup(p.w, v.jo); }

consteval bool encryption_tables_hold() {
  for (unsigned x = 0; x < 256; ++x) {
    const std::uint8_t s = sbox(static_cast<std::uint8_t>(x));
    const Inverted v = invert(in(tables.encrypt_in, static_cast<std::uint8_t>(x)));
    if ((out(tables.sbox_last, v) ^ 0x63) != s) return false;
    if (out(tables.sbox_1, v) != phi(out(tables.sbox_last, v))) return false;  // what the IGE chain relies on
    if ((out(tables.sbox_1, v) ^ tables.encrypt_constant) != phi(s)) return false;
    if ((out(tables.sbox_2, v) ^ phi(aes_mul(2, 0x63))) != phi(aes_mul(2, s))) return false;
  }
  return true;
}
static_assert(encryption_tables_hold());

consteval bool decryption_tables_hold() {
  for (unsigned x = 0; x < 256; ++x) {
    const Inverted v = invert(in(tables.decrypt_in, static_cast<std::uint8_t>(x)) ^ tables.decrypt_constant);
    const std::uint8_t s = out(tables.inv_last, v);  // the inverse S-box of x
    if (sbox(s) != x) return false;
    if (out(tables.inv_last_psi, v) != psi(s)) return false;  // what the IGE chain relies on
    const std::uint8_t factors[4] = {0x0e, 0x0b, 0x0d, 0x09};
    const OutputPair* pairs[4] = {&tables.inv_e, &tables.inv_b, &tables.inv_d, &tables.inv_9};
    const InputPair* keys[4] = {&tables.key_e, &tables.key_b, &tables.key_d, &tables.key_9};
    for (int f = 0; f < 4; ++f) {
      if (out(*pairs[f], v) != psi(aes_mul(factors[f], s))) return false;
      if (in(*keys[f], static_cast<std::uint8_t>(x)) != psi(aes_mul(factors[f], x))) return false;
    }
  }
  return true;
}
static_assert(decryption_tables_hold());

// CTR's second round relies on byte 15 reaching the same four bytes, once each, in
// every lane; the packing then takes exactly those bytes.
consteval bool ctr_tables_hold() {
  for (int lane = 0; lane < 4; ++lane) {
    const Reached r = reached_bytes(tables.ctr_spread[lane]);
    if (r.count != 4) return false;
    for (int t = 0; t < 4; ++t) {
      if (r.position[t] != reached_bytes(tables.ctr_spread[0]).position[t]) return false;
      if (tables.ctr_scatter[lane].byte[r.position[t]] != 4 * lane + t) return false;
    }
  }
  return true;
}
static_assert(ctr_tables_hold());

}  // namespace derive

}  // namespace rdz::vperm

#endif
