"""Argument binding, argument conversion and the parameter notes on conversion errors."""

import operator
import os
import struct
import sys
import threading

import numpy as np
import pytest

import rederodidizo as r
import reference

K32, IV32, AK, AKID, SID = bytes(32), bytes(32), bytes(256), bytes(8), bytes(8)
PACK = dict(msg_id=1, seq_no=2, body=b"", salt=3, session_id=SID, auth_key=AK, auth_key_id=AKID)


def raises(exc_type, fn, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    return info.value


def notes(exc):
    return getattr(exc, "__notes__", None)


class Str(str):
    def __str__(self):
        return "custom"


@pytest.mark.parametrize("call, message", [
    (lambda: r.sha256_digest(), "sha256_digest() missing 1 required positional argument: 'data'"),
    (lambda: r.kdf(), "kdf() missing 3 required positional arguments: 'auth_key', 'msg_key', and 'outgoing'"),
    (lambda: r.kdf(b""), "kdf() missing 2 required positional arguments: 'msg_key' and 'outgoing'"),
    (lambda: r.kdf(b"", outgoing=True), "kdf() missing 1 required positional argument: 'msg_key'"),
    (lambda: r.unpack_message(incoming=True), "unpack_message() missing 4 required positional arguments: "
                                              "'packed', 'session_id', 'auth_key', and 'auth_key_id'"),
    (lambda: r.pack_message(msg_id=1, body=b""), "pack_message() missing 5 required positional arguments: "
                                                 "'seq_no', 'salt', 'session_id', 'auth_key', and 'auth_key_id'"),
    (lambda: r.sha256_digest(b"", b""), "sha256_digest() takes 1 positional arguments but 2 were given"),
    (lambda: r.kdf(AK, b"", True, True), "kdf() takes 3 positional arguments but 4 were given"),
    (lambda: r.unpack_message(*[b""] * 6), "unpack_message() takes from 4 to 5 positional arguments but 6 were given"),
    (lambda: r.sha256_digest(b"", data=b""), "sha256_digest() got multiple values for argument 'data'"),
    (lambda: r.kdf(AK, msg_key=b"", auth_key=AK), "kdf() got multiple values for argument 'auth_key'"),
    (lambda: r.sha256_digest(Data=b""), "sha256_digest() got an unexpected keyword argument 'Data'"),
    (lambda: r.sha256_digest(**{"\udc80": b""}), "sha256_digest() got an unexpected keyword argument '\udc80'"),
    (lambda: r.sha256_digest(**{Str("dat"): b""}), "sha256_digest() got an unexpected keyword argument 'custom'"),
    # The first offending keyword ends binding, whatever follows it.
    (lambda: r.kdf(AK, zz=1, auth_key=AK), "kdf() got an unexpected keyword argument 'zz'"),
    (lambda: r.kdf(AK, auth_key=AK, zz=1), "kdf() got multiple values for argument 'auth_key'"),
    # Surplus positionals are reported before any keyword; an unknown keyword before missing ones.
    (lambda: r.sha256_digest(b"", b"", Data=1), "sha256_digest() takes 1 positional arguments but 2 were given"),
    (lambda: r.kdf(b"", zz=1), "kdf() got an unexpected keyword argument 'zz'"),
])
def test_binding_errors(call, message):
    exc = raises(TypeError, call)
    assert exc.args == (message,)
    assert notes(exc) is None


def test_keywords_bind_in_any_order():
    m = os.urandom(16)
    ak = os.urandom(256)
    expected = reference.kdf(ak, m, True)
    assert r.kdf(outgoing=True, msg_key=m, auth_key=ak) == expected
    assert r.kdf(ak, **{Str("msg_key"): m, "outgoing": True}) == expected  # matched by content
    assert r.sha256_digest(data=m) == reference.sha256(m)


def _packed(x):
    ak = os.urandom(256)
    body = os.urandom(20)
    data = reference.plaintext(7, SID, 11, 13, body, os.urandom(reference.padding_size(len(body))))
    return reference.seal(ak, AKID, data, x), ak


UNPACK_ARGS = (b"\0" * 40, SID, AK, AKID)


@pytest.mark.parametrize("call, param, message", [
    (lambda: r.sha256_digest(None), "data", "'None' is not an instance of 'bytes'"),
    (lambda: r.sha256_digest(123), "data", "'int' object is not an instance of 'bytes'"),
    (lambda: r.sha256_digest(bytearray(3)), "data", "'bytearray' object is not an instance of 'bytes'"),
    (lambda: r.sha256_digest(memoryview(bytes(3))), "data", "'memoryview' object is not an instance of 'bytes'"),
    (lambda: r.sha256_digest("abc"), "data", "'str' object is not an instance of 'bytes'"),
    (lambda: r.ige256_decrypt(b"", bytearray(32), IV32), "key", "'bytearray' object is not an instance of 'bytes'"),
    (lambda: r.ctr256_encrypt(b"", K32, bytes(16), bytearray(1)), "iv", "'bytes' object is not an instance of 'bytearray'"),
    (lambda: r.ctr256_decrypt_inplace(b"ab", K32, bytearray(16), bytearray(1)), "data",
     "'bytes' object is not an instance of 'bytearray'"),
    (lambda: r.ctr256_encrypt_batch(b"", bytearray(), K32, bytearray(), memoryview(bytearray())), "states",
     "'memoryview' object is not an instance of 'bytearray'"),
    (lambda: r.kdf(AK, b"", 1), "outgoing", "'int' object is not an instance of 'bool'"),
    (lambda: r.kdf(AK, b"", 0), "outgoing", "'int' object is not an instance of 'bool'"),
    (lambda: r.kdf(AK, b"", None), "outgoing", "'None' is not an instance of 'bool'"),
    (lambda: r.kdf(AK, b"", np.int8(1)), "outgoing", "'int8' object is not an instance of 'bool'"),
    (lambda: r.unpack_message(*UNPACK_ARGS, incoming=None), "incoming", "'None' is not an instance of 'bool'"),
    (lambda: r.pack_message(**{**PACK, "session_id": bytearray(8)}), "session_id",
     "'bytearray' object is not an instance of 'bytes'"),
    # Every conversion runs before any length check.
    (lambda: r.ige256_encrypt(b"", bytes(31), "iv"), "iv", "'str' object is not an instance of 'bytes'"),
    (lambda: r.kdf(bytes(255), b"", None), "outgoing", "'None' is not an instance of 'bool'"),
    (lambda: r.pack_message(**{**PACK, "auth_key": b"", "auth_key_id": None}), "auth_key_id",
     "'None' is not an instance of 'bytes'"),
])
def test_conversion_errors_name_the_parameter(call, param, message):
    exc = raises(TypeError, call)
    assert type(exc) is TypeError and exc.args == (message,)
    assert notes(exc) == [f"while processing '{param}'"]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class IntSub(int):
    pass


@pytest.mark.parametrize("fields", [
    dict(msg_id=True, seq_no=False, salt=IntSub(-5)),
    dict(msg_id=Index(-1), seq_no=Index(2**31 - 1), salt=2**63 - 1),
    dict(msg_id=IntSub(-2**63), seq_no=-2**31, salt=Index(-2**63)),
])
def test_integer_kinds_accept_int_like_objects(fields):
    ak = os.urandom(256)
    packed = r.pack_message(**{**PACK, "auth_key": ak, **fields})
    plain = reference.open_packed(ak, packed, 0)
    salt, _, msg_id, seq_no = struct.unpack_from("<q8sqi", plain)
    assert (msg_id, seq_no, salt) == tuple(operator.index(fields[k]) for k in ("msg_id", "seq_no", "salt"))


@pytest.mark.parametrize("param, value, exc_type", [
    ("seq_no", 2**31, OverflowError),
    ("seq_no", -2**31 - 1, OverflowError),
    ("msg_id", 2**63, OverflowError),
    ("salt", -2**63 - 1, OverflowError),
    ("msg_id", 1.0, TypeError),
    ("seq_no", "1", TypeError),
    ("salt", None, TypeError),
])
def test_integer_kinds_refuse_with_interpreter_errors(param, value, exc_type):
    exc = raises(exc_type, r.pack_message, **{**PACK, param: value})
    assert type(exc) is exc_type
    if exc_type is TypeError:  # the interpreter's own message for a non-integer
        assert exc.args == raises(TypeError, operator.index, value).args
    assert notes(exc) == [f"while processing '{param}'"]


def test_index_error_propagates_with_note():
    error = ValueError("no index here")
    exc = raises(ValueError, r.pack_message, **{**PACK, "seq_no": Index(error)})
    assert exc is error and exc.args == ("no index here",)
    assert notes(exc) == ["while processing 'seq_no'"]


def test_numpy_bools_accepted():
    ak, m = os.urandom(256), os.urandom(16)
    assert r.kdf(ak, m, np.True_) == reference.kdf(ak, m, True)
    assert r.kdf(ak, m, np.False_) == reference.kdf(ak, m, False)
    for x, flag, np_flag in ((0, False, np.False_), (8, True, np.True_)):
        packed, key = _packed(x)
        expected = r.unpack_message(packed, SID, key, AKID, flag)
        assert expected[0] == 11 and expected[1] == 13
        assert r.unpack_message(packed, SID, key, AKID, incoming=np_flag) == expected


def _panic_class():
    """The module's PanicException class, taken from a real fault: another thread resizes
    `iv` while a long CTR call runs with the interpreter lock released."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(5.0)  # the helper thread runs only once the call releases the lock
    try:
        for _ in range(20):
            iv, go = bytearray(16), threading.Event()
            helper = threading.Thread(target=lambda: (go.wait(), iv.append(0)))
            helper.start()
            go.set()
            try:
                r.ctr256_encrypt(bytes(1 << 25), K32, iv, bytearray(1))
            except Exception:
                raise
            except BaseException as exc:
                return type(exc), exc
            finally:
                helper.join()
    finally:
        sys.setswitchinterval(old)
    pytest.fail("the write-back fault was never reached")


def test_panic_from_index_is_resumed():
    panic_type, first = _panic_class()
    assert panic_type.__name__ == "PanicException" and panic_type.__bases__ == (BaseException,)
    assert first.args == ("copy_from_slice: source slice length (16) does not match destination slice length (17)",)

    class Unprintable(panic_type):
        def __str__(self):
            raise RuntimeError("no str")

    resumed = []
    for raised, text in ((panic_type("boom"), "boom"), (Unprintable("x"), "Unwrapped panic from Python code")):
        caught_as_exception = False
        try:
            try:
                r.pack_message(**{**PACK, "msg_id": Index(raised)})
            except Exception:
                caught_as_exception = True
        except BaseException as exc:
            assert type(exc) is panic_type and exc is not raised
            assert exc.args == (text,)
            resumed.append(exc)
        assert not caught_as_exception
    assert len(resumed) == 2
    # A resumed fault is raised anew by the fault path; it is not a conversion error and
    # carries no parameter note.
    assert [notes(exc) for exc in resumed] == [None, None]
