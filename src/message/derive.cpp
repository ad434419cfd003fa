#include "message/derive.hpp"

#include "lib/byteorder.hpp"
#include "message/sha256.hpp"

#include <cstring>

namespace rdz {

// The key is a with bytes 8..23 taken from b, the vector b with bytes 8..23 taken
// from a: so a is finished straight into the key and b into the vector, and their
// middles are swapped. No other copy of either digest exists.
void derive_key_iv(AuthKey auth_key, std::span<const std::uint8_t> msg_key, unsigned x, Key32 key, Key32 iv) noexcept {
  Sha256 hash;  // one context for both digests: finishing one starts the next afresh
  hash.update(msg_key).update(auth_key.subspan(x, 36)).finish(key);
  hash.update(auth_key.subspan(x + 40, 36)).update(msg_key).finish(iv);
  for (std::size_t i = 8; i < 24; i += 8) {
    const std::uint64_t from_a = load_raw<std::uint64_t>(key.data() + i);
    store_raw(key.data() + i, load_raw<std::uint64_t>(iv.data() + i));
    store_raw(iv.data() + i, from_a);
  }
}

MsgKey message_key(AuthKey auth_key, std::span<const std::uint8_t> plaintext, unsigned x) noexcept {
  const Sha256Digest digest = sha256(auth_key.subspan(88 + x, 32), plaintext);
  MsgKey key;
  std::memcpy(key.data(), digest.data() + 8, msg_key_size);
  return key;
}

// Every byte is read and the differences are gathered before the one comparison: no
// early exit. The compiler turns the final test into a flag (sete), not a branch;
// the constant-time check would report a branch on the secret bytes.
bool same_msg_key(const MsgKey& a, const MsgKey& b) noexcept {
  const std::uint64_t difference = (load_raw<std::uint64_t>(a.data()) ^ load_raw<std::uint64_t>(b.data())) |
                                   (load_raw<std::uint64_t>(a.data() + 8) ^ load_raw<std::uint64_t>(b.data() + 8));
  return difference == 0;
}

}  // namespace rdz
