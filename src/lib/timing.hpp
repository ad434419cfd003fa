// Data-independent timing on ARM64: PSTATE.DIT (Armv8.4), set for the length of the
// work on secrets: each AES backend call, and each function's window of work on keys
// and data (the modes' and the message code's).
//
// The architecture promises that an instruction's time does not depend on the values
// it works on only while PSTATE.DIT is set, and then only for the instructions it lists
// (the integer and SIMD data-processing ones, the AES instructions and TBL among them;
// loads and stores as to the data they move). Without it, it promises nothing: a core
// may take a shortcut for some operand values. Processors before Armv8.4 have no such
// bit, and no promise to keep; where the kernel reports it (HWCAP_DIT), the guard below
// sets it on entry and puts back what it found on return. It is the thread's own state, which the kernel
// keeps across switches, and the caller's code may depend on either value.
//
// Elsewhere this is nothing. x86-64 has a like promise (Intel's DOITM), but only the
// kernel can set it.
#pragma once

#if defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>

#include <atomic>
#include <cstdint>
#endif

namespace rdz {

#if defined(__aarch64__)

namespace timing {

// PSTATE.DIT as the register DIT (op0 3, op1 3, CRn 4, CRm 2, op2 5) shows it: bit 24.
// Named by its encoding, so that no assembler option for Armv8.4 is needed. valgrind
// decodes neither instruction: the ARM64 constant-time check's build brings its own
// two functions (tests/native/dit_stand_in.hpp) and everything else here unchanged.
#if !defined(RDZ_DIT_STAND_IN)
inline std::uint64_t read_dit() noexcept {
  std::uint64_t value;
  asm volatile("mrs %0, s3_3_c4_c2_5" : "=r"(value));
  return value;
}

inline void write_dit(std::uint64_t value) noexcept { asm volatile("msr s3_3_c4_c2_5, %0" : : "r"(value) : "memory"); }
#endif

constexpr std::uint64_t dit_bit = std::uint64_t{1} << 24;

// Whether the processor has the bit (writing it otherwise is an undefined instruction),
// asked of the kernel once: -1 until then. Racing first callers store the same answer.
inline constinit std::atomic<signed char> dit_known{-1};

inline bool dit_available() noexcept {
  signed char known = dit_known.load(std::memory_order_relaxed);
  if (known < 0) {
    known = (getauxval(AT_HWCAP) & HWCAP_DIT) != 0 ? 1 : 0;
    dit_known.store(known, std::memory_order_relaxed);
  }
  return known != 0;
}

}  // namespace timing

// Sets PSTATE.DIT where the processor has it, and clears it again on every way out if
// it was clear. The "memory" clobbers keep the backend's loads and stores inside.
class DataIndependentTiming {
 public:
  DataIndependentTiming() noexcept : clear_on_return_(enter()) {}
  ~DataIndependentTiming() {
    if (clear_on_return_) timing::write_dit(0);
  }
  DataIndependentTiming(const DataIndependentTiming&) = delete;
  DataIndependentTiming& operator=(const DataIndependentTiming&) = delete;

 private:
  static bool enter() noexcept {
    if (!timing::dit_available() || (timing::read_dit() & timing::dit_bit) != 0) return false;
    timing::write_dit(timing::dit_bit);
    return true;
  }
  bool clear_on_return_;
};

#else

// User-provided, so that the compiler sees a guard, not an unused variable.
class DataIndependentTiming {
 public:
  DataIndependentTiming() noexcept {}
  ~DataIndependentTiming() {}
  DataIndependentTiming(const DataIndependentTiming&) = delete;
  DataIndependentTiming& operator=(const DataIndependentTiming&) = delete;
};

#endif

}  // namespace rdz
