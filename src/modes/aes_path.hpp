// The AES path a call works with, asked for before the work starts.
//
// The process's path is chosen at the first call that needs AES, after a self-check
// of each constant-time candidate (aes/backend.hpp). Where none passed, the build is
// broken (a miscompilation: the candidates compute wrong bytes), and every call that
// needs AES fails with a fault, PanicException, before it has touched anything. It
// does not fall back to Nettle's table AES, whose timing depends on the key.
#pragma once

#include "aes/backend.hpp"
#include "binding/failure.hpp"

#include <functional>

namespace rdz {

using AesPath = std::reference_wrapper<const AesBackend>;

inline Outcome<AesPath> aes_path() {
  const AesBackend* backend = chosen_aes_backend();
  if (!backend) {
    return fail(Failure::fault(
        "no constant-time AES implementation passed its self-check on this processor; table AES is never used "
        "instead"));
  }
  return AesPath(*backend);
}

}  // namespace rdz
