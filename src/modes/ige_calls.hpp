// ige256_encrypt and ige256_decrypt as the module registers them.
#pragma once

#include "binding/body.hpp"

namespace rdz {

Outcome<Owned> ige256_encrypt(CallArgs call);
Outcome<Owned> ige256_decrypt(CallArgs call);

}  // namespace rdz
