"""Another thread resizes the caller's bytearrays while a CTR call works without the
interpreter lock.

The call cannot be watched from Python, so the racing thread flips the length of one
object back and forth for as long as the call is away: when the call re-takes the
lock, the object has either its proper length (the call must succeed, with output and
positions equal to the reference) or the wrong one (the call must raise PanicException
and write nothing). The flips only ever remove and re-append the same last byte, so
they never change the leading bytes that the call writes: a call that wrote anything
before failing, or wrote to the wrong place, leaves contents that differ from both
the input and the reference.
"""
import os
import re
import sysconfig
import threading

import pytest

import reference
import rederodidizo as r

SIZE = 32 << 20  # long enough that the racing thread runs during the call
ATTEMPTS = 40
ENOUGH = 3  # panics wanted before stopping early


def fast_ctr(data, key, counter, offset):
    stream, new_counter, new_offset = reference.ctr_keystream(key, counter, offset, len(data))
    out = (int.from_bytes(stream) ^ int.from_bytes(data)).to_bytes(len(data))
    return out, new_counter, bytes([new_offset])


def flip(obj):
    """One round trip of the length of `obj`: one byte shorter, then back."""
    obj.append(obj.pop())


def grow(obj):
    """One round trip of the length of `obj`: one byte longer, then back."""
    obj.append(0xA5)
    obj.pop()


def race(call, resize, obj):
    go, stop = threading.Event(), threading.Event()

    def racer():
        go.wait()  # can only run once the call has let go of the lock
        while not stop.is_set():
            resize(obj)

    thread = threading.Thread(target=racer)
    thread.start()
    try:
        go.set()
        return call(), None
    except BaseException as error:  # PanicException derives from BaseException only
        return None, error
    finally:
        stop.set()
        thread.join()


def run_races(fresh, call, resize, target, message, expected, capfd=None):
    """fresh() -> the caller's objects; call(objs) -> result; objs[target] is resized;
    expected is (result, *objs) after success. With `capfd`, each fault's diagnostic
    must name its source file relative to the source tree."""
    hits = 0
    for attempt in range(ATTEMPTS):
        objs = fresh()
        original = [bytes(o) for o in objs]
        result, error = race(lambda: call(*objs), resize, objs[target])
        after = [bytes(o) for o in objs]
        if error is None:
            assert (result, *after) == expected
        elif type(error).__name__ == "PanicException":
            assert not isinstance(error, Exception)
            assert error.args == (message,)
            assert after == original, "a failed write-back modified the caller's objects"
            if capfd:
                assert "rederodidizo: internal fault at src/modes/ctr_calls.cpp:" in capfd.readouterr().err
            hits += 1
            if hits == ENOUGH:
                print(f"{hits} panics in {attempt + 1} attempts")
                return
        elif isinstance(error, ValueError):  # the entry checks saw a resized object
            assert after == original
        else:
            raise error
    if not hits:
        pytest.skip(f"no resize was pending at write-back in {ATTEMPTS} attempts")


@pytest.fixture(scope="module")
def stream():
    key, counter, src = os.urandom(32), os.urandom(16), os.urandom(SIZE + 5)
    return key, counter, src, fast_ctr(src, key, counter, 3)


@pytest.mark.parametrize("name", ["ctr256_encrypt", "ctr256_decrypt"])
@pytest.mark.parametrize("target, resize, message", [
    (0, grow, "copy_from_slice: source slice length (16) does not match destination slice length (17)"),
    (1, flip, "index out of bounds: the len is 0 but the index is 0"),
])
def test_returning_call(stream, name, target, resize, message, capfd):
    key, counter, src, (out, new_counter, new_offset) = stream
    run_races(lambda: [bytearray(counter), bytearray([3])],
              lambda iv, state: getattr(r, name)(src, key, iv, state),
              resize, target, message, (out, new_counter, new_offset), capfd)


@pytest.mark.parametrize("name", ["ctr256_encrypt_inplace", "ctr256_decrypt_inplace"])
def test_inplace_data_resized(stream, name):
    key, counter, src, (out, new_counter, new_offset) = stream
    n = len(src)
    run_races(lambda: [bytearray(src), bytearray(counter), bytearray([3])],
              lambda data, iv, state: getattr(r, name)(data, key, iv, state),
              flip, 0, f"copy_from_slice: source slice length ({n}) does not match destination slice length ({n - 1})",
              (None, out, new_counter, new_offset))


ITEMS = 4


@pytest.fixture(scope="module")
def batch():
    key = os.urandom(32)
    sizes = [SIZE // ITEMS + k for k in range(ITEMS)]
    datas = [os.urandom(size) for size in sizes]
    counters = [os.urandom(16) for _ in sizes]
    offsets = [0, 7, 15, 200]
    expected = [fast_ctr(d, key, c, o) for d, c, o in zip(datas, counters, offsets)]
    flat = b"".join(datas) + b"tail"
    return (key, flat, b"".join(s.to_bytes(4, "little") for s in sizes), b"".join(counters), bytes(offsets),
            (b"".join(e[0] for e in expected) + b"tail", b"".join(e[1] for e in expected),
             b"".join(e[2] for e in expected)))


@pytest.mark.parametrize("name", ["ctr256_encrypt_batch", "ctr256_decrypt_batch"])
@pytest.mark.parametrize("target, message", [
    (0, "range end index 16 out of range for slice of length 15"),
    (1, f"index out of bounds: the len is {ITEMS - 1} but the index is {ITEMS - 1}"),
])
def test_batch_positions_shortened(batch, name, target, message):
    key, flat, sizes, ivs, states, expected = batch
    run_races(lambda: [bytearray(ivs), bytearray(states)],
              lambda ivs_, states_: getattr(r, name)(flat, bytearray(sizes), key, ivs_, states_),
              flip, target, message, expected)


class OwnBufferOnly(bytearray):
    """A bytearray whose __buffer__ must never be called: a call pins the length of
    the bytearray itself, running no Python code."""

    def __buffer__(self, flags):
        raise AssertionError("the module asked a subclass for its buffer")


# Only a free-threaded interpreter pins: with the global lock no other thread could
# resize the bytearray while the pin would be held, so the module takes none.
@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="pins exist on free-threaded builds only")
@pytest.mark.parametrize("call, error", [
    (lambda data, sizes: r.ctr256_encrypt_inplace(data, bytes(32), bytearray(16), bytearray(1)), None),
    (lambda data, sizes: r.ctr256_encrypt_batch(bytes(8), sizes, bytes(32), bytearray(16), bytearray(1)), None),
    (lambda data, sizes: r.ctr256_decrypt_batch(bytes(8), sizes, bytes(32), bytearray(32), bytearray(2)),
     "sizes must be 4*n bytes"),
    (lambda data, sizes: r.ctr256_decrypt_batch(bytes(7), sizes, bytes(32), bytearray(16), bytearray(1)),
     "data_flat too short for given sizes"),
], ids=["inplace", "batch", "batch-sizes-length", "batch-data-short"])
def test_pinned_bytearray_is_let_go(call, error):
    data, sizes = OwnBufferOnly(b"abcdefgh"), OwnBufferOnly((8).to_bytes(4, "little"))
    if error is None:
        call(data, sizes)
    else:
        with pytest.raises(ValueError, match=re.escape(error)):
            call(data, sizes)
    data.append(0)  # BufferError while an export is left behind
    sizes.append(0)
    assert (len(data), len(sizes)) == (9, 5)
