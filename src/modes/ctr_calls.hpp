// The CTR functions as the module registers them: each encrypt/decrypt pair is one
// operation under two names, since counter mode is its own inverse.
#pragma once

#include "binding/body.hpp"

namespace rdz {

Outcome<Owned> ctr256_encrypt(CallArgs call);
Outcome<Owned> ctr256_decrypt(CallArgs call);
Outcome<Owned> ctr256_encrypt_inplace(CallArgs call);
Outcome<Owned> ctr256_decrypt_inplace(CallArgs call);
Outcome<Owned> ctr256_encrypt_batch(CallArgs call);
Outcome<Owned> ctr256_decrypt_batch(CallArgs call);

}  // namespace rdz
