# make bench: times the module beside hashlib, cryptography, OpenSSL and the limits
# of AES-NI and VAES; prints a Markdown table and writes bench/results/ (bench/bench.py).
bench: build
	PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTHON) bench/bench.py
