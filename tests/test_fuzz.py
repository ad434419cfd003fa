"""Property-based calls of all twelve functions with arguments of any type and length,
by position and by keyword, with binding mistakes mixed in.

For every call a small model of the binding, conversion and length rules predicts
the outcome: the call raises exactly the predicted TypeError, OverflowError or
ValueError (never anything else, and never PanicException: no other thread touches
its arguments), or it succeeds and returns what the reference computes. No argument
is modified, except the bytearray outputs of a successful CTR call (iv/state, the
in-place data, ivs/states), which then hold the reference's values.

RDZ_FUZZ_EXAMPLES is the number of examples per function (`make fuzz-properties`: 20,000).
"""

import hashlib
import operator
import os
import struct

import pytest
from hypothesis import HealthCheck, event, given, settings, strategies as st

import reference
import rederodidizo as r

try:
    import numpy
except ImportError:  # the bool kind's numpy branch is then not exercised
    numpy = None

EXAMPLES = int(os.environ.get("RDZ_FUZZ_EXAMPLES", "150"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None, suppress_health_check=list(HealthCheck))


class BytesSub(bytes):
    pass


class BytearraySub(bytearray):
    pass


class IntSub(int):
    pass


_CTR = (("key", "bytes"), ("iv", "bytearray"), ("state", "bytearray"))
PARAMS = {
    "ige256_encrypt": (("data", "bytes"), ("key", "bytes"), ("iv", "bytes")),
    "ctr256_encrypt": (("src", "bytes"),) + _CTR,
    "ctr256_encrypt_inplace": (("data", "bytearray"),) + _CTR,
    "ctr256_encrypt_batch": (("data_flat", "bytes"), ("sizes", "bytearray"), ("key", "bytes"),
                             ("ivs", "bytearray"), ("states", "bytearray")),
    "kdf": (("auth_key", "bytes"), ("msg_key", "bytes"), ("outgoing", "bool")),
    "sha256_digest": (("data", "bytes"),),
    "pack_message": (("msg_id", "int64"), ("seq_no", "int32"), ("body", "bytes"), ("salt", "int64"),
                     ("session_id", "bytes"), ("auth_key", "bytes"), ("auth_key_id", "bytes")),
    "unpack_message": (("packed", "bytes"), ("session_id", "bytes"), ("auth_key", "bytes"),
                       ("auth_key_id", "bytes"), ("incoming", "bool")),
}
for _encrypt in ("ige256_encrypt", "ctr256_encrypt", "ctr256_encrypt_inplace", "ctr256_encrypt_batch"):
    PARAMS[_encrypt.replace("encrypt", "decrypt")] = PARAMS[_encrypt]
OUTPUTS = {"iv", "state", "ivs", "states"}  # plus the in-place functions' data
VALID_LENGTH = {"key": 32, "iv": 32, "state": 1, "auth_key": 256, "msg_key": 16, "session_id": 8, "auth_key_id": 8}
INT_RANGE = {"int64": 2**63, "int32": 2**31}

_numpy_bools = [st.booleans().map(numpy.bool_)] if numpy else []
ANYTHING = st.one_of(
    st.binary(max_size=300), st.binary(max_size=300).map(bytearray), st.binary(max_size=40).map(memoryview),
    st.binary(max_size=300).map(BytesSub), st.binary(max_size=300).map(BytearraySub),
    st.text(max_size=20), st.integers(-2**70, 2**70), st.integers(-2**70, 2**70).map(IntSub),
    st.booleans(), st.none(), st.floats(), *_numpy_bools)


@st.composite
def blob(draw, valid=None, kind="bytes", clean=False):
    """Bytes or a bytearray (or a subclass) of the valid length when clean, else mostly."""
    if valid is not None and (clean or draw(st.integers(0, 3))):
        n = valid
    else:
        n = draw(st.integers(0, (valid or 300) + 8))
    data = draw(st.binary(min_size=n, max_size=n))
    base = bytes if kind == "bytes" else bytearray
    return draw(st.sampled_from([base, base, base, BytesSub if kind == "bytes" else BytearraySub]))(data)


def of_kind(kind, valid=None, clean=False):
    if kind in ("bytes", "bytearray"):
        return blob(valid, kind, clean)
    if kind == "bool":
        return st.one_of(st.booleans(), *_numpy_bools)
    bound = INT_RANGE[kind]
    return st.one_of(st.integers(-bound, bound - 1), st.integers(-bound, bound - 1).map(IntSub), st.booleans())


@st.composite
def coherent(draw, name, clean):
    """Arguments of the right kinds, of valid lengths and in agreement when clean (else
    mostly)."""
    args = {p: draw(of_kind(kind, VALID_LENGTH.get(p), clean)) for p, kind in PARAMS[name]}
    if name.startswith("ctr256") and not name.endswith("batch"):
        args["iv"] = draw(blob(16, "bytearray", clean))
    elif name.endswith("batch"):
        sizes = draw(st.lists(st.integers(0, 40), max_size=4))
        n = len(sizes)
        extra = draw(st.sampled_from([0, 3] if clean else [0, 0, 3, -1]))
        args["data_flat"] = draw(blob(max(0, sum(sizes) + extra), "bytes", clean))
        args["sizes"] = draw(st.sampled_from([bytearray, BytearraySub]))(struct.pack(f"<{n}I", *sizes))
        args["ivs"], args["states"] = draw(blob(16 * n, "bytearray", clean)), draw(blob(n, "bytearray", clean))
    elif name == "unpack_message":
        args["packed"] = draw(sealed(args, clean))
    return args


@st.composite
def sealed(draw, args, clean):
    """A message for these keys; unless clean, sometimes damaged, sometimes for the other
    direction, sometimes just bytes."""
    ak, akid, sid = args["auth_key"], args["auth_key_id"], args["session_id"]
    damage = (lambda: False) if clean else (lambda: not draw(st.integers(0, 5)))
    if len(ak) != 256 or damage():
        return bytes(akid) + draw(st.binary(max_size=80))
    body, padding = draw(st.binary(max_size=64)), draw(st.binary(max_size=40))
    length = draw(st.integers(-2**31, 2**31 - 1)) if damage() else len(body)
    ints = [draw(st.integers(-2**63, 2**63 - 1)), draw(st.integers(-2**31, 2**31 - 1)), draw(st.integers(-2**63, 2**63 - 1))]
    plain = reference.plaintext(ints[0], bytes(sid).ljust(8)[:8], ints[2], ints[1], body, padding, length)
    incoming = bool(args["incoming"]) != damage()
    packed = reference.seal(bytes(ak), bytes(akid), plain, 8 if incoming else 0)
    if damage():
        i = draw(st.integers(0, len(packed) - 1))
        packed = packed[:i] + bytes([packed[i] ^ draw(st.integers(1, 255))]) + packed[i + 1:]
    return packed


@st.composite
def calls(draw, name):
    """(positional, keywords): coherent arguments passed partly by position; a third
    of the calls clean, the others with arguments swapped for anything at all and
    the occasional binding mistake."""
    clean = not draw(st.integers(0, 2))
    args = draw(coherent(name, clean))
    for p in args:
        if not clean and not draw(st.integers(0, 7)):
            args[p] = draw(ANYTHING)
    names = list(args)
    if name == "unpack_message" and draw(st.booleans()):
        names.pop()  # incoming left to its default
    split = draw(st.integers(0, len(names)))
    positional = [args[p] for p in names[:split]]
    keywords = {p: args[p] for p in draw(st.permutations(names[split:]))}
    mistake = None if clean else draw(st.sampled_from([None] * 6 + ["drop", "extra", "unknown", "twice"]))
    if mistake == "drop" and keywords:
        del keywords[draw(st.sampled_from(sorted(keywords)))]
    elif mistake == "drop" and positional:
        positional.pop()
    elif mistake == "extra":
        positional.append(draw(ANYTHING))
    elif mistake == "unknown":
        keywords[draw(st.sampled_from(["Data", "keys", "incoming", "iv_", "self"]))] = draw(ANYTHING)
    elif mistake == "twice" and positional:
        keywords[names[0]] = draw(ANYTHING)
    return positional, keywords


# ---- the model -------------------------------------------------------------------

def bind(name, positional, keywords):
    names = [p for p, _ in PARAMS[name]]
    required = 4 if name == "unpack_message" else len(names)
    if len(positional) > len(names):
        return None
    bound = dict(zip(names, positional))
    for k, v in keywords.items():
        if k not in names or k in bound:
            return None
        bound[k] = v
    return bound if all(p in bound for p in names[:required]) else None


def conversion_error(kind, value):
    if kind == "bytes":
        return None if isinstance(value, bytes) else TypeError
    if kind == "bytearray":
        return None if isinstance(value, bytearray) else TypeError
    if kind == "bool":
        return None if type(value) is bool or (numpy and isinstance(value, numpy.bool_)) else TypeError
    try:
        value = operator.index(value)
    except TypeError:
        return TypeError
    return None if -INT_RANGE[kind] <= value < INT_RANGE[kind] else OverflowError


def opened(packed, session_id, auth_key, incoming):
    """What unpack_message returns for a packed message that passed the key id check,
    or None for a ValueError."""
    size = len(packed) - 24
    if size < 32:
        return None
    x = 8 if incoming else 0
    plain = reference.ige_decrypt(packed[24:], *reference.kdf(auth_key, packed[8:24], not incoming))
    if reference.msg_key(auth_key, plain, x) != packed[8:24] or plain[8:16] != session_id or len(session_id) != 8:
        return None
    msg_id, seq_no, length = struct.unpack_from("<qii", plain, 16)
    if length < 0 or length + 32 > size:
        return None
    return msg_id, seq_no, length, plain[32:32 + length], size - 16


def value_error(name, a):
    """Whether the function's own checks refuse the arguments."""
    base = name.replace("decrypt", "encrypt")
    if base == "ige256_encrypt":
        return len(a["key"]) != 32 or len(a["iv"]) != 32
    if base in ("ctr256_encrypt", "ctr256_encrypt_inplace"):
        return len(a["key"]) != 32 or len(a["iv"]) != 16 or not a["state"]
    if base == "ctr256_encrypt_batch":
        n = len(a["states"])
        sizes = struct.unpack(f"<{len(a['sizes']) // 4}I", a["sizes"][:len(a["sizes"]) // 4 * 4])
        return len(a["key"]) != 32 or (n > 0 and (len(a["ivs"]) != 16 * n or len(a["sizes"]) != 4 * n
                                                  or sum(sizes) > len(a["data_flat"])))
    if name == "kdf":
        return len(a["auth_key"]) != 256
    if name == "pack_message":
        return len(a["auth_key"]) != 256 or len(a["auth_key_id"]) != 8 or len(a["session_id"]) != 8
    if name == "unpack_message":
        return (len(a["auth_key"]) != 256 or len(a["auth_key_id"]) != 8 or len(a["packed"]) < 24
                or a["packed"][:8] != a["auth_key_id"]
                or opened(a["packed"], a["session_id"], a["auth_key"], a.get("incoming", True)) is None)
    return False


def expected_outcome(name, positional, keywords):
    """(exception type or None, bound arguments)."""
    bound = bind(name, positional, keywords)
    if bound is None:
        return TypeError, None
    for p, kind in PARAMS[name]:
        if p in bound and (error := conversion_error(kind, bound[p])):
            return error, None
    return (ValueError if value_error(name, bound) else None), bound


def check_result(name, a, result):
    """Asserts that `result` is the reference's; returns the expected final contents of
    the bytearray outputs."""
    base = name.replace("decrypt", "encrypt")
    if base == "ige256_encrypt":
        transform = reference.ige_encrypt if name == base else reference.ige_decrypt
        assert type(result) is bytes and result == transform(bytes(a["data"]), bytes(a["key"]), bytes(a["iv"]))
        return {}
    if base in ("ctr256_encrypt", "ctr256_encrypt_inplace"):
        source = "src" if base == "ctr256_encrypt" else "data"
        out, counter, offset = reference.ctr_apply(bytes(a[source]), bytes(a["key"]), bytes(a["iv"]), a["state"][0])
        writes = {"iv": counter, "state": bytes([offset]) + a["state"][1:]}
        if base == "ctr256_encrypt":
            assert type(result) is bytes and result == out
        else:
            assert result is None
            writes["data"] = out
        return writes
    if base == "ctr256_encrypt_batch":
        n, flat, at, expected = len(a["states"]), bytes(a["data_flat"]), 0, b""
        writes = {"ivs": b"", "states": b""}
        for k, size in enumerate(struct.unpack(f"<{n}I", a["sizes"]) if n else ()):
            out, counter, offset = reference.ctr_apply(flat[at:at + size], bytes(a["key"]),
                                                       bytes(a["ivs"][16 * k:16 * k + 16]), a["states"][k])
            expected, at = expected + out, at + size
            writes["ivs"] += counter
            writes["states"] += bytes([offset])
        assert type(result) is bytes and result == (expected + flat[at:] if n else b"")
        return writes if n else {}
    if name == "kdf":
        assert type(result) is tuple and result == reference.kdf(bytes(a["auth_key"]), bytes(a["msg_key"]), bool(a["outgoing"]))
    elif name == "sha256_digest":
        assert type(result) is bytes and result == hashlib.sha256(a["data"]).digest()
    elif name == "pack_message":
        body, ak = bytes(a["body"]), bytes(a["auth_key"])
        assert type(result) is bytes and len(result) == 56 + len(body) + reference.padding_size(len(body))
        assert result[:8] == a["auth_key_id"]
        plain = reference.open_packed(ak, result, 0)
        assert reference.msg_key(ak, plain, 0) == result[8:24]
        ints = [operator.index(a[p]) for p in ("salt", "msg_id", "seq_no")]
        assert plain[:32 + len(body)] == reference.plaintext(ints[0], bytes(a["session_id"]), ints[1], ints[2], body, b"")
    else:
        assert type(result) is tuple and result == opened(bytes(a["packed"]), a["session_id"], bytes(a["auth_key"]),
                                                           a.get("incoming", True))
    return {}


def contents(value):
    """A copy of a byte string's contents; None for what a call cannot modify."""
    return bytes(value) if isinstance(value, (bytes, bytearray, memoryview)) else None


@pytest.mark.parametrize("name", sorted(PARAMS))
@FUZZ
@given(data=st.data())
def test_any_call(name, data):
    names = [p for p, _ in PARAMS[name]]
    outputs = OUTPUTS | ({"data"} if "inplace" in name else set())
    positional, keywords = data.draw(calls(name))
    passed = [(names[i] if i < len(names) else None, v) for i, v in enumerate(positional)] + list(keywords.items())
    before = [contents(v) for _, v in passed]
    error, bound = expected_outcome(name, positional, keywords)
    frozen = bound and {p: bytes(v) if isinstance(v, bytearray) else v for p, v in bound.items()}
    try:
        result = getattr(r, name)(*positional, **keywords)
    except BaseException as exc:
        assert type(exc) in (TypeError, ValueError, OverflowError, MemoryError), repr(exc)
        assert type(exc) in (error, MemoryError), (repr(exc), error)
        event(type(exc).__name__)
        writes = {}
    else:
        assert error is None, (error, result)
        event("success")
        writes = check_result(name, frozen, result)
    for (param, value), old in zip(passed, before):
        if old is not None:
            assert contents(value) == (writes.get(param, old) if param in outputs else old), param
