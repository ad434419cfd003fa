# make bench: times the module beside hashlib, cryptography, OpenSSL and the limits
# of AES-NI and VAES; prints a Markdown table and writes bench/results/ (bench/bench.py).
# The paths a processor without AES instructions takes are timed in builds forced to
# them (mk/aes.mk), beside OpenSSL's own software paths (through cryptography, with
# AES-NI hidden from it) and a build forced to Nettle's table AES. The timing test
# below runs as one of its families.
#
# make bench-timing: the timing test alone (bench/timing.cpp): Welch's t between the
# timings of fixed and random secret inputs, for every AES backend this processor runs,
# beside a planted leak that must be detected. It is not a check: on a shared machine a
# noisy run may miss the control (and then says it proves nothing).
BENCH_PATHS := vperm256 vperm bitsliced nettle
TIMING_DRIVER := build/bench/timing
TIMING_MEASUREMENTS := 1000000
TIMING_COMMAND = $(CURDIR)/$(TIMING_DRIVER) $(TIMING_MEASUREMENTS)

.PHONY: bench-timing

TIMING_DEPS := bench/timing.cpp bench/welch.hpp bench/cycle_counter.hpp bench/planted_leak.hpp \
  $(wildcard src/aes/*.cpp src/aes/*.hpp src/lib/*.hpp)

$(TIMING_DRIVER): $(TIMING_DEPS)
	mkdir -p $(dir $@)
	$(CXX) $(NATIVE_FLAGS) -o $@ bench/timing.cpp $(wildcard src/aes/*.cpp) $$(pkg-config --cflags --libs nettle)

# check-native and check-native-arm64 (mk/aes.mk) build the driver for each
# architecture and do not run it (timings are no check), so that a change to the
# backends that breaks it shows in CI.
check-native: $(TIMING_DRIVER)
check-native-arm64-run: build/native-arm64/timing
build/native-arm64/timing: $(TIMING_DEPS)
	mkdir -p $(dir $@)
	$(A64_COMPILE) -o $@ bench/timing.cpp $(NATIVE_SOURCES) $(A64_LINK)

# Nettle (timed for information) encrypts with its tables, not with AES-NI; bench.py
# sets the same.
bench-timing: $(TIMING_DRIVER)
	NETTLE_FAT_OVERRIDE=none $(TIMING_COMMAND)

bench: build $(TIMING_DRIVER)
	@for path in $(BENCH_PATHS); do $(MAKE) --no-print-directory aes-build AES_PATH=$$path >/dev/null; done
	RDZ_BENCH_PATHS="$(foreach p,$(BENCH_PATHS),$(p)=$(CURDIR)/build/aes-$(p))" RDZ_TIMING="$(TIMING_COMMAND)" \
	  PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTHON) bench/bench.py
