# Ecosystem: type stubs, packaging and the end-to-end example.
#
#   make dist        sdist and wheel into dist/ (python -m build makes the wheel from
#                    the sdist, so a complete sdist is part of what this proves), with
#                    the map of the wheel's link for eco-metadata
#   make demo        the asyncio MTProto echo over the obfuscated transport,
#                    DEMO_MESSAGES messages of DEMO_SIZE bytes (examples/mtproto_echo.py)
#   make eco-stubs   rederodidizo.pyi against the built module (mypy.stubtest), and a
#                    docstring for every function of the stub
#   make eco-mypy    mypy --strict on examples/ with the stub
#   make eco-sdist   the sdist holds every source, its licence and no build output
#   make eco-metadata  the sdist and the wheel pass twine check --strict; the sdist
#                    declares MIT with LICENSE, the wheel what its link map shows
#                    linked in (tools/wheel_licences.py)
#   make eco-install-3.14 (each version)  the sdist installed by pip into a fresh venv
#                    of that version, offline (no network namespace, --no-index
#                    --no-build-isolation: the build takes scikit-build-core, CMake and
#                    Nettle from the environment's Debian packages), and the suite run
#                    against the installed module (not the build tree)
#   make eco-wheel   mypy finding the installed package's own stubs (the default
#                    version's eco-install venv)

ECO := $(CURDIR)/build/ecosystem
DEMO_MESSAGES ?= 20000
DEMO_SIZE ?= 1024


ECO_INSTALL := $(addprefix eco-install-,$(PYTHON_VERSIONS))
CHECKS += eco-stubs eco-mypy eco-sdist eco-metadata $(ECO_INSTALL) eco-wheel
.PHONY: eco-stubs eco-mypy eco-sdist eco-metadata $(ECO_INSTALL) eco-wheel

ECO_DIST_MAP := $(ECO)/dist-link.map
dist:
	rm -rf dist && mkdir -p $(ECO)
	$(PYTHON) -m build --no-isolation --outdir dist \
	  -C cmake.define.CMAKE_MODULE_LINKER_FLAGS=-Wl,-Map,$(ECO_DIST_MAP) .

demo: build
	PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTHON) examples/mtproto_echo.py \
	  --messages $(DEMO_MESSAGES) --size $(DEMO_SIZE)

# stubtest imports the module and reads the stub from one directory holding both.
ECO_STUB_DOCS = import ast, sys; \
  tree = ast.parse(open("rederodidizo.pyi").read()); \
  bare = [f.name for f in tree.body if isinstance(f, ast.FunctionDef) and not ast.get_docstring(f)]; \
  sys.exit(f"stub functions without a docstring: {bare}" if bare else 0)

eco-stubs: build
	rm -rf $(ECO)/stubtest && mkdir -p $(ECO)/stubtest
	cp $(BUILD)/rederodidizo*.so rederodidizo.pyi $(ECO)/stubtest/
	cd $(ECO)/stubtest && PYTHONPATH=. MYPYPATH=. $(PYTHON) -m mypy.stubtest rederodidizo
	$(PYTHON) -c '$(ECO_STUB_DOCS)'

eco-mypy:
	rm -rf $(ECO)/types && mkdir -p $(ECO)/types && cp rederodidizo.pyi $(ECO)/types/
	MYPYPATH=$(ECO)/types $(PYTHON) -m mypy --strict --cache-dir $(ECO)/mypy-cache examples

eco-sdist: dist
	mkdir -p $(ECO)
	tar tzf dist/rederodidizo-*.tar.gz | sed 's|^[^/]*/||' | sort >$(ECO)/sdist.txt
	@{ find src bundled cmake -type f; printf '%s\n' pyproject.toml CMakeLists.txt exports.map README.md \
	    rederodidizo.pyi LICENSE CHANGELOG.md; } \
	  | sort | comm -23 - $(ECO)/sdist.txt >$(ECO)/sdist-missing.txt
	@if [ -s $(ECO)/sdist-missing.txt ]; then echo "missing from the sdist:"; cat $(ECO)/sdist-missing.txt; exit 1; fi
	@if grep -E '^(build|dist)/' $(ECO)/sdist.txt >$(ECO)/sdist-extra.txt; then \
	  echo "build output in the sdist:"; head $(ECO)/sdist-extra.txt; exit 1; fi

# Runs the suite in the venv's interpreter after checking that `import rederodidizo`
# finds the installed module; pytest's arguments follow the code.
ECO_SUITE = import os, sys, pytest, rederodidizo as m; \
  where, venv = os.path.realpath(m.__file__), os.path.realpath(sys.prefix) + os.sep; \
  where.startswith(venv) or sys.exit(f"rederodidizo imported from {where}, not from {venv}"); \
  print("suite against", where, flush=True); \
  sys.exit(pytest.main(sys.argv[1:]))

eco-metadata: dist
	twine check --strict dist/*
	$(PYTHON) tools/wheel_licences.py sdist dist/rederodidizo-*.tar.gz
	$(PYTHON) tools/wheel_licences.py wheel dist/rederodidizo-*.whl --map $(ECO_DIST_MAP)

# A sandbox without a network: only the loopback device.
ECO_OFFLINE := bwrap --unshare-user --unshare-net --dev-bind / /
# The venv of version $(1).
eco_venv = $(ECO)/venv-$(1)

$(ECO_INSTALL): eco-install-%: dist
	rm -rf $(call eco_venv,$*) $(ECO)/run-$* && mkdir -p $(ECO)/run-$*
	python$* -m venv --system-site-packages $(call eco_venv,$*)
	$(ECO_OFFLINE) $(call eco_venv,$*)/bin/python -m pip install --quiet --no-deps --no-index \
	  --no-build-isolation --no-cache-dir dist/rederodidizo-*.tar.gz
	cd $(ECO)/run-$* && env -u PYTHONPATH PYTHONPATH=$(call python_extras,$*) $(call eco_venv,$*)/bin/python \
	  -c '$(ECO_SUITE)' -q -p no:cacheprovider --rootdir=$(CURDIR)/tests $(CURDIR)/tests

eco-wheel: eco-install-$(PYTHON_VERSION)
	cd $(ECO)/run-$(PYTHON_VERSION) && env -u PYTHONPATH -u MYPYPATH $(PYTHON) -m mypy --strict \
	  --cache-dir $(ECO)/mypy-cache-wheel --python-executable $(call eco_venv,$(PYTHON_VERSION))/bin/python \
	  $(CURDIR)/examples
