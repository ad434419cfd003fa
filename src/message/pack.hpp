// pack_message as the module registers it.
#pragma once

#include "binding/body.hpp"

namespace rdz {

Outcome<Owned> pack_message(CallArgs call);

}  // namespace rdz
