# make wheels: binary wheels that install without a compiler, for each CPython of
# WHEEL_VERSIONS (PYTHON_VERSIONS) on x86_64 and on aarch64, into dist/ (replacing
# any wheel there; the sdist stays).
#
# Each is built with Nettle and the C++ runtime linked in statically
# (REDERODIDIZO_BUNDLED, pyproject.toml: it also declares Nettle's licences and puts
# their texts and a notice into the wheel) and unreferenced sections dropped, repaired
# and tagged by auditwheel (the oldest manylinux policy its symbol versions allow),
# checked by tools/wheel_audit.py, by tools/wheel_licences.py (whatever the link map
# shows linked in has a known licence, which the wheel declares with its texts) and
# by twine check --strict, and then tested:
#   x86_64   installed into a fresh venv of its own interpreter and the whole suite
#            run against it, with every copy of the system's libnettle hidden
#            (bubblewrap binds /dev/null over them), so the module can only use the
#            Nettle linked into it;
#   aarch64  installed with pip under qemu-user by Debian's arm64 interpreter of its
#            version and the suite run there: the whole suite (but WHEEL_AARCH64_SKIP)
#            for WHEEL_AARCH64_FULL, the capability tests (WHEEL_AARCH64_CAPABILITY)
#            for the other versions. The arm64 sysroot (tools/arm64-sysroot) is made
#            once and kept outside the clone.
# The compiled test dependencies Debian builds for other versions only come from
# tools/python-extras, for each interpreter and architecture.
# The check fails a wheel whose module needs more than libc, libm, the loader and
# the libstdc++/libgcc_s versions its policy allows, exports anything but the entry
# point, carries another shared object, or whose policy is above WHEEL_MAX_POLICY.
# It prints the policy each wheel reached and the C library symbols that set it,
# traced through the link map to the runtime object and to our code that needs them.
#
# Every wheel has its own targets, build, scratch and venv directories, so that they
# can be made in parallel (make -j2 -Otarget wheels).
#
#   make wheels                                   all wheels, checked and tested
#   make wheel-test-x86_64-3.13                   one of them
#   make wheels WHEEL_MAX_POLICY=manylinux_2_34   another ceiling
#   make wheels WHEEL_TEST_ARGS='-k ige'          fewer tests in every test run

WHEEL_VERSIONS ?= $(PYTHON_VERSIONS)
WHEEL_ARCHES := x86_64 aarch64
WHEEL_MAX_POLICY ?= manylinux_2_28
WHEEL_TEST_ARGS ?=
WHEELS := $(CURDIR)/build/wheels
# The version whose aarch64 wheel runs the whole suite under qemu-user.
WHEEL_AARCH64_FULL ?= $(PYTHON_VERSION)
# What the other aarch64 wheels run: the binding, key derivation, IGE, CTR and its
# batches, messages, threads.
WHEEL_AARCH64_CAPABILITY := test_binding test_derive test_ige test_ctr test_ctr_batch test_message test_threads
# Tests the whole-suite run leaves to the x86_64 runs of the same source: none, as
# qemu-user emulates the ARMv8 AES instructions, which ARM64 takes, fast enough.
WHEEL_AARCH64_SKIP :=

# All builds: warnings as errors, and a link map for the origin report and the
# licence check (written beside the objects, whose paths it names relative to it).
WHEEL_DEFINES := $(foreach d,REDERODIDIZO_GC_SECTIONS REDERODIDIZO_WERROR,-C cmake.define.$(d)=ON)
# The wheel of version $(2) for $(1) (x86_64 or aarch64) in dist/.
wheel_file = dist/rederodidizo-*-cp$(subst .,,$(2))-*_$(1).whl
# Builds the wheel for $(1) and CPython $(2) with scikit-build-core into
# $(WHEELS)/raw-$(1)-$(2), with extra build settings $(3); the environment comes first.
define wheel_build
	rm -rf $(WHEELS)/raw-$(1)-$(2) $(WHEELS)/repaired-$(1)-$(2)
	REDERODIDIZO_BUNDLED=1 python$(2) -m build --wheel --no-isolation --outdir $(WHEELS)/raw-$(1)-$(2) \
	  -C build-dir=$(WHEELS)/build-$(1)-$(2) $(WHEEL_DEFINES) \
	  -C cmake.define.CMAKE_MODULE_LINKER_FLAGS=-Wl,-Map,$(WHEELS)/build-$(1)-$(2)/link.map $(3) . \
	  >$(WHEELS)/build-$(1)-$(2).log 2>&1 || { tail -n 40 $(WHEELS)/build-$(1)-$(2).log; exit 1; }
	auditwheel repair --wheel-dir $(WHEELS)/repaired-$(1)-$(2) $(WHEELS)/raw-$(1)-$(2)/*.whl \
	  >$(WHEELS)/repair-$(1)-$(2).log 2>&1 || { cat $(WHEELS)/repair-$(1)-$(2).log; exit 1; }
	mv $(WHEELS)/repaired-$(1)-$(2)/*.whl dist/ && rmdir $(WHEELS)/repaired-$(1)-$(2)
	auditwheel show $(call wheel_file,$(1),$(2))
	$(PYTHON) tools/wheel_audit.py wheel $(call wheel_file,$(1),$(2)) \
	  --max-policy $(WHEEL_MAX_POLICY) --map $(WHEELS)/build-$(1)-$(2)/link.map
	$(PYTHON) tools/wheel_licences.py wheel $(call wheel_file,$(1),$(2)) --map $(WHEELS)/build-$(1)-$(2)/link.map
	twine check --strict $(call wheel_file,$(1),$(2))
endef

# One target per architecture and version: wheel-x86_64-3.14, wheel-test-aarch64-3.13 ...
wheel_targets = $(foreach a,$(WHEEL_ARCHES),$(foreach v,$(2),$(1)-$(a)-$(v)))
.PHONY: wheels wheel-dist-clean wheel-sysroot wheel-aarch64-build $(foreach t,wheel wheel-test,$(call wheel_targets,$(t),$(PYTHON_VERSIONS)))
wheels: $(call wheel_targets,wheel-test,$(WHEEL_VERSIONS))
	@ls -l dist/*.whl

# The wheels land in dist/; the rest stays under build/wheels.
wheel-dist-clean:
	mkdir -p dist $(WHEELS)
	rm -f dist/*.whl

$(addprefix wheel-x86_64-,$(PYTHON_VERSIONS)): wheel-x86_64-%: wheel-dist-clean
	$(call wheel_build,x86_64,$*,)

# The arm64 sysroot, once for all aarch64 targets.
wheel-sysroot: wheel-dist-clean
	tools/arm64-sysroot >$(WHEELS)/sysroot-path

# Cross-compiled by Debian's g++-16-aarch64-linux-gnu, still through scikit-build-core
# (the wheel's metadata, stubs and layout come from the same pyproject.toml as the
# native one, rather than from a second wheel writer kept in step by hand):
# - cmake/aarch64-linux-gnu.cmake names the compiler and the sysroot, and runs the
#   sysroot's own interpreter of the version (REDERODIDIZO_TARGET_PYTHON) under
#   qemu-user for FindPython, so the module gets the target's extension suffix and
#   include directory (the build machine's interpreter would name it for x86_64);
#   python-hints=false keeps scikit-build-core from handing FindPython the build
#   machine's interpreter, and policy CMP0190 lets FindPython run an interpreter
#   through the emulator when cross-compiling;
# - _PYTHON_HOST_PLATFORM=linux-aarch64 makes scikit-build-core tag the wheel for the
#   target, and SETUPTOOLS_EXT_SUFFIX gives it the target's suffix (SKBUILD_SOABI).
WHEEL_CROSS := -C cmake.define.CMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux-gnu.cmake \
  -C cmake.python-hints=false -C cmake.define.CMAKE_POLICY_DEFAULT_CMP0190=NEW

$(addprefix wheel-aarch64-,$(PYTHON_VERSIONS)): wheel-aarch64-%: wheel-sysroot
	sysroot=$$(cat $(WHEELS)/sysroot-path) && \
	  export REDERODIDIZO_SYSROOT=$$sysroot REDERODIDIZO_TARGET_PYTHON=$* _PYTHON_HOST_PLATFORM=linux-aarch64 \
	    SETUPTOOLS_EXT_SUFFIX=$$($$sysroot/usr/bin/aarch64-linux-gnu-python$*-config --extension-suffix) && \
	  $(MAKE) --no-print-directory wheel-aarch64-build WHEEL_CROSS_VERSION=$*

# The build itself, in a make of its own so that every line of it sees the exports.
wheel-aarch64-build:
	$(call wheel_build,aarch64,$(WHEEL_CROSS_VERSION),$(WHEEL_CROSS))

# Runs the suite files $(3) in the interpreter $(1) (the environment $(2) first) after
# checking that `import rederodidizo` finds the installed module (ECO_SUITE,
# mk/ecosystem.mk), in a scratch directory $(4) of its own so that the clone's build
# tree is not on the path.
define wheel_suite
	rm -rf $(4) && mkdir -p $(4)
	cd $(4) && env -u PYTHONPATH $(2) $(1) -c '$(ECO_SUITE)' \
	  -q -p no:cacheprovider --rootdir=$(CURDIR)/tests $(WHEEL_TEST_ARGS) $(3)
endef

# Every file of the system's Nettle, seen through /dev/null inside the test's sandbox.
WHEEL_HIDE = $$(realpath /usr/lib/$$($(CXX) -print-multiarch)/libnettle* | sort -u | sed 's|^|--ro-bind /dev/null |')
WHEEL_NO_NETTLE = bwrap --unshare-user --dev-bind / / $(WHEEL_HIDE) --

$(addprefix wheel-test-x86_64-,$(PYTHON_VERSIONS)): wheel-test-x86_64-%: wheel-x86_64-%
	rm -rf $(WHEELS)/venv-x86_64-$*
	python$* -m venv --system-site-packages $(WHEELS)/venv-x86_64-$*
	$(WHEELS)/venv-x86_64-$*/bin/python -m pip install --quiet --no-deps --no-index $(call wheel_file,x86_64,$*)
	@# The sandbox must really lack Nettle, or this test proves nothing.
	@if $(WHEEL_NO_NETTLE) $(PYTHON) -c 'import ctypes; ctypes.CDLL("libnettle.so.8")' 2>/dev/null; then \
	  echo "libnettle.so.8 still loads inside the sandbox"; exit 1; fi
	$(WHEEL_NO_NETTLE) env NETTLE_FAT_VERBOSE=1 $(WHEELS)/venv-x86_64-$*/bin/python -c '$(WHEEL_IMPORT)'
	$(call wheel_suite,$(WHEEL_NO_NETTLE) $(WHEELS)/venv-x86_64-$*/bin/python,\
	  PYTHONPATH=$(call python_extras,$*),$(CURDIR)/tests,$(WHEELS)/run-x86_64-$*)

# Nettle reports (on stderr) which AES and SHA code its fat build chose on this CPU.
WHEEL_IMPORT = import platform, sys, rederodidizo as r; \
  r.ige256_encrypt(bytes(16), bytes(32), bytes(32)); r.sha256_digest(b""); \
  print(platform.machine(), sys.version.split()[0], "wheel imported from", r.__file__, flush=True)

# The emulated interpreter's venv (arm64_venv, in the Makefile).
WHEEL_VENV_A64 = $(WHEELS)/venv-aarch64-$(1)
# The suite files the aarch64 wheel of version $(1) runs.
wheel_aarch64_tests = $(if $(filter $(1),$(WHEEL_AARCH64_FULL)),\
  $(CURDIR)/tests $(foreach t,$(WHEEL_AARCH64_SKIP),--ignore=$(CURDIR)/tests/$(t).py),\
  $(foreach t,$(WHEEL_AARCH64_CAPABILITY),$(CURDIR)/tests/$(t).py))

$(addprefix wheel-test-aarch64-,$(PYTHON_VERSIONS)): wheel-test-aarch64-%: wheel-aarch64-%
	$(call arm64_venv,$(call WHEEL_VENV_A64,$*),$*,"$$(cat $(WHEELS)/sysroot-path)")
	$(call WHEEL_VENV_A64,$*)/bin/python -c 'import platform, sys; print("emulated:", platform.machine(), sys.version.split()[0], "prefix", sys.prefix)'
	$(call WHEEL_VENV_A64,$*)/bin/python -m pip install --quiet --no-deps --no-index $(call wheel_file,aarch64,$*)
	NETTLE_FAT_VERBOSE=1 $(call WHEEL_VENV_A64,$*)/bin/python -c '$(WHEEL_IMPORT)'
	$(call wheel_suite,$(call WHEEL_VENV_A64,$*)/bin/python,\
	  PATH=$(call WHEEL_VENV_A64,$*)/bin:$$PATH RDZ_EMULATOR=qemu-user \
	  PYTHONPATH=$$($(CURDIR)/tools/python-extras $* arm64 $$(cat $(WHEELS)/sysroot-path)),\
	  $(call wheel_aarch64_tests,$*),$(WHEELS)/run-aarch64-$*)
