#include "modes/ctr.hpp"

#include "lib/byteorder.hpp"

#include <algorithm>

namespace rdz {
namespace {

// Counter blocks encrypted per call of the block cipher: independent blocks that
// AES-NI pipelines. The output does not depend on this number.
constexpr std::size_t keystream_batch = 32;

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

  void increment() noexcept {
    if (++low == 0) ++high;
  }
};

void xor_into(std::uint8_t* data, const std::uint8_t* keystream, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) data[i] ^= keystream[i];
}

// Encrypts `blocks` consecutive counter blocks into `keystream`, advancing `counter`.
void fill_keystream(const Aes256Encrypt& cipher, Counter& counter, std::uint8_t* keystream,
                    std::size_t blocks) noexcept {
  for (std::size_t i = 0; i < blocks; ++i) {
    counter.store(keystream + i * aes_block);
    counter.increment();
  }
  cipher.encrypt(keystream, keystream, blocks * aes_block);
}

}  // namespace

void ctr256_apply(std::span<std::uint8_t> data, const Aes256Encrypt& cipher, StreamPosition& position) noexcept {
  if (data.empty()) return;
  Counter counter = Counter::load(position.counter);
  alignas(16) std::uint8_t keystream[keystream_batch * aes_block];
  std::uint8_t* at = data.data();
  std::size_t left = data.size();

  // The rest of a keystream block that an earlier call started.
  if (position.offset != 0) {
    Counter current = counter;
    fill_keystream(cipher, current, keystream, 1);
    const std::size_t used = std::min(left, aes_block - position.offset);
    xor_into(at, keystream + position.offset, used);
    at += used;
    left -= used;
    position.offset += static_cast<unsigned>(used);
    if (position.offset == aes_block) {
      position.offset = 0;
      counter = current;
    }
  }

  // Whole blocks, many counter blocks per cipher call.
  if (aesni::available() && left >= aes_block) {
    const std::size_t blocks = left / aes_block;
    aesni::ctr_xor(cipher.schedule(), counter.high, counter.low, at, blocks);
    at += blocks * aes_block;
    left -= blocks * aes_block;
  }
  while (left >= aes_block) {
    const std::size_t blocks = std::min(left / aes_block, keystream_batch);
    fill_keystream(cipher, counter, keystream, blocks);
    xor_into(at, keystream, blocks * aes_block);
    at += blocks * aes_block;
    left -= blocks * aes_block;
  }

  // A block only partly used: its counter stays, the offset says how far.
  if (left > 0) {
    Counter current = counter;
    fill_keystream(cipher, current, keystream, 1);
    xor_into(at, keystream, left);
    position.offset = static_cast<unsigned>(left);
  }
  counter.store(position.counter.data());
}

}  // namespace rdz
