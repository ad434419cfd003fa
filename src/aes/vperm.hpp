// What the vector-permute backend (vperm.cpp) shares with the one that runs its CTR
// on 32-byte vectors (vperm256.cpp): the key expansions, the layout of the schedules
// they write, and IGE both ways, which is one serial chain that wider vectors cannot
// speed up. Run these only where the processor has SSSE3 (on x86-64) and after the
// backend's check against Nettle, like the backend's own table.
#pragma once

#include "aes/backend.hpp"
#include "aes/stack_wiped.hpp"

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) || defined(__aarch64__)

namespace rdz::vperm {

// 15 round keys of 16 bytes.
inline constexpr std::size_t schedule_size = 15 * 16;

// The stack the table entries wipe after each call (aes/stack_wiped.hpp): the CTR
// spills states of its shared rounds and keystream there. GCC 16's code at -O3 on
// x86-64 leaves them down to between 256 and 512 bytes below the call; twice the
// most leaves room for other compilers and flags.
inline constexpr std::size_t stack_wipe = 1024;

void expand_encrypt(const std::uint8_t* key, AesSchedule& schedule) noexcept;
void expand_decrypt(const std::uint8_t* key, AesSchedule& schedule) noexcept;
void ige_encrypt(const AesSchedule& keys, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                 const std::uint8_t* iv) noexcept;
void ige_decrypt(const AesSchedule& keys, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                 const std::uint8_t* iv) noexcept;

// The table of a backend made of these and its own CTR, every entry wiping the stack
// it used.
template <auto ctr_xor>
constexpr AesBackend backend(const char* name) noexcept {
  return {stack_wiped<stack_wipe, expand_encrypt>, stack_wiped<stack_wipe, expand_decrypt>,
          stack_wiped<stack_wipe, ige_encrypt>,    stack_wiped<stack_wipe, ige_decrypt>,
          stack_wiped<stack_wipe, ctr_xor>,        schedule_size,
          name};
}

}  // namespace rdz::vperm

#endif
