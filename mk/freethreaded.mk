# The free-threaded ABI. No free-threaded CPython can be installed here, so this
# compiles the module against each supported interpreter's headers with Py_GIL_DISABLED
# defined (and -Werror, like every build): the headers then take their free-threaded
# branch (object layout, reference counting, critical sections) and so does our code.
# The module is built and inspected, not loaded: no interpreter here could load it.
#
#   make check-ft-abi   for each of PYTHON_VERSIONS (check-ft-abi-3.14 etc. for one):
#                       build/ft-abi-VERSION (rederodidizo.cpython-VVt-*.so), then:
#     - it imports the two-object critical section (our free-threaded branch) and the
#       free-threaded reference counting (the headers' branch), and the release build
#       of the same version imports neither;
#     - every other interpreter symbol it imports is exported by that version's
#       libpython, so it
#       links against the interpreter's API; only the reference counting functions
#       below exist in a free-threaded interpreter alone.

FT_ABI_BUILD = build/ft-abi-$(1)
FT_ABI_CALLS := PyCriticalSection2_Begin PyCriticalSection2_End
FT_ABI_ONLY := _Py_DecRefShared _Py_MergeZeroLocalRefcount
FT_ABI_LIBPYTHON = $$(python$(1) -c 'import sysconfig as s; print(s.get_config_var("LIBDIR") + "/" + s.get_config_var("LDLIBRARY"))')

CHECKS += check-ft-abi
.PHONY: check-ft-abi $(foreach v,$(PYTHON_VERSIONS),check-ft-abi-$(v) ft-abi-build-$(v))

$(addprefix ft-abi-build-,$(PYTHON_VERSIONS)): ft-abi-build-%:
	$(call cmake_build,$(call FT_ABI_BUILD,$*),python$*,-DREDERODIDIZO_FREE_THREADED_ABI=ON)

# Interpreter symbols (Py*, _Py*) that a module imports, one a line, sorted.
ft_abi_imports = nm -D --undefined-only $(1) | awk '$$2 ~ /^_?Py/ { print $$2 }' | sort -u

check-ft-abi: $(addprefix check-ft-abi-,$(PYTHON_VERSIONS))

$(addprefix check-ft-abi-,$(PYTHON_VERSIONS)): check-ft-abi-%: ft-abi-build-% build-%
	@set -e; out=$(call FT_ABI_BUILD,$*); \
	ft=$$(ls $$out/rederodidizo.cpython-*t-*.so); release=$$(ls $(call build_dir,$*)/rederodidizo.cpython-*.so); \
	$(call ft_abi_imports,$$ft) >$$out/imports.txt; \
	$(call ft_abi_imports,$$release) >$$out/release-imports.txt; \
	nm -D --defined-only $(call FT_ABI_LIBPYTHON,$*) | awk '{ print $$3 }' | sort -u >$$out/libpython.txt; \
	for s in $(FT_ABI_CALLS) $(FT_ABI_ONLY); do \
	  grep -qx "$$s" $$out/imports.txt || { echo "$$ft does not import $$s"; exit 1; }; \
	  ! grep -qx "$$s" $$out/release-imports.txt || { echo "$$release imports $$s"; exit 1; }; \
	done; \
	printf '%s\n' $(FT_ABI_ONLY) | sort | comm -23 $$out/imports.txt - \
	  | comm -23 - $$out/libpython.txt >$$out/unresolved.txt; \
	if [ -s $$out/unresolved.txt ]; then \
	  echo "$$ft imports symbols the interpreter does not export:"; cat $$out/unresolved.txt; exit 1; fi; \
	echo "free-threaded ABI: $$ft imports $$(wc -l <$$out/imports.txt) interpreter symbols, critical sections and free-threaded reference counting among them"
