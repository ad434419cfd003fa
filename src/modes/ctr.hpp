// AES-256 in counter mode with a resumable stream position.
//
// A position is a 16-byte big-endian counter block (all 128 bits carry, and the
// all-0xFF block wraps to zero) and an offset 0..15: how many bytes of that
// counter's keystream block are already used. Any split of a stream across calls
// that carry the position along gives the bytes of one call over the whole stream.
#pragma once

#include "aes/cipher.hpp"

#include <array>
#include <span>

namespace rdz {

inline constexpr std::size_t ctr_counter_size = 16;

struct StreamPosition {
  std::array<std::uint8_t, ctr_counter_size> counter;
  unsigned offset;  // 0..15
};

// A stored offset byte: 16..255 mean a fresh block.
constexpr unsigned clamp_offset(std::uint8_t stored) noexcept { return stored < 16 ? stored : 0; }

// out = in ^ the keystream from `position`, and advances `position` past it. `out` is
// as long as `in`, and either is `in` (in place) or does not overlap it. Allocates
// nothing and needs nothing from the interpreter.
void ctr256_apply(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, const Aes256Encrypt& cipher,
                  StreamPosition& position) noexcept;

inline void ctr256_apply(std::span<std::uint8_t> data, const Aes256Encrypt& cipher, StreamPosition& position) noexcept {
  ctr256_apply(data, data, cipher, position);
}

}  // namespace rdz
