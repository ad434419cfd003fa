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

#elif defined(__x86_64__)

// xmm0-xmm15 (legacy SSE code leaves the upper halves of the ymm registers alone, and
// so does this).
inline void clear_vector_registers() noexcept {
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

// ymm0-ymm15 whole, for AVX code.
__attribute__((target("avx"))) inline void clear_avx_registers() noexcept {
  asm volatile("vzeroall"
               :
               :
               : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11",
                 "xmm12", "xmm13", "xmm14", "xmm15", "memory");
}

// zmm0-zmm31, for AVX-512 code: VZEROALL reaches only the first sixteen; an EVEX
// 128-bit XOR zeroes the whole of each of the others.
__attribute__((target("avx512f"))) inline void clear_avx512_registers() noexcept {
  asm volatile(
      "vzeroall\n\t"
      "vpxord %%xmm16, %%xmm16, %%xmm16\n\t"
      "vpxord %%xmm17, %%xmm17, %%xmm17\n\t"
      "vpxord %%xmm18, %%xmm18, %%xmm18\n\t"
      "vpxord %%xmm19, %%xmm19, %%xmm19\n\t"
      "vpxord %%xmm20, %%xmm20, %%xmm20\n\t"
      "vpxord %%xmm21, %%xmm21, %%xmm21\n\t"
      "vpxord %%xmm22, %%xmm22, %%xmm22\n\t"
      "vpxord %%xmm23, %%xmm23, %%xmm23\n\t"
      "vpxord %%xmm24, %%xmm24, %%xmm24\n\t"
      "vpxord %%xmm25, %%xmm25, %%xmm25\n\t"
      "vpxord %%xmm26, %%xmm26, %%xmm26\n\t"
      "vpxord %%xmm27, %%xmm27, %%xmm27\n\t"
      "vpxord %%xmm28, %%xmm28, %%xmm28\n\t"
      "vpxord %%xmm29, %%xmm29, %%xmm29\n\t"
      "vpxord %%xmm30, %%xmm30, %%xmm30\n\t"
      "vpxord %%xmm31, %%xmm31, %%xmm31\n\t"
      :
      :
      : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12",
        "xmm13", "xmm14", "xmm15", "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23", "xmm24",
        "xmm25", "xmm26", "xmm27", "xmm28", "xmm29", "xmm30", "xmm31", "memory");
}

#else

inline void clear_vector_registers() noexcept {}

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
