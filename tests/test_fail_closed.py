"""Where no constant-time AES path passes its self-check, every call that needs AES
fails with PanicException and touches nothing; table AES is never used instead.

Runs against a build whose self-check reference is made wrong, so that every
candidate fails it (make check-fail-closed points RDZ_FAIL_CLOSED_BUILD at it).
"""

import hashlib
import importlib.util
import os

import pytest

import reference

BUILD = os.environ.get("RDZ_FAIL_CLOSED_BUILD")
pytestmark = pytest.mark.skipif(not BUILD, reason="needs the build of make check-fail-closed")

MESSAGE = ("no constant-time AES implementation passed its self-check on this processor; "
           "table AES is never used instead")


@pytest.fixture(scope="module")
def module():
    path = next(os.path.join(BUILD, f) for f in os.listdir(BUILD) if f.startswith("rederodidizo.") and f.endswith(".so"))
    spec = importlib.util.spec_from_file_location("rederodidizo", path)
    loaded = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(loaded)
    return loaded


def _calls(m, iv, state, data):
    key, auth_key = bytes(32), bytes(range(256))
    return [
        lambda: m.ige256_encrypt(bytes(32), key, bytes(32)),
        lambda: m.ige256_decrypt(bytes(32), key, bytes(32)),
        lambda: m.ctr256_encrypt(bytes(20), key, iv, state),
        lambda: m.ctr256_decrypt_inplace(data, key, iv, state),
        lambda: m.ctr256_encrypt_batch(bytes(20), bytearray(b"\x14\0\0\0"), key, iv, state),
        lambda: m.pack_message(1, 2, b"body", 3, bytes(8), auth_key, bytes(8)),
        lambda: m.unpack_message(bytes(8) + bytes(16) + bytes(48), bytes(8), auth_key, bytes(8)),
    ]


@pytest.mark.parametrize("index", range(7))
def test_every_aes_call_panics_and_changes_nothing(module, index):
    iv, state, data = bytearray(range(16)), bytearray(b"\x03"), bytearray(b"plain text")
    for _ in range(2):  # the first call, which makes the choice, and a later one
        with pytest.raises(BaseException) as caught:
            _calls(module, iv, state, data)[index]()
        assert type(caught.value).__name__ == "PanicException"
        assert str(caught.value) == MESSAGE
    assert (iv, state, data) == (bytearray(range(16)), bytearray(b"\x03"), bytearray(b"plain text"))


def test_what_needs_no_aes_still_works(module):
    assert module.sha256_digest(b"abc") == hashlib.sha256(b"abc").digest()
    auth_key, msg_key = bytes(range(256)), bytes(range(16))
    assert module.kdf(auth_key, msg_key, True) == reference.kdf(auth_key, msg_key, True)
    # Input errors still come first, as on any processor.
    with pytest.raises(ValueError, match="Key must be 32 bytes"):
        module.ige256_encrypt(b"", b"", bytes(32))
