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
#   make fuzz-merge               adds to the seed corpus the inputs of build/fuzz/corpus
#                                 that reach coverage the seeds do not (libFuzzer's -merge)
#   make check-fuzz-arm64         the same harnesses built as plain replay drivers
#                                 (tests/fuzz/replay.cpp, no libFuzzer) for ARM64 and run
#                                 over the seed corpus under qemu-user: aes and stream on
#                                 armv8, vperm on NEON and bitsliced (each run covers every
#                                 backend the emulated processor runs), message in a module
#                                 forced to each of the three
#
# The seed corpus is tests/fuzz/corpus/TARGET: the hand-made seeds of tests/fuzz/seeds.py
# (seed-*) and what make fuzz-merge kept of earlier runs (named by their SHA-1). What a
# run adds goes to build/fuzz/corpus/TARGET, which the next run starts from. A finding
# leaves its input in build/fuzz/findings/TARGET/ and prints the command that replays it.

FUZZ ?= build/fuzz
# The sources and seeds fuzzed: a copy with a planted fault, from no seeds, shows that
# a target finds it (make fuzz-aes FUZZ=build/plant FUZZ_SRC=build/plant/src
# FUZZ_SEEDS=build/plant/no-seeds).
FUZZ_SRC ?= src
FUZZ_SEEDS ?= tests/fuzz/corpus
FUZZ_TARGETS := aes stream message
FUZZ_SECONDS ?= 600
FUZZ_CHECK_SECONDS ?= 30
FUZZ_CXX := clang++
FUZZ_SANITIZE := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
FUZZ_FLAGS := -std=c++23 -O2 -g -Wall -Wextra -Werror -fno-exceptions -fno-rtti -I$(FUZZ_SRC) -Itests/fuzz \
  $(FUZZ_SANITIZE)
FUZZ_AES_SOURCES := $(wildcard $(FUZZ_SRC)/aes/*.cpp)
FUZZ_MODULE_SOURCES := $(wildcard $(FUZZ_SRC)/*.cpp $(FUZZ_SRC)/*/*.cpp)
FUZZ_HEADERS := $(wildcard $(FUZZ_SRC)/*/*.hpp tests/fuzz/*.hpp)
FUZZ_SOURCES_aes := tests/fuzz/aes_paths.cpp $(FUZZ_AES_SOURCES)
FUZZ_SOURCES_stream := tests/fuzz/ctr_stream.cpp $(FUZZ_AES_SOURCES) $(FUZZ_SRC)/modes/ctr.cpp
FUZZ_SOURCES_message := tests/fuzz/message.cpp $(FUZZ_MODULE_SOURCES)
# The message target embeds the default interpreter.
FUZZ_LIBS_message = $$($(PYTHON)-config --includes) $$($(PYTHON)-config --embed --ldflags)
# Inputs longer than the harnesses read gain nothing: their data is filled out from
# the input by the harness (tests/fuzz/input.hpp), whatever its length.
FUZZ_OPTIONS := -max_len=4096 -timeout=60 -print_final_stats=1

CHECKS += check-fuzz check-fuzz-arm64
.PHONY: check-fuzz check-fuzz-arm64 check-fuzz-arm64-run fuzz-merge $(addprefix fuzz-,$(FUZZ_TARGETS)) \
  $(addprefix check-fuzz-,$(FUZZ_TARGETS))

$(addprefix $(FUZZ)/,$(FUZZ_TARGETS)): $(FUZZ)/%: $(FUZZ_MODULE_SOURCES) $(FUZZ_HEADERS) $(wildcard tests/fuzz/*.cpp)
	mkdir -p $(FUZZ)
	$(FUZZ_CXX) $(FUZZ_FLAGS) -fsanitize=fuzzer -o $@ $(FUZZ_SOURCES_$*) $$(pkg-config --cflags --libs nettle) \
	  $(FUZZ_LIBS_$*)

# fuzz_run TARGET, SECONDS: runs the target that long from its working corpus and the
# seeds; on a finding, names the input it left and the command that replays it.
define fuzz_run
	@mkdir -p $(FUZZ)/corpus/$(1) $(FUZZ)/findings/$(1) $(FUZZ_SEEDS)/$(1)
	@echo "fuzz: $(1) for $(2) s"
	@status=0; $(FUZZ)/$(1) $(FUZZ_OPTIONS) -max_total_time=$(2) -artifact_prefix=$(FUZZ)/findings/$(1)/ \
	  $(FUZZ)/corpus/$(1) $(FUZZ_SEEDS)/$(1) >$(FUZZ)/$(1).log 2>&1 || status=$$?; \
	grep -E '^fuzz:' $(FUZZ)/$(1).log; \
	if [ $$status -eq 0 ]; then \
	  echo "fuzz: $(1): 0 findings, $$(grep -E '^#[0-9]+[[:space:]]+DONE' $(FUZZ)/$(1).log | tr -s ' \t' ' ')"; \
	else \
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

fuzz-merge: $(addprefix $(FUZZ)/,$(FUZZ_TARGETS))
	@for target in $(FUZZ_TARGETS); do \
	  $(FUZZ)/$$target -merge=1 $(FUZZ_SEEDS)/$$target $(FUZZ)/corpus/$$target 2>&1 | grep 'MERGE-OUTER: .* new files' \
	    | sed "s/^/fuzz-merge: $$target: /"; \
	done

check-fuzz: $(addprefix check-fuzz-,$(FUZZ_TARGETS))

$(addprefix check-fuzz-,$(FUZZ_TARGETS)): check-fuzz-%: $(FUZZ)/%
	$(call fuzz_run,$*,$(FUZZ_CHECK_SECONDS))

# ---- ARM64 ----------------------------------------------------------------------

FUZZ_A64 := $(FUZZ)/arm64
FUZZ_A64_TARGETS := aes stream
# The message harness embeds the sysroot's interpreter (linked dynamically: qemu-user's
# -L finds it and its standard library in the sysroot) in a module forced to each path.
FUZZ_A64_PATHS := armv8 vperm bitsliced
FUZZ_A64_MESSAGES := $(addprefix $(FUZZ_A64)/message-,$(FUZZ_A64_PATHS))
FUZZ_A64_PYTHON = -I$(A64_SYSROOT)/usr/include/python$(PYTHON_VERSION)
FUZZ_A64_LIBPYTHON = $(A64_SYSROOT)/usr/lib/aarch64-linux-gnu/libpython$(PYTHON_VERSION).so \
  -Wl,-rpath-link,$(A64_SYSROOT)/usr/lib/aarch64-linux-gnu
# Only these two sources read the forced path; the rest is compiled once for all three.
FUZZ_A64_FORCED := $(FUZZ_SRC)/aes/backend.cpp $(FUZZ_SRC)/module.cpp
FUZZ_A64_SHARED := $(patsubst %.cpp,$(FUZZ_A64)/objects/%.o,tests/fuzz/replay.cpp tests/fuzz/message.cpp \
  $(filter-out $(FUZZ_A64_FORCED),$(FUZZ_MODULE_SOURCES)))

check-fuzz-arm64:
	mkdir -p $(FUZZ_A64)
	tools/arm64-sysroot >$(FUZZ_A64)/sysroot-path
	$(MAKE) --no-print-directory check-fuzz-arm64-run A64_SYSROOT=$$(cat $(FUZZ_A64)/sysroot-path)

# A64_COMPILE and A64_LINK (mk/aes.mk): the cross compiler, static, with the sysroot's
# Nettle. Its -Isrc comes after -iquote: the headers are FUZZ_SRC's.
FUZZ_A64_COMPILE = $(A64_COMPILE) -iquote $(FUZZ_SRC) -iquote tests/fuzz
FUZZ_A64_DEPENDS := $(FUZZ_MODULE_SOURCES) $(FUZZ_HEADERS) $(wildcard tests/fuzz/*.cpp)
$(addprefix $(FUZZ_A64)/,$(FUZZ_A64_TARGETS)): $(FUZZ_A64)/%: $(FUZZ_A64_DEPENDS)
	$(FUZZ_A64_COMPILE) -o $@ tests/fuzz/replay.cpp $(FUZZ_SOURCES_$*) $(A64_LINK)

$(FUZZ_A64)/objects/%.o: %.cpp $(FUZZ_HEADERS)
	@mkdir -p $(dir $@)
	$(FUZZ_A64_COMPILE) $(FUZZ_A64_PYTHON) -c -o $@ $<

$(FUZZ_A64_MESSAGES): $(FUZZ_A64)/message-%: $(FUZZ_A64_SHARED) $(FUZZ_A64_FORCED) $(FUZZ_HEADERS)
	$(FUZZ_A64_COMPILE) $(FUZZ_A64_PYTHON) '-DREDERODIDIZO_AES_FORCE="$*"' -o $@ $(FUZZ_A64_SHARED) $(FUZZ_A64_FORCED) \
	  $(A64_SYSROOT)/usr/lib/aarch64-linux-gnu/libnettle.a $(FUZZ_A64_LIBPYTHON)

# fuzz_a64_replay NAME, PROGRAM, TARGET: runs PROGRAM over TARGET's seeds under
# qemu-user, its output in NAME.log; on a finding, prints the last lines and the
# command that replays the input it came from.
fuzz_a64_replay = qemu-aarch64 -L $(A64_SYSROOT) $(2) $(FUZZ_SEEDS)/$(3) >$(FUZZ_A64)/$(1).log 2>&1 \
  || { grep -v '^replay: running' $(FUZZ_A64)/$(1).log | tail -n 40; \
       input=$$(sed -n 's/^replay: running //p' $(FUZZ_A64)/$(1).log | tail -1); \
       echo "check-fuzz-arm64: FINDING in $(1), input $$input"; \
       echo "check-fuzz-arm64: replay with: tools/devenv qemu-aarch64 -L $(A64_SYSROOT) $(2) $$input"; exit 1; }

# aes and stream must each have run armv8, vperm and bitsliced; each message program
# must have taken its path.
check-fuzz-arm64-run: $(addprefix $(FUZZ_A64)/,$(FUZZ_A64_TARGETS)) $(FUZZ_A64_MESSAGES)
	@set -e; for target in $(FUZZ_A64_TARGETS); do \
	  $(call fuzz_a64_replay,$$target,$(FUZZ_A64)/$$target,$$target); \
	  backends=$$(sed -n 's/^fuzz: backends run://p' $(FUZZ_A64)/$$target.log | head -1); \
	  for path in $(FUZZ_A64_PATHS); do \
	    echo " $$backends " | grep -q " $$path " || { echo "check-fuzz-arm64: $$target did not run $$path"; exit 1; }; \
	  done; \
	  echo "check-fuzz-arm64: $$target on$$backends: $$(tail -n 1 $(FUZZ_A64)/$$target.log)"; \
	done
	@set -e; for path in $(FUZZ_A64_PATHS); do \
	  $(call fuzz_a64_replay,message-$$path,$(FUZZ_A64)/message-$$path,message); \
	  grep -qx "fuzz: the module's AES path: $$path" $(FUZZ_A64)/message-$$path.log \
	    || { cat $(FUZZ_A64)/message-$$path.log; echo "check-fuzz-arm64: message did not take $$path"; exit 1; }; \
	  echo "check-fuzz-arm64: message on $$path: $$(tail -n 1 $(FUZZ_A64)/message-$$path.log)"; \
	done
