# ThreadSanitizer over the tests that run threads: the module built with
# -fsanitize=thread (build/tsan, -DREDERODIDIZO_TSAN=ON), run under the default
# interpreter ($(PYTHON)) with the runtime preloaded and PYTHONMALLOC=malloc (every object from
# the sanitizer's allocator, so a use of freed storage is seen too).
#
#   make tsan   first the positive control: tools/tsan/race.cpp, a deliberate data
#               race built the same way and driven from two Python threads through
#               ctypes, must be reported (else a clean run would mean nothing); then
#               the tests below, where any report fails the run.
#
# The interpreter is not instrumented: the sanitizer sees our code, and the
# interpreter only through the calls it intercepts (locks, memory functions, the
# allocator). The interpreter lock is a mutex and a condition variable, so what
# threads do while holding it is ordered; what our code does without it is checked.

TSAN_BUILD := build/tsan
TSAN_TESTS := tests/test_threads.py tests/test_ctr_races.py tests/test_stress.py tests/test_shared_stream.py \
  tests/test_scratch.py tests/test_thread_exit.py
TSAN_CONTROL := $(TSAN_BUILD)/control/race.so
# One report directory per run ($(1): control or tests).
TSAN_REPORTS = $(CURDIR)/$(TSAN_BUILD)/reports/$(1)
# exitcode: a run with reports ends with status 66 whatever its own status was.
TSAN_ENV = LD_PRELOAD="$$($(CXX) -print-file-name=libtsan.so)" \
  TSAN_OPTIONS=exitcode=66:halt_on_error=0:log_path=$(call TSAN_REPORTS,$(1))/tsan \
  PYTHONMALLOC=malloc

# Runs the command $(2) under the sanitizer with its reports in $(call TSAN_REPORTS,$(1));
# its output goes to output.txt there, its status to status.
define tsan_run
	rm -rf $(call TSAN_REPORTS,$(1)) && mkdir -p $(call TSAN_REPORTS,$(1))
	{ $(call TSAN_ENV,$(1)) $(2); echo $$? >$(call TSAN_REPORTS,$(1))/status; } 2>&1 | tee $(call TSAN_REPORTS,$(1))/output.txt
endef

CHECKS += tsan
.PHONY: tsan tsan-build tsan-control

tsan-build:
	$(call cmake_build,$(TSAN_BUILD),$(PYTHON),-DREDERODIDIZO_TSAN=ON)

$(TSAN_CONTROL): tools/tsan/race.cpp
	mkdir -p $(dir $@)
	$(CXX) -std=c++23 -O1 -g -fPIC -shared -fsanitize=thread -o $@ $<

tsan-control: $(TSAN_CONTROL)
	$(call tsan_run,control,$(PYTHON) tools/tsan/race.py $(TSAN_CONTROL))
	@status=$$(cat $(call TSAN_REPORTS,control)/status); \
	if [ "$$status" != 66 ]; then echo "race control: status $$status, not the sanitizer's 66"; exit 1; fi; \
	if ! cat $(call TSAN_REPORTS,control)/tsan.* 2>/dev/null | grep -q 'WARNING: ThreadSanitizer: data race'; then \
	  echo "race control: the deliberate race was not reported"; exit 1; fi; \
	if ! cat $(call TSAN_REPORTS,control)/tsan.* | grep -q 'race_on_counter'; then \
	  echo "race control: a report, but not of race_on_counter:"; cat $(call TSAN_REPORTS,control)/tsan.*; exit 1; fi; \
	echo "race control: reported, as it must be"

tsan: tsan-control tsan-build
	$(call tsan_run,tests,env PYTHONPATH=$(CURDIR)/$(TSAN_BUILD) $(PYTEST) $(TSAN_TESTS))
	@if ls $(call TSAN_REPORTS,tests)/tsan.* >/dev/null 2>&1; then \
	  cat $(call TSAN_REPORTS,tests)/tsan.*; echo "ThreadSanitizer reports: see above"; exit 1; fi
	@if grep -q 'ThreadSanitizer' $(call TSAN_REPORTS,tests)/output.txt; then \
	  echo "ThreadSanitizer output in the test run"; exit 1; fi
	@exit $$(cat $(call TSAN_REPORTS,tests)/status)
