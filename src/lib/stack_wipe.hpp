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
// it. It is written in assembly, without a frame of its own, because it writes below
// the stack pointer: no compiled code may keep anything there meanwhile. Writing
// there is harmless: nothing below the stack pointer is live, and a signal handler
// that runs in between only puts a frame there that is dead once it returns.
#pragma once

#include "lib/secret.hpp"

#include <cstddef>

namespace rdz {

#if defined(__x86_64__)

// `bytes` in rdi. The direction flag is clear on entry to any function (the ABI's
// rule), so STOSB counts upwards.
[[gnu::naked, gnu::noinline]] inline void wipe_stack(std::size_t /* bytes */) noexcept {
  asm("mov %rdi, %rcx\n\t"
      "mov %rsp, %rdi\n\t"
      "sub %rcx, %rdi\n\t"
      "xor %eax, %eax\n\t"
      "rep stosb\n\t"
      "ret");
}

#elif defined(__aarch64__)

// `bytes` in x0, a multiple of 16 (every caller's is). Zeroes upwards from sp - bytes
// to sp, two registers at a time.
[[gnu::naked, gnu::noinline]] inline void wipe_stack(std::size_t /* bytes */) noexcept {
  asm("mov x1, sp\n\t"
      "sub x2, x1, x0\n"
      "1:\n\t"
      "cmp x2, x1\n\t"
      "b.hs 2f\n\t"
      "stp xzr, xzr, [x2], #16\n\t"
      "b 1b\n"
      "2:\n\t"
      "ret");
}

#else

// Elsewhere, an area below this frame: out of line, so that the frame starts where
// the previous callee's did, with the area last in it.
[[gnu::noinline]] inline void wipe_stack(std::size_t bytes) noexcept {
  void* area = __builtin_alloca(bytes);
  secure_wipe(area, bytes);
  asm volatile("" : : "r"(area) : "memory");
}

#endif

}  // namespace rdz
