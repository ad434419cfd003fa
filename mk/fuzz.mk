# Coverage-guided differential fuzzing (libFuzzer, with AddressSanitizer and
# UndefinedBehaviorSanitizer, built by clang). The harnesses are in tests/fuzz/:
#
#   aes       every AES backend this processor runs against Nettle: IGE both ways
#             and CTR, any key, vector, counter (also just below the 2^64 and 2^128
#             carries), length, placement and alignment (aes_paths.cpp)
#   stream    the resumable CTR stream code on every backend, from any offset 0 to
#             15, in one call and split into pieces, against Nettle (ctr_stream.cpp)
#   message   unpack_message and pack_message called through an embedded interpreter,
#             judged by a reference of the message layout written in the harness:
#             the exact documented ValueError or the exact result (message.cpp)
#
#   make fuzz                     every target for FUZZ_SECONDS (default 600) each, one
#                                 after the other; prints executions and coverage
#   make fuzz-aes FUZZ_SECONDS=60 one target
#   make check-fuzz               what CI runs: each target for FUZZ_CHECK_SECONDS over
#                                 the seed corpus
#   make check-fuzz-arm64         the same harnesses built as plain replay drivers
#                                 (tests/fuzz/replay.cpp, no libFuzzer) for ARM64 and run
#                                 over the seed corpus under qemu-user: aes and stream on
#                                 armv8, vperm on NEON and bitsliced (each run covers every
#                                 backend the emulated processor runs)
#
# The seed corpus is tests/fuzz/corpus/TARGET (made by tests/fuzz/seeds.py); what a run
# adds goes to build/fuzz/corpus/TARGET, which the next run starts from. A finding
# leaves its input in build/fuzz/findings/TARGET/ and prints the command that replays it.

FUZZ := build/fuzz
FUZZ_TARGETS := aes stream message
FUZZ_SECONDS ?= 600
FUZZ_CHECK_SECONDS ?= 30
FUZZ_CXX := clang++
FUZZ_SANITIZE := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
FUZZ_FLAGS := -std=c++23 -O2 -g -Wall -Wextra -Werror -fno-exceptions -fno-rtti -Isrc -Itests/fuzz $(FUZZ_SANITIZE)
FUZZ_AES_SOURCES := $(wildcard src/aes/*.cpp)
FUZZ_MODULE_SOURCES := $(wildcard src/*.cpp src/*/*.cpp)
FUZZ_HEADERS := $(wildcard src/*/*.hpp tests/fuzz/*.hpp)
FUZZ_SOURCES_aes := tests/fuzz/aes_paths.cpp $(FUZZ_AES_SOURCES)
FUZZ_SOURCES_stream := tests/fuzz/ctr_stream.cpp $(FUZZ_AES_SOURCES) src/modes/ctr.cpp
FUZZ_SOURCES_message := tests/fuzz/message.cpp $(FUZZ_MODULE_SOURCES)
# The message target embeds the default interpreter.
FUZZ_LIBS_message = $$($(PYTHON)-config --includes) $$($(PYTHON)-config --embed --ldflags)
# Inputs longer than the harnesses read gain nothing: their data is filled out from
# the input by the harness (tests/fuzz/input.hpp), whatever its length.
FUZZ_OPTIONS := -max_len=4096 -timeout=60 -print_final_stats=1

CHECKS += check-fuzz check-fuzz-arm64
.PHONY: check-fuzz check-fuzz-arm64 check-fuzz-arm64-run $(addprefix fuzz-,$(FUZZ_TARGETS)) \
  $(addprefix check-fuzz-,$(FUZZ_TARGETS))

$(addprefix $(FUZZ)/,$(FUZZ_TARGETS)): $(FUZZ)/%: $(FUZZ_MODULE_SOURCES) $(FUZZ_HEADERS) $(wildcard tests/fuzz/*.cpp)
	mkdir -p $(FUZZ)
	$(FUZZ_CXX) $(FUZZ_FLAGS) -fsanitize=fuzzer -o $@ $(FUZZ_SOURCES_$*) $$(pkg-config --cflags --libs nettle) \
	  $(FUZZ_LIBS_$*)

# fuzz_run TARGET, SECONDS: runs the target that long from its working corpus and the
# seeds; on a finding, names the input it left and the command that replays it.
define fuzz_run
	@mkdir -p $(FUZZ)/corpus/$(1) $(FUZZ)/findings/$(1)
	@echo "fuzz: $(1) for $(2) s"
	@status=0; $(FUZZ)/$(1) $(FUZZ_OPTIONS) -max_total_time=$(2) -artifact_prefix=$(FUZZ)/findings/$(1)/ \
	  $(FUZZ)/corpus/$(1) tests/fuzz/corpus/$(1) >$(FUZZ)/$(1).log 2>&1 || status=$$?; \
	grep -E '^fuzz:|^#[0-9]+ +DONE|^stat::number_of_executed_units|^stat::average_exec_per_sec' $(FUZZ)/$(1).log; \
	if [ $$status -ne 0 ]; then \
	  tail -n 60 $(FUZZ)/$(1).log; \
	  input=$$(sed -n 's/.*Test unit written to \(.*\)$$/\1/p' $(FUZZ)/$(1).log | tail -1); \
	  echo "fuzz: FINDING in $(1) (exit $$status; log $(FUZZ)/$(1).log), input $$input"; \
	  echo "fuzz: replay with: tools/devenv $(FUZZ)/$(1) $$input"; \
	  exit 1; \
	fi
endef

fuzz: $(addprefix fuzz-,$(FUZZ_TARGETS))

$(addprefix fuzz-,$(FUZZ_TARGETS)): fuzz-%: $(FUZZ)/%
	$(call fuzz_run,$*,$(FUZZ_SECONDS))

check-fuzz: $(addprefix check-fuzz-,$(FUZZ_TARGETS))

$(addprefix check-fuzz-,$(FUZZ_TARGETS)): check-fuzz-%: $(FUZZ)/%
	$(call fuzz_run,$*,$(FUZZ_CHECK_SECONDS))

# ---- ARM64 ----------------------------------------------------------------------

FUZZ_A64 := $(FUZZ)/arm64
FUZZ_A64_TARGETS := aes stream

check-fuzz-arm64:
	mkdir -p $(FUZZ_A64)
	tools/arm64-sysroot >$(FUZZ_A64)/sysroot-path
	$(MAKE) --no-print-directory check-fuzz-arm64-run A64_SYSROOT=$$(cat $(FUZZ_A64)/sysroot-path)

# A64_COMPILE and A64_LINK (mk/aes.mk): the cross compiler, static, with the sysroot's Nettle.
$(addprefix $(FUZZ_A64)/,$(FUZZ_A64_TARGETS)): $(FUZZ_A64)/%: $(FUZZ_MODULE_SOURCES) $(FUZZ_HEADERS) $(wildcard tests/fuzz/*.cpp)
	$(A64_COMPILE) -Itests/fuzz -o $@ tests/fuzz/replay.cpp $(FUZZ_SOURCES_$*) $(A64_LINK)

# Each run must have covered armv8, vperm and bitsliced.
check-fuzz-arm64-run: $(addprefix $(FUZZ_A64)/,$(FUZZ_A64_TARGETS))
	@set -e; for target in $(FUZZ_A64_TARGETS); do \
	  qemu-aarch64 -L $(A64_SYSROOT) $(FUZZ_A64)/$$target tests/fuzz/corpus/$$target >$(FUZZ_A64)/$$target.log 2>&1 \
	    || { cat $(FUZZ_A64)/$$target.log; echo "check-fuzz-arm64: $$target failed"; exit 1; }; \
	  backends=$$(sed -n 's/^fuzz: backends run://p' $(FUZZ_A64)/$$target.log | head -1); \
	  for path in armv8 vperm bitsliced; do \
	    echo " $$backends " | grep -q " $$path " || { echo "check-fuzz-arm64: $$target did not run $$path"; exit 1; }; \
	  done; \
	  echo "check-fuzz-arm64: $$target on$$backends: $$(tail -n 1 $(FUZZ_A64)/$$target.log)"; \
	done
