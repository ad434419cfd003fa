"""No call leaks: for every function, 2,000 calls on its success path and on each way
it can fail leave the interpreter's total reference count and its count of allocated
memory blocks where they were (within a small constant). Needs the debug
interpreter, which keeps those totals.

PanicException is reachable in two honest ways: a CTR call whose bytearray another
thread resizes while the call works without the interpreter lock (write-back finds
it resized), and a PanicException raised by a caller's __index__ during
pack_message's integer conversion, which resumes as a fault. The class itself can
only be had from a real one, so the first race supplies it.
"""

import contextlib
import gc
import os
import struct
import sys
import threading

import pytest

import rederodidizo as r
import reference

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs a debug interpreter (sys.gettotalrefcount)")

CALLS = 2000
LIMIT = 50  # refs / blocks of noise allowed over all the calls (a leak per call: 2,000)
K, IV32, AK, AKID, SID = os.urandom(32), os.urandom(32), os.urandom(256), os.urandom(8), os.urandom(8)
DATA = os.urandom(100)
BIG = 256 * 1024  # long enough for another thread to run inside the unlocked window


def _incoming_message():
    plain = reference.plaintext(5, SID, 6, 7, b"body", os.urandom(12))
    return reference.seal(AK, AKID, plain, 8)


PACKED = _incoming_message()
PACK = dict(msg_id=1, seq_no=2, body=DATA, salt=3, session_id=SID, auth_key=AK, auth_key_id=AKID)


def _batch_args():
    return (DATA, bytearray(b"\x0a\0\0\0\x14\0\0\0"), K, bytearray(32), bytearray(2))


class Index:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


@contextlib.contextmanager
def _resizer(obj, length, shrink=False):
    """A thread that grows `obj` by a byte (or cuts one: a batch's `ivs` may grow)
    whenever it has `length` bytes. It gets to run when a call releases the
    interpreter lock, so the call finds `obj` resized when it writes back."""
    stop = []
    resize = obj.pop if shrink else (lambda: obj.append(0))

    def run():
        while not stop:
            if len(obj) == length:
                resize()

    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    thread = threading.Thread(target=run)
    thread.start()
    try:
        yield
    finally:
        stop.append(True)
        thread.join()
        sys.setswitchinterval(previous)


def _race(call, obj, length, until):
    """Calls `call` with `obj` set back to `length` bytes each time; counts outcomes.
    A ValueError means the other thread resized `obj` before the call's own checks."""
    counts = {"ok": 0, "panic": 0, "value": 0}
    while not until(counts):
        obj[:] = bytes(length)
        try:
            call()
            counts["ok"] += 1
        except ValueError:
            counts["value"] += 1
        except Exception:
            raise
        except BaseException as exc:
            assert type(exc).__name__ == "PanicException", exc
            counts["panic"] += 1
    return counts


@pytest.fixture(scope="module")
def panic_class():
    iv, state, src = bytearray(16), bytearray(1), bytes(4 * BIG)
    caught = []

    def call():
        try:
            r.ctr256_encrypt(src, K, iv, state)
        except Exception:
            raise
        except BaseException as exc:
            caught.append(type(exc))
            raise

    with _resizer(iv, 16):
        _race(call, iv, 16, lambda counts: counts["panic"] or sum(counts.values()) > 5000)
    assert caught, "no PanicException from the resize race"
    return caught[0]


def _totals():
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def _assert_no_growth(run, limit=LIMIT):
    run(200)  # warm-up: interned names, the PanicException class, caches
    refs, blocks = _totals()
    run(CALLS)
    refs_after, blocks_after = _totals()
    assert refs_after - refs < limit and blocks_after - blocks < limit, (refs_after - refs, blocks_after - blocks)


def _loop(call, expected):
    def run(n):
        for _ in range(n):
            try:
                call()
            except expected:
                pass
    return run


class _Never(Exception):
    pass


CASES = {
    "ige256_encrypt": [
        (lambda: r.ige256_encrypt(DATA, K, IV32), None),
        (lambda: r.ige256_encrypt(DATA, K), TypeError),
        (lambda: r.ige256_encrypt(DATA, K, bytearray(IV32)), TypeError),
        (lambda: r.ige256_encrypt(DATA, K, IV32[:16]), ValueError),
    ],
    "ige256_decrypt": [
        (lambda: r.ige256_decrypt(data=DATA, key=K, iv=IV32), None),
        (lambda: r.ige256_decrypt(DATA, K, IV32, iv=IV32), TypeError),
        (lambda: r.ige256_decrypt(None, K, IV32), TypeError),
        (lambda: r.ige256_decrypt(DATA, K[:31], IV32), ValueError),
    ],
    "ctr256_encrypt": [
        (lambda: r.ctr256_encrypt(DATA, K, bytearray(16), bytearray(1)), None),
        (lambda: r.ctr256_encrypt(DATA, K, bytearray(16), State=bytearray(1)), TypeError),
        (lambda: r.ctr256_encrypt(DATA, K, bytes(16), bytearray(1)), TypeError),
        (lambda: r.ctr256_encrypt(DATA, K, bytearray(16), bytearray()), ValueError),
    ],
    "ctr256_decrypt": [
        (lambda: r.ctr256_decrypt(DATA, K, iv=bytearray(16), state=bytearray(1)), None),
        (lambda: r.ctr256_decrypt(DATA, K, bytearray(16)), TypeError),
        (lambda: r.ctr256_decrypt(bytearray(DATA), K, bytearray(16), bytearray(1)), TypeError),
        (lambda: r.ctr256_decrypt(DATA, K, bytearray(17), bytearray(1)), ValueError),
    ],
    "ctr256_encrypt_inplace": [
        (lambda: r.ctr256_encrypt_inplace(bytearray(DATA), K, bytearray(16), bytearray(1)), None),
        (lambda: r.ctr256_encrypt_inplace(bytearray(DATA), K, bytearray(16), bytearray(1), 5), TypeError),
        (lambda: r.ctr256_encrypt_inplace(DATA, K, bytearray(16), bytearray(1)), TypeError),
        (lambda: r.ctr256_encrypt_inplace(bytearray(DATA), K + b"x", bytearray(16), bytearray(1)), ValueError),
    ],
    "ctr256_decrypt_inplace": [
        (lambda: r.ctr256_decrypt_inplace(bytearray(), K, bytearray(16), bytearray(3)), None),
        (lambda: r.ctr256_decrypt_inplace(), TypeError),
        (lambda: r.ctr256_decrypt_inplace(bytearray(DATA), K, bytearray(16), memoryview(bytearray(1))), TypeError),
        (lambda: r.ctr256_decrypt_inplace(bytearray(DATA), K, bytearray(16), bytearray()), ValueError),
    ],
    "ctr256_encrypt_batch": [
        (lambda: r.ctr256_encrypt_batch(*_batch_args()), None),
        (lambda: r.ctr256_encrypt_batch(*_batch_args()[:4]), TypeError),
        (lambda: r.ctr256_encrypt_batch(DATA, b"\0" * 8, K, bytearray(32), bytearray(2)), TypeError),
        (lambda: r.ctr256_encrypt_batch(DATA[:29], *_batch_args()[1:]), ValueError),
    ],
    "ctr256_decrypt_batch": [
        (lambda: r.ctr256_decrypt_batch(*_batch_args()), None),
        (lambda: r.ctr256_decrypt_batch(*_batch_args(), extra=1), TypeError),
        (lambda: r.ctr256_decrypt_batch(*_batch_args()[:4], "states"), TypeError),
        (lambda: r.ctr256_decrypt_batch(DATA, bytearray(8), K, bytearray(31), bytearray(2)), ValueError),
    ],
    "kdf": [
        (lambda: r.kdf(AK, IV32[:16], True), None),
        (lambda: r.kdf(AK, outgoing=False), TypeError),
        (lambda: r.kdf(AK, IV32[:16], 1), TypeError),
        (lambda: r.kdf(AK[:255], IV32[:16], False), ValueError),
    ],
    "sha256_digest": [
        (lambda: r.sha256_digest(DATA), None),
        (lambda: r.sha256_digest(DATA, data=DATA), TypeError),
        (lambda: r.sha256_digest(bytearray(DATA)), TypeError),
    ],
    "pack_message": [
        (lambda: r.pack_message(**PACK), None),
        (lambda: r.pack_message(*PACK.values(), PACK["auth_key_id"]), TypeError),
        (lambda: r.pack_message(**{**PACK, "seq_no": 2**31}), OverflowError),
        (lambda: r.pack_message(**{**PACK, "salt": 1.5}), TypeError),
        (lambda: r.pack_message(**{**PACK, "session_id": SID[:7]}), ValueError),
        (lambda: r.pack_message(**{**PACK, "auth_key_id": AKID + b"x"}), ValueError),
    ],
    "unpack_message": [
        (lambda: r.unpack_message(PACKED, SID, AK, AKID), None),
        (lambda: r.unpack_message(PACKED, SID, AK), TypeError),
        (lambda: r.unpack_message(PACKED, SID, AK, AKID, incoming=None), TypeError),
        (lambda: r.unpack_message(PACKED[:23], SID, AK, AKID), ValueError),
        (lambda: r.unpack_message(PACKED, SID, AK, AKID, False), ValueError),  # msg_key mismatch, after decryption
        (lambda: r.unpack_message(PACKED, SID[::-1], AK, AKID), ValueError),
    ],
}


@pytest.mark.parametrize("call, expected", [
    pytest.param(call, expected, id=f"{name}-{(expected or _Never).__name__}-{i}")
    for name, cases in CASES.items() for i, (call, expected) in enumerate(cases)])
def test_calls_do_not_leak(call, expected):
    if expected is None:
        call()
    else:
        with pytest.raises(expected):
            call()
    _assert_no_growth(_loop(call, expected or _Never))


def test_resumed_panic_from_index_does_not_leak(panic_class):
    # Each resumed fault prints its traceback to sys.stderr: a sink of fixed size keeps
    # the capture's growing buffer out of the totals, but the traceback printer's own
    # caches still fill and empty by about a hundred objects (a leak would be 2,000).
    with open(os.devnull, "w") as sink, contextlib.redirect_stderr(sink):
        for field in ("msg_id", "seq_no", "salt"):
            call = lambda: r.pack_message(**{**PACK, field: Index(panic_class("from __index__"))})
            with pytest.raises(panic_class):
                call()
            _assert_no_growth(_loop(call, panic_class), limit=5 * LIMIT)


@pytest.mark.parametrize("which", ["ctr256_encrypt", "ctr256_decrypt_inplace", "ctr256_encrypt_batch"])
def test_resize_panic_does_not_leak(which, panic_class):
    src, iv, state, data, ivs = bytes(BIG), bytearray(16), bytearray(1), bytearray(BIG), bytearray(32)
    sizes = bytearray(struct.pack("<2I", BIG // 2, BIG // 2))
    call, obj, length = {
        "ctr256_encrypt": (lambda: r.ctr256_encrypt(src, K, iv, state), iv, 16),
        "ctr256_decrypt_inplace": (lambda: r.ctr256_decrypt_inplace(data, K, iv, state), data, BIG),
        "ctr256_encrypt_batch": (lambda: r.ctr256_encrypt_batch(src, sizes, K, ivs, bytearray(2)), ivs, 32),
    }[which]
    with _resizer(obj, length, shrink=which.endswith("batch")):
        _race(call, obj, length, lambda counts: sum(counts.values()) >= 200)  # warm-up
        refs, blocks = _totals()
        counts = _race(call, obj, length, lambda c: sum(c.values()) >= 20 * CALLS
                       or (sum(c.values()) >= CALLS and c["panic"] >= 200))
        refs_after, blocks_after = _totals()
    assert counts["panic"] >= 200, counts
    assert refs_after - refs < LIMIT and blocks_after - blocks < LIMIT, counts
