// The operating system's cryptographically secure random source.
#pragma once

#include <cstdint>
#include <span>

namespace rdz {

// Fills all of `out`; 0 on success, else the errno of the failure (nothing that was
// not filled is to be used).
int fill_random(std::span<std::uint8_t> out) noexcept;

}  // namespace rdz
