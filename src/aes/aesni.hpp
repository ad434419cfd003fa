// The AES instructions, 16 bytes at a time: the routines of the AES-NI backend, which
// the VAES backend shares for everything but CTR. Constant-time by construction: the
// instructions' latency does not depend on their operands, and no branch or address
// depends on the key or the data.
// x86-64 only: elsewhere this header declares nothing.
#pragma once

#if defined(__x86_64__)

#include "aes/backend.hpp"

#include <cstddef>
#include <cstdint>

namespace rdz::aesni {

// The schedules, computed with AESKEYGENASSIST and AESIMC: 15 round keys of 16 bytes.
inline constexpr std::size_t schedule_size = 15 * 16;
void expand_encrypt(const std::uint8_t* key, AesSchedule& schedule) noexcept;
void expand_decrypt(const std::uint8_t* key, AesSchedule& schedule) noexcept;

// One serial chain: the chaining values stay in registers.
void ige_encrypt(const AesSchedule& encrypt, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                 const std::uint8_t* iv) noexcept;
void ige_decrypt(const AesSchedule& decrypt, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                 const std::uint8_t* iv) noexcept;

// Eight counter blocks in flight, the XOR fused in.
void ctr_xor(const AesSchedule& encrypt, std::uint64_t& high, std::uint64_t& low, const std::uint8_t* in,
             std::uint8_t* out, std::size_t blocks) noexcept;

}  // namespace rdz::aesni

#endif
