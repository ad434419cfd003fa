// unpack_message as the module registers it.
#pragma once

#include "binding/body.hpp"

namespace rdz {

Outcome<Owned> unpack_message(CallArgs call);

}  // namespace rdz
