// The timing test's positive control (timing.cpp): another backend with a branch on a
// secret planted in each of its routines. When the lowest bit of the first key byte
// (key expansion) or of the first data byte (IGE, CTR) is set, the call ends with a
// chain of dependent multiplications: 16 after a key expansion, some 50 cycles (about
// one table lookup that misses the L1 and L2 caches), and two per block after IGE and
// CTR, so that the leak keeps its share of a longer call: from some 3 per cent of a
// vector-permute IGE call to some 12 of its key expansion. A run that does not tell this backend's fixed inputs from its
// random ones could not have told a real leak of that size either, and proves nothing.
#pragma once

#include "aes/backend.hpp"

#include <cstdint>

namespace timing {

namespace planted {

inline const rdz::AesBackend* inner = nullptr;
inline volatile std::uint64_t sink;
inline constexpr std::size_t expansion_chain = 16;
inline constexpr std::size_t chain_per_block = 2;

// Out of line, so that the branch stays a branch in every caller. The chain starts
// from a byte of the call's output, so it cannot run in the shadow of the call's own
// work (out of order, beside a CTR call's independent blocks) but lengthens it.
[[gnu::noinline]] inline void work_if_odd(std::uint8_t secret, std::uint8_t output, std::size_t length) noexcept {
  if ((secret & 1) == 0) return;
  std::uint64_t x = output;
  for (std::size_t i = 0; i < length; ++i) {
    x = x * 0x9e3779b97f4a7c15 + 1;
    asm("" : "+r"(x));  // one multiplication after another, none folded
  }
  sink = x;
}

// The secret bit is read before the call, which may overwrite its input.
inline void expand_encrypt(const std::uint8_t* key, rdz::AesSchedule& schedule) noexcept {
  const std::uint8_t secret = key[0];
  inner->expand_encrypt(key, schedule);
  work_if_odd(secret, schedule.bytes[0], expansion_chain);
}

inline void expand_decrypt(const std::uint8_t* key, rdz::AesSchedule& schedule) noexcept {
  const std::uint8_t secret = key[0];
  inner->expand_decrypt(key, schedule);
  work_if_odd(secret, schedule.bytes[0], expansion_chain);
}

inline void ige_encrypt(const rdz::AesSchedule& schedule, const std::uint8_t* in, std::uint8_t* out,
                        std::size_t blocks, const std::uint8_t* iv) noexcept {
  const std::uint8_t secret = in[0];
  inner->ige_encrypt(schedule, in, out, blocks, iv);
  work_if_odd(secret, out[16 * blocks - 1], chain_per_block * blocks);
}

inline void ige_decrypt(const rdz::AesSchedule& schedule, const std::uint8_t* in, std::uint8_t* out,
                        std::size_t blocks, const std::uint8_t* iv) noexcept {
  const std::uint8_t secret = in[0];
  inner->ige_decrypt(schedule, in, out, blocks, iv);
  work_if_odd(secret, out[16 * blocks - 1], chain_per_block * blocks);
}

inline void ctr_xor(const rdz::AesSchedule& schedule, std::uint64_t& high, std::uint64_t& low, const std::uint8_t* in,
                    std::uint8_t* out, std::size_t blocks) noexcept {
  const std::uint8_t secret = in[0];
  inner->ctr_xor(schedule, high, low, in, out, blocks);
  work_if_odd(secret, out[16 * blocks - 1], chain_per_block * blocks);
}

}  // namespace planted

inline rdz::AesBackend with_planted_leak(const rdz::AesBackend& backend) noexcept {
  planted::inner = &backend;
  rdz::AesBackend leaky = backend;  // a copy: whatever else the table holds stays the inner backend's
  leaky.expand_encrypt = planted::expand_encrypt;
  leaky.expand_decrypt = planted::expand_decrypt;
  leaky.ige_encrypt = planted::ige_encrypt;
  leaky.ige_decrypt = planted::ige_decrypt;
  leaky.ctr_xor = planted::ctr_xor;
  leaky.name = "control";
  return leaky;
}

}  // namespace timing
