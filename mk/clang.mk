# The module built by clang (the compiler of macOS and FreeBSD), with the same
# options and -Werror as every build, and the whole suite run against it.
#
#   make check-clang   build/clang, then the suite on the default interpreter

CLANG_BUILD := build/clang

CHECKS += check-clang
.PHONY: check-clang clang-build

clang-build:
	$(call cmake_build,$(CLANG_BUILD),$(PYTHON),-DCMAKE_CXX_COMPILER=clang++)

check-clang: clang-build
	PYTHONPATH=$(CURDIR)/$(CLANG_BUILD) $(PYTEST) tests
