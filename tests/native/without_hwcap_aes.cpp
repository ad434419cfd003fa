// Linked into a second ARM64 build of the AES driver with -Wl,--wrap=getauxval: the
// kernel's answer with HWCAP_AES cleared, as a processor without the AES instructions
// would give it. qemu-user has no ARM64 model without them and no switch to remove
// them, so this is how the driver sees the choice fall back.
#include <asm/hwcap.h>
#include <sys/auxv.h>

extern "C" unsigned long __real_getauxval(unsigned long type);

extern "C" unsigned long __wrap_getauxval(unsigned long type) {
  const unsigned long value = __real_getauxval(type);
  return type == AT_HWCAP ? value & ~static_cast<unsigned long>(HWCAP_AES) : value;
}
