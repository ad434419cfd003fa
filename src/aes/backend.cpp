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

// A candidate against FIPS 197 and Nettle, by what it computes (schedules are in each
// backend's own layout and cannot be compared): the appendix C.3 block both ways, IGE
// both ways over a few blocks under a second key, and CTR over enough blocks for
// every kind of loop a backend has, across a carry out of the low half and the wrap
// of the whole block.
bool agrees_with_nettle(const AesBackend& candidate) noexcept {
  std::uint8_t key[32], other_key[32];
  for (int i = 0; i < 32; ++i) {
    key[i] = static_cast<std::uint8_t>(i);
    other_key[i] = static_cast<std::uint8_t>(0xff - 7 * i);
  }
  constexpr std::size_t blocks = 37;
  std::uint8_t text[16 * blocks], ours[16 * blocks], theirs[16 * blocks], iv[32] = {};
  for (std::size_t i = 0; i < sizeof text; ++i) text[i] = static_cast<std::uint8_t>(i * 0x11);

  // IGE of one block under a zero vector is the block cipher itself.
  Schedules mine, reference;
  candidate.expand_encrypt(key, mine.encrypt);
  candidate.expand_decrypt(key, mine.decrypt);
  candidate.ige_encrypt(mine.encrypt, text, ours, 1, iv);
  if (std::memcmp(ours, fips_197_c3, 16) != 0) return false;
  candidate.ige_decrypt(mine.decrypt, fips_197_c3, ours, 1, iv);
  if (std::memcmp(ours, text, 16) != 0) return false;

  candidate.expand_encrypt(other_key, mine.encrypt);
  candidate.expand_decrypt(other_key, mine.decrypt);
  nettle_backend.expand_encrypt(other_key, reference.encrypt);
  for (int i = 0; i < 32; ++i) iv[i] = static_cast<std::uint8_t>(0xa5 ^ i);
  candidate.ige_encrypt(mine.encrypt, text, ours, 5, iv);
  nettle_backend.ige_encrypt(reference.encrypt, text, theirs, 5, iv);
  if (std::memcmp(ours, theirs, 16 * 5) != 0) return false;
  candidate.ige_decrypt(mine.decrypt, theirs, ours, 5, iv);
  if (std::memcmp(ours, text, 16 * 5) != 0) return false;

  // Every count of blocks to 17 and one long run, so that each loop and each tail of
  // a backend's CTR runs at least once, the long one across both carries.
  for (std::size_t n = 1; n <= 18; ++n) {
    const std::size_t count = n == 18 ? blocks : n;
    std::uint64_t high = ~std::uint64_t{0}, low = ~std::uint64_t{0} - 20;
    std::uint64_t their_high = high, their_low = low;
    candidate.ctr_xor(mine.encrypt, high, low, text, ours, count);
    nettle_backend.ctr_xor(reference.encrypt, their_high, their_low, text, theirs, count);
    if (std::memcmp(ours, theirs, 16 * count) != 0 || high != their_high || low != their_low) return false;
  }
  return true;
}

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
    if (c.backend == &nettle_backend || agrees_with_nettle(*c.backend)) return c.backend;
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
