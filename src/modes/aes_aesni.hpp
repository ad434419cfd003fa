// The AES instructions, 16 bytes at a time, over Nettle's schedules: the routines of
// the AES-NI backend, which the VAES backend shares for everything but CTR.
// x86-64 only: elsewhere this header declares nothing.
#pragma once

#if defined(__x86_64__)

#include <nettle/aes.h>

#include <cstddef>
#include <cstdint>

namespace rdz::aesni {

// Nettle's schedules, computed with AESKEYGENASSIST and AESIMC: Nettle's own key
// expansion is table-driven software, the largest single cost of a short call.
void expand_encrypt(const std::uint8_t* key, aes256_ctx& schedule) noexcept;
void expand_decrypt(const std::uint8_t* key, aes256_ctx& schedule) noexcept;

// One serial chain: the chaining values stay in registers.
void ige_encrypt(const aes256_ctx& encrypt, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                 const std::uint8_t* iv) noexcept;
void ige_decrypt(const aes256_ctx& decrypt, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                 const std::uint8_t* iv) noexcept;

// Eight counter blocks in flight, the XOR fused in.
void ctr_xor(const aes256_ctx& encrypt, std::uint64_t& high, std::uint64_t& low, const std::uint8_t* in,
             std::uint8_t* out, std::size_t blocks) noexcept;

}  // namespace rdz::aesni

#endif
