// The hot loops of IGE and CTR with the processor's AES instructions, run over the
// round keys that Nettle expanded.
//
// Calling Nettle once per IGE block costs a round trip of the chaining value through
// memory and a reload of all round keys for every block; on one serial chain that is
// a quarter of the time. These loops keep the chain and the round keys in registers
// (IGE) and keep eight counter blocks in flight with the XOR fused in (CTR).
//
// Nettle's key expansion is table-driven software; on a short message it is the
// largest single cost of a call, so with AES-NI the same schedules are computed
// with AESKEYGENASSIST and AESIMC instead, in Nettle's layout.
//
// All of this is used only when the processor has AES-NI and a one-time check at
// first use has shown that it agrees with Nettle byte for byte: the schedules of
// two keys, the FIPS 197 example, and a keystream block. Otherwise the callers run
// Nettle's own functions. Either way the bytes are the same.
#pragma once

#include <nettle/aes.h>

#include <cstddef>
#include <cstdint>

namespace rdz::aesni {

bool available() noexcept;

// Nettle's encryption schedule of `key`, with AESKEYGENASSIST.
void expand_key(const std::uint8_t* key, aes256_ctx& encrypt) noexcept;

// Nettle's decryption schedule of the same key, from its encryption schedule.
void invert_schedule(const aes256_ctx& encrypt, aes256_ctx& decrypt) noexcept;

void ige_encrypt(const aes256_ctx& schedule, std::uint8_t* data, std::size_t blocks, const std::uint8_t* iv) noexcept;
void ige_decrypt(const aes256_ctx& schedule, std::uint8_t* data, std::size_t blocks, const std::uint8_t* iv) noexcept;

// XORs the keystream of `blocks` consecutive counter blocks into `data`; the counter
// (high, low: host-order halves of the big-endian block) advances by `blocks`.
void ctr_xor(const aes256_ctx& schedule, std::uint64_t& high, std::uint64_t& low, std::uint8_t* data,
             std::size_t blocks) noexcept;

}  // namespace rdz::aesni
