// kdf and sha256_digest as the module registers them.
#pragma once

#include "binding/body.hpp"

namespace rdz {

Outcome<Owned> kdf(CallArgs call);
// Registered as sha256_digest (Nettle claims that name for a macro).
Outcome<Owned> sha256_of(CallArgs call);

}  // namespace rdz
