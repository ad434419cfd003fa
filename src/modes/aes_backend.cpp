#include "modes/aes_backend.hpp"

#include "lib/secret.hpp"
#include "modes/cpu.hpp"

#include <atomic>
#include <cstring>

namespace rdz {
namespace {

// The FIPS 197 appendix C.3 example: its key is 00 01 .. 1f, its plaintext 00 11 .. ff.
constexpr std::uint8_t fips_197_c3[16] = {0x8e, 0xa2, 0xb7, 0xca, 0x51, 0x67, 0x45, 0xbf,
                                          0xea, 0xfc, 0x49, 0x90, 0x4b, 0x49, 0x60, 0x89};

// Wipes Nettle contexts on every way out of the check.
struct Schedules {
  aes256_ctx nettle, ours;
  ~Schedules() { secure_wipe(this, sizeof *this); }
};

bool same_schedule(const AesBackend& candidate, const std::uint8_t* key) noexcept {
  Schedules s;
  aes256_set_encrypt_key(&s.nettle, key);
  candidate.expand_encrypt(key, s.ours);
  if (std::memcmp(&s.nettle, &s.ours, sizeof s.ours) != 0) return false;
  aes256_set_decrypt_key(&s.nettle, key);
  candidate.expand_decrypt(key, s.ours);
  return std::memcmp(&s.nettle, &s.ours, sizeof s.ours) == 0;
}

// A candidate against Nettle (and FIPS 197): both schedules of two keys, IGE both
// ways over a few blocks, and CTR over enough blocks for every kind of loop a
// backend has, across a carry out of the low half and the wrap of the whole block.
bool agrees_with_nettle(const AesBackend& candidate) noexcept {
  std::uint8_t key[32], other_key[32];
  for (int i = 0; i < 32; ++i) {
    key[i] = static_cast<std::uint8_t>(i);
    other_key[i] = static_cast<std::uint8_t>(0xff - 7 * i);
  }
  if (!same_schedule(candidate, key) || !same_schedule(candidate, other_key)) return false;

  Schedules encrypt, decrypt;
  candidate.expand_encrypt(key, encrypt.ours);
  candidate.expand_decrypt(key, decrypt.ours);
  constexpr std::size_t blocks = 37;
  std::uint8_t text[16 * blocks], ours[16 * blocks], theirs[16 * blocks], iv[32] = {};
  for (std::size_t i = 0; i < sizeof text; ++i) text[i] = static_cast<std::uint8_t>(i * 0x11);
  // IGE of one block under a zero vector is the block cipher itself.
  candidate.ige_encrypt(encrypt.ours, text, ours, 1, iv);
  if (std::memcmp(ours, fips_197_c3, 16) != 0) return false;
  for (int i = 0; i < 32; ++i) iv[i] = static_cast<std::uint8_t>(0xa5 ^ i);
  candidate.ige_encrypt(encrypt.ours, text, ours, 5, iv);
  nettle_backend.ige_encrypt(encrypt.ours, text, theirs, 5, iv);
  if (std::memcmp(ours, theirs, 16 * 5) != 0) return false;
  candidate.ige_decrypt(decrypt.ours, theirs, ours, 5, iv);
  if (std::memcmp(ours, text, 16 * 5) != 0) return false;

  std::uint64_t high = ~std::uint64_t{0}, low = ~std::uint64_t{0} - 20;
  std::uint64_t their_high = high, their_low = low;
  candidate.ctr_xor(encrypt.ours, high, low, text, ours, blocks);
  nettle_backend.ctr_xor(encrypt.ours, their_high, their_low, text, theirs, blocks);
  return std::memcmp(ours, theirs, sizeof ours) == 0 && high == their_high && low == their_low;
}

bool allowed(const AesBackend& backend) noexcept {
#ifdef REDERODIDIZO_AES_FORCE
  return std::strcmp(backend.name, REDERODIDIZO_AES_FORCE) == 0;
#else
  (void)backend;
  return true;
#endif
}

const AesBackend* choose() noexcept {
  struct Candidate {
    const AesBackend* backend;
    bool runs;
  };
#if defined(__x86_64__)
  const cpu::Features cpu = cpu::detect();
  const Candidate candidates[] = {{&vaes512_backend, cpu.avx512_vaes},
                                  {&vaes256_backend, cpu.avx2_vaes},
                                  {&aesni_backend, cpu.aes},
                                  {&nettle_backend, true}};
#else
  const Candidate candidates[] = {{&nettle_backend, true}};
#endif
  for (const Candidate& c : candidates) {
    if (!c.runs || !allowed(*c.backend)) continue;
    if (c.backend == &nettle_backend || agrees_with_nettle(*c.backend)) return c.backend;
  }
  return nullptr;
}

// Null until chosen; `none` when a forced path cannot run.
constinit const AesBackend none{};
constinit std::atomic<const AesBackend*> chosen{nullptr};

}  // namespace

const AesBackend* aes_backend_if_any() noexcept {
  const AesBackend* backend = chosen.load(std::memory_order_acquire);
  if (backend == nullptr) {
    // Racing first calls compute and store the same answer.
    const AesBackend* found = choose();
    backend = found ? found : &none;
    chosen.store(backend, std::memory_order_release);
  }
  return backend == &none ? nullptr : backend;
}

const AesBackend& aes_backend() noexcept {
  const AesBackend* backend = aes_backend_if_any();
  return backend ? *backend : nettle_backend;
}

}  // namespace rdz
