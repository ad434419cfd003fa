# make build   builds the extension into build/release
# make test    builds, then runs the test suite against the build tree
#
# Without Python 3.14 headers, Nettle and a C++23 compiler on the host, every target
# re-enters itself inside the project's environment (tools/devenv).

PYTHON ?= python3.14
CXX ?= g++
BUILD := build/release
TARGETS := build test clean

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

build:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DPython_EXECUTABLE=$$(command -v $(PYTHON)) -DREDERODIDIZO_WERROR=ON >/dev/null
	cmake --build $(BUILD)

test: build
	PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTEST) tests

clean:
	rm -rf build

endif
