# make build   builds the extension into build/release
# make test    builds, then runs the test suite against the build tree
# make test-3.13, make build-3.13, ...
#              the same for each supported version (PYTHON_VERSIONS)
# make check   everything CI runs: the suite on each version, then each entry of
#              CHECKS (see mk/)
# make bench   the benchmark suite (mk/bench.mk); make bench-timing, its timing test alone
# make wheels  manylinux wheels for each version, x86_64 and aarch64, into dist/, checked
#              and tested (mk/wheels.mk)
#
# Without the default interpreter's headers, Nettle and a C++23 compiler on the host,
# every target re-enters itself inside the project's environment (tools/devenv).

# The CPython versions the module supports: each is built and tested by make check,
# and has its wheels. Adding one: this line, the interpreter's packages in
# tools/devenv (release, -dbg, -venv), and tools/python-extras if the suites it
# searches lack its builds of the compiled test dependencies.
PYTHON_VERSIONS := 3.13 3.14 3.15
# tools/arm64-sysroot reads the list from the environment.
export REDERODIDIZO_PYTHON_VERSIONS := $(PYTHON_VERSIONS)
# The default interpreter: `make build`, `make test`, the sanitizers, the tools.
PYTHON ?= python3.14
PYTHON_VERSION := $(patsubst python%,%,$(notdir $(PYTHON)))
CXX ?= g++
BUILD := build/release
TARGETS := build test check tsan fuzz fuzz-properties bench bench-timing demo dist wheels clean \
  $(addprefix build-,$(PYTHON_VERSIONS)) $(addprefix test-,$(PYTHON_VERSIONS))

HOST_READY := $(shell command -v $(PYTHON) >/dev/null 2>&1 \
  && $(PYTHON) -c 'import os, sys, sysconfig; sys.exit(not os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h")))' 2>/dev/null \
  && pkg-config --exists nettle 2>/dev/null \
  && echo 'int main() {}' | $(CXX) -std=c++23 -x c++ - -o /dev/null 2>/dev/null \
  && echo yes)

.PHONY: $(TARGETS)

ifeq ($(REDERODIDIZO_IN_DEVENV)$(HOST_READY),)

# The environment starts with a clear environment (no MAKEFLAGS, no jobserver):
# hand on the one-letter flags (such as -k), the number of jobs and the output
# grouping explicitly.
MAKE_LETTERS := $(filter-out -%,$(firstword $(MAKEFLAGS)))
$(TARGETS):
	@tools/devenv $(MAKE) --no-print-directory $(addprefix -,$(MAKE_LETTERS)) $(filter -j% -O%,$(MAKEFLAGS)) $@

else

PYTEST := $(PYTHON) -m pytest -q -p no:cacheprovider
# Configures and builds the module into $(1) for the interpreter $(2), with extra
# CMake options $(3).
define cmake_build
	cmake -S . -B $(1) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DPython_EXECUTABLE=$$(command -v $(2)) -DREDERODIDIZO_WERROR=ON $(3) >/dev/null
	cmake --build $(1)
endef

# Makes $(1) a directory laid out like a venv for the arm64 sysroot $(3)'s emulated
# python$(2). Child processes of the suite (which run sys.executable) cannot be
# started by the kernel without a binfmt_misc registration, so its bin/python is a
# script that starts qemu-user again, passing its own path as the program's argv[0]:
# the interpreter then finds the pyvenv.cfg beside it and reports that script as
# sys.executable. bin/ also holds gcc and nm for the target, which the suite calls
# (the getrandom shim it preloads must be arm64 code).
define arm64_venv
	rm -rf $(1) && mkdir -p $(1)/bin
	printf 'home = /usr/bin\ninclude-system-site-packages = true\nversion = $(2)\n' >$(1)/pyvenv.cfg
	printf '#!/bin/sh\nexec qemu-aarch64 -L %s -0 "$$0" %s/usr/bin/python$(2) "$$@"\n' $(3) $(3) >$(1)/bin/python
	chmod +x $(1)/bin/python
	ln -s python $(1)/bin/python$(2)
	ln -s /usr/bin/aarch64-linux-gnu-gcc-16 $(1)/bin/gcc
	ln -s /usr/bin/aarch64-linux-gnu-nm $(1)/bin/nm
endef

# The build directory for version $(1): the default interpreter's is $(BUILD).
build_dir = $(if $(filter $(1),$(PYTHON_VERSION)),$(BUILD),build/release-$(1))
# A directory for PYTHONPATH holding version $(1)'s builds of the compiled test
# dependencies Debian has for other versions only (tools/python-extras; the recipe's
# shell runs it). Outside the environment, the system's own are used.
python_extras = $(if $(REDERODIDIZO_CACHE),$$($(CURDIR)/tools/python-extras $(1)))
# PYTHONPATH for the suite on version $(1) against the build in $(2).
suite_path = PYTHONPATH=$(CURDIR)/$(2)$(if $(REDERODIDIZO_CACHE),:$(call python_extras,$(1)))

# The fragments come before the rules below: keep `make` alone meaning build.
.DEFAULT_GOAL := build
CHECKS :=
include $(wildcard mk/*.mk)

build: build-$(PYTHON_VERSION)
test: test-$(PYTHON_VERSION)

$(addprefix build-,$(PYTHON_VERSIONS)): build-%:
	$(call cmake_build,$(call build_dir,$*),python$*,)

$(addprefix test-,$(PYTHON_VERSIONS)): test-%: build-%
	$(call suite_path,$*,$(call build_dir,$*)) python$* -m pytest -q -p no:cacheprovider tests

check: $(addprefix test-,$(PYTHON_VERSIONS)) $(CHECKS)

clean:
	rm -rf build dist

endif
