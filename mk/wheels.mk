# make wheels: binary wheels that install without a compiler, one cp314 wheel for
# x86_64 and one for aarch64, into dist/ (replacing any wheel there; the sdist stays).
#
# Each is built with Nettle and the C++ runtime linked in statically and unreferenced
# sections dropped, repaired and tagged by auditwheel (the oldest manylinux policy its
# symbol versions allow), checked by tools/wheel_audit.py and then tested:
#   x86_64   installed into a fresh venv and the whole suite run against it, with
#            every copy of the system's libnettle hidden (bubblewrap binds /dev/null
#            over them), so the module can only use the Nettle linked into it;
#   aarch64  installed with pip under qemu-user by Debian's arm64 Python 3.14 and the
#            whole suite run there. The arm64 sysroot (tools/arm64-sysroot) is made
#            once and kept outside the clone.
# The check fails a wheel whose module needs more than libc, libm, the loader and
# the libstdc++/libgcc_s versions its policy allows, exports anything but the entry
# point, carries another shared object, or whose policy is above WHEEL_MAX_POLICY.
# It prints the policy each wheel reached and the C library symbols that set it,
# traced through the link map to the runtime object and to our code that needs them.
#
#   make wheels                                   both wheels, checked and tested
#   make wheels WHEEL_MAX_POLICY=manylinux_2_34   another ceiling
#   make wheels WHEEL_TEST_ARGS='-k ige'          fewer tests in both test runs

WHEEL_MAX_POLICY ?= manylinux_2_28
WHEEL_TEST_ARGS ?=
WHEELS := $(CURDIR)/build/wheels
# Both builds: the linked-in libraries, warnings as errors, and a link map for the
# origin report (written beside the objects, whose paths it names relative to it).
WHEEL_DEFINES := $(foreach d,REDERODIDIZO_STATIC_NETTLE REDERODIDIZO_STATIC_RUNTIME \
  REDERODIDIZO_GC_SECTIONS REDERODIDIZO_WERROR,-C cmake.define.$(d)=ON)
# Builds the wheel for $(1) (x86_64 or aarch64) with scikit-build-core into
# $(WHEELS)/raw-$(1), with extra build settings $(2); the environment comes first.
define wheel_build
	rm -rf $(WHEELS)/raw-$(1)
	$(PYTHON) -m build --wheel --no-isolation --outdir $(WHEELS)/raw-$(1) \
	  -C build-dir=$(WHEELS)/build-$(1) $(WHEEL_DEFINES) \
	  -C cmake.define.CMAKE_MODULE_LINKER_FLAGS=-Wl,-Map,$(WHEELS)/build-$(1)/link.map $(2) . >$(WHEELS)/build-$(1).log 2>&1 \
	  || { tail -n 40 $(WHEELS)/build-$(1).log; exit 1; }
	auditwheel repair --wheel-dir $(WHEELS)/repaired-$(1) $(WHEELS)/raw-$(1)/*.whl >$(WHEELS)/repair-$(1).log 2>&1 \
	  || { cat $(WHEELS)/repair-$(1).log; exit 1; }
	mv $(WHEELS)/repaired-$(1)/*.whl dist/ && rmdir $(WHEELS)/repaired-$(1)
	auditwheel show dist/rederodidizo-*_$(1).whl
	$(PYTHON) tools/wheel_audit.py wheel dist/rederodidizo-*_$(1).whl \
	  --max-policy $(WHEEL_MAX_POLICY) --map $(WHEELS)/build-$(1)/link.map
endef

.PHONY: wheels wheel-dist-clean wheel-x86_64 wheel-aarch64 wheel-aarch64-build wheel-test-x86_64 wheel-test-aarch64
wheels: wheel-test-x86_64 wheel-test-aarch64
	@ls -l dist/*.whl

# Both wheels land in dist/; the rest stays under build/wheels.
wheel-dist-clean:
	mkdir -p dist $(WHEELS)
	rm -f dist/*.whl

wheel-x86_64: wheel-dist-clean
	$(call wheel_build,x86_64,)

# Cross-compiled by Debian's g++-16-aarch64-linux-gnu, still through scikit-build-core
# (the wheel's metadata, stubs and layout come from the same pyproject.toml as the
# native one, rather than from a second wheel writer kept in step by hand):
# - cmake/aarch64-linux-gnu.cmake names the compiler and the sysroot, and runs the
#   sysroot's own python3.14 under qemu-user for FindPython, so the module gets the
#   target's extension suffix and include directory (the build machine's interpreter
#   would name it for x86_64); python-hints=false keeps scikit-build-core from handing
#   FindPython the build machine's interpreter, and policy CMP0190 lets FindPython
#   run an interpreter through the emulator when cross-compiling;
# - _PYTHON_HOST_PLATFORM=linux-aarch64 makes scikit-build-core tag the wheel for the
#   target, and SETUPTOOLS_EXT_SUFFIX gives it the target's suffix (SKBUILD_SOABI).
wheel-aarch64: wheel-dist-clean
	tools/arm64-sysroot >$(WHEELS)/sysroot-path
	sysroot=$$(cat $(WHEELS)/sysroot-path) && \
	  export REDERODIDIZO_SYSROOT=$$sysroot _PYTHON_HOST_PLATFORM=linux-aarch64 \
	    SETUPTOOLS_EXT_SUFFIX=$$($$sysroot/usr/bin/aarch64-linux-gnu-python3.14-config --extension-suffix) && \
	  $(MAKE) --no-print-directory wheel-aarch64-build

wheel-aarch64-build:
	$(call wheel_build,aarch64,-C cmake.define.CMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux-gnu.cmake -C cmake.python-hints=false -C cmake.define.CMAKE_POLICY_DEFAULT_CMP0190=NEW)

# Runs the suite in the interpreter $(1) after checking that `import rederodidizo`
# finds the installed module (ECO_SUITE, mk/ecosystem.mk), in a scratch directory so
# that the clone's build tree is not on the path.
define wheel_suite
	rm -rf $(WHEELS)/run && mkdir -p $(WHEELS)/run
	cd $(WHEELS)/run && env -u PYTHONPATH $(2) $(1) -c '$(ECO_SUITE)' \
	  -q -p no:cacheprovider --rootdir=$(CURDIR)/tests $(WHEEL_TEST_ARGS) $(CURDIR)/tests
endef

# Every file of the system's Nettle, seen through /dev/null inside the test's sandbox.
WHEEL_HIDE = $$(realpath /usr/lib/$$($(CXX) -print-multiarch)/libnettle* | sort -u | sed 's|^|--ro-bind /dev/null |')
WHEEL_NO_NETTLE = bwrap --unshare-user --dev-bind / / $(WHEEL_HIDE) --

wheel-test-x86_64: wheel-x86_64
	rm -rf $(WHEELS)/venv-x86_64
	$(PYTHON) -m venv --system-site-packages $(WHEELS)/venv-x86_64
	$(WHEELS)/venv-x86_64/bin/python -m pip install --quiet --no-deps --no-index dist/rederodidizo-*_x86_64.whl
	@# The sandbox must really lack Nettle, or this test proves nothing.
	@if $(WHEEL_NO_NETTLE) $(PYTHON) -c 'import ctypes; ctypes.CDLL("libnettle.so.8")' 2>/dev/null; then \
	  echo "libnettle.so.8 still loads inside the sandbox"; exit 1; fi
	$(WHEEL_NO_NETTLE) env NETTLE_FAT_VERBOSE=1 $(WHEELS)/venv-x86_64/bin/python -c '$(WHEEL_IMPORT)'
	$(call wheel_suite,$(WHEEL_NO_NETTLE) $(WHEELS)/venv-x86_64/bin/python,)

# Nettle reports (on stderr) which AES and SHA code its fat build chose on this CPU.
WHEEL_IMPORT = import platform, rederodidizo as r; \
  r.ige256_encrypt(bytes(16), bytes(32), bytes(32)); r.sha256_digest(b""); \
  print(platform.machine(), "wheel imported from", r.__file__, flush=True)

# The emulated interpreter. Child processes of the suite (which run sys.executable)
# cannot be started by the kernel without a binfmt_misc registration, so the venv's
# bin/python is a script that starts qemu-user again, passing its own path as the
# program's argv[0]: the interpreter then finds the venv's pyvenv.cfg beside it and
# reports that script as sys.executable. The venv's bin/ also holds gcc and nm for the
# target, which the suite calls (the getrandom shim it preloads must be arm64 code).
WHEEL_VENV_A64 := $(WHEELS)/venv-aarch64

wheel-test-aarch64: wheel-aarch64
	rm -rf $(WHEEL_VENV_A64) && mkdir -p $(WHEEL_VENV_A64)/bin
	printf 'home = /usr/bin\ninclude-system-site-packages = true\nversion = 3.14\n' >$(WHEEL_VENV_A64)/pyvenv.cfg
	printf '#!/bin/sh\nexec qemu-aarch64 -L %s -0 "$$0" %s/usr/bin/python3.14 "$$@"\n' \
	  "$$(cat $(WHEELS)/sysroot-path)" "$$(cat $(WHEELS)/sysroot-path)" >$(WHEEL_VENV_A64)/bin/python
	chmod +x $(WHEEL_VENV_A64)/bin/python
	ln -s python $(WHEEL_VENV_A64)/bin/python3.14
	ln -s /usr/bin/aarch64-linux-gnu-gcc-16 $(WHEEL_VENV_A64)/bin/gcc
	ln -s /usr/bin/aarch64-linux-gnu-nm $(WHEEL_VENV_A64)/bin/nm
	$(WHEEL_VENV_A64)/bin/python -c 'import platform, sys; print("emulated:", platform.machine(), sys.version.split()[0], "prefix", sys.prefix)'
	$(WHEEL_VENV_A64)/bin/python -m pip install --quiet --no-deps --no-index dist/rederodidizo-*_aarch64.whl
	NETTLE_FAT_VERBOSE=1 $(WHEEL_VENV_A64)/bin/python -c '$(WHEEL_IMPORT)'
	$(call wheel_suite,$(WHEEL_VENV_A64)/bin/python,PATH=$(WHEEL_VENV_A64)/bin:$$PATH RDZ_EMULATOR=qemu-user)
