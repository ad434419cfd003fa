// SHA-256 over Nettle, with a context that is wiped when it goes out of scope: while
// it hashes key material its state and block buffer are key material too.
#pragma once

#include "lib/secret.hpp"

#include <nettle/sha2.h>

#include <cstdint>
#include <span>

namespace rdz {

inline constexpr std::size_t sha256_size = SHA256_DIGEST_SIZE;

class Sha256 {
 public:
  Sha256() noexcept { sha256_init(&context_); }
  ~Sha256() { secure_wipe(&context_, sizeof context_); }
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  Sha256& update(std::span<const std::uint8_t> bytes) noexcept {
    sha256_update(&context_, bytes.size(), bytes.data());
    return *this;
  }
  // Writes the digest; the context then starts afresh (Nettle resets it), ready
  // for the next message.
  Sha256& finish(std::span<std::uint8_t, sha256_size> digest) noexcept {
    sha256_digest(&context_, digest.size(), digest.data());
    return *this;
  }

 private:
  sha256_ctx context_;
};

using Sha256Digest = Secret<sha256_size>;

// The digest of `first` followed by `second`, both hashed in place.
inline Sha256Digest sha256(std::span<const std::uint8_t> first, std::span<const std::uint8_t> second = {}) noexcept {
  Sha256Digest digest;
  Sha256().update(first).update(second).finish(digest.bytes());
  return digest;
}

}  // namespace rdz
