// Force-included (g++ -include) into every source of the ARM64 constant-time check's
// second build, which links tests/native/with_hwcap_dit.cpp too: PSTATE.DIT becomes a
// variable of the thread, read and written where lib/timing.hpp reads and writes the
// register.
//
// valgrind hides HWCAP_DIT from the programs it runs, and decodes neither MRS nor MSR
// of the DIT register (the program dies of SIGILL), so under memcheck the guard of
// lib/timing.hpp takes its way for processors without DIT. In this build the kernel's
// answer has HWCAP_DIT again and the register is this variable, so the rest runs as
// on a processor with DIT, compiled from the same source: the guard's query, its test
// of the bit, the write on entry and the one on the way out, and the backends between
// them. The empty asm statements keep the originals' "memory" clobbers: the compiler
// moves no load or store of the backends across them.
#pragma once

#include <cstdint>

#define RDZ_DIT_STAND_IN 1

namespace rdz::timing {

inline thread_local std::uint64_t dit_stand_in = 0;
// How many times it was set: with_hwcap_dit.cpp prints it at exit, so that the check
// sees the guard ran.
inline std::uint64_t dit_stand_in_sets = 0;

inline std::uint64_t read_dit() noexcept {
  asm volatile("" : : : "memory");
  return dit_stand_in;
}

inline void write_dit(std::uint64_t value) noexcept {
  dit_stand_in_sets += value != 0;
  dit_stand_in = value;
  asm volatile("" : : : "memory");
}

}  // namespace rdz::timing
