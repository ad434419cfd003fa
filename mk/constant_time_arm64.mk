# make check-ct-arm64   the constant-time check (mk/constant_time.mk) on ARM64: the same
#                       driver, cross-built, under valgrind's memcheck inside a whole
#                       arm64 Linux system booted under qemu-system-aarch64 with
#                       software emulation (valgrind cannot run under qemu-user).
#                       One line per run, as check-ct prints them.
#
# The system is Debian's arm64 kernel and an initramfs of Debian's arm64 busybox,
# valgrind and C library (tools/arm64-vm, kept in $REDERODIDIZO_CACHE), with this
# check's /init (tests/native/constant_time_vm_init) and the driver appended. qemu's
# `max` CPU has the AES instructions and PSTATE.DIT; under valgrind the driver sees
# HWCAP_AES but not HWCAP_DIT, which valgrind hides, and valgrind decodes the AES
# instructions but not the MRS and MSR of the DIT register. So each run is made twice:
# with the driver as built, where the guard leaves DIT alone as on a processor without
# it, and with DIT's register a variable (tests/native/dit_stand_in.hpp), where
# everything else runs as on a processor with DIT.
#
# The control comes first and must be reported in _nettle_aes_encrypt: Nettle's table
# AES, forced with NETTLE_FAT_OVERRIDE=none (Nettle's arm64 fat build reads it as on
# x86-64). armv8, vperm, bitsliced and the message code must then be clean in both
# builds; Nettle with its own choice of code is shown, not judged. A VM that does not
# finish, a valgrind that does not start (no summary in its report) or a run that is
# missing fails the check.
#
# The drivers are linked with the C library and the C++ runtime dynamically, as on
# x86-64: memcheck replaces malloc and the string functions in a dynamic C library,
# and reports a static one's own internals by the thousand. Nettle is the sysroot's
# libnettle.a, as in the other ARM64 builds.

CT64_BUILD := build/ct-arm64
CT64_COMPILE = $(A64_CXX) $(CT_FLAGS) -idirafter $(CT64_VM)/include -idirafter $(A64_SYSROOT)/usr/include
CT64_NETTLE = $(A64_SYSROOT)/usr/lib/aarch64-linux-gnu/libnettle.a
CT64_DIT_DEPENDS := tests/native/dit_stand_in.hpp tests/native/with_hwcap_dit.cpp
# What must be checked, and clean, in both builds.
CT64_REQUIRED := armv8 vperm bitsliced message
CT64_BUILDS := constant_time constant_time_dit
# One vCPU, emulated; the serial console is the output. `panic=-1` with -no-reboot
# ends qemu if /init dies; `timeout` ends a system that hangs.
CT64_QEMU = timeout 1800 qemu-system-aarch64 -M virt -cpu max -accel tcg -m 2048 -nographic -no-reboot \
  -kernel $(CT64_VM)/Image -initrd $(CT64_BUILD)/initrd -append 'console=ttyAMA0 quiet loglevel=1 panic=-1'

CHECKS += check-ct-arm64
.PHONY: check-ct-arm64 check-ct-arm64-run

check-ct-arm64:
	mkdir -p $(CT64_BUILD)
	tools/arm64-sysroot >$(CT64_BUILD)/sysroot-path
	tools/arm64-vm >$(CT64_BUILD)/vm-path
	$(MAKE) --no-print-directory check-ct-arm64-run A64_SYSROOT=$$(cat $(CT64_BUILD)/sysroot-path) \
	  CT64_VM=$$(cat $(CT64_BUILD)/vm-path)

$(CT64_BUILD)/constant_time: $(CT_DEPENDS)
	$(CT64_COMPILE) -o $@ tests/native/constant_time.cpp $(CT_SOURCES) $(CT64_NETTLE)

$(CT64_BUILD)/constant_time_dit: $(CT_DEPENDS) $(CT64_DIT_DEPENDS)
	$(CT64_COMPILE) -include tests/native/dit_stand_in.hpp -Wl,--wrap=getauxval -o $@ \
	  tests/native/constant_time.cpp tests/native/with_hwcap_dit.cpp $(CT_SOURCES) $(CT64_NETTLE)

# The initramfs: the base, then an archive of /init, the drivers and valgrind's
# command line. Made anew at every run (a second): the base and the command line
# come from outside make's view of files.
.PHONY: $(CT64_BUILD)/initrd
$(CT64_BUILD)/initrd: $(addprefix $(CT64_BUILD)/,$(CT64_BUILDS)) tests/native/constant_time_vm_init
	rm -rf $(CT64_BUILD)/image && mkdir -p $(CT64_BUILD)/image/ct
	cp tests/native/constant_time_vm_init $(CT64_BUILD)/image/init
	cp $(addprefix $(CT64_BUILD)/,$(CT64_BUILDS)) $(CT64_BUILD)/image/ct/
	echo '$(CT_VALGRIND)' >$(CT64_BUILD)/image/ct/valgrind
	(cd $(CT64_BUILD)/image && find . | LC_ALL=C sort | cpio --quiet -o -H newc -R 0:0) >$(CT64_BUILD)/run.cpio
	cat $(CT64_VM)/base.cpio $(CT64_BUILD)/run.cpio >$@

# ct64_split: the console's runs into $(CT64_BUILD)/runs: NAME.log (memcheck's report),
# NAME.log.out (the driver's output), NAME.status (valgrind's exit status).
ct64_split = rm -rf $(CT64_BUILD)/runs && mkdir -p $(CT64_BUILD)/runs && \
  awk -v dir=$(CT64_BUILD)/runs '/^ct-vm: begin / { file = dir "/" $$3 ".log"; printf "" >file; next } \
    /^ct-vm: output / { file = dir "/" $$3 ".log.out"; printf "" >file; next } \
    /^ct-vm: end / { print $$4 >(dir "/" $$3 ".status"); file = ""; next } \
    file != "" { print >file }' $(CT64_BUILD)/console.log

# ct64_load NAME: the run NAME's report in `log`, and `status`, `errors` and `where`
# (ct_findings); status 255 where the console has no end of that run.
ct64_load = log=$(CT64_BUILD)/runs/$(1).log; status=$$(cat $(CT64_BUILD)/runs/$(1).status 2>/dev/null || echo 255); \
  touch $$log; $(ct_findings)

# ct64_label BUILD NAME: how the lines name a run, with how many times the DIT build
# set its stand-in (with_hwcap_dit.cpp prints it).
ct64_label = $(2)$$(if [ $(1) = constant_time ]; then echo " (DIT hidden by valgrind: left alone)"; \
  else echo " (DIT's register a variable: $$(grep -o 'set [0-9]* times' $$log.out || echo 'no count'))"; fi)

# ct64_judge BUILD NAME: one line for the run; leaves bad=1 if it fails. The DIT build's
# backends must have set the stand-in, or they checked nothing of the guard (the
# message functions the driver calls have no guard of their own).
ct64_judge = $(call ct64_load,$(1)-$(2)); label="$(call ct64_label,$(1),$(2))"; \
  if [ $(2) = nettle ]; then \
    echo "check-ct-arm64: nettle with its own choice of code: $$errors errors (the reference, never chosen by itself; not judged), in: $$where"; \
  elif [ $$status -eq 255 ]; then echo "check-ct-arm64: FAIL $$label: not run"; bad=1; \
  elif [ -z "$$errors" ]; then echo "check-ct-arm64: FAIL $$label: exit $$status, no summary from valgrind ($$log)"; bad=1; \
  elif [ $$status -ne 0 ] || [ "$$errors" != 0 ]; then \
    echo "check-ct-arm64: FAIL $$label: exit $$status, $$errors errors, in: $$where ($$log)"; bad=1; \
  elif [ $(1) != constant_time ] && [ $(2) != message ] && ! grep -q 'set [1-9][0-9]* times' $$log.out; then \
    echo "check-ct-arm64: FAIL $$label: the stand-in for DIT was never set"; bad=1; \
  else echo "check-ct-arm64: $$label: 0 errors"; fi

check-ct-arm64-run: $(CT64_BUILD)/initrd
	@set -e; start=$$(date +%s); status=0; \
	$(CT64_QEMU) >$(CT64_BUILD)/console.raw 2>&1 </dev/null || status=$$?; \
	tr -d '\r' <$(CT64_BUILD)/console.raw >$(CT64_BUILD)/console.log; \
	if ! grep -qx 'ct-vm: done' $(CT64_BUILD)/console.log; then \
	  tail -n 25 $(CT64_BUILD)/console.log; \
	  echo "check-ct-arm64: FAIL the arm64 system did not finish its runs (qemu exit $$status; $(CT64_BUILD)/console.log)"; \
	  exit 1; \
	fi; \
	echo "check-ct-arm64: $$(sed -n 's/^ct-vm: kernel \([^,]*\),.*/Linux \1 on qemu-system-aarch64 -cpu max/p' $(CT64_BUILD)/console.log)"; \
	$(ct64_split); \
	$(call ct64_load,control); \
	if [ $$status -ne 99 ] || ! echo "$$where" | grep -qw _nettle_aes_encrypt; then \
	  echo "check-ct-arm64: FAIL the control: Nettle's table AES (NETTLE_FAT_OVERRIDE=none) was not reported (exit $$status, $${errors:-no} errors; $$log)"; \
	  exit 1; \
	fi; \
	echo "check-ct-arm64: control, nettle under NETTLE_FAT_OVERRIDE=none: $$errors errors, reported as it must be, in: $$where"; \
	bad=0; \
	for build in $(CT64_BUILDS); do \
	  sed -n "s/^ct-vm: list $$build \([^ ]*\) cannot run$$/check-ct-arm64: \1 not checked: valgrind's processor cannot run it/p" \
	    $(CT64_BUILD)/console.log; \
	  names=$$(sed -n "s/^ct-vm: end $$build-\([^ ]*\) .*/\1/p" $(CT64_BUILD)/console.log); \
	  for name in $(CT64_REQUIRED); do echo "$$names" | grep -qx $$name || names="$$names $$name"; done; \
	  for name in $$names; do $(call ct64_judge,$$build,$$name); done; \
	done; \
	echo "check-ct-arm64: $$(( $$(date +%s) - start )) s in the emulated system"; \
	exit $$bad
