#include "modes/ige.hpp"

#include <cstring>

namespace rdz {
namespace {

void copy_tail(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) noexcept {
  const std::size_t whole = in.size() - in.size() % aes_block;
  if (whole != in.size() && out.data() != in.data()) {
    std::memcpy(out.data() + whole, in.data() + whole, in.size() - whole);
  }
}

}  // namespace

void ige_encrypt(const Aes256Encrypt& cipher, std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                 IgeIv iv) noexcept {
  cipher.ige(in.data(), out.data(), in.size() / aes_block, iv.data());
  copy_tail(in, out);
}

void ige_decrypt(const Aes256Decrypt& cipher, std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                 IgeIv iv) noexcept {
  cipher.ige(in.data(), out.data(), in.size() / aes_block, iv.data());
  copy_tail(in, out);
}

}  // namespace rdz
