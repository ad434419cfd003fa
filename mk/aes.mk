# The AES paths: each one the module can take, tested.
#
#   make check-native   tests/native/aes_backends.cpp: every AES backend this processor
#                       can run, through its table, byte for byte against Nettle, and
#                       the choice among them (a C++ driver, without the interpreter)
#   make check-aes      the suite once more on each path that neither the release
#                       build (the fastest path: VAES where there is VAES) nor the
#                       debug build (Nettle) takes: AES-NI, 256-bit VAES and the
#                       bitsliced path (which needs nothing of the processor), each in
#                       a build that forces it (-DREDERODIDIZO_AES=NAME). A path the
#                       processor lacks is skipped, with a line saying so; a forced
#                       build refuses to load where its path cannot run.

NATIVE_BUILD := build/native
NATIVE_FLAGS := -std=c++23 -O3 -Wall -Wextra -Werror -fno-exceptions -fno-rtti -Isrc
NATIVE_SOURCES := $(wildcard src/aes/*.cpp)
# A forced path and the processor flags it needs.
AES_PATHS := aesni:aes vaes256:vaes,avx2 bitsliced:

CHECKS += check-native check-aes
.PHONY: check-native check-aes aes-build

$(NATIVE_BUILD)/aes_backends: tests/native/aes_backends.cpp $(NATIVE_SOURCES) $(wildcard src/aes/*.hpp src/lib/*.hpp)
	mkdir -p $(NATIVE_BUILD)
	$(CXX) $(NATIVE_FLAGS) -o $@ tests/native/aes_backends.cpp $(NATIVE_SOURCES) $$(pkg-config --cflags --libs nettle)

# The choice in builds that force a path: one that runs here where the processor has
# VAES (and is not the first choice where it also has AVX-512), and one that never runs.
$(NATIVE_BUILD)/aes_choice_%: tests/native/aes_backends.cpp $(NATIVE_SOURCES) $(wildcard src/aes/*.hpp src/lib/*.hpp)
	mkdir -p $(NATIVE_BUILD)
	$(CXX) $(NATIVE_FLAGS) '-DREDERODIDIZO_AES_FORCE="$*"' -o $@ tests/native/aes_backends.cpp $(NATIVE_SOURCES) \
	  $$(pkg-config --cflags --libs nettle)

check-native: $(NATIVE_BUILD)/aes_backends $(NATIVE_BUILD)/aes_choice_vaes256 $(NATIVE_BUILD)/aes_choice_none
	$(NATIVE_BUILD)/aes_backends
	$(NATIVE_BUILD)/aes_choice_vaes256
	$(NATIVE_BUILD)/aes_choice_none

check-aes:
	@set -e; for entry in $(AES_PATHS); do \
	  path=$${entry%%:*}; flags=$$(echo $${entry#*:} | tr , ' '); missing=; \
	  for flag in $$flags; do grep -qw "$$flag" /proc/cpuinfo || missing="$$missing $$flag"; done; \
	  if [ -n "$$missing" ]; then echo "check-aes: $$path skipped, this processor lacks:$$missing"; continue; fi; \
	  echo "check-aes: the suite on the $$path path"; \
	  $(MAKE) --no-print-directory aes-build AES_PATH=$$path; \
	  PYTHONPATH=$(CURDIR)/build/aes-$$path $(PYTEST) tests; \
	done

aes-build:
	$(call cmake_build,build/aes-$(AES_PATH),$(PYTHON),-DREDERODIDIZO_AES=$(AES_PATH))
