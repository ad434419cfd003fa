// What the AES harnesses compare the module's backends with: Nettle's single-block
// AES-256, chained by hand as NIST SP 800-38A (CTR) and the IGE definition describe
// them; and what they share: the backends to run, the choice of a CTR counter, and
// the way a finding ends the run.
#pragma once

#include "aes/backend.hpp"
#include "input.hpp"

#include <nettle/aes.h>

#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace fuzz {

using Block = std::array<std::uint8_t, 16>;
using Key = std::array<std::uint8_t, 32>;

// A finding: what differed, then abort(), which libFuzzer turns into a crash file.
[[noreturn]] inline void finding(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::fputs("FINDING: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
  std::abort();
}

// Every backend of this build that this processor runs, Nettle's table AES included
// (it has its own IGE and CTR loops over Nettle's block function); named once on
// stderr, so that a run says which paths it covered.
inline std::vector<const rdz::AesBackend*> runnable_backends() {
  std::vector<const rdz::AesBackend*> found;
  std::fputs("fuzz: backends run:", stderr);
  for (const rdz::AesCandidate& c : rdz::aes_candidates()) {
    if (!c.runs) continue;
    found.push_back(c.backend);
    std::fprintf(stderr, " %s", c.backend->name);
  }
  std::fputc('\n', stderr);
  return found;
}

// The next counter block: the 16 bytes are one big-endian number, and all-0xFF
// wraps to zero.
inline void increment(Block& counter) {
  for (std::size_t i = counter.size(); i-- > 0 && ++counter[i] == 0;) {
  }
}

// A counter block chosen by the input: any 16 bytes, or 1 to 256 blocks short of a
// carry out of the low 64 bits (the high half as given), or of the wrap of the whole
// block, where backends split their runs.
inline Block counter_from(Input& input) {
  const std::uint8_t kind = input.byte();
  const std::uint8_t distance = input.byte();
  Block counter = input.array<16>();
  const auto below_carry = [&](std::size_t from) {
    for (std::size_t i = from; i < 16; ++i) counter[i] = 0xff;
    counter[15] = static_cast<std::uint8_t>(0xff - distance);  // 1 + distance blocks to go
  };
  if (kind % 4 == 1) below_carry(8);
  if (kind % 4 == 2) below_carry(0);
  return counter;
}

struct NettleKeys {
  aes256_ctx encrypt, decrypt;
  explicit NettleKeys(const Key& key) {
    aes256_set_encrypt_key(&encrypt, key.data());
    aes256_set_decrypt_key(&decrypt, key.data());
  }
};

// out = in ^ the keystream from `offset` bytes into the block of `counter`. Leaves the
// position past the last byte as the module's streams keep it: the counter of the
// block the next byte would use, and the offset into it (0 when the data ended on a
// block's end); returns the offset.
inline unsigned ctr_reference(const NettleKeys& keys, Block& counter, unsigned offset, const std::uint8_t* in,
                              std::uint8_t* out, std::size_t size) {
  Block stream;
  bool stream_ready = false;
  for (std::size_t i = 0; i < size; ++i) {
    if (offset == 16) {
      increment(counter);
      offset = 0;
      stream_ready = false;
    }
    if (!stream_ready) {
      aes256_encrypt(&keys.encrypt, 16, stream.data(), counter.data());
      stream_ready = true;
    }
    out[i] = in[i] ^ stream[offset++];
  }
  if (offset == 16) {
    increment(counter);
    offset = 0;
  }
  return offset;
}

// IGE over whole blocks, the vector being the previous ciphertext block and then the
// previous plaintext block: c = E(p ^ C) ^ P (encryption), p = D(c ^ P) ^ C
// (decryption), each followed by C = c, P = p. A tail shorter than a block is left
// as it is.
inline std::vector<std::uint8_t> ige_reference(const NettleKeys& keys, bool decrypt, const std::uint8_t* iv,
                                               const std::vector<std::uint8_t>& in) {
  std::vector<std::uint8_t> out(in);
  Block chain_out, chain_in, x;  // what each block's output and input are chained with
  std::memcpy(decrypt ? chain_in.data() : chain_out.data(), iv, 16);
  std::memcpy(decrypt ? chain_out.data() : chain_in.data(), iv + 16, 16);
  for (std::size_t at = 0; at + 16 <= in.size(); at += 16) {
    for (int i = 0; i < 16; ++i) x[i] = in[at + i] ^ chain_out[i];
    if (decrypt) {
      aes256_decrypt(&keys.decrypt, 16, x.data(), x.data());
    } else {
      aes256_encrypt(&keys.encrypt, 16, x.data(), x.data());
    }
    for (int i = 0; i < 16; ++i) out[at + i] = x[i] ^ chain_in[i];
    std::memcpy(chain_out.data(), out.data() + at, 16);
    std::memcpy(chain_in.data(), in.data() + at, 16);
  }
  return out;
}

inline std::size_t first_difference(const std::uint8_t* a, const std::uint8_t* b, std::size_t size) {
  std::size_t i = 0;
  while (i < size && a[i] == b[i]) ++i;
  return i;
}

inline void print_block(const char* label, const Block& block) {
  std::fprintf(stderr, "%s", label);
  for (std::uint8_t b : block) std::fprintf(stderr, "%02x", b);
  std::fputc('\n', stderr);
}

}  // namespace fuzz
