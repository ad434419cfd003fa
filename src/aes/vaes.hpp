// The CTR keystream with the wide AES instructions (VAES): one instruction runs a
// round on two 16-byte blocks (256-bit, with AVX2) or four (512-bit, with AVX-512),
// and eight such vectors are kept in flight, so the AES units never wait on a
// round's latency. The keystream is XORed into the input as it is loaded and
// stored straight into the output.
//
// The round keys are read from the AES-NI backend's encryption schedule (each round
// key's bytes in FIPS 197 order), from the schedule itself at each use:
// the routines keep no copy of them that could be spilled to the stack.
//
// Counter blocks are 128-bit big-endian integers in which every bit carries, and the
// all-0xFF block wraps to zero. `high` and `low` are the two host-order halves of
// the block, advanced past the blocks used.
//
// Run these only where cpu::detect() reports the instruction set, and only after a
// check against Nettle. Constant-time for the same reasons as AES-NI (aesni.hpp). x86-64 only: elsewhere this header
// declares nothing.
#pragma once

#if defined(__x86_64__)

#include "aes/backend.hpp"

#include <cstddef>
#include <cstdint>

namespace rdz::vaes {

// out[i] = in[i] ^ keystream for `blocks` whole blocks. `out` may equal `in` (in
// place) or not overlap it at all; neither needs any alignment. Reads and writes
// nothing outside the `16 * blocks` bytes of each.
void ctr_xor_512(const AesSchedule& schedule, std::uint64_t& high, std::uint64_t& low, const std::uint8_t* in,
                 std::uint8_t* out, std::size_t blocks) noexcept;
void ctr_xor_256(const AesSchedule& schedule, std::uint64_t& high, std::uint64_t& low, const std::uint8_t* in,
                 std::uint8_t* out, std::size_t blocks) noexcept;

}  // namespace rdz::vaes

#endif
