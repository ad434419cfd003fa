# Native checks: a C++ driver that tests the module's AES backends directly, without
# the interpreter, against Nettle.
#
#   make check-native   tests/native/aes_backends.cpp: every backend this processor
#                       can run, byte for byte, and the choice among them

NATIVE_BUILD := build/native
NATIVE_FLAGS := -std=c++23 -O3 -Wall -Wextra -Werror -fno-exceptions -fno-rtti -Isrc
NATIVE_SOURCES := src/modes/aes_backend.cpp src/modes/aes_nettle.cpp src/modes/aes_aesni.cpp \
  src/modes/aes_vaes.cpp src/modes/cpu.cpp

CHECKS += check-native
.PHONY: check-native

$(NATIVE_BUILD)/aes_backends: tests/native/aes_backends.cpp $(NATIVE_SOURCES) $(wildcard src/modes/*.hpp src/lib/*.hpp)
	mkdir -p $(NATIVE_BUILD)
	$(CXX) $(NATIVE_FLAGS) -o $@ tests/native/aes_backends.cpp $(NATIVE_SOURCES) $$(pkg-config --cflags --libs nettle)

check-native: $(NATIVE_BUILD)/aes_backends
	$(NATIVE_BUILD)/aes_backends
