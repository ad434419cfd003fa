// Key material in the module's own memory.
//
// `Secret<N>` holds N bytes that overwrite themselves with zeros when they go out of
// scope, so every way out of a call, an early return included, leaves nothing of
// them behind. It is move-only, and a move wipes the source: there is never a second
// copy that nobody wipes. Every copy or derivation of key material is one: raw AES
// keys and IGE vectors, the authorization key and its slices, derived keys and
// vectors, and digests of key material. The data buffers (scratch buffer, results)
// are not: they hold what the caller gets back anyway.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace rdz {

// Zeroes memory in a way the compiler may not drop as a dead store.
inline void secure_wipe(void* memory, std::size_t size) noexcept {
#if defined(__GLIBC__) || defined(__FreeBSD__) || defined(__OpenBSD__)
  explicit_bzero(memory, size);
#else
  volatile auto* bytes = static_cast<volatile std::uint8_t*>(memory);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = 0;
#endif
}

template <std::size_t N>
class Secret {
 public:
  Secret() noexcept = default;

  Secret(Secret&& other) noexcept : bytes_(other.bytes_) { other.wipe(); }
  Secret& operator=(Secret&& other) noexcept {
    bytes_ = other.bytes_;
    other.wipe();
    return *this;
  }
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  ~Secret() { wipe(); }

  std::uint8_t* data() noexcept { return bytes_.data(); }
  const std::uint8_t* data() const noexcept { return bytes_.data(); }
  static constexpr std::size_t size() noexcept { return N; }
  std::span<const std::uint8_t, N> view() const noexcept { return bytes_; }
  std::span<std::uint8_t, N> bytes() noexcept { return bytes_; }

 private:
  void wipe() noexcept { secure_wipe(bytes_.data(), N); }

  std::array<std::uint8_t, N> bytes_;
};

}  // namespace rdz
