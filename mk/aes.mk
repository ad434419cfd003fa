# The AES paths: each one the module can take, tested.
#
#   make check-native   tests/native/aes_backends.cpp: every AES backend this processor
#                       can run, through its table, byte for byte against Nettle; what
#                       its calls leave on the stack and in the registers; and the
#                       choice among them (a C++ driver, without the interpreter); and
#                       the 512-bit VAES code as compiled, which must need no AVX512VL;
#                       and the self-check each candidate passes before it is chosen,
#                       which must run every line of the backends it checks
#   make check-aes      the suite once more on each path that neither the release
#                       build (the fastest path: VAES where there is VAES) nor the
#                       debug build (Nettle) takes: vperm, vperm256 (vperm with its
#                       CTR on AVX2), AES-NI, 256-bit VAES and the bitsliced path
#                       (which needs nothing of the processor), each
#                       in a build that forces it (-DREDERODIDIZO_AES=NAME), less the
#                       tests AES_SUITE_SKIP names. A path the processor lacks is
#                       skipped, with a line saying so; a forced build refuses to load
#                       where its path cannot run.
#   make check-fail-closed
#                       a module whose self-check reference is made wrong
#                       (tests/native/wrong_reference.cpp, linked with --wrap), so
#                       that no candidate passes it: every call that needs AES must
#                       raise PanicException and nothing may fall back to table AES
#                       (tests/test_fail_closed.py, skipped in the other runs)
#   make check-native-arm64
#                       the same driver cross-built for ARM64 (static, with the arm64
#                       sysroot's Nettle, tools/arm64-sysroot) and run under qemu-user:
#                       on qemu's default CPU, which has the AES instructions and
#                       PSTATE.DIT, every backend must pass every check and armv8 be
#                       chosen; then as on a Raspberry Pi 4: qemu's Cortex-A72 (no
#                       DIT) in a build that sees the kernel's HWCAP without HWCAP_AES
#                       (qemu offers no ARM64 model without AES), where the choice must
#                       fall back to vperm and nothing may touch DIT.
#   make check-aes-arm64
#                       the suite on ARM64 under qemu-user, in a module cross-built to
#                       force vperm on NEON, less AES_SUITE_SKIP as in check-aes; and
#                       the suite's AES tests in one forced to bitsliced (the aarch64
#                       wheel's whole suite runs on armv8, which qemu's CPU has)

NATIVE_BUILD := build/native
# Every symbol bound at start, as the interpreter loads the module (RTLD_NOW): the
# lazy resolver, which saves every vector register to the stack at a first call,
# would otherwise run in the middle of the stack scan.
NATIVE_FLAGS := -std=c++23 -O3 -Wall -Wextra -Werror -fno-exceptions -fno-rtti -Isrc -Wl,-z,now
NATIVE_SOURCES := $(wildcard src/aes/*.cpp) src/modes/ctr.cpp src/modes/ige.cpp
NATIVE_DEPS = tests/native/aes_backends.cpp $(wildcard tests/native/*.hpp) $(NATIVE_SOURCES) \
  $(wildcard src/aes/*.hpp src/lib/*.hpp) src/modes/ctr.hpp src/modes/ige.hpp
# A forced path and the processor flags it needs.
AES_PATHS := vperm:ssse3 vperm256:ssse3,avx2 aesni:aes vaes256:vaes,avx2 bitsliced:

# What check-aes leaves to the default build: the tests of threads racing over
# resized buffers and of the buffers ended threads leave, which exercise the binding
# and the scratch buffer rather than the AES path, and are slow on the slow paths
# (the thread-exit test alone takes over a minute on bitsliced IGE).
AES_SUITE_SKIP := $(foreach t,thread_exit ctr_races stress,--ignore=$(CURDIR)/tests/test_$(t).py)

CHECKS += check-native check-aes check-fail-closed check-native-arm64 check-aes-arm64
.PHONY: check-native check-aes aes-build check-fail-closed check-native-arm64 check-native-arm64-run check-aes-arm64 check-aes-arm64-run

$(NATIVE_BUILD)/aes_backends: $(NATIVE_DEPS)
	mkdir -p $(NATIVE_BUILD)
	$(CXX) $(NATIVE_FLAGS) -o $@ tests/native/aes_backends.cpp $(NATIVE_SOURCES) $$(pkg-config --cflags --libs nettle)

# The choice in builds that force a path: one that runs here where the processor has
# VAES (and is not the first choice where it also has AVX-512), and one that never runs.
$(NATIVE_BUILD)/aes_choice_%: $(NATIVE_DEPS)
	mkdir -p $(NATIVE_BUILD)
	$(CXX) $(NATIVE_FLAGS) '-DREDERODIDIZO_AES_FORCE="$*"' -o $@ tests/native/aes_backends.cpp $(NATIVE_SOURCES) \
	  $$(pkg-config --cflags --libs nettle)

# The same driver built for this processor's whole instruction set, as a build with
# -march=native in CXXFLAGS is: its compiler may then use ymm and zmm registers, and
# the sixteen above them, in any code, and every entry point must still clear them.
$(NATIVE_BUILD)/aes_backends_march_native: $(NATIVE_DEPS)
	mkdir -p $(NATIVE_BUILD)
	$(CXX) $(NATIVE_FLAGS) -march=native -o $@ tests/native/aes_backends.cpp $(NATIVE_SOURCES) \
	  $$(pkg-config --cflags --libs nettle)

# The 512-bit VAES code as compiled: nothing in it may need AVX512VL, which its
# choice does not ask for (tests/native/needs_only_avx512f.py).
$(NATIVE_BUILD)/vaes.o: src/aes/vaes.cpp $(wildcard src/aes/*.hpp src/lib/*.hpp)
	mkdir -p $(NATIVE_BUILD)
	$(CXX) $(NATIVE_FLAGS) -c -o $@ src/aes/vaes.cpp

# The choice's self-check, built with coverage: it must run every line of each backend
# it checks (tests/native/self_check_coverage.py). -Og, so that lines are not lost to
# inlining, nor blocks added that no optimised build has.
COVERAGE_FLAGS := -std=c++23 -Og --coverage -fno-exceptions -fno-rtti -Isrc
COVERAGE_DEPS := tests/native/self_check.cpp $(wildcard src/aes/*.cpp src/aes/*.hpp src/lib/*.hpp)
# coverage_build DIRECTORY, COMPILER, EXTRA FLAGS, LINK: the self-check's driver, each
# backend's source compiled apart, so that gcov finds each one's notes by its name.
define coverage_build
	rm -rf $(1) && mkdir -p $(1)
	for source in $(wildcard src/aes/*.cpp); do \
	  $(2) $(COVERAGE_FLAGS) $(3) -c -o $(1)/$$(basename $$source .cpp).o $$source || exit 1; \
	done
	$(2) $(COVERAGE_FLAGS) $(3) -o $(1)/self_check tests/native/self_check.cpp $(1)/*.o $(4)
endef
# coverage_check DIRECTORY, RUN, GCOV: runs the driver afresh and reads the coverage.
define coverage_check
	rm -f $(1)/*.gcda
	$(2) $(1)/self_check | tee $(1)/self_check.log
	cd $(1) && $(3) -t -o . $(addprefix $(CURDIR)/,$(wildcard src/aes/*.cpp)) 2>/dev/null \
	  | $(PYTHON) $(CURDIR)/tests/native/self_check_coverage.py self_check.log
endef
COVERAGE_BUILD := $(NATIVE_BUILD)/coverage
$(COVERAGE_BUILD)/self_check: $(COVERAGE_DEPS)
	$(call coverage_build,$(COVERAGE_BUILD),$(CXX),,$$(pkg-config --cflags --libs nettle))

check-native: $(NATIVE_BUILD)/aes_backends $(NATIVE_BUILD)/aes_choice_vaes256 $(NATIVE_BUILD)/aes_choice_none \
  $(NATIVE_BUILD)/aes_backends_march_native $(COVERAGE_BUILD)/self_check \
  $(if $(filter x86_64,$(shell uname -m)),$(NATIVE_BUILD)/vaes.o)
	$(NATIVE_BUILD)/aes_backends
	$(NATIVE_BUILD)/aes_backends_march_native >$(NATIVE_BUILD)/march_native.log \
	  || { cat $(NATIVE_BUILD)/march_native.log; exit 1; }
	tail -1 $(NATIVE_BUILD)/march_native.log
	$(NATIVE_BUILD)/aes_choice_vaes256
	$(NATIVE_BUILD)/aes_choice_none
	$(call coverage_check,$(COVERAGE_BUILD),,gcov)
	$(if $(filter x86_64,$(shell uname -m)),objdump -d -C --insn-width=16 $(NATIVE_BUILD)/vaes.o \
	  | $(PYTHON) tests/native/needs_only_avx512f.py '512')

check-aes:
	@set -e; for entry in $(AES_PATHS); do \
	  path=$${entry%%:*}; flags=$$(echo $${entry#*:} | tr , ' '); missing=; \
	  for flag in $$flags; do grep -qw "$$flag" /proc/cpuinfo || missing="$$missing $$flag"; done; \
	  if [ -n "$$missing" ]; then echo "check-aes: $$path skipped, this processor lacks:$$missing"; continue; fi; \
	  echo "check-aes: the suite on the $$path path"; \
	  $(MAKE) --no-print-directory aes-build AES_PATH=$$path; \
	  PYTHONPATH=$(CURDIR)/build/aes-$$path $(PYTEST) $(AES_SUITE_SKIP) tests; \
	done

aes-build:
	$(call cmake_build,build/aes-$(AES_PATH),$(PYTHON),-DREDERODIDIZO_AES=$(AES_PATH))

FAIL_CLOSED := build/aes-fail-closed
comma := ,
check-fail-closed:
	mkdir -p $(FAIL_CLOSED)
	$(CXX) -std=c++23 -O2 -fPIC -c -o $(FAIL_CLOSED)/wrong_reference.o tests/native/wrong_reference.cpp \
	  $$(pkg-config --cflags nettle)
	$(call cmake_build,$(FAIL_CLOSED),$(PYTHON),\
	  "-DCMAKE_MODULE_LINKER_FLAGS=-Wl$(comma)--wrap=nettle_aes256_encrypt $(CURDIR)/$(FAIL_CLOSED)/wrong_reference.o")
	RDZ_FAIL_CLOSED_BUILD=$(CURDIR)/$(FAIL_CLOSED) PYTHONPATH=$(CURDIR)/tests $(PYTEST) $(CURDIR)/tests/test_fail_closed.py

A64_BUILD := build/native-arm64
A64_CXX := aarch64-linux-gnu-g++-16
# Static: the programs need neither the sysroot's loader nor its libraries at run time.
A64_LINK = -static $(A64_SYSROOT)/usr/lib/aarch64-linux-gnu/libnettle.a
A64_COMPILE = $(A64_CXX) $(NATIVE_FLAGS) -idirafter $(A64_SYSROOT)/usr/include
A64_DEPS = $(NATIVE_DEPS)

check-native-arm64:
	mkdir -p $(A64_BUILD)
	tools/arm64-sysroot >$(A64_BUILD)/sysroot-path
	$(MAKE) --no-print-directory check-native-arm64-run A64_SYSROOT=$$(cat $(A64_BUILD)/sysroot-path)

$(A64_BUILD)/aes_backends: $(A64_DEPS)
	$(A64_COMPILE) -o $@ tests/native/aes_backends.cpp $(NATIVE_SOURCES) $(A64_LINK)

$(A64_BUILD)/aes_backends_without_aes: $(A64_DEPS) tests/native/without_hwcap_aes.cpp
	$(A64_COMPILE) -Wl,--wrap=getauxval -o $@ tests/native/aes_backends.cpp tests/native/without_hwcap_aes.cpp \
	  $(NATIVE_SOURCES) $(A64_LINK)

A64_COVERAGE := $(A64_BUILD)/coverage
$(A64_COVERAGE)/self_check: $(COVERAGE_DEPS)
	$(call coverage_build,$(A64_COVERAGE),$(A64_CXX),-idirafter $(A64_SYSROOT)/usr/include,$(A64_LINK))

# Each run's output is kept, to check which backend it chose. The self-check's
# coverage is read on qemu's default CPU, where armv8, vperm and bitsliced all run.
check-native-arm64-run: $(A64_BUILD)/aes_backends $(A64_BUILD)/aes_backends_without_aes $(A64_COVERAGE)/self_check
	$(call coverage_check,$(A64_COVERAGE),qemu-aarch64 -L $(A64_SYSROOT),aarch64-linux-gnu-gcov-16)
	qemu-aarch64 -L $(A64_SYSROOT) $(A64_BUILD)/aes_backends >$(A64_BUILD)/with-aes.log \
	  || { cat $(A64_BUILD)/with-aes.log; exit 1; }
	cat $(A64_BUILD)/with-aes.log
	grep -qx 'chosen: armv8' $(A64_BUILD)/with-aes.log || { echo "check-native-arm64: armv8 not chosen"; exit 1; }
	grep -q '^dit .*set inside the guard, restored after *ok' $(A64_BUILD)/with-aes.log \
	  || { echo "check-native-arm64: the default CPU's DIT was not checked"; exit 1; }
	qemu-aarch64 -cpu cortex-a72 -L $(A64_SYSROOT) $(A64_BUILD)/aes_backends_without_aes >$(A64_BUILD)/without-aes.log \
	  || { cat $(A64_BUILD)/without-aes.log; exit 1; }
	cat $(A64_BUILD)/without-aes.log
	grep -q '^armv8 *skipped' $(A64_BUILD)/without-aes.log && grep -qx 'chosen: vperm' $(A64_BUILD)/without-aes.log \
	  || { echo "check-native-arm64: without HWCAP_AES, armv8 ran or vperm was not chosen"; exit 1; }
	grep -q '^dit .*without HWCAP_DIT' $(A64_BUILD)/without-aes.log \
	  || { echo "check-native-arm64: the Cortex-A72 run saw DIT"; exit 1; }

# Each ARM64 path the module may take but the wheel's suite does not (it runs on armv8,
# which qemu's CPU has), in a module cross-built to force it.
A64_PATHS := vperm bitsliced
# vperm is what every ARM64 processor without AES instructions takes, so it runs the
# suite as check-aes runs it (under emulation, two of the files AES_SUITE_SKIP names
# take over six minutes each on this path). No ARM64 processor takes bitsliced by
# itself (all have NEON): it runs the tests that see the AES path (its bytes, in place
# and across calls, and what it leaves behind).
A64_TESTS_vperm := $(CURDIR)/tests $(AES_SUITE_SKIP)
A64_TESTS_bitsliced := $(foreach t,ige ctr ctr_batch message one_pass secrets,$(CURDIR)/tests/test_$(t).py)
A64_FORCED = $(CURDIR)/build/aes-arm64-$(AES_PATH)
A64_FORCED_CMAKE = -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux-gnu.cmake \
  -DCMAKE_POLICY_DEFAULT_CMP0190=NEW -DREDERODIDIZO_SYSROOT=$(A64_SYSROOT) \
  -DREDERODIDIZO_TARGET_PYTHON=$(PYTHON_VERSION) -DREDERODIDIZO_AES=$(AES_PATH)

check-aes-arm64:
	mkdir -p build
	tools/arm64-sysroot >build/aes-arm64-sysroot-path
	for path in $(A64_PATHS); do \
	  echo "check-aes-arm64: the $$path path, under qemu-user"; \
	  $(MAKE) --no-print-directory check-aes-arm64-run AES_PATH=$$path A64_SYSROOT=$$(cat build/aes-arm64-sysroot-path) || exit 1; \
	done

# The interpreter is the sysroot's, emulated, in a directory laid out like a venv
# (arm64_venv, in the Makefile), as make wheels does.
check-aes-arm64-run:
	$(call cmake_build,$(A64_FORCED)/module,$(A64_SYSROOT)/usr/bin/python$(PYTHON_VERSION),$(A64_FORCED_CMAKE))
	$(call arm64_venv,$(A64_FORCED)/venv,$(PYTHON_VERSION),$(A64_SYSROOT))
	cd $(A64_FORCED) && PATH=$(A64_FORCED)/venv/bin:$$PATH PYTHONPATH=$(A64_FORCED)/module RDZ_EMULATOR=qemu-user \
	  $(A64_FORCED)/venv/bin/python -m pytest -q -p no:cacheprovider --rootdir=$(CURDIR)/tests $(A64_TESTS_$(AES_PATH))
