#include "message/random.hpp"

#include <cerrno>

#if defined(__linux__)
#include <sys/random.h>
#elif defined(_WIN32)
#include <windows.h>
// bcrypt.h needs windows.h before it.
#include <bcrypt.h>
#else
#include <stdlib.h>
#include <unistd.h>
#endif

namespace rdz {

#if defined(__linux__)

// getrandom(2) may be interrupted by a signal and may return fewer bytes than asked
// (above 256 bytes); both are retried until every byte is filled.
int fill_random(std::span<std::uint8_t> out) noexcept {
  std::size_t filled = 0;
  while (filled < out.size()) {
    const ssize_t got = getrandom(out.data() + filled, out.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) return EIO;
    filled += static_cast<std::size_t>(got);
  }
  return 0;
}

#elif defined(_WIN32)

int fill_random(std::span<std::uint8_t> out) noexcept {
  const NTSTATUS status =
      BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(out.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  return status >= 0 ? 0 : EIO;
}

#else

// getentropy serves at most 256 bytes a call.
int fill_random(std::span<std::uint8_t> out) noexcept {
  for (std::size_t at = 0; at < out.size(); at += 256) {
    const std::size_t n = out.size() - at < 256 ? out.size() - at : 256;
    if (getentropy(out.data() + at, n) != 0) return errno;
  }
  return 0;
}

#endif

}  // namespace rdz
