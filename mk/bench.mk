# make bench: times the module beside hashlib, cryptography, OpenSSL and the limits
# of AES-NI and VAES; prints a Markdown table and writes bench/results/ (bench/bench.py).
# The paths a processor without AES instructions takes are timed in builds forced to
# them (mk/aes.mk), beside one forced to Nettle's table AES.
BENCH_PATHS := vperm256 vperm bitsliced nettle

bench: build
	@for path in $(BENCH_PATHS); do $(MAKE) --no-print-directory aes-build AES_PATH=$$path >/dev/null; done
	RDZ_BENCH_PATHS="$(foreach p,$(BENCH_PATHS),$(p)=$(CURDIR)/build/aes-$(p))" \
	  PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTHON) bench/bench.py
