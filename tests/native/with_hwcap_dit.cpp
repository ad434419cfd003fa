// Linked with -Wl,--wrap=getauxval into the ARM64 constant-time check's build that
// tests/native/dit_stand_in.hpp is force-included in: the kernel's answer with
// HWCAP_DIT, which valgrind takes away. At exit it prints how many times the guard set
// the stand-in for PSTATE.DIT; none would mean the build checked nothing of the guard.
#include <asm/hwcap.h>
#include <sys/auxv.h>

#include <cinttypes>
#include <cstdio>

extern "C" unsigned long __real_getauxval(unsigned long type);

extern "C" unsigned long __wrap_getauxval(unsigned long type) {
  const unsigned long value = __real_getauxval(type);
  return type == AT_HWCAP ? value | HWCAP_DIT : value;
}

namespace {

struct ReportAtExit {
  ~ReportAtExit() { std::printf("dit stand-in: set %" PRIu64 " times\n", rdz::timing::dit_stand_in_sets); }
} report_at_exit;

}  // namespace
