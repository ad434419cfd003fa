// The AES-256 code paths: one table of routines per implementation, and the one
// place that chooses among them, once per process.
//
// Every implementation works on Nettle's key schedules (aes256_ctx) in Nettle's
// layout, so a schedule made by one could be used by another and the bytes are the
// same whichever runs. Nettle's own functions are always there; on x86-64 the AES
// instructions (AES-NI, 16 bytes per instruction) and the wide ones (VAES, 32 or 64
// bytes per instruction, for CTR; IGE is one serial chain, which no width helps) are
// added where the processor has them. The choice reads CPUID and XGETBV once, and a
// candidate is taken only after it has given Nettle's bytes on a self-check; modes
// call through the table and never ask the processor themselves.
#pragma once

#include <nettle/aes.h>

#include <cstddef>
#include <cstdint>

namespace rdz {

struct AesBackend {
  // Nettle's encryption (decryption) schedule of a 32-byte key.
  void (*expand_encrypt)(const std::uint8_t* key, aes256_ctx& schedule) noexcept;
  void (*expand_decrypt)(const std::uint8_t* key, aes256_ctx& schedule) noexcept;
  // IGE over `blocks` whole blocks from `in` to `out` (equal, or not overlapping).
  // `iv` is the previous ciphertext block, then the previous plaintext block.
  void (*ige_encrypt)(const aes256_ctx& encrypt, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                      const std::uint8_t* iv) noexcept;
  void (*ige_decrypt)(const aes256_ctx& decrypt, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                      const std::uint8_t* iv) noexcept;
  // out = in ^ the keystream of `blocks` consecutive counter blocks (in and out
  // equal, or not overlapping). The counter is the 128-bit big-endian block as two
  // host-order halves; every bit carries, all-0xFF wraps to zero. It advances by
  // `blocks`.
  void (*ctr_xor)(const aes256_ctx& encrypt, std::uint64_t& high, std::uint64_t& low, const std::uint8_t* in,
                  std::uint8_t* out, std::size_t blocks) noexcept;
  const char* name;
};

extern const AesBackend nettle_backend;
#if defined(__x86_64__)
extern const AesBackend aesni_backend;
extern const AesBackend vaes256_backend;
extern const AesBackend vaes512_backend;
#endif

// The backend of this process: chosen at the first call, from any thread (racing
// first calls choose the same), and the same ever after. Nettle's when nothing
// faster passes its check.
const AesBackend& aes_backend() noexcept;

// Null only in a build that forces a path (REDERODIDIZO_AES) this processor cannot
// run or that fails its check; the module then refuses to load.
const AesBackend* aes_backend_if_any() noexcept;

}  // namespace rdz
