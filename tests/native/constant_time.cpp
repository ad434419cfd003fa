// The constant-time check, in the manner of ctgrind: run under valgrind's memcheck,
// with the secret inputs marked undefined. memcheck follows every bit computed from
// undefined bits, and reports each conditional jump and each memory address that
// depends on one ("Conditional jump or move depends on uninitialised value(s)",
// "Use of uninitialised value of size N"): exactly the branches and table look-ups
// through which a secret could leak in the time a call takes.
//
// Secret: the AES key, the data and the IGE vector; the authorization key and the
// plaintext. Public, and marked defined: lengths and block counts, and the CTR
// counter block, which MTProto's transports send in the clear (the backends may
// branch on its carries). Outputs are marked defined before they are compared with
// Nettle's (or printed): the comparison is the driver's, not the code under test.
//
//   constant_time list           every AES backend of this build, one a line: its
//                                name, then "runs" or "cannot run" on this processor
//                                (under valgrind: on valgrind's virtual processor)
//   constant_time aes NAME       NAME's table (key expansions, IGE both ways, CTR over
//                                every shape of loop) with secret key, data and vector
//   constant_time message        the key and vector derivation, the message key, its
//                                comparison and SHA-256, over a secret authorization
//                                key and plaintext
//
// Exits 0 when the calls ran and gave Nettle's bytes, 2 otherwise (unknown name, a
// backend this processor cannot run, different bytes, or, under memcheck, a result
// in which it no longer saw the secret). What it is there for comes
// from valgrind: `valgrind --error-exitcode=N` exits N when memcheck saw a secret
// reach a branch or an address (mk/constant_time.mk).
//
// A binary whose VAES kernels were rebuilt on AES-NI (vaes_on_aesni.hpp) runs its
// 256-bit VAES backend where the processor has AES-NI and AVX2, which valgrind's has.
#include "aes/backend.hpp"
#include "aes/cpu.hpp"
#include "lib/secret.hpp"
#include "message/derive.hpp"
#include "message/sha256.hpp"

#include <nettle/sha2.h>
#include <valgrind/memcheck.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

namespace rdz::ct {
// Defined (true) only in a binary built with vaes_on_aesni.hpp.
extern const bool vaes_on_aesni __attribute__((weak));
}  // namespace rdz::ct

namespace {

using rdz::AesBackend;
using rdz::AesSchedule;
using Bytes = std::vector<std::uint8_t>;

// Secret from here on: memcheck reports what branches or indexes on it.
void make_secret(const void* bytes, std::size_t size) { VALGRIND_MAKE_MEM_UNDEFINED(bytes, size); }
int failures = 0;

// A result the driver may look at (compare, print): no longer followed. First, that it
// still carries the secret: a result memcheck took for public would mean it lost the
// secret's trail inside the code under test (an instruction it models as giving
// defined bits), and a clean run would prove nothing. Once memcheck has reported an
// error it stops following the value it reported, so only a run without reports is
// held to this.
void reveal(const void* bytes, std::size_t size, const char* what) {
  if (RUNNING_ON_VALGRIND && VALGRIND_COUNT_ERRORS == 0) {
    std::vector<std::uint8_t> undefined(size);
    if (VALGRIND_GET_VBITS(bytes, undefined.data(), size) == 1 &&
        std::all_of(undefined.begin(), undefined.end(), [](std::uint8_t bits) { return bits == 0; })) {
      std::printf("constant_time: memcheck lost the secret: %s came out public\n", what);
      ++failures;
    }
  }
  VALGRIND_MAKE_MEM_DEFINED(bytes, size);
}

std::uint64_t rng_state = 0x6a09e667f3bcc908;

std::uint64_t next() {  // splitmix64
  std::uint64_t z = (rng_state += 0x9e3779b97f4a7c15);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
  z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
  return z ^ (z >> 31);
}

Bytes random_bytes(std::size_t n) {
  Bytes bytes(n);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(next());
  return bytes;
}

void expect(bool ok, const char* what) {
  if (ok) return;
  std::printf("constant_time: %s differs from the reference\n", what);
  ++failures;
}

struct Schedules {
  AesSchedule encrypt, decrypt;
  ~Schedules() { rdz::secure_wipe(this, sizeof *this); }
};

// Whether this binary's `backend` runs on this processor.
bool runs(const rdz::AesCandidate& candidate) {
#if defined(__x86_64__)
  if (&rdz::ct::vaes_on_aesni != nullptr && candidate.backend == &rdz::vaes256_backend) {
    return rdz::cpu::detect().aes && __builtin_cpu_supports("avx2");
  }
#endif
  return candidate.runs;
}

// IGE over `blocks` blocks one way, with secret data and vector, out of place and
// in place, against Nettle on the same (public) bytes.
void check_ige(const AesBackend& backend, const Schedules& mine, const Schedules& nettle, bool decrypt,
               std::size_t blocks) {
  const auto ige = decrypt ? backend.ige_decrypt : backend.ige_encrypt;
  const AesSchedule& schedule = decrypt ? mine.decrypt : mine.encrypt;
  const Bytes text = random_bytes(16 * blocks), iv = random_bytes(32);
  Bytes expected(text.size());
  (decrypt ? rdz::nettle_backend.ige_decrypt : rdz::nettle_backend.ige_encrypt)(
      decrypt ? nettle.decrypt : nettle.encrypt, text.data(), expected.data(), blocks, iv.data());

  Bytes in = text, secret_iv = iv, out(text.size());
  make_secret(in.data(), in.size());
  make_secret(secret_iv.data(), secret_iv.size());
  ige(schedule, in.data(), out.data(), blocks, secret_iv.data());
  ige(schedule, in.data(), in.data(), blocks, secret_iv.data());
  reveal(out.data(), out.size(), "IGE output");
  reveal(in.data(), in.size(), "IGE output");
  expect(out == expected, decrypt ? "IGE decryption" : "IGE encryption");
  expect(in == expected, decrypt ? "IGE decryption in place" : "IGE encryption in place");
}

// CTR over `blocks` blocks from a public counter, with secret data.
void check_ctr(const AesBackend& backend, const Schedules& mine, const Schedules& nettle, std::size_t blocks,
               std::uint64_t high, std::uint64_t low) {
  const Bytes text = random_bytes(16 * blocks);
  Bytes expected(text.size());
  std::uint64_t their_high = high, their_low = low;
  rdz::nettle_backend.ctr_xor(nettle.encrypt, their_high, their_low, text.data(), expected.data(), blocks);

  Bytes in = text, out(text.size());
  make_secret(in.data(), in.size());
  std::uint64_t out_high = high, out_low = low;
  backend.ctr_xor(mine.encrypt, out_high, out_low, in.data(), out.data(), blocks);
  backend.ctr_xor(mine.encrypt, high, low, in.data(), in.data(), blocks);
  reveal(out.data(), out.size(), "CTR output");
  reveal(in.data(), in.size(), "CTR output");
  expect(out == expected && out_high == their_high && out_low == their_low, "CTR");
  expect(in == expected && high == their_high && low == their_low, "CTR in place");
}

// Block counts for every shape of loop a backend may have: each count below a few
// vectors' worth (every tail of a 2-, 4- or 8-block batch), whole groups of 16 and 32
// blocks, and a long run with a ragged end.
constexpr std::size_t ctr_blocks[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 31, 32, 33, 37, 67};
constexpr std::size_t ige_blocks[] = {1, 2, 3, 5, 8, 9};

void check_backend(const AesBackend& backend) {
  const Bytes key = random_bytes(32);
  Schedules nettle, mine;
  rdz::nettle_backend.expand_encrypt(key.data(), nettle.encrypt);
  rdz::nettle_backend.expand_decrypt(key.data(), nettle.decrypt);

  Bytes secret_key = key;
  make_secret(secret_key.data(), secret_key.size());
  backend.expand_encrypt(secret_key.data(), mine.encrypt);
  backend.expand_decrypt(secret_key.data(), mine.decrypt);

  for (bool decrypt : {false, true}) {
    for (std::size_t blocks : ige_blocks) check_ige(backend, mine, nettle, decrypt, blocks);
  }
  const std::uint64_t all_ones = ~std::uint64_t{0};
  for (std::size_t blocks : ctr_blocks) {
    check_ctr(backend, mine, nettle, blocks, next(), next());
    check_ctr(backend, mine, nettle, blocks, next(), all_ones - blocks / 2);  // carries into the high half
    check_ctr(backend, mine, nettle, blocks, all_ones, all_ones - blocks / 2);  // wraps to zero
  }
}

// SHA-256 of two pieces with Nettle, on public copies: the reference.
Bytes nettle_sha256(const std::uint8_t* first, std::size_t first_size, const std::uint8_t* second,
                    std::size_t second_size) {
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, first_size, first);
  sha256_update(&context, second_size, second);
  Bytes digest(SHA256_DIGEST_SIZE);
  sha256_digest(&context, digest.size(), digest.data());
  return digest;
}

// The derivation of one message's key and vector, and its message key and their
// comparison, for direction offset `x` and a plaintext of `size` bytes.
void check_message(unsigned x, std::size_t size) {
  const Bytes auth_key = random_bytes(rdz::auth_key_size), plaintext = random_bytes(size);
  const Bytes received = random_bytes(rdz::msg_key_size);  // sent in the clear: public
  Bytes secret_auth_key = auth_key, secret_plaintext = plaintext;
  make_secret(secret_auth_key.data(), secret_auth_key.size());
  make_secret(secret_plaintext.data(), secret_plaintext.size());
  const rdz::AuthKey key_view(secret_auth_key.data(), rdz::auth_key_size);

  Bytes key(32), iv(32);
  rdz::derive_key_iv(key_view, received, x, rdz::Key32(key.data(), 32), rdz::Key32(iv.data(), 32));
  reveal(key.data(), key.size(), "the derived key");
  reveal(iv.data(), iv.size(), "the derived vector");
  const Bytes a = nettle_sha256(received.data(), 16, auth_key.data() + x, 36);
  const Bytes b = nettle_sha256(auth_key.data() + x + 40, 36, received.data(), 16);
  Bytes expected_key(a), expected_iv(b);
  std::memcpy(expected_key.data() + 8, b.data() + 8, 16);
  std::memcpy(expected_iv.data() + 8, a.data() + 8, 16);
  expect(key == expected_key && iv == expected_iv, "the derived key and vector");

  rdz::MsgKey computed = rdz::message_key(key_view, secret_plaintext, x);
  rdz::MsgKey same = computed, other = computed;
  other[rdz::msg_key_size - 1] ^= 1;
  bool equal = rdz::same_msg_key(computed, same), unequal = rdz::same_msg_key(computed, other);
  reveal(&equal, sizeof equal, "the comparison's answer");
  reveal(&unequal, sizeof unequal, "the comparison's answer");
  expect(equal && !unequal, "the message key comparison");
  reveal(computed.data(), computed.size(), "the message key");
  const Bytes digest = nettle_sha256(auth_key.data() + 88 + x, 32, plaintext.data(), plaintext.size());
  expect(std::memcmp(computed.data(), digest.data() + 8, rdz::msg_key_size) == 0, "the message key");

  rdz::Sha256Digest ours = rdz::sha256(key_view.subspan(x, 64), secret_plaintext);
  reveal(ours.data(), ours.size(), "the SHA-256 digest");
  const Bytes theirs = nettle_sha256(auth_key.data() + x, 64, plaintext.data(), plaintext.size());
  expect(std::memcmp(ours.data(), theirs.data(), theirs.size()) == 0, "SHA-256");
}

const AesBackend* runnable_backend(std::string_view name) {
  for (const rdz::AesCandidate& c : rdz::aes_candidates()) {
    if (name != c.backend->name) continue;
    if (runs(c)) return c.backend;
    std::printf("constant_time: %s cannot run on this processor\n", c.backend->name);
    return nullptr;
  }
  std::printf("constant_time: no AES backend named %.*s\n", static_cast<int>(name.size()), name.data());
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view mode = argc > 1 ? argv[1] : "";
  if (mode == "list" && argc == 2) {
    for (const rdz::AesCandidate& c : rdz::aes_candidates()) {
      std::printf("%s %s\n", c.backend->name, runs(c) ? "runs" : "cannot run");
    }
    return 0;
  }
  if (mode == "aes" && argc == 3) {
    const AesBackend* backend = runnable_backend(argv[2]);
    if (backend == nullptr) return 2;
    check_backend(*backend);
  } else if (mode == "message" && argc == 2) {
    // Plaintexts of public lengths across SHA-256's 64-byte blocks, in both directions.
    for (unsigned x : {0u, 8u}) {
      for (std::size_t size : {48, 64, 200}) check_message(x, size);
    }
  } else {
    std::printf("usage: constant_time list | aes NAME | message\n");
    return 2;
  }
  return failures == 0 ? 0 : 2;
}
