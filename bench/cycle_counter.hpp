// The processor's own counter, read around one call with the fences that keep the
// call's instructions between the two readings (timing.cpp).
//
// x86-64: the time-stamp counter. LFENCE before RDTSC waits for every earlier
// instruction to finish, and the LFENCE after it keeps later ones from starting
// early; RDTSCP at the end waits for the call's instructions to finish, and its LFENCE
// keeps the bookkeeping after it out of the interval. The counter ticks at a constant
// rate, not with the core's clock, which is what a caller observing the call sees.
//
// ARM64: the virtual count (CNTVCT_EL0), the only counter user space may read on
// Linux; ISB orders it with the code around it. It ticks at the system counter's
// frequency (tens of MHz on most boards, 1 GHz from Armv8.6), far coarser than a core
// cycle: a shift below one tick shows only in the mean over many timings.
#pragma once

#include <cstdint>

namespace timing {

#if defined(__x86_64__)

inline constexpr const char* counter_name = "rdtsc (lfence; rdtsc; lfence .. rdtscp; lfence)";

// In assembly, with "memory" clobbers: the compiler may move neither the call's
// loads and stores nor the harness's across a reading.
inline std::uint64_t counter_start() noexcept {
  std::uint32_t low, high;
  asm volatile("lfence\n\trdtsc\n\tlfence" : "=a"(low), "=d"(high) : : "memory");
  return std::uint64_t{high} << 32 | low;
}

inline std::uint64_t counter_end() noexcept {
  std::uint32_t low, high;
  asm volatile("rdtscp\n\tlfence" : "=a"(low), "=d"(high) : : "rcx", "memory");
  return std::uint64_t{high} << 32 | low;
}

#elif defined(__aarch64__)

inline constexpr const char* counter_name = "cntvct_el0 (isb; mrs; isb)";

inline std::uint64_t read_counter() noexcept {
  std::uint64_t now;
  asm volatile("isb\n\tmrs %0, cntvct_el0\n\tisb" : "=r"(now) : : "memory");
  return now;
}

inline std::uint64_t counter_start() noexcept { return read_counter(); }
inline std::uint64_t counter_end() noexcept { return read_counter(); }

#else
#error "the timing test reads the cycle counter of x86-64 or ARM64 only"
#endif

}  // namespace timing
