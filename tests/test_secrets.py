"""Key material left behind: after each function returns, none of the key material
it handled is left in the calling thread's stack memory.

Every function is called far down the main thread's C stack; then the stack mapping
is copied and searched for the secrets of that call (16-byte windows of them, so that
a partial copy is found too): raw keys and IGE vectors, round keys, the authorization
key, derived keys and vectors, and the SHA-256 digests and states of key material.
Expected values are computed only after the copy is taken, so that the test's own
hashing leaves nothing on the stack beforehand.

The last test looks for plaintext rather than keys: a decrypted message must not be
left in the thread's retained working buffer once unpack_message has returned.

A control shows that the scan sees the frames of a call: the stream position that
ctr256_encrypt keeps on its stack (not a secret, so not wiped) is found there.
"""

import ctypes
import os
import struct
import subprocess
import sys
import threading

import pytest

import reference
import rederodidizo as r


def _under_asan():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


# AddressSanitizer moves the frames of instrumented code to a stack of its own, away
# from the thread's: there is nothing to scan.
pytestmark = pytest.mark.skipif(_under_asan(), reason="frames live on AddressSanitizer's own stack")


def _stack():
    with open("/proc/self/maps") as maps:
        line = next(line for line in maps if line.rstrip().endswith("[stack]"))
    start, end = (int(x, 16) for x in line.split()[0].split("-"))
    return ctypes.string_at(start, end - start)


def _deep(levels, call):
    """Runs `call` far down the C stack: each level passes through C (map's next), so
    that copying the stack from up here does not overwrite the call's old frames."""
    return call() if levels == 0 else list(map(lambda _: _deep(levels - 1, call), [0]))[0]


def _after(call):
    """The call's result and a copy of the main thread's stack right after it."""
    assert threading.current_thread() is threading.main_thread()  # its stack is mapped as [stack]
    result = _deep(40, call)
    return result, _stack()


def _windows(secret):
    return [secret[i:i + 16] for i in range(0, len(secret) - 15, 8)]


def _round_keys(key):
    return reference.aes256_round_keys(key)[2:]  # 0 and 1 are the key itself


def _decryption_keys(key):
    return [reference.inv_mix_columns(k) for k in reference.aes256_round_keys(key)[1:14]]


def _sha256_states(*parts):
    """The digest of `parts` and its eight state words in host order (how a context
    holds them after its last compression)."""
    digest = reference.sha256(*parts)
    return [digest, struct.pack("=8I", *struct.unpack(">8I", digest))]


def _message_key_states(auth_key_slice, plaintext):
    """What hashing the message key leaves: its digest, except bytes 8 to 23, which
    are the message key itself and travel in the clear (halves that straddle them
    are searched instead), and the context's state words."""
    digest, words = _sha256_states(auth_key_slice, plaintext)
    return [digest[:16], digest[16:], words]


def _derived(auth_key, msg_key, x):
    a = reference.sha256(msg_key, auth_key[x:x + 36])
    b = reference.sha256(auth_key[x + 40:x + 76], msg_key)
    aes_key, aes_iv = reference.kdf(auth_key, msg_key, x == 0)
    return [aes_key, aes_iv, *_sha256_states(a), *_sha256_states(b), *_round_keys(aes_key)]


def _ige(name):
    key, iv = os.urandom(32), os.urandom(32)
    _, stack = _after(lambda: getattr(r, name)(os.urandom(4096), key, iv))
    extra = _decryption_keys(key) if name == "ige256_decrypt" else []
    return stack, [key, iv, *_round_keys(key), *extra]


def _ctr(name):
    key = os.urandom(32)
    if name.endswith("_batch"):
        call = lambda: getattr(r, name)(os.urandom(300), bytearray(b"\x64\0\0\0" * 3), key,
                                        bytearray(48), bytearray(3))
    elif name.endswith("_inplace"):
        call = lambda: getattr(r, name)(bytearray(4096), key, bytearray(16), bytearray(1))
    else:
        call = lambda: getattr(r, name)(os.urandom(4096), key, bytearray(16), bytearray(1))
    _, stack = _after(call)
    return stack, [key, *_round_keys(key)]


def _kdf(outgoing):
    auth_key, msg_key = os.urandom(256), os.urandom(16)
    _, stack = _after(lambda: r.kdf(auth_key, msg_key, outgoing))
    return stack, [auth_key, *_derived(auth_key, msg_key, 0 if outgoing else 8)]


def _sha256_digest():
    data = os.urandom(48)  # under one block: all of it sits in the context's buffer
    _, stack = _after(lambda: r.sha256_digest(data))
    return stack, [data, *_sha256_states(data)]


def _pack():
    auth_key, auth_key_id, session_id = os.urandom(256), os.urandom(8), os.urandom(8)
    packed, stack = _after(lambda: r.pack_message(1, 2, os.urandom(100), 3, session_id, auth_key, auth_key_id))
    plain = reference.open_packed(auth_key, packed, 0)
    return stack, [auth_key, *_derived(auth_key, packed[8:24], 0), *_message_key_states(auth_key[88:120], plain)]


def _unpack():
    # The message comes from pack_message, so that no other code has hashed or
    # encrypted with this key before the call.
    auth_key, auth_key_id, session_id = os.urandom(256), os.urandom(8), os.urandom(8)
    packed = r.pack_message(1, 2, os.urandom(100), 3, session_id, auth_key, auth_key_id)
    _, stack = _after(lambda: r.unpack_message(packed, session_id, auth_key, auth_key_id, incoming=False))
    plain = reference.open_packed(auth_key, packed, 0)
    return stack, [auth_key, *_derived(auth_key, packed[8:24], 0), *_message_key_states(auth_key[88:120], plain)]


CALLS = {
    "ige256_encrypt": lambda: _ige("ige256_encrypt"),
    "ige256_decrypt": lambda: _ige("ige256_decrypt"),
    **{name: (lambda name=name: _ctr(name)) for name in (
        "ctr256_encrypt", "ctr256_decrypt", "ctr256_encrypt_inplace", "ctr256_decrypt_inplace",
        "ctr256_encrypt_batch", "ctr256_decrypt_batch")},
    "kdf outgoing": lambda: _kdf(True),
    "kdf incoming": lambda: _kdf(False),
    "sha256_digest": _sha256_digest,
    "pack_message": _pack,
    "unpack_message": _unpack,
}


def test_helpers_match_fips_197():
    key = bytes.fromhex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4")
    assert reference.aes256_round_keys(key)[14].hex() == "fe4890d1e6188d0b046df344706c631e"  # A.3
    # MixColumns maps the column db 13 53 45 to 8e 4d a1 bc (FIPS 197, 5.1.3)
    assert reference.inv_mix_columns(bytes.fromhex("8e4da1bc" * 4)) == bytes.fromhex("db135345" * 4)


def test_scan_sees_the_frames_of_a_call():
    iv = bytearray(os.urandom(16))
    _, stack = _after(lambda: r.ctr256_encrypt(os.urandom(1000), os.urandom(32), iv, bytearray(1)))
    assert bytes(iv) in stack  # the final position, as the call kept it


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_no_key_material_left_on_the_stack(call):
    stack, secrets = call()
    left = [secret.hex() for secret in secrets if any(w in stack for w in _windows(secret))]
    assert left == []


# The child decrypts a 1 MiB message whose body is one random 16-byte mark repeated,
# then looks through its own writable memory for 4 KiB of marks in a row, which only a
# copy of that plaintext holds (the mark alone is in the child's `mark` object). glibc
# is told to map every block of 128 KiB or more by itself and to unmap it when freed,
# so the body, the message and the result are gone once dropped, and what is left is
# the thread's retained working buffer. A shorter run proves nothing: the C library's
# memcpy leaves pieces of what it copied in vector registers, and the dynamic linker's
# lazy resolver saves those to the stack (up to 1 KiB of consecutive marks, from the
# AVX-512 registers), whatever the module does.
_LEFT_IN_BUFFER = """
import os, rederodidizo as r
auth_key, key_id, session, mark = os.urandom(256), os.urandom(8), os.urandom(8), os.urandom(16)
packed = r.pack_message(1, 2, mark * 65536, 3, session, auth_key, key_id)
r.unpack_message(packed, session, auth_key, key_id, incoming=False)
def long_run(data):
    at = data.find(mark)
    while at != -1:
        if data.count(mark, at, at + 4096) == 256:
            return True
        at = data.find(mark, at + 1)
    return False
found = False
with open("/proc/self/maps") as maps, open("/proc/self/mem", "rb", buffering=0) as memory:
    for line in maps.read().splitlines():
        span, perms = line.split()[:2]
        if not perms.startswith("rw"):
            continue
        start, end = (int(x, 16) for x in span.split("-"))
        try:
            found = found or long_run(os.pread(memory.fileno(), end - start, start))
        except OSError:
            pass
print(found)
"""


def test_decrypted_message_not_left_in_the_thread_buffer():
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="131072")
    child = subprocess.run([sys.executable, "-c", _LEFT_IN_BUFFER], capture_output=True, text=True, check=True, env=env)
    assert child.stdout.strip() == "False"
