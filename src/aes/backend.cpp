#include "aes/backend.hpp"

#include "aes/cpu.hpp"
#include "lib/secret.hpp"

#include <atomic>
#include <cstring>

namespace rdz {
namespace {

// The FIPS 197 appendix C.3 example: its key is 00 01 .. 1f, its plaintext 00 11 .. ff.
constexpr std::uint8_t fips_197_c3[16] = {0x8e, 0xa2, 0xb7, 0xca, 0x51, 0x67, 0x45, 0xbf,
                                          0xea, 0xfc, 0x49, 0x90, 0x4b, 0x49, 0x60, 0x89};

// Schedules wiped on every way out of the check.
struct Schedules {
  AesSchedule encrypt, decrypt;
  ~Schedules() { secure_wipe(this, sizeof *this); }
};

// CTR of `count` blocks from (high, low) by the candidate and by Nettle: the same
// bytes, and the counter advanced alike.
bool same_ctr(const AesBackend& candidate, const AesSchedule& mine, const AesSchedule& reference, std::uint64_t high,
              std::uint64_t low, const std::uint8_t* text, std::size_t count) noexcept {
  constexpr std::size_t most = 40;
  std::uint8_t ours[16 * most], theirs[16 * most];
  std::uint64_t their_high = high, their_low = low;
  candidate.ctr_xor(mine, high, low, text, ours, count);
  nettle_backend.ctr_xor(reference, their_high, their_low, text, theirs, count);
  return std::memcmp(ours, theirs, 16 * count) == 0 && high == their_high && low == their_low;
}

}  // namespace

// What it runs: key expansion both ways; IGE of no block, of one block under a zero
// vector (the block cipher itself, against the FIPS 197 example) and of five blocks
// both ways; CTR of every count from 1 to 40 blocks from a counter whose last byte is
// 0xf1, and of 37 blocks across the carry out of the low half and the wrap of the
// whole block. The counts reach every loop and tail of every backend's CTR: the
// eight-block loops and one-by-one tails of AES-NI, bitsliced and ARMv8; VAES-512's
// 32-block loop and its tails of 1 to 8 vectors, VAES-256's 16-block loop and tails
// of 1 to 8 half-filled or full vectors (below four blocks both take AES-NI's code);
// vperm256's passes and tails; and from that counter, vperm's runs of counters that
// share their upper bytes in groups of eight and of four, its groups of four that
// cannot share (a last byte above 0xfc), and its single blocks.
// (tests/native/self_check_coverage.py reads which lines of the backends ran.)
bool passes_self_check(const AesBackend& candidate) noexcept {
  std::uint8_t key[32], other_key[32];
  for (int i = 0; i < 32; ++i) {
    key[i] = static_cast<std::uint8_t>(i);
    other_key[i] = static_cast<std::uint8_t>(0xff - 7 * i);
  }
  std::uint8_t text[16 * 40], ours[16 * 5], theirs[16 * 5], iv[32] = {};
  for (std::size_t i = 0; i < sizeof text; ++i) text[i] = static_cast<std::uint8_t>(i * 0x11);

  // IGE of one block under a zero vector is the block cipher itself.
  Schedules mine, reference;
  candidate.expand_encrypt(key, mine.encrypt);
  candidate.expand_decrypt(key, mine.decrypt);
  candidate.ige_encrypt(mine.encrypt, text, ours, 1, iv);
  if (std::memcmp(ours, fips_197_c3, 16) != 0) return false;
  candidate.ige_decrypt(mine.decrypt, fips_197_c3, ours, 1, iv);
  if (std::memcmp(ours, text, 16) != 0) return false;
  candidate.ige_encrypt(mine.encrypt, text, ours, 0, iv);
  candidate.ige_decrypt(mine.decrypt, text, ours, 0, iv);

  candidate.expand_encrypt(other_key, mine.encrypt);
  candidate.expand_decrypt(other_key, mine.decrypt);
  nettle_backend.expand_encrypt(other_key, reference.encrypt);
  for (int i = 0; i < 32; ++i) iv[i] = static_cast<std::uint8_t>(0xa5 ^ i);
  candidate.ige_encrypt(mine.encrypt, text, ours, 5, iv);
  nettle_backend.ige_encrypt(reference.encrypt, text, theirs, 5, iv);
  if (std::memcmp(ours, theirs, 16 * 5) != 0) return false;
  candidate.ige_decrypt(mine.decrypt, theirs, ours, 5, iv);
  if (std::memcmp(ours, text, 16 * 5) != 0) return false;

  for (std::size_t count = 1; count <= 40; ++count) {
    if (!same_ctr(candidate, mine.encrypt, reference.encrypt, 0x0102030405060708, 0x10000000000000f1, text, count)) {
      return false;
    }
  }
  return same_ctr(candidate, mine.encrypt, reference.encrypt, ~std::uint64_t{0}, ~std::uint64_t{0} - 20, text, 37);
}

namespace {

bool allowed(const AesBackend& backend) noexcept {
#ifdef REDERODIDIZO_AES_FORCE
  return std::strcmp(backend.name, REDERODIDIZO_AES_FORCE) == 0;
#else
  // Nettle's AES is the reference, never a choice: its tables are indexed by key and
  // data bytes.
  return &backend != &nettle_backend;
#endif
}

const AesBackend* choose() noexcept {
  for (const AesCandidate& c : aes_candidates()) {
    if (!c.runs || !allowed(*c.backend)) continue;
    if (c.backend == &nettle_backend || passes_self_check(*c.backend)) return c.backend;
  }
  return nullptr;
}

// Null until chosen; `none` when there is nothing to choose.
constinit const AesBackend none{};
constinit std::atomic<const AesBackend*> chosen{nullptr};

}  // namespace

AesCandidates aes_candidates() noexcept {
#if defined(__x86_64__)
  const cpu::Features cpu = cpu::detect();
  return {{{&vaes512_backend, cpu.avx512_vaes},
           {&vaes256_backend, cpu.avx2_vaes},
           {&aesni_backend, cpu.aes},
           {&vperm256_backend, cpu.avx2},
           {&vperm_backend, cpu.ssse3},
           {&bitsliced_backend, true},
           {&nettle_backend, true}},
          7};
#elif defined(__aarch64__)
  const cpu::Features cpu = cpu::detect();
  return {{{&armv8_backend, cpu.aes}, {&vperm_backend, true}, {&bitsliced_backend, true}, {&nettle_backend, true}}, 4};
#else
  return {{{&bitsliced_backend, true}, {&nettle_backend, true}}, 2};
#endif
}

const AesBackend* chosen_aes_backend() noexcept {
  const AesBackend* backend = chosen.load(std::memory_order_acquire);
  if (backend == nullptr) {
    // Racing first calls compute and store the same answer.
    const AesBackend* found = choose();
    backend = found ? found : &none;
    chosen.store(backend, std::memory_order_release);
  }
  return backend == &none ? nullptr : backend;
}

}  // namespace rdz
