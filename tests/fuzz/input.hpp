// Reads a fuzzer's input as the fields a harness asks for, front to back. Past the
// end every field reads as zeros, so any input, however short, is a whole case;
// the harnesses take their fixed fields first and their data last, so that the
// fuzzer's mutations of the data leave the fields where they were.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

namespace fuzz {

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : rest_(data, size) {}

  void bytes(std::span<std::uint8_t> out) {
    const std::size_t n = std::min(out.size(), rest_.size());
    if (n != 0) std::memcpy(out.data(), rest_.data(), n);
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(n), out.end(), std::uint8_t{0});
    rest_ = rest_.subspan(n);
  }

  template <std::size_t N>
  std::array<std::uint8_t, N> array() {
    std::array<std::uint8_t, N> out;
    bytes(out);
    return out;
  }

  std::uint8_t byte() { return array<1>()[0]; }

  // Little-endian, as many bytes as the type has.
  template <class T>
  T number() {
    const auto raw = array<sizeof(T)>();
    std::uint64_t value = 0;
    for (std::size_t i = sizeof(T); i-- > 0;) value = value << 8 | raw[i];
    return static_cast<T>(value);
  }

  // What is left, as it is.
  std::span<const std::uint8_t> rest() { return std::exchange(rest_, {}); }

  // `size` bytes: what is left of the input, then a deterministic filler drawn from
  // it, so that lengths do not depend on how many bytes the fuzzer wrote.
  std::vector<std::uint8_t> data(std::size_t size) {
    std::vector<std::uint8_t> out(size);
    const std::span<const std::uint8_t> given = rest();
    const std::size_t n = std::min(size, given.size());
    if (n != 0) std::memcpy(out.data(), given.data(), n);
    std::uint64_t state = 0x243f6a8885a308d3 ^ given.size();
    for (std::size_t i = n; i < size; ++i) {
      state = state * 6364136223846793005 + 1442695040888963407;
      out[i] = static_cast<std::uint8_t>(state >> 56);
    }
    return out;
  }

 private:
  std::span<const std::uint8_t> rest_;
};

}  // namespace fuzz
