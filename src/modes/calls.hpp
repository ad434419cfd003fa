// The cipher functions as the module registers them.
#pragma once

#include "binding/call.hpp"

namespace rdz {

Outcome<Owned> ige256_encrypt(CallArgs call);
Outcome<Owned> ige256_decrypt(CallArgs call);
Outcome<Owned> ctr256_encrypt(CallArgs call);
Outcome<Owned> ctr256_decrypt(CallArgs call);
Outcome<Owned> ctr256_encrypt_inplace(CallArgs call);
Outcome<Owned> ctr256_decrypt_inplace(CallArgs call);
Outcome<Owned> ctr256_encrypt_batch(CallArgs call);
Outcome<Owned> ctr256_decrypt_batch(CallArgs call);

}  // namespace rdz
