#include "modes/ctr.hpp"

#include "aes/registers.hpp"
#include "lib/byteorder.hpp"
#include "lib/secret.hpp"

#include <algorithm>

namespace rdz {
namespace {

// The counter as two host-order halves, so that increments are plain arithmetic.
struct Counter {
  std::uint64_t high;
  std::uint64_t low;

  static Counter load(const std::array<std::uint8_t, ctr_counter_size>& bytes) noexcept {
    return {load_be64(bytes.data()), load_be64(bytes.data() + 8)};
  }

  void store(std::uint8_t* bytes) const noexcept {
    store_be64(bytes, high);
    store_be64(bytes + 8, low);
  }
};

// `n` bytes of the keystream block of `counter` from byte `from`, XORed from `in`
// into `out`; the counter does not move. The block, which the caller's data does not
// give away where the part is short, is wiped on the way out, and so are the vector
// registers the XOR may have held it in.
void xor_part(const Aes256Encrypt& cipher, Counter counter, const std::uint8_t* in, std::uint8_t* out, std::size_t from,
              std::size_t n) noexcept {
  const RegistersClearedOnReturn<> registers_cleared;
  Secret<aes_block> keystream;
  std::fill_n(keystream.data(), aes_block, 0);
  cipher.ctr_xor(counter.high, counter.low, keystream.data(), keystream.data(), 1);
  for (std::size_t i = 0; i < n; ++i) out[i] = in[i] ^ keystream.data()[from + i];
}

}  // namespace

void ctr256_apply(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, const Aes256Encrypt& cipher,
                  StreamPosition& position) noexcept {
  if (in.empty()) return;
  Counter counter = Counter::load(position.counter);
  const std::uint8_t* from = in.data();
  std::uint8_t* to = out.data();
  std::size_t left = in.size();

  // The rest of a keystream block that an earlier call started.
  if (position.offset != 0) {
    const std::size_t used = std::min(left, aes_block - position.offset);
    xor_part(cipher, counter, from, to, position.offset, used);
    from += used;
    to += used;
    left -= used;
    position.offset += static_cast<unsigned>(used);
    if (position.offset == aes_block) {
      position.offset = 0;
      if (++counter.low == 0) ++counter.high;
    }
  }

  // Whole blocks, in one pass from the input to the output.
  if (const std::size_t blocks = left / aes_block; blocks != 0) {
    cipher.ctr_xor(counter.high, counter.low, from, to, blocks);
    from += blocks * aes_block;
    to += blocks * aes_block;
    left -= blocks * aes_block;
  }

  // A block only partly used: its counter stays, the offset says how far.
  if (left > 0) {
    xor_part(cipher, counter, from, to, 0, left);
    position.offset = static_cast<unsigned>(left);
  }
  counter.store(position.counter.data());
}

}  // namespace rdz
