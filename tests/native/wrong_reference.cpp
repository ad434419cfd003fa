// Linked into a build with -Wl,--wrap=nettle_aes256_encrypt: Nettle's AES, the
// reference every candidate's self-check compares with, gives one wrong bit in every
// output. Then no candidate agrees with it and none may be chosen (make
// check-fail-closed).
#include <nettle/aes.h>

#include <cstddef>
#include <cstdint>

extern "C" void __real_nettle_aes256_encrypt(const aes256_ctx* ctx, std::size_t length, std::uint8_t* dst,
                                             const std::uint8_t* src);

extern "C" void __wrap_nettle_aes256_encrypt(const aes256_ctx* ctx, std::size_t length, std::uint8_t* dst,
                                             const std::uint8_t* src) {
  __real_nettle_aes256_encrypt(ctx, length, dst, src);
  if (length != 0) dst[0] ^= 1;
}
