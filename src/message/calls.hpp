// The message functions as the module registers them.
#pragma once

#include "binding/call.hpp"

namespace rdz {

Outcome<Owned> kdf(CallArgs call);
// Registered as sha256_digest (Nettle claims that name for a macro).
Outcome<Owned> sha256_of(CallArgs call);
Outcome<Owned> pack_message(CallArgs call);
Outcome<Owned> unpack_message(CallArgs call);

}  // namespace rdz
