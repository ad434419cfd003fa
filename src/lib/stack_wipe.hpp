// Wiping the stack below the caller: what a function it has just called left there.
//
// Once a function returns, its locals and everything its compiler spilled (states,
// keystream, S-box intermediates that did not fit in registers) stay below the
// caller's stack pointer until something overwrites them, which may be never. No
// wipe of a variable reaches a spill. So the caller wipes the region instead, right
// after the call returns (libgcrypt calls this burning the stack).
//
// `wipe_stack(bytes)` zeroes the `bytes` below its own return address, which sits
// where the previous callee's did: everything that callee pushed, kept and spilled,
// the red zone below its frame included, however it laid its frame out or aligned
// it. It is written in assembly so that its area starts right at its return slot:
// it moves the stack pointer down over the area, as an allocation on the stack
// would, zeroes it, and moves it back.
#pragma once

#include "lib/secret.hpp"

#include <cstddef>

#if defined(__x86_64__) || defined(__aarch64__)

// Defined once below, in assembly: every file that includes this header emits the
// same definition in a COMDAT group of its own, and the linker keeps one.
extern "C" void rdz_wipe_stack(std::size_t bytes) noexcept;

#if defined(__x86_64__)
// `bytes` in rdi. The direction flag is clear on entry to any function (the ABI's
// rule), so STOSB counts upwards, from the new stack pointer to the return slot.
asm(R"(
  .pushsection .text.rdz_wipe_stack,"axG",%progbits,rdz_wipe_stack,comdat
  .globl rdz_wipe_stack
  .hidden rdz_wipe_stack
  .type rdz_wipe_stack,%function
  .p2align 4
rdz_wipe_stack:
  mov %rdi, %rcx
  mov %rsp, %rdx
  sub %rdi, %rsp
  mov %rsp, %rdi
  xor %eax, %eax
  rep stosb
  mov %rdx, %rsp
  ret
  .size rdz_wipe_stack,.-rdz_wipe_stack
  .popsection
)");
#else
// `bytes` in x0, a multiple of 16 (every caller's is), so that sp stays aligned:
// zeroes upwards from the new stack pointer to the old, two registers at a time.
asm(R"(
  .pushsection .text.rdz_wipe_stack,"axG",%progbits,rdz_wipe_stack,comdat
  .globl rdz_wipe_stack
  .hidden rdz_wipe_stack
  .type rdz_wipe_stack,%function
  .p2align 4
rdz_wipe_stack:
  mov x1, sp
  sub sp, sp, x0
  mov x2, sp
1:
  cmp x2, x1
  b.hs 2f
  stp xzr, xzr, [x2], #16
  b 1b
2:
  mov sp, x1
  ret
  .size rdz_wipe_stack,.-rdz_wipe_stack
  .popsection
)");
#endif

namespace rdz {

inline void wipe_stack(std::size_t bytes) noexcept { rdz_wipe_stack(bytes); }

}  // namespace rdz

#else

namespace rdz {

// Elsewhere, an area below this frame: out of line, so that the frame starts where
// the previous callee's did, with the area last in it.
[[gnu::noinline]] inline void wipe_stack(std::size_t bytes) noexcept {
  void* area = __builtin_alloca(bytes);
  secure_wipe(area, bytes);
  asm volatile("" : : "r"(area) : "memory");
}

}  // namespace rdz

#endif
