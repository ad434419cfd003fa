# Reliability: the whole suite once more under the debug interpreter (its reference
# count totals and internal assertions) and under AddressSanitizer with
# UndefinedBehaviorSanitizer; `make fuzz-properties` is the long property-based run
# (`make fuzz` is the coverage-guided one, mk/fuzz.mk).
#
#   make check-debug   for each of DEBUG_VERSIONS: build/debug-VERSION against
#                      pythonVERSIONd (Nettle's AES path), the suite under it
#                      (check-debug-3.14 etc. for one)
#   make check-asan    for each of ASAN_VERSIONS (`make check-asan-3.15` for another):
#                      build/asan-VERSION with
#                      -DREDERODIDIZO_SANITIZE=ON, the suite with the sanitizer
#                      runtimes preloaded; any report fails the run
#   make fuzz-properties
#                      tests/test_fuzz.py with FUZZ_EXAMPLES examples per function
#                      (default 20000) against the default interpreter's sanitizer
#                      build: about 4 minutes per function on two cores, so most of
#                      an hour

# The debug interpreter on every version. The sanitizers on the default version and
# on the oldest, the only one that compiles binding/compat.hpp: the others run the
# same code as the default.
DEBUG_VERSIONS ?= $(PYTHON_VERSIONS)
ASAN_VERSIONS ?= $(sort $(firstword $(PYTHON_VERSIONS)) $(PYTHON_VERSION))
DEBUG_BUILD = build/debug-$(1)
ASAN_BUILD = build/asan-$(1)
# One report directory per target ($@), so that `make fuzz-properties` and `make check-asan` may
# run at the same time.
ASAN_REPORTS = $(CURDIR)/build/asan-reports/$@
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
  PYTHONMALLOC=malloc

# Runs pytest on $(1) under python$(3) against its sanitizer build, with the extra
# environment $(2). Fails on pytest's status, on a report file, or on a report text
# in the output.
define asan_pytest
	rm -rf $(ASAN_REPORTS) && mkdir -p $(ASAN_REPORTS)
	{ $(ASAN_ENV) $(call suite_path,$(3),$(call ASAN_BUILD,$(3))) $(2) \
	  python$(3) -m pytest -q -p no:cacheprovider $(1); echo $$? >$(ASAN_REPORTS)/status; } 2>&1 | tee $(ASAN_REPORTS)/output.txt
	@if ls $(ASAN_REPORTS)/asan.* $(ASAN_REPORTS)/ubsan.* >/dev/null 2>&1; then \
	  cat $(ASAN_REPORTS)/asan.* $(ASAN_REPORTS)/ubsan.* 2>/dev/null; echo "sanitizer reports: see above"; exit 1; fi
	@if grep -E 'ERROR: (Address|Leak)Sanitizer|runtime error:' $(ASAN_REPORTS)/output.txt >/dev/null; then \
	  echo "sanitizer report in the test output"; exit 1; fi
	@exit $$(cat $(ASAN_REPORTS)/status)
endef

CHECKS += check-debug check-asan
.PHONY: check-debug check-asan fuzz-properties $(foreach v,$(PYTHON_VERSIONS),check-debug-$(v) check-asan-$(v) debug-build-$(v) asan-build-$(v))

# Debian's pythonVERSIONd include directory is made of links to the release headers, and
# GCC canonicalises system header paths, so without the flag pyconfig.h would be found
# beside the release Python.h and the module built without Py_DEBUG (no debug
# reference counting, no debug assertions in the inline API). Without NDEBUG, the
# assertions of the inline API (and of the module) are compiled in.
# This build also forces Nettle's path (the other AES paths: mk/aes.mk).
$(addprefix debug-build-,$(PYTHON_VERSIONS)): debug-build-%:
	$(call cmake_build,$(call DEBUG_BUILD,$*),python$*d,-DCMAKE_CXX_FLAGS=-fno-canonical-system-headers -DCMAKE_CXX_FLAGS_RELEASE=-O2 -DREDERODIDIZO_AES=nettle)

$(addprefix asan-build-,$(PYTHON_VERSIONS)): asan-build-%:
	$(call cmake_build,$(call ASAN_BUILD,$*),python$*,-DREDERODIDIZO_SANITIZE=ON)

check-debug: $(addprefix check-debug-,$(DEBUG_VERSIONS))
check-asan: $(addprefix check-asan-,$(ASAN_VERSIONS))

$(addprefix check-debug-,$(PYTHON_VERSIONS)): check-debug-%: debug-build-%
	$(call suite_path,$*,$(call DEBUG_BUILD,$*)) python$*d -m pytest -q -p no:cacheprovider tests

$(addprefix check-asan-,$(PYTHON_VERSIONS)): check-asan-%: asan-build-%
	$(call asan_pytest,tests,,$*)

fuzz-properties: asan-build-$(PYTHON_VERSION)
	$(call asan_pytest,tests/test_fuzz.py,RDZ_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES),$(PYTHON_VERSION))
