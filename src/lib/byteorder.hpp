// Explicit byte order: the message layout is little-endian, the CTR counter block
// big-endian; nothing relies on the host's order.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace rdz {

template <class T>
T to_little(T value) noexcept {
  if constexpr (std::endian::native == std::endian::big) return std::byteswap(value);
  return value;
}

template <class T>
T to_big(T value) noexcept {
  if constexpr (std::endian::native == std::endian::little) return std::byteswap(value);
  return value;
}

template <class T>
T load_raw(const std::uint8_t* bytes) noexcept {
  T value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

template <class T>
void store_raw(std::uint8_t* bytes, T value) noexcept {
  std::memcpy(bytes, &value, sizeof value);
}

inline std::uint32_t load_le32(const std::uint8_t* b) noexcept { return to_little(load_raw<std::uint32_t>(b)); }
inline std::uint64_t load_le64(const std::uint8_t* b) noexcept { return to_little(load_raw<std::uint64_t>(b)); }
inline std::uint64_t load_be64(const std::uint8_t* b) noexcept { return to_big(load_raw<std::uint64_t>(b)); }
inline void store_le32(std::uint8_t* b, std::uint32_t v) noexcept { store_raw(b, to_little(v)); }
inline void store_le64(std::uint8_t* b, std::uint64_t v) noexcept { store_raw(b, to_little(v)); }
inline void store_be64(std::uint8_t* b, std::uint64_t v) noexcept { store_raw(b, to_big(v)); }

}  // namespace rdz
