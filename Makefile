# make build   builds the extension into build/release
# make test    builds, then runs the test suite against the build tree
# make check   everything CI runs: the suite, then each entry of CHECKS (see mk/)
# make bench   the benchmark suite (mk/bench.mk)
# make wheels  manylinux wheels for x86_64 and aarch64 into dist/, checked and tested (mk/wheels.mk)
#
# Without Python 3.14 headers, Nettle and a C++23 compiler on the host, every target
# re-enters itself inside the project's environment (tools/devenv).

PYTHON ?= python3.14
CXX ?= g++
BUILD := build/release
TARGETS := build test check tsan fuzz bench demo dist wheels clean

HOST_READY := $(shell command -v $(PYTHON) >/dev/null 2>&1 \
  && $(PYTHON) -c 'import os, sys, sysconfig; sys.exit(not os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h")))' 2>/dev/null \
  && pkg-config --exists nettle 2>/dev/null \
  && echo 'int main() {}' | $(CXX) -std=c++23 -x c++ - -o /dev/null 2>/dev/null \
  && echo yes)

.PHONY: $(TARGETS)

ifeq ($(REDERODIDIZO_IN_DEVENV)$(HOST_READY),)

$(TARGETS):
	@tools/devenv $(MAKE) --no-print-directory $@

else

PYTEST := $(PYTHON) -m pytest -q -p no:cacheprovider
# Configures and builds the module into $(1) for the interpreter $(2), with extra
# CMake options $(3).
define cmake_build
	cmake -S . -B $(1) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DPython_EXECUTABLE=$$(command -v $(2)) -DREDERODIDIZO_WERROR=ON $(3) >/dev/null
	cmake --build $(1)
endef

# The fragments come before the rules below: keep `make` alone meaning build.
.DEFAULT_GOAL := build
CHECKS :=
include $(wildcard mk/*.mk)

build:
	$(call cmake_build,$(BUILD),$(PYTHON),)

test: build
	PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTEST) tests

check: test $(CHECKS)

clean:
	rm -rf build dist

endif
