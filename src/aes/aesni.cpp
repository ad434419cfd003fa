// The AES-NI backend. Every loop reads each round key from the schedule where it is
// used and keeps no copy of its own, which the compiler could spill to the stack
// where the cipher object's wipe would not reach it; every entry point zeroes the
// vector registers before it returns (registers.hpp).
#include "aes/aesni.hpp"

#if defined(__x86_64__)

#include "aes/backend.hpp"
#include "aes/registers.hpp"

#include <immintrin.h>

#include <cstring>

namespace rdz::aesni {
namespace {

constexpr int rounds = 14;

// The schedule holds the 15 round keys one after another, each in FIPS 197 byte order
// (the order of the block in an XMM register); a decryption schedule keeps them in
// encryption order, the inner ones through InvMixColumns, and is walked backwards.
inline __m128i round_key(const AesSchedule& schedule, int i) noexcept {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(schedule.bytes) + i);
}

inline __m128i load(const std::uint8_t* p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store(std::uint8_t* p, __m128i v) noexcept { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

__attribute__((target("aes"))) inline __m128i encrypt_block(const AesSchedule& keys, __m128i block) noexcept {
  block = _mm_xor_si128(block, round_key(keys, 0));
  for (int i = 1; i < rounds; ++i) block = _mm_aesenc_si128(block, round_key(keys, i));
  return _mm_aesenclast_si128(block, round_key(keys, rounds));
}

__attribute__((target("aes"))) inline __m128i decrypt_block(const AesSchedule& keys, __m128i block) noexcept {
  block = _mm_xor_si128(block, round_key(keys, rounds));
  for (int i = rounds - 1; i > 0; --i) block = _mm_aesdec_si128(block, round_key(keys, i));
  return _mm_aesdeclast_si128(block, round_key(keys, 0));
}

// IGE in either direction is one chain: out = F(in ^ before) ^ after, then
// before = out and after = in, with F the block encryption or decryption.
// Encryption starts from before = iv[0..15] (the previous ciphertext block) and
// after = iv[16..31], decryption the other way round. The chaining values stay in
// registers.
template <__m128i (*crypt)(const AesSchedule&, __m128i)>
__attribute__((target("aes"))) inline void ige_chain(const AesSchedule& schedule, const std::uint8_t* in,
                                                     std::uint8_t* out, std::size_t blocks,
                                                     const std::uint8_t* before_iv,
                                                     const std::uint8_t* after_iv) noexcept {
  __m128i before = load(before_iv), after = load(after_iv);
  for (std::size_t i = 0; i < blocks; ++i, in += 16, out += 16) {
    const __m128i input = load(in);
    before = _mm_xor_si128(crypt(schedule, _mm_xor_si128(input, before)), after);
    store(out, before);
    after = input;
  }
}

// One step of the AES-256 key schedule: `previous` two round keys back, combined
// with a word of the last one (`assist`, already broadcast).
inline __m128i schedule_step(__m128i previous, __m128i assist) noexcept {
  previous = _mm_xor_si128(previous, _mm_slli_si128(previous, 4));
  previous = _mm_xor_si128(previous, _mm_slli_si128(previous, 4));
  previous = _mm_xor_si128(previous, _mm_slli_si128(previous, 4));
  return _mm_xor_si128(previous, assist);
}

// Round keys 2i and 2i + 1 from 2i - 2 and 2i - 1 (the last pair has only 2i),
// written straight into the schedule.
template <int round_constant>
__attribute__((target("aes"))) inline void schedule_pair(AesSchedule& schedule, int i) noexcept {
  auto* k = reinterpret_cast<__m128i*>(schedule.bytes);
  const __m128i even =
      schedule_step(_mm_loadu_si128(k + 2 * i - 2),
                    _mm_shuffle_epi32(_mm_aeskeygenassist_si128(_mm_loadu_si128(k + 2 * i - 1), round_constant), 0xff));
  _mm_storeu_si128(k + 2 * i, even);
  if (2 * i + 1 <= rounds) {
    _mm_storeu_si128(k + 2 * i + 1, schedule_step(_mm_loadu_si128(k + 2 * i - 1),
                                                  _mm_shuffle_epi32(_mm_aeskeygenassist_si128(even, 0), 0xaa)));
  }
}

__attribute__((target("aes"))) void invert(AesSchedule& schedule) noexcept {
  // The equivalent inverse cipher: the inner round keys through InvMixColumns, kept
  // in encryption order (the decryption walks them from the last).
  auto* k = reinterpret_cast<__m128i*>(schedule.bytes);
  for (int i = 1; i < rounds; ++i) _mm_storeu_si128(k + i, _mm_aesimc_si128(_mm_loadu_si128(k + i)));
}

}  // namespace

__attribute__((target("aes"))) void expand_encrypt(const std::uint8_t* key, AesSchedule& schedule) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  std::memcpy(schedule.bytes, key, 32);
  schedule_pair<0x01>(schedule, 1);
  schedule_pair<0x02>(schedule, 2);
  schedule_pair<0x04>(schedule, 3);
  schedule_pair<0x08>(schedule, 4);
  schedule_pair<0x10>(schedule, 5);
  schedule_pair<0x20>(schedule, 6);
  schedule_pair<0x40>(schedule, 7);
}

void expand_decrypt(const std::uint8_t* key, AesSchedule& schedule) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  expand_encrypt(key, schedule);
  invert(schedule);
}

__attribute__((target("aes"))) void ige_encrypt(const AesSchedule& encrypt, const std::uint8_t* in, std::uint8_t* out,
                                                std::size_t blocks, const std::uint8_t* iv) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  ige_chain<encrypt_block>(encrypt, in, out, blocks, iv, iv + 16);
}

__attribute__((target("aes"))) void ige_decrypt(const AesSchedule& decrypt, const std::uint8_t* in, std::uint8_t* out,
                                                std::size_t blocks, const std::uint8_t* iv) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  ige_chain<decrypt_block>(decrypt, in, out, blocks, iv + 16, iv);
}

__attribute__((target("aes"))) void ctr_xor(const AesSchedule& encrypt, std::uint64_t& high, std::uint64_t& low,
                                            const std::uint8_t* in, std::uint8_t* out, std::size_t blocks) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  auto next_counter = [&] {
    const __m128i block =
        _mm_set_epi64x(static_cast<long long>(__builtin_bswap64(low)), static_cast<long long>(__builtin_bswap64(high)));
    if (++low == 0) ++high;
    return block;
  };
  constexpr std::size_t lanes = 8;
  for (; blocks >= lanes; blocks -= lanes, in += lanes * 16, out += lanes * 16) {
    __m128i b[lanes];
    const __m128i first = round_key(encrypt, 0);
    for (std::size_t j = 0; j < lanes; ++j) b[j] = _mm_xor_si128(next_counter(), first);
    for (int r = 1; r < rounds; ++r) {
      const __m128i key = round_key(encrypt, r);
      for (std::size_t j = 0; j < lanes; ++j) b[j] = _mm_aesenc_si128(b[j], key);
    }
    const __m128i last = round_key(encrypt, rounds);
    for (std::size_t j = 0; j < lanes; ++j) {
      store(out + 16 * j, _mm_xor_si128(load(in + 16 * j), _mm_aesenclast_si128(b[j], last)));
    }
  }
  for (; blocks > 0; --blocks, in += 16, out += 16) {
    store(out, _mm_xor_si128(load(in), encrypt_block(encrypt, next_counter())));
  }
}

}  // namespace rdz::aesni

namespace rdz {

constinit const AesBackend aesni_backend{aesni::expand_encrypt,
                                         aesni::expand_decrypt,
                                         aesni::ige_encrypt,
                                         aesni::ige_decrypt,
                                         aesni::ctr_xor,
                                         aesni::schedule_size,
                                         "aesni"};

}  // namespace rdz

#endif
