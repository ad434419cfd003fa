// Zeroing the vector registers when a backend returns.
//
// A backend's loops return with round keys, counter blocks and state in vector
// registers (the first two encryption round keys are the key itself), where no wipe of
// memory reaches them. Code that runs after them may store whole registers to its
// stack: the dynamic linker's lazy resolver and TLS descriptor paths save the argument
// registers, a signal frame saves all of them. So every backend entry point ends with
// one of these, through `RegistersClearedOnReturn`. Each zeroes the registers its
// instruction set can have written, in that instruction set's own encoding, so the
// caller pays a few cycles and no transition between SSE and AVX states.
#pragma once

namespace rdz {

#if defined(__aarch64__)

// The baseline instruction set's vector registers: what portable code may have
// written through the compiler's vectorizer, and what SSE, SSSE3, AES-NI and NEON
// code writes. v0-v31 here. Naming v8-v15 as clobbered makes the compiler save and
// restore their low halves, which the procedure call standard gives to the caller.
inline void clear_vector_registers() noexcept {
  asm volatile(
      "movi v0.16b, #0\n\t"
      "movi v1.16b, #0\n\t"
      "movi v2.16b, #0\n\t"
      "movi v3.16b, #0\n\t"
      "movi v4.16b, #0\n\t"
      "movi v5.16b, #0\n\t"
      "movi v6.16b, #0\n\t"
      "movi v7.16b, #0\n\t"
      "movi v8.16b, #0\n\t"
      "movi v9.16b, #0\n\t"
      "movi v10.16b, #0\n\t"
      "movi v11.16b, #0\n\t"
      "movi v12.16b, #0\n\t"
      "movi v13.16b, #0\n\t"
      "movi v14.16b, #0\n\t"
      "movi v15.16b, #0\n\t"
      "movi v16.16b, #0\n\t"
      "movi v17.16b, #0\n\t"
      "movi v18.16b, #0\n\t"
      "movi v19.16b, #0\n\t"
      "movi v20.16b, #0\n\t"
      "movi v21.16b, #0\n\t"
      "movi v22.16b, #0\n\t"
      "movi v23.16b, #0\n\t"
      "movi v24.16b, #0\n\t"
      "movi v25.16b, #0\n\t"
      "movi v26.16b, #0\n\t"
      "movi v27.16b, #0\n\t"
      "movi v28.16b, #0\n\t"
      "movi v29.16b, #0\n\t"
      "movi v30.16b, #0\n\t"
      "movi v31.16b, #0\n\t"
      :
      :
      : "v0", "v1", "v2", "v3", "v4", "v5", "v6", "v7", "v8", "v9", "v10", "v11", "v12", "v13", "v14", "v15", "v16",
        "v17", "v18", "v19", "v20", "v21", "v22", "v23", "v24", "v25", "v26", "v27", "v28", "v29", "v30", "v31",
        "memory");
}

// The general registers a called function may leave anything in (x0-x17 in the
// procedure call standard; x18 is the platform's on some systems): what a software
// backend's arithmetic on state words leaves there when it returns.
inline void clear_scratch_registers() noexcept {
  asm volatile(
      "mov x0, xzr\n\tmov x1, xzr\n\tmov x2, xzr\n\tmov x3, xzr\n\tmov x4, xzr\n\tmov x5, xzr\n\t"
      "mov x6, xzr\n\tmov x7, xzr\n\tmov x8, xzr\n\tmov x9, xzr\n\tmov x10, xzr\n\tmov x11, xzr\n\t"
      "mov x12, xzr\n\tmov x13, xzr\n\tmov x14, xzr\n\tmov x15, xzr\n\tmov x16, xzr\n\tmov x17, xzr"
      :
      :
      : "x0", "x1", "x2", "x3", "x4", "x5", "x6", "x7", "x8", "x9", "x10", "x11", "x12", "x13", "x14", "x15", "x16",
        "x17", "memory");
}

#elif defined(__x86_64__)

// xmm0-xmm15 (legacy SSE code leaves the upper halves of the ymm registers alone, and
// so does this).
inline void clear_sse_registers() noexcept {
  asm volatile(
      "pxor %%xmm0, %%xmm0\n\t"
      "pxor %%xmm1, %%xmm1\n\t"
      "pxor %%xmm2, %%xmm2\n\t"
      "pxor %%xmm3, %%xmm3\n\t"
      "pxor %%xmm4, %%xmm4\n\t"
      "pxor %%xmm5, %%xmm5\n\t"
      "pxor %%xmm6, %%xmm6\n\t"
      "pxor %%xmm7, %%xmm7\n\t"
      "pxor %%xmm8, %%xmm8\n\t"
      "pxor %%xmm9, %%xmm9\n\t"
      "pxor %%xmm10, %%xmm10\n\t"
      "pxor %%xmm11, %%xmm11\n\t"
      "pxor %%xmm12, %%xmm12\n\t"
      "pxor %%xmm13, %%xmm13\n\t"
      "pxor %%xmm14, %%xmm14\n\t"
      "pxor %%xmm15, %%xmm15\n\t"
      :
      :
      : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12",
        "xmm13", "xmm14", "xmm15", "memory");
}

// zmm0-zmm31, for AVX-512 code: VZEROALL reaches only the first sixteen; a 512-bit
// XOR zeroes each of the others, and needs no more than AVX512F (the 128-bit EVEX
// form would need AVX512VL too).
__attribute__((target("avx512f"))) inline void clear_avx512_registers() noexcept {
  asm volatile(
      "vzeroall\n\t"
      "vpxord %%zmm16, %%zmm16, %%zmm16\n\t"
      "vpxord %%zmm17, %%zmm17, %%zmm17\n\t"
      "vpxord %%zmm18, %%zmm18, %%zmm18\n\t"
      "vpxord %%zmm19, %%zmm19, %%zmm19\n\t"
      "vpxord %%zmm20, %%zmm20, %%zmm20\n\t"
      "vpxord %%zmm21, %%zmm21, %%zmm21\n\t"
      "vpxord %%zmm22, %%zmm22, %%zmm22\n\t"
      "vpxord %%zmm23, %%zmm23, %%zmm23\n\t"
      "vpxord %%zmm24, %%zmm24, %%zmm24\n\t"
      "vpxord %%zmm25, %%zmm25, %%zmm25\n\t"
      "vpxord %%zmm26, %%zmm26, %%zmm26\n\t"
      "vpxord %%zmm27, %%zmm27, %%zmm27\n\t"
      "vpxord %%zmm28, %%zmm28, %%zmm28\n\t"
      "vpxord %%zmm29, %%zmm29, %%zmm29\n\t"
      "vpxord %%zmm30, %%zmm30, %%zmm30\n\t"
      "vpxord %%zmm31, %%zmm31, %%zmm31\n\t"
      :
      :
      : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12",
        "xmm13", "xmm14", "xmm15", "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23", "xmm24",
        "xmm25", "xmm26", "xmm27", "xmm28", "xmm29", "xmm30", "xmm31", "memory");
}

// ymm0-ymm15 whole, for AVX code; and the sixteen above them where the build's flags
// let the compiler use AVX-512 in it.
__attribute__((target("avx"))) inline void clear_avx_registers() noexcept {
#if defined(__AVX512F__)
  clear_avx512_registers();
#else
  asm volatile("vzeroall"
               :
               :
               : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11",
                 "xmm12", "xmm13", "xmm14", "xmm15", "memory");
#endif
}

// The registers that code compiled for the build's own instruction set may have
// written: the baseline's xmm0-15, or more where the build's flags allow more
// (-march=x86-64-v3 lets the compiler use whole ymm registers in any code, -march=
// x86-64-v4 the zmm registers and the sixteen above them).
inline void clear_vector_registers() noexcept {
#if defined(__AVX512F__)
  clear_avx512_registers();
#elif defined(__AVX__)
  clear_avx_registers();
#else
  clear_sse_registers();
#endif
}

// The general registers a called function may leave anything in (the System V ABI's
// caller-saved ones, less rax, which carries results): what a software backend's
// arithmetic on state words leaves there when it returns.
inline void clear_scratch_registers() noexcept {
  asm volatile(
      "xor %%ecx, %%ecx\n\t"
      "xor %%edx, %%edx\n\t"
      "xor %%esi, %%esi\n\t"
      "xor %%edi, %%edi\n\t"
      "xor %%r8d, %%r8d\n\t"
      "xor %%r9d, %%r9d\n\t"
      "xor %%r10d, %%r10d\n\t"
      "xor %%r11d, %%r11d\n\t"
      :
      :
      : "rcx", "rdx", "rsi", "rdi", "r8", "r9", "r10", "r11", "memory");
}

#else

inline void clear_vector_registers() noexcept {}
inline void clear_scratch_registers() noexcept {}

#endif

// Zeroes the vector registers, with `clear`, when its scope ends: the first line of a
// backend's entry point, so that every way out clears them. The "memory" clobber of
// each clear makes every store of the function's results come before it, so nothing
// is kept in a register across it (which would have to be spilled to the stack).
template <void (*clear)() noexcept = clear_vector_registers>
class RegistersClearedOnReturn {
 public:
  RegistersClearedOnReturn() noexcept = default;
  RegistersClearedOnReturn(const RegistersClearedOnReturn&) = delete;
  RegistersClearedOnReturn& operator=(const RegistersClearedOnReturn&) = delete;
  ~RegistersClearedOnReturn() { clear(); }
};

}  // namespace rdz
