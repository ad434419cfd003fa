# The free-threaded ABI. No free-threaded CPython 3.14 can be installed here, so this
# compiles the module against the default interpreter's headers with Py_GIL_DISABLED
# defined (and -Werror, like every build): the headers then take their free-threaded
# branch (object layout, reference counting, critical sections) and so does our code.
# The module is built and inspected, not loaded: no interpreter here could load it.
#
#   make check-ft-abi   build/ft-abi (rederodidizo.cpython-314t-*.so), then:
#     - it imports the two-object critical section (our free-threaded branch) and the
#       free-threaded reference counting (the headers' branch), and build/release
#       imports neither;
#     - every other interpreter symbol it imports is exported by libpython3.14, so it
#       links against the interpreter's API; only the reference counting functions
#       below exist in a free-threaded interpreter alone.

FT_ABI_BUILD := build/ft-abi
FT_ABI_CALLS := PyCriticalSection2_Begin PyCriticalSection2_End
FT_ABI_ONLY := _Py_DecRefShared _Py_MergeZeroLocalRefcount
FT_ABI_LIBPYTHON = $$($(PYTHON) -c 'import sysconfig as s; print(s.get_config_var("LIBDIR") + "/" + s.get_config_var("LDLIBRARY"))')

CHECKS += check-ft-abi
.PHONY: check-ft-abi ft-abi-build

ft-abi-build:
	$(call cmake_build,$(FT_ABI_BUILD),$(PYTHON),-DREDERODIDIZO_FREE_THREADED_ABI=ON)

# Interpreter symbols (Py*, _Py*) that a module imports, one a line, sorted.
ft_abi_imports = nm -D --undefined-only $(1) | awk '$$2 ~ /^_?Py/ { print $$2 }' | sort -u

check-ft-abi: ft-abi-build build
	@set -e; \
	ft=$$(ls $(FT_ABI_BUILD)/rederodidizo.cpython-*t-*.so); release=$$(ls $(BUILD)/rederodidizo.cpython-*.so); \
	$(call ft_abi_imports,$$ft) >$(FT_ABI_BUILD)/imports.txt; \
	$(call ft_abi_imports,$$release) >$(FT_ABI_BUILD)/release-imports.txt; \
	nm -D --defined-only $(FT_ABI_LIBPYTHON) | awk '{ print $$3 }' | sort -u >$(FT_ABI_BUILD)/libpython.txt; \
	for s in $(FT_ABI_CALLS) $(FT_ABI_ONLY); do \
	  grep -qx "$$s" $(FT_ABI_BUILD)/imports.txt || { echo "$$ft does not import $$s"; exit 1; }; \
	  ! grep -qx "$$s" $(FT_ABI_BUILD)/release-imports.txt || { echo "$$release imports $$s"; exit 1; }; \
	done; \
	printf '%s\n' $(FT_ABI_ONLY) | sort | comm -23 $(FT_ABI_BUILD)/imports.txt - \
	  | comm -23 - $(FT_ABI_BUILD)/libpython.txt >$(FT_ABI_BUILD)/unresolved.txt; \
	if [ -s $(FT_ABI_BUILD)/unresolved.txt ]; then \
	  echo "$$ft imports symbols the interpreter does not export:"; cat $(FT_ABI_BUILD)/unresolved.txt; exit 1; fi; \
	echo "free-threaded ABI: $$ft imports $$(wc -l <$(FT_ABI_BUILD)/imports.txt) interpreter symbols, critical sections and free-threaded reference counting among them"
