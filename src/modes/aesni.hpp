// The hot loops of IGE and CTR with the processor's AES instructions, run over the
// round keys that Nettle expanded.
//
// Calling Nettle once per IGE block costs a round trip of the chaining value through
// memory and a reload of all round keys for every block; on one serial chain that is
// a quarter of the time. These loops keep the chain and the round keys in registers
// (IGE) and keep eight counter blocks in flight with the XOR fused in (CTR).
//
// They are used only when the processor has AES-NI and a one-time check at first
// use has shown that they agree with Nettle on the FIPS 197 example and on the
// layout of Nettle's schedules; otherwise the callers run Nettle's own block
// functions. Either way the bytes are the same.
#pragma once

#include <nettle/aes.h>

#include <cstddef>
#include <cstdint>

namespace rdz::aesni {

bool available() noexcept;

// Nettle's decryption schedule of the same key, from its encryption schedule.
void invert_schedule(const aes256_ctx& encrypt, aes256_ctx& decrypt) noexcept;

void ige_encrypt(const aes256_ctx& schedule, std::uint8_t* data, std::size_t blocks, const std::uint8_t* iv) noexcept;
void ige_decrypt(const aes256_ctx& schedule, std::uint8_t* data, std::size_t blocks, const std::uint8_t* iv) noexcept;

// XORs the keystream of `blocks` consecutive counter blocks into `data`; the counter
// (high, low: host-order halves of the big-endian block) advances by `blocks`.
void ctr_xor(const aes256_ctx& schedule, std::uint64_t& high, std::uint64_t& low, std::uint8_t* data,
             std::size_t blocks) noexcept;

}  // namespace rdz::aesni
