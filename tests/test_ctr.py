import subprocess
import sys

import pytest
from hypothesis import example, given, settings, strategies as st

import reference
import rederodidizo as r

RETURNING = ("ctr256_encrypt", "ctr256_decrypt")
INPLACE = ("ctr256_encrypt_inplace", "ctr256_decrypt_inplace")
ALL = RETURNING + INPLACE


def run(name, data, key, iv, state):
    """One call of a single-stream CTR function; returns its output as bytes."""
    if name in INPLACE:
        buf = bytearray(data)
        assert getattr(r, name)(buf, key, iv, state) is None
        return bytes(buf)
    out = getattr(r, name)(bytes(data), key, iv, state)
    assert type(out) is bytes
    return out


# NIST SP 800-38A, F.5.5 CTR-AES256.Encrypt
NIST_KEY = bytes.fromhex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4")
NIST_COUNTER = bytes.fromhex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff")
NIST_PLAIN = bytes.fromhex(
    "6bc1bee22e409f96e93d7e117393172a" "ae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52ef" "f69f2445df4f9b17ad2b417be66c3710")
NIST_CIPHER = bytes.fromhex(
    "601ec313775789a5b7a7f504bbf3d228" "f443e3ca4d62b59aca84e990cacaf5c5"
    "2b0930daa23de94ce87017ba2d84988d" "dfc9c58db67aada613c2dd08457941a6")


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("source, target", [(NIST_PLAIN, NIST_CIPHER), (NIST_CIPHER, NIST_PLAIN)])
def test_nist_vectors(name, source, target):
    iv, state = bytearray(NIST_COUNTER), bytearray(1)
    assert run(name, source, NIST_KEY, iv, state) == target
    assert iv == bytes.fromhex("f0f1f2f3f4f5f6f7f8f9fafbfcfdff03")
    assert state == b"\x00"


keys = st.binary(min_size=32, max_size=32)
# Random counter blocks, and blocks ending in ff, ffff or all ff, so that the carry
# crosses bytes and the whole 128-bit counter wraps.
counters = st.tuples(st.binary(min_size=16, max_size=16), st.sampled_from([0, 1, 2, 16])).map(
    lambda t: t[0][:16 - t[1]] + b"\xff" * t[1])
offsets = st.integers(0, 255)
payloads = st.binary(max_size=300) | st.binary(min_size=301, max_size=1200)


@settings(max_examples=300, deadline=None, database=None)
@given(st.sampled_from(ALL), payloads, keys, counters, offsets, st.binary(max_size=3))
def test_matches_reference(name, data, key, counter, offset, tail):
    iv, state = bytearray(counter), bytearray([offset]) + tail
    expected, new_counter, new_offset = reference.ctr_apply(data, key, counter, offset)
    assert run(name, data, key, iv, state) == expected
    assert iv == new_counter
    assert state == bytes([new_offset]) + tail  # only byte 0 is the position


@settings(max_examples=200, deadline=None, database=None)
@given(st.binary(max_size=700), keys, counters, offsets,
       st.lists(st.integers(0, 700), max_size=8), st.lists(st.sampled_from(ALL), min_size=9, max_size=9))
@example(bytes(433), bytes(32), b"\xff" * 16, 0, [1, 16, 32, 49, 176, 304], list(ALL) * 2 + [ALL[0]])
def test_split_across_calls_equals_one_call(data, key, counter, offset, cuts, names):
    bounds = [0, *sorted(min(c, len(data)) for c in cuts), len(data)]
    iv, state = bytearray(counter), bytearray([offset])
    out = b"".join(run(names[i], data[a:b], key, iv, state) for i, (a, b) in enumerate(zip(bounds, bounds[1:])))
    expected, new_counter, new_offset = reference.ctr_apply(data, key, counter, offset)
    assert (out, iv, state) == (expected, new_counter, bytes([new_offset]))


@pytest.mark.parametrize("name", RETURNING)
@pytest.mark.parametrize("value", [0x00, 0x5A])
def test_one_byte_result_leaves_shared_bytes_objects_alone(name, value):
    # CPython hands out one shared object per 1-byte value; a result built as a copy of
    # `src` and then transformed in its own storage would rewrite that object for the
    # whole process, so the call runs in a child interpreter.
    code = (f"import rederodidizo as r; out = r.{name}(bytes([{value}]), bytes(32), bytearray(16), bytearray(1));"
            f" print(len(out), out[0], bytes([{value}])[0])")
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    expected = reference.aes_encrypt_blocks(bytes(32), bytes(16))[0] ^ value
    assert child.stdout.split() == [str(1), str(expected), str(value)]


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("offset, after", [(0, 0), (9, 9), (15, 15), (16, 0), (200, 0), (255, 0)])
def test_empty_input_only_clamps_the_offset(name, offset, after):
    counter = bytes(range(16))
    iv, state = bytearray(counter), bytearray([offset, 77])
    assert run(name, b"", bytes(32), iv, state) == b""
    assert (iv, state) == (counter, bytes([after, 77]))


class Bytes(bytes):
    pass


class ByteArray(bytearray):
    pass


@pytest.mark.parametrize("n", [0, 5, 16, 300])
def test_inplace_pair_equals_returning_pair_and_accepts_subclasses(n):
    data, key, counter = bytes(i * 7 & 255 for i in range(n)), Bytes(bytes(range(32))), bytes(15) + b"\xfe"
    expected = r.ctr256_encrypt(data, key, iv := bytearray(counter), state := bytearray([7]))
    assert r.ctr256_decrypt(Bytes(data), key, ByteArray(counter), ByteArray([7])) == expected
    for name in INPLACE:
        buf, iv2, state2 = ByteArray(data), ByteArray(counter), ByteArray([7])
        assert getattr(r, name)(buf, key, iv2, state2) is None
        assert (type(buf), buf, iv2, state2) == (ByteArray, expected, iv, state)
    # Counter mode is its own inverse: a second pass from the same position restores the data.
    buf = bytearray(expected)
    r.ctr256_decrypt_inplace(buf, key, bytearray(counter), bytearray([7]))
    assert buf == data


def good_args(name):
    first = bytearray(b"data") if name in INPLACE else b"data"
    return [first, bytes(32), bytearray(16), bytearray(1)]


def swapped(value):
    return bytes(value) if isinstance(value, bytearray) else bytearray(value)


def type_name(value):
    return "'None' is" if value is None else f"'{type(value).__name__}' object is"


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("position", range(4))
@pytest.mark.parametrize("use_none", [False, True])
def test_wrong_type_reports_first_parameter_before_any_length(name, position, use_none):
    params = ("data" if name in INPLACE else "src", "key", "iv", "state")
    args = good_args(name)
    args[1], args[2] = bytes(31), bytearray(15)  # wrong lengths lose to any wrong type
    target = "bytearray" if isinstance(args[position], bytearray) else "bytes"
    for later in range(position + 1, 4):
        args[later] = swapped(args[later])
    args[position] = None if use_none else swapped(args[position])
    before = [bytes(a) for a in args if isinstance(a, bytearray)]
    with pytest.raises(TypeError) as info:
        getattr(r, name)(*args)
    assert info.value.args == (f"{type_name(args[position])} not an instance of '{target}'",)
    assert info.value.__notes__ == [f"while processing '{params[position]}'"]
    assert [bytes(a) for a in args if isinstance(a, bytearray)] == before


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("key_len, iv_len, state_len, message", [
    (31, 15, 0, "Key must be 32 bytes"),
    (33, 16, 1, "Key must be 32 bytes"),
    (0, 16, 0, "Key must be 32 bytes"),
    (32, 17, 1, "IV must be 16 bytes"),
    (32, 15, 0, "IV must be 16 bytes"),
    (32, 0, 1, "IV must be 16 bytes"),
    (32, 16, 0, "state must not be empty"),
])
def test_value_errors_in_order_modify_nothing(name, key_len, iv_len, state_len, message):
    args = good_args(name)
    args[1], args[2], args[3] = bytes(key_len), bytearray(b"\x11" * iv_len), bytearray(b"\x22" * state_len)
    before = [bytes(a) for a in args]
    with pytest.raises(ValueError) as info:  # a PanicException would escape this and fail the test
        getattr(r, name)(*args)
    assert info.value.args == (message,)
    assert not hasattr(info.value, "__notes__")
    assert [bytes(a) for a in args] == before
