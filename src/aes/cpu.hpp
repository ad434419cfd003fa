// What the processor offers and the operating system lets this process use, for
// choosing among the AES code paths.
//
// An instruction set counts only when both agree: CPUID says the processor has it,
// and XCR0 (read with XGETBV, when CPUID says the OS has enabled it) says the OS
// saves and restores the registers it needs on every context switch. A processor
// with AVX-512 under an OS (or a hypervisor's configuration) that does not save the
// opmask and ZMM state must not run AVX-512 code, or another thread's switch would
// corrupt it.
//
// On ARM64 the kernel tells what the processor has (getauxval(AT_HWCAP)); NEON is
// part of the architecture there. On other architectures this header declares
// nothing, and the callers offer only the portable path there.
#pragma once

#if defined(__x86_64__)

namespace rdz::cpu {

struct Features {
  bool ssse3;  // PSHUFB, for the vector-permute AES (SSE state is always saved on x86-64)
  bool aes;  // AES-NI
  bool avx2;  // AVX2 with SSSE3; the OS saves the YMM state (the 32-byte vector-permute CTR)
  bool avx2_vaes;  // 256-bit VAES with AVX2; the OS saves the YMM state
  bool avx512_vaes;  // 512-bit VAES with AVX-512 F and BW; the OS saves opmask and all ZMM state
};

// What CPUID and XGETBV report, as far as the choice reads it.
struct Report {
  unsigned max_leaf;  // CPUID leaf 0, EAX
  unsigned leaf1_ecx;
  unsigned leaf7_ebx, leaf7_ecx;  // leaf 7, subleaf 0 (zero where max_leaf < 7)
  unsigned long long xcr0;  // zero where CPUID leaf 1 does not report OSXSAVE
};

// Reads CPUID and XGETBV. CPUID is slow (and traps to the hypervisor on virtual
// machines), so this is meant to be called once per process and its answer kept;
// it has no state of its own and may be called from any thread.
Report read_report() noexcept;

// The features a report gives: each instruction set only where the processor has
// every instruction its code runs, and the OS saves the registers that code uses.
Features features_of(const Report& report) noexcept;

inline Features detect() noexcept { return features_of(read_report()); }

}  // namespace rdz::cpu

#elif defined(__aarch64__)

namespace rdz::cpu {

struct Features {
  bool aes;  // the ARMv8 cryptography extension's AESE, AESD, AESMC and AESIMC
};

// Reads the kernel's hardware capabilities; cheap, but kept once like the x86 answer.
Features detect() noexcept;

}  // namespace rdz::cpu

#endif
