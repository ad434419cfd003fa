# Reliability: the whole suite once more under the debug interpreter (its reference
# count totals and internal assertions) and under AddressSanitizer with
# UndefinedBehaviorSanitizer; `make fuzz` is the long property-based run.
#
#   make check-debug   build/debug against python3.14d (Nettle's AES path), the
#                      suite under python3.14d
#   make check-asan    build/asan with -DREDERODIDIZO_SANITIZE=ON, the suite with the
#                      sanitizer runtimes preloaded; any report fails the run
#   make fuzz          tests/test_fuzz.py with FUZZ_EXAMPLES examples per function
#                      (default 20000) against the sanitizer build: about 4 minutes
#                      per function on two cores, so most of an hour

DEBUG_PYTHON := python3.14d
DEBUG_BUILD := build/debug
ASAN_BUILD := build/asan
# One report directory per target ($@), so that `make fuzz` and `make check-asan` may
# run at the same time.
ASAN_REPORTS = $(CURDIR)/$(ASAN_BUILD)/reports/$@
FUZZ_EXAMPLES ?= 20000

# CPython frees nothing at exit, so leak detection would only report the interpreter.
# abort_on_error/halt_on_error make the first report end the process with a failure;
# log_path puts every report (also those of child processes) where the check looks.
# Tests that run a child with LD_PRELOAD set to a shim of their own drop the runtimes
# from its list; verify_asan_link_order=0 lets such a child load the instrumented
# module anyway (the sanitizer then sees less in that child, but it runs).
# PYTHONMALLOC=malloc gives every Python object to the sanitizer's allocator, so an
# overrun of a result object's storage is seen too.
ASAN_ENV = LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1:verify_asan_link_order=0:log_path=$(ASAN_REPORTS)/asan \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(ASAN_REPORTS)/ubsan \
  PYTHONMALLOC=malloc PYTHONPATH=$(CURDIR)/$(ASAN_BUILD)

# Runs pytest on $(1) against the sanitizer build, with the extra environment $(2).
# Fails on pytest's status, on a report file, or on a report text in the output.
define asan_pytest
	rm -rf $(ASAN_REPORTS) && mkdir -p $(ASAN_REPORTS)
	{ $(ASAN_ENV) $(2) $(PYTEST) $(1); echo $$? >$(ASAN_REPORTS)/status; } 2>&1 | tee $(ASAN_REPORTS)/output.txt
	@if ls $(ASAN_REPORTS)/asan.* $(ASAN_REPORTS)/ubsan.* >/dev/null 2>&1; then \
	  cat $(ASAN_REPORTS)/asan.* $(ASAN_REPORTS)/ubsan.* 2>/dev/null; echo "sanitizer reports: see above"; exit 1; fi
	@if grep -E 'ERROR: (Address|Leak)Sanitizer|runtime error:' $(ASAN_REPORTS)/output.txt >/dev/null; then \
	  echo "sanitizer report in the test output"; exit 1; fi
	@exit $$(cat $(ASAN_REPORTS)/status)
endef

CHECKS += check-debug check-asan
.PHONY: check-debug check-asan debug-build asan-build

# Debian's python3.14d include directory is made of links to the release headers, and
# GCC canonicalises system header paths, so without the flag pyconfig.h would be found
# beside the release Python.h and the module built without Py_DEBUG (no debug
# reference counting, no debug assertions in the inline API). Without NDEBUG, the
# assertions of the inline API (and of the module) are compiled in.
# This build also forces Nettle's path (the other AES paths: mk/aes.mk).
debug-build:
	$(call cmake_build,$(DEBUG_BUILD),$(DEBUG_PYTHON),-DCMAKE_CXX_FLAGS=-fno-canonical-system-headers -DCMAKE_CXX_FLAGS_RELEASE=-O2 -DREDERODIDIZO_AES=nettle)

asan-build:
	$(call cmake_build,$(ASAN_BUILD),$(PYTHON),-DREDERODIDIZO_SANITIZE=ON)

check-debug: debug-build
	PYTHONPATH=$(CURDIR)/$(DEBUG_BUILD) $(DEBUG_PYTHON) -m pytest -q -p no:cacheprovider tests

check-asan: asan-build
	$(call asan_pytest,tests)

fuzz: asan-build
	$(call asan_pytest,tests/test_fuzz.py,RDZ_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES))
