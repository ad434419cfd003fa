# Native checks: C++ drivers that test the module's machine-specific routines
# directly, without the interpreter, against Nettle.
#
#   make check-native   tests/native/vaes_ctr.cpp: the VAES CTR keystream routines
#                       byte for byte against Nettle (those the processor can run)

NATIVE_BUILD := build/native
NATIVE_FLAGS := -std=c++23 -O3 -Wall -Wextra -Werror -fno-exceptions -fno-rtti -Isrc

CHECKS += check-native
.PHONY: check-native

$(NATIVE_BUILD)/vaes_ctr: tests/native/vaes_ctr.cpp src/modes/aes_vaes.cpp src/modes/aes_vaes.hpp \
    src/modes/cpu.cpp src/modes/cpu.hpp
	mkdir -p $(NATIVE_BUILD)
	$(CXX) $(NATIVE_FLAGS) -o $@ tests/native/vaes_ctr.cpp src/modes/aes_vaes.cpp src/modes/cpu.cpp \
	  $$(pkg-config --cflags --libs nettle)

check-native: $(NATIVE_BUILD)/vaes_ctr
	$(NATIVE_BUILD)/vaes_ctr
