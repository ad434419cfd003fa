// The AES-256 code paths: one table of routines per implementation, and the one
// place that chooses among them, once per process.
//
// Each implementation keeps its round keys in its own layout (a vector-permute
// schedule lives in a transformed basis, a bitsliced one spreads each round key over
// eight words) inside an `AesSchedule` that the caller owns and wipes; only the
// backend that made a schedule may read it. Every path the module may choose by
// itself is constant-time: the processor's AES instructions where it has them,
// else byte shuffles (vector permute), else bitslicing; each says why in its own
// file. Nettle's table AES stays as the reference that every candidate is checked
// against, and as a path a build may force. The choice reads the processor's
// features once, at the first call that needs AES, and a candidate is taken only
// after its results have matched Nettle's; modes call through the table and never
// ask the processor themselves.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rdz {

// Room for one expanded AES-256 key in any backend's layout: 15 round keys of at
// most 64 bytes each (a bitsliced round key for four blocks is eight 64-bit words).
inline constexpr std::size_t aes_schedule_capacity = 15 * 64;

struct alignas(64) AesSchedule {
  unsigned char bytes[aes_schedule_capacity];
};

struct AesBackend {
  // The encryption (decryption) schedule of a 32-byte key, in this backend's layout.
  void (*expand_encrypt)(const std::uint8_t* key, AesSchedule& schedule) noexcept;
  void (*expand_decrypt)(const std::uint8_t* key, AesSchedule& schedule) noexcept;
  // IGE over `blocks` whole blocks from `in` to `out` (equal, or not overlapping).
  // `iv` is the previous ciphertext block, then the previous plaintext block.
  void (*ige_encrypt)(const AesSchedule& encrypt, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                      const std::uint8_t* iv) noexcept;
  void (*ige_decrypt)(const AesSchedule& decrypt, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                      const std::uint8_t* iv) noexcept;
  // out = in ^ the keystream of `blocks` consecutive counter blocks (in and out
  // equal, or not overlapping). The counter is the 128-bit big-endian block as two
  // host-order halves; every bit carries, all-0xFF wraps to zero. It advances by
  // `blocks`. The counter is not secret: MTProto's transports send it in the clear.
  void (*ctr_xor)(const AesSchedule& encrypt, std::uint64_t& high, std::uint64_t& low, const std::uint8_t* in,
                  std::uint8_t* out, std::size_t blocks) noexcept;
  // How many leading bytes of an AesSchedule the expansions write: what the owner
  // wipes.
  std::size_t schedule_size;
  const char* name;
};

extern const AesBackend nettle_backend;
extern const AesBackend bitsliced_backend;
#if defined(__x86_64__)
extern const AesBackend aesni_backend;
extern const AesBackend vaes256_backend;
extern const AesBackend vaes512_backend;
extern const AesBackend vperm256_backend;
#elif defined(__aarch64__)
extern const AesBackend armv8_backend;
#endif
#if defined(__x86_64__) || defined(__aarch64__)
extern const AesBackend vperm_backend;
#endif

// A backend of this build, and whether this processor (and its OS) can run it.
struct AesCandidate {
  const AesBackend* backend;
  bool runs;
};

// Every backend of this build, in order of preference (reads the processor's features:
// meant for the one choice per process, and for tests).
struct AesCandidates {
  AesCandidate list[8];
  std::size_t count;
  const AesCandidate* begin() const noexcept { return list; }
  const AesCandidate* end() const noexcept { return list + count; }
};
AesCandidates aes_candidates() noexcept;

// The check a candidate must pass before it is chosen: what it computes against FIPS
// 197's example and against Nettle, over every loop and tail of its code (backend.cpp
// lists what it runs).
bool passes_self_check(const AesBackend& candidate) noexcept;

// The backend of this process: chosen at the first call that needs AES, from any
// thread (racing first calls choose the same), and the same ever after. Null where
// none may be used: in a build that forces a path (REDERODIDIZO_AES) this processor
// cannot run or that fails its check (the module then refuses to load), and where
// every constant-time candidate computed wrong bytes on its self-check (a broken
// build; calls that need AES then fail). Never Nettle's table AES unless a build
// forces it: a failed check is no reason to run code whose timing leaks the key.
const AesBackend* chosen_aes_backend() noexcept;

}  // namespace rdz
