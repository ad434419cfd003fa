// A backend entry point that leaves nothing on the stack: the software backends'.
//
// Code that computes AES without AES instructions holds its states in vector or
// general registers, and its compiler spills what does not fit to the stack: the
// vector-permute CTR's states after its shared rounds, the bitsliced S-box's words,
// Nettle's keystream buffer. None of that is a variable a wipe could name. So such a
// backend's table holds `stack_wiped<depth, entry>` instead of `entry`: the entry,
// called so that it cannot be inlined, then a wipe of `depth` bytes of stack below the
// wrapper (lib/stack_wipe.hpp), which is where the entry's frames were, then the
// general registers a callee may leave anything in. The vector registers the entry
// clears itself (registers.hpp). The depth is the entry's deepest use with room to
// spare, measured by the native driver's stack scan, which fails where a backend
// leaves anything of a call behind.
#pragma once

#include "aes/registers.hpp"
#include "lib/stack_wipe.hpp"

#include <cstddef>

namespace rdz {

template <std::size_t depth, auto entry>
struct StackWiped;

template <std::size_t depth, class... Args, void (*entry)(Args...) noexcept>
struct StackWiped<depth, entry> {
  static_assert(depth % 16 == 0, "wipe_stack takes whole 16-byte units");
  static void call(Args... args) noexcept {
    auto* work = entry;
    // The compiler no longer knows which function this is, so the work stays a call
    // of its own, its frames below this one, where the wipe reaches.
    asm("" : "+r"(work));
    work(args...);
    wipe_stack(depth);
    clear_scratch_registers();
  }
};

template <std::size_t depth, auto entry>
inline constexpr auto stack_wiped = &StackWiped<depth, entry>::call;

}  // namespace rdz
