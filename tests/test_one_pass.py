"""Large inputs are read in place and the result is written once: a call touches the
fresh pages of its result and nothing else that is new, so it takes about one minor
page fault per 4 KiB page of input (a copy of the input would add one more per page).
"""

import os
import resource

import pytest

import rederodidizo as r

SIZE = 16 * 1024 * 1024
DATA, KEY = os.urandom(SIZE), os.urandom(32)


def _under_asan():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


@pytest.mark.skipif(_under_asan(), reason="AddressSanitizer's allocator and shadow memory add faults of their own")
@pytest.mark.parametrize("call", [
    lambda: r.ige256_encrypt(DATA, KEY, KEY),
    lambda: r.ige256_decrypt(DATA, KEY, KEY),
    lambda: r.ctr256_encrypt(DATA, KEY, bytearray(16), bytearray(1)),
    lambda: r.ctr256_encrypt_batch(DATA, bytearray(SIZE.to_bytes(4, "little")), KEY, bytearray(16), bytearray(1)),
], ids=["ige256_encrypt", "ige256_decrypt", "ctr256_encrypt", "ctr256_encrypt_batch"])
def test_one_fault_per_page_of_input(call):
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    result = call()
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before
    assert len(result) == SIZE
    assert faults <= 1.15 * SIZE / 4096, faults
