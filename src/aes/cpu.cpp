#include "aes/cpu.hpp"

#if defined(__x86_64__)

#include <cpuid.h>

#include <cstdint>

namespace rdz::cpu {
namespace {

// CPUID leaf 1, ECX.
constexpr std::uint32_t leaf1_ssse3 = 1u << 9;
constexpr std::uint32_t leaf1_aes = 1u << 25;
constexpr std::uint32_t leaf1_osxsave = 1u << 27;
constexpr std::uint32_t leaf1_avx = 1u << 28;
// CPUID leaf 7, subleaf 0.
constexpr std::uint32_t leaf7_ebx_avx2 = 1u << 5;
constexpr std::uint32_t leaf7_ebx_avx512f = 1u << 16;
constexpr std::uint32_t leaf7_ebx_avx512bw = 1u << 30;
constexpr std::uint32_t leaf7_ecx_vaes = 1u << 9;
// XCR0: the register state the OS saves.
constexpr std::uint64_t xcr0_sse = 1u << 1;
constexpr std::uint64_t xcr0_avx = 1u << 2;  // upper halves of YMM0-15
constexpr std::uint64_t xcr0_opmask = 1u << 5;  // k0-k7
constexpr std::uint64_t xcr0_zmm_hi256 = 1u << 6;  // upper halves of ZMM0-15
constexpr std::uint64_t xcr0_hi16_zmm = 1u << 7;  // ZMM16-31
constexpr std::uint64_t xcr0_ymm = xcr0_sse | xcr0_avx;
constexpr std::uint64_t xcr0_zmm = xcr0_ymm | xcr0_opmask | xcr0_zmm_hi256 | xcr0_hi16_zmm;

// XGETBV without a target attribute: the instruction exists wherever CPUID reports
// OSXSAVE, which the caller has checked.
std::uint64_t read_xcr0() noexcept {
  std::uint32_t low, high;
  asm volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return static_cast<std::uint64_t>(high) << 32 | low;
}

}  // namespace

Report read_report() noexcept {
  Report report{};
  unsigned a, b, c, d;
  report.max_leaf = __get_cpuid_max(0, nullptr);
  if (report.max_leaf < 1) return report;
  __cpuid(1, a, b, c, d);
  report.leaf1_ecx = c;
  if (report.max_leaf >= 7) {
    __cpuid_count(7, 0, a, b, c, d);
    report.leaf7_ebx = b;
    report.leaf7_ecx = c;
  }
  if ((report.leaf1_ecx & leaf1_osxsave) != 0) report.xcr0 = read_xcr0();
  return report;
}

// The 512-bit VAES code is compiled for VAES, AVX512F and AVX512BW (vaes.cpp) and
// clears its registers with AVX512F alone (registers.hpp): nothing it runs needs
// AVX512VL, which is therefore not asked for (tests/native/needs_only_avx512f.py
// reads the compiled code to make sure).
Features features_of(const Report& report) noexcept {
  Features found{};
  if (report.max_leaf < 1) return found;
  const unsigned c = report.leaf1_ecx;
  found.ssse3 = (c & leaf1_ssse3) != 0;
  found.aes = (c & leaf1_aes) != 0;
  const bool avx = (c & leaf1_avx) != 0 && (c & leaf1_osxsave) != 0;
  if (!avx || report.max_leaf < 7) return found;
  const std::uint64_t xcr0 = report.xcr0;
  const unsigned b = report.leaf7_ebx;
  const bool vaes = (report.leaf7_ecx & leaf7_ecx_vaes) != 0 && found.aes;
  const bool avx2 = (b & leaf7_ebx_avx2) != 0 && (xcr0 & xcr0_ymm) == xcr0_ymm;
  found.avx2 = avx2 && found.ssse3;
  found.avx2_vaes = vaes && avx2;
  found.avx512_vaes =
      found.avx2_vaes && (b & leaf7_ebx_avx512f) != 0 && (b & leaf7_ebx_avx512bw) != 0 && (xcr0 & xcr0_zmm) == xcr0_zmm;
  return found;
}

}  // namespace rdz::cpu

#elif defined(__aarch64__)

#include <asm/hwcap.h>
#include <sys/auxv.h>

namespace rdz::cpu {

Features detect() noexcept { return {.aes = (getauxval(AT_HWCAP) & HWCAP_AES) != 0}; }

}  // namespace rdz::cpu

#endif
