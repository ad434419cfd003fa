# Ecosystem: type stubs, packaging and the end-to-end example.
#
#   make dist        sdist and wheel into dist/ (python -m build makes the wheel from
#                    the sdist, so a complete sdist is part of what this proves)
#   make demo        the asyncio MTProto echo over the obfuscated transport,
#                    DEMO_MESSAGES messages of DEMO_SIZE bytes (examples/mtproto_echo.py)
#   make eco-stubs   rederodidizo.pyi against the built module (mypy.stubtest), and a
#                    docstring for every function of the stub
#   make eco-mypy    mypy --strict on examples/ with the stub
#   make eco-sdist   the sdist holds every source and no build output
#   make eco-wheel   the wheel in a fresh venv: the suite against the installed module
#                    (not the build tree), and mypy finding the wheel's own stubs

ECO := $(CURDIR)/build/ecosystem
ECO_VENV := $(ECO)/venv
DEMO_MESSAGES ?= 20000
DEMO_SIZE ?= 1024


CHECKS += eco-stubs eco-mypy eco-sdist eco-wheel
.PHONY: eco-stubs eco-mypy eco-sdist eco-wheel

dist:
	rm -rf dist
	$(PYTHON) -m build --no-isolation --outdir dist .

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
	@{ find src -type f; printf '%s\n' pyproject.toml CMakeLists.txt exports.map README.md rederodidizo.pyi; } \
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

eco-wheel: dist
	rm -rf $(ECO_VENV) $(ECO)/run && mkdir -p $(ECO)/run
	$(PYTHON) -m venv --system-site-packages $(ECO_VENV)
	$(ECO_VENV)/bin/python -m pip install --quiet --no-deps --no-index dist/rederodidizo-*.whl
	cd $(ECO)/run && env -u PYTHONPATH $(ECO_VENV)/bin/python -c '$(ECO_SUITE)' \
	  -q -p no:cacheprovider --rootdir=$(CURDIR)/tests $(CURDIR)/tests
	cd $(ECO)/run && env -u PYTHONPATH -u MYPYPATH $(PYTHON) -m mypy --strict \
	  --cache-dir $(ECO)/mypy-cache-wheel --python-executable $(ECO_VENV)/bin/python $(CURDIR)/examples
