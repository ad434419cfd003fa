import os
import struct
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

import reference
import rederodidizo as r

BATCH = ("ctr256_encrypt_batch", "ctr256_decrypt_batch")


def le_sizes(*sizes):
    return bytearray(struct.pack(f"<{len(sizes)}I", *sizes))


counters = st.tuples(st.binary(min_size=16, max_size=16), st.sampled_from([0, 1, 2, 16])).map(
    lambda t: t[0][:16 - t[1]] + b"\xff" * t[1])
items = st.lists(st.tuples(st.binary(max_size=300) | st.just(b""), counters, st.integers(0, 255)),
                 min_size=1, max_size=8)


@settings(max_examples=200, deadline=None, database=None)
@given(st.sampled_from(BATCH), st.binary(min_size=32, max_size=32), items, st.binary(max_size=20))
def test_each_item_is_its_own_stream(name, key, items, trailing):
    """Two successive batches over the same ivs/states equal per-item ctr256_encrypt
    streams; bytes after the last item pass through."""
    ivs = bytearray(b"".join(counter for _, counter, _ in items))
    states = bytearray(offset for _, _, offset in items)
    streams = [(bytearray(counter), bytearray([offset])) for _, counter, offset in items]
    for round_ in range(2):
        datas = [data if round_ == 0 else data[::-1] for data, _, _ in items]
        out = getattr(r, name)(b"".join(datas) + trailing, le_sizes(*map(len, datas)), key, ivs, states)
        expected = b"".join(r.ctr256_encrypt(d, key, iv, st_) for d, (iv, st_) in zip(datas, streams))
        assert type(out) is bytes
        assert out == expected + trailing
        assert ivs == b"".join(iv for iv, _ in streams)
        assert states == b"".join(st_ for _, st_ in streams)


def test_equal_positions_give_equal_keystreams():
    key, counter = os.urandom(32), os.urandom(16)
    a, b = os.urandom(100), os.urandom(37)
    out = r.ctr256_encrypt_batch(a + b, le_sizes(100, 37), key, bytearray(counter * 2), bytearray([5, 5]))
    stream = reference.ctr_keystream(key, counter, 5, 100)[0]
    assert bytes(x ^ y for x, y in zip(out[:100], a)) == stream
    assert bytes(x ^ y for x, y in zip(out[100:], b)) == stream[:37]


@pytest.mark.parametrize("name", BATCH)
def test_one_byte_result_leaves_shared_bytes_objects_alone(name):
    # CPython shares one object per 1-byte value: a result must not be one of them
    # transformed in place (run in a child, which such a fault would corrupt).
    code = (f"import rederodidizo as r; out = r.{name}(b'<', bytearray(b'\\1\\0\\0\\0'), bytes(32),"
            f" bytearray(16), bytearray(1)); print(len(out), out[0], bytes([60])[0])")
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    expected = reference.aes_encrypt_blocks(bytes(32), bytes(16))[0] ^ ord("<")
    assert child.stdout.split() == ["1", str(expected), str(ord("<"))]


@pytest.mark.parametrize("raw, size", [(b"\x01\x00\x00\x00", 1), (b"\x00\x01\x00\x00", 256),
                                       (b"\x00\x00\x01\x00", 65536), (b"\x00\x00\x00\x00", 0)])
def test_sizes_are_little_endian(raw, size):
    key, counter, data = os.urandom(32), os.urandom(16), os.urandom(65536 + 9)
    ivs, states = bytearray(counter), bytearray([3])
    out = r.ctr256_encrypt_batch(data, bytearray(raw), key, ivs, states)
    expected, new_counter, new_offset = reference.ctr_apply(data[:size], key, counter, 3)
    assert (out, ivs, states) == (expected + data[size:], new_counter, bytes([new_offset]))


@pytest.mark.parametrize("name", BATCH)
@pytest.mark.parametrize("data_len, sizes_len, ivs_len", [(0, 0, 0), (10, 0, 0), (10, 7, 31), (100, 4, 16)])
def test_no_items_returns_empty_bytes(name, data_len, sizes_len, ivs_len):
    sizes, ivs = bytearray(b"\x09" * sizes_len), bytearray(b"\x07" * ivs_len)
    out = getattr(r, name)(os.urandom(data_len), sizes, bytes(32), ivs, bytearray())
    assert type(out) is bytes and out == b""
    assert (sizes, ivs) == (b"\x09" * sizes_len, b"\x07" * ivs_len)


# A running total of 32-bit sizes can exceed 64 bits only after about 2**32 items
# (16 GiB of `sizes` alone), so "total data size overflow" cannot be reached in a
# test. Sums beyond 32 bits are reachable and must not wrap.
@pytest.mark.parametrize("name", BATCH)
@pytest.mark.parametrize("key_len, n, ivs_len, sizes, data_len, message", [
    (31, 2, 31, bytearray(7), 0, "Key must be 32 bytes"),
    (33, 0, 5, bytearray(3), 0, "Key must be 32 bytes"),
    (32, 2, 31, bytearray(7), 0, "ivs must be 16*n bytes"),
    (32, 2, 48, le_sizes(1, 1), 2, "ivs must be 16*n bytes"),
    (32, 2, 32, bytearray(7), 100, "sizes must be 4*n bytes"),
    (32, 2, 32, bytearray(12), 100, "sizes must be 4*n bytes"),
    (32, 2, 32, le_sizes(10, 11), 20, "data_flat too short for given sizes"),
    (32, 2, 32, le_sizes(0xFFFFFFFF, 2), 1, "data_flat too short for given sizes"),
    (32, 3, 48, le_sizes(0xFFFFFFFF, 0xFFFFFFFF, 3), 1, "data_flat too short for given sizes"),
])
def test_value_errors_in_order_modify_nothing(name, key_len, n, ivs_len, sizes, data_len, message):
    ivs, states = bytearray(os.urandom(ivs_len)), bytearray(os.urandom(n))
    before = (bytes(sizes), bytes(ivs), bytes(states))
    with pytest.raises(ValueError) as info:
        getattr(r, name)(os.urandom(data_len), sizes, bytes(key_len), ivs, states)
    assert info.value.args == (message,)
    assert (bytes(sizes), bytes(ivs), bytes(states)) == before


@pytest.mark.parametrize("name", BATCH)
@pytest.mark.parametrize("position", range(5))
def test_wrong_type_reports_first_parameter_before_any_length(name, position):
    params = ("data_flat", "sizes", "key", "ivs", "states")
    # Lengths all wrong (short key, 7-byte sizes for 2 items): a type error still wins.
    args = [b"abc", bytearray(7), bytes(31), bytearray(31), bytearray(2)]
    target = type(args[position]).__name__
    args = [value if i < position else (bytes(value) if isinstance(value, bytearray) else bytearray(value))
            for i, value in enumerate(args)]
    with pytest.raises(TypeError) as info:
        getattr(r, name)(*args)
    assert info.value.args == (f"'{type(args[position]).__name__}' object is not an instance of '{target}'",)
    assert info.value.__notes__ == [f"while processing '{params[position]}'"]
