# make check-ct   the constant-time check (tests/native/constant_time.cpp) under
#                 valgrind's memcheck: no branch and no memory address may depend on
#                 a secret, in any AES backend this processor runs or in the message
#                 code. One line per run.
#
# First the positive control, which must be reported, or the check proves nothing:
# Nettle's table AES, forced with NETTLE_FAT_OVERRIDE=none; its reports must include
# its table encryption (_nettle_aes_encrypt), not only its key schedule, which is
# reported even without the override. Then every backend valgrind's processor runs
# (the list comes from the driver under valgrind, so backends added to
# aes_candidates() join by themselves), the 256-bit VAES kernels rebuilt with each
# VAES round as two AES-NI rounds (tests/native/vaes_on_aesni.hpp), and the message
# code: each must be clean. Nettle with its own choice of code is reported, not
# judged: it is the reference, never chosen by itself, and its key schedule indexes
# a table even where it encrypts with AES-NI.
#
# No suppressions: nothing in libc or in Nettle's SHA-256 is reported. One added
# later must say why what it hides is not a secret reaching a branch or an address;
# none may cover our own code.
#
# Built with debug information, so that reports name functions, and at the module's
# optimisation level (-O3, as CMake's Release), so that the machine code checked is
# what the module's compiler makes of the same source.

CT_BUILD := build/ct
CT_FLAGS := -std=c++23 -O3 -g -Wall -Wextra -Werror -fno-exceptions -fno-rtti -Isrc
CT_SOURCES := $(wildcard src/aes/*.cpp) src/message/derive.cpp
CT_DEPENDS := tests/native/constant_time.cpp $(CT_SOURCES) $(wildcard src/aes/*.hpp src/lib/*.hpp src/message/*.hpp)
CT_VALGRIND := valgrind --tool=memcheck --error-exitcode=99 --track-origins=yes --num-callers=8

# The VAES kernels exist, and can be rewritten, on x86-64 only.
CT_VAES_DRIVER := $(if $(filter x86_64,$(shell uname -m)),$(CT_BUILD)/constant_time_vaes_on_aesni)

CHECKS += check-ct
.PHONY: check-ct

$(CT_BUILD)/constant_time: $(CT_DEPENDS)
	mkdir -p $(CT_BUILD)
	$(CXX) $(CT_FLAGS) -o $@ tests/native/constant_time.cpp $(CT_SOURCES) $$(pkg-config --cflags --libs nettle)

# The same, with src/aes/vaes.cpp compiled with each 256-bit VAES round rewritten.
$(CT_BUILD)/constant_time_vaes_on_aesni: $(CT_DEPENDS) tests/native/vaes_on_aesni.hpp
	mkdir -p $(CT_BUILD)
	$(CXX) $(CT_FLAGS) -include tests/native/vaes_on_aesni.hpp -c -o $(CT_BUILD)/vaes_on_aesni.o src/aes/vaes.cpp
	$(CXX) $(CT_FLAGS) -o $@ tests/native/constant_time.cpp $(filter-out src/aes/vaes.cpp,$(CT_SOURCES)) \
	  $(CT_BUILD)/vaes_on_aesni.o $$(pkg-config --cflags --libs nettle)

# ct_run LOG, COMMAND, ENVIRONMENT: runs COMMAND under memcheck (with ENVIRONMENT's
# assignments, if any) and its report in LOG; leaves valgrind's exit status in
# `status`, and what ct_findings leaves.
ct_run = log=$(CT_BUILD)/$(1).log; status=0; $(3) $(CT_VALGRIND) --log-file=$$log $(2) >$$log.out || status=$$?; \
  $(ct_findings)

# ct_findings: from memcheck's report in $$log, the number of errors in `errors`
# (empty where the report has no summary), and in `where` the distinct functions in
# which they happened (each report's first frame; the stack of a report's origin is
# not where it happened). check-ct-arm64 reads reports made under emulation with it.
ct_findings = errors=$$(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' $$log | tail -1); \
  where=$$(awk '/depends on uninitialised|Use of uninitialised/ { first = 1; next } \
    first && / at 0x/ { sub(/.*: /, ""); sub(/\(anonymous namespace\)::/, ""); sub(/[ (].*/, ""); \
      if (!seen[$$0]++) printf "%s ", $$0; first = 0 }' $$log)

check-ct: $(CT_BUILD)/constant_time $(CT_VAES_DRIVER)
	@set -e; start=$$(date +%s); driver=$(CT_BUILD)/constant_time; bad=0; \
	$(call ct_run,control,$$driver aes nettle,NETTLE_FAT_OVERRIDE=none); \
	if [ $$status -ne 99 ] || ! echo "$$where" | grep -qw _nettle_aes_encrypt; then \
	  echo "check-ct: FAIL the control: Nettle's table AES (NETTLE_FAT_OVERRIDE=none) was not reported (exit $$status, $$errors errors; $$log)"; \
	  exit 1; \
	fi; \
	echo "check-ct: control, nettle under NETTLE_FAT_OVERRIDE=none: $$errors errors, reported as it must be, in: $$where"; \
	$(CT_VALGRIND) -q $$driver list >$(CT_BUILD)/list; \
	while read name verdict; do \
	  if [ "$$verdict" != runs ]; then echo "check-ct: $$name not checked: valgrind's processor cannot run it"; continue; fi; \
	  $(call ct_run,$$name,$$driver aes $$name); \
	  if [ $$name = nettle ]; then \
	    echo "check-ct: nettle with its own choice of code: $$errors errors (the reference, never chosen by itself; not judged), in: $$where"; \
	    continue; \
	  fi; \
	  if [ $$status -eq 0 ] && [ "$$errors" = 0 ]; then echo "check-ct: $$name: 0 errors"; \
	  else echo "check-ct: FAIL $$name: exit $$status, $$errors errors, in: $$where ($$log)"; bad=1; fi; \
	done <$(CT_BUILD)/list; \
	rewritten=$(CT_VAES_DRIVER); \
	if [ -z "$$rewritten" ]; then :; \
	elif ! $(CT_VALGRIND) -q $$rewritten list | grep -qx 'vaes256 runs'; then \
	  echo "check-ct: vaes256 rewritten on AES-NI not checked: valgrind's processor lacks AES-NI or AVX2"; \
	else \
	  $(call ct_run,vaes256_on_aesni,$$rewritten aes vaes256); \
	  if [ $$status -eq 0 ] && [ "$$errors" = 0 ]; then echo "check-ct: vaes256, each VAES round rewritten as two AES-NI rounds: 0 errors"; \
	  else echo "check-ct: FAIL vaes256 rewritten on AES-NI: exit $$status, $$errors errors, in: $$where ($$log)"; bad=1; fi; \
	fi; \
	$(call ct_run,message,$$driver message); \
	if [ $$status -eq 0 ] && [ "$$errors" = 0 ]; then echo "check-ct: message code (derivation, message key, comparison, SHA-256): 0 errors"; \
	else echo "check-ct: FAIL message code: exit $$status, $$errors errors, in: $$where ($$log)"; bad=1; fi; \
	echo "check-ct: $$(( $$(date +%s) - start )) s under valgrind"; \
	exit $$bad
