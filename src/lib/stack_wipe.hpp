// Wiping the stack below the caller: what a function it has just called left there.
//
// Once a function returns, its locals and everything its compiler spilled (states,
// keystream, S-box intermediates that did not fit in registers) stay below the
// caller's stack pointer until something overwrites them, which may be never. No
// wipe of a variable reaches a spill. So the caller wipes the region instead, right
// after the call returns, from the same frame: the wipe's own frame then starts where
// the callee's did, and its area covers the callee's frames, their spills and the red
// zone below them (libgcrypt calls this burning the stack).
#pragma once

#include "lib/secret.hpp"

#include <cstddef>

namespace rdz {

// Zeroes `bytes` of the stack below the caller's frame. Out of line, so that its frame
// starts where the previous callee's did; the area is the last thing in that frame.
[[gnu::noinline]] inline void wipe_stack(std::size_t bytes) noexcept {
  void* area = __builtin_alloca(bytes);
  secure_wipe(area, bytes);
  // The area is in use until here: the stores are not dead.
  asm volatile("" : : "r"(area) : "memory");
}

}  // namespace rdz
