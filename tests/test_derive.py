"""SHA-256 and the MTProto 2.0 key and IV derivation."""

import hashlib
import os

import pytest

import rederodidizo as r
import reference


class Bytes(bytes):
    pass


# Example digests from FIPS 180-4 (one-block, two-block and long messages).
@pytest.mark.parametrize("message, digest", [
    (b"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"),
    (b"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"),
    (b"a" * 1_000_000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"),
])
def test_sha256_standard_vectors(message, digest):
    assert r.sha256_digest(message).hex() == digest


@pytest.mark.parametrize("size", [0, 3, 55, 56, 63, 64, 65, 119, 120, 1000])
def test_sha256_padding_boundaries(size):
    data = os.urandom(size)
    out = r.sha256_digest(data)
    assert type(out) is bytes and out == hashlib.sha256(data).digest()
    assert r.sha256_digest(Bytes(data)) == out


@pytest.mark.parametrize("outgoing", [True, False])
@pytest.mark.parametrize("msg_key_size", [0, 16, 100])
def test_kdf_matches_reference(outgoing, msg_key_size):
    ak, m = os.urandom(256), os.urandom(msg_key_size)
    result = r.kdf(ak, m, outgoing)
    assert type(result) is tuple and len(result) == 2
    assert all(type(part) is bytes and len(part) == 32 for part in result)
    assert result == reference.kdf(ak, m, outgoing)
    assert r.kdf(Bytes(ak), Bytes(m), outgoing) == result


def test_kdf_directions_differ():
    ak, m = os.urandom(256), os.urandom(16)
    assert r.kdf(ak, m, True) != r.kdf(ak, m, False)


@pytest.mark.parametrize("outgoing, used", [
    (True, set(range(0, 36)) | set(range(40, 76))),
    (False, set(range(8, 44)) | set(range(48, 84))),
])
def test_kdf_reads_only_its_auth_key_bytes(outgoing, used):
    ak, m = os.urandom(256), os.urandom(16)
    base = r.kdf(ak, m, outgoing)
    changed = set()
    for i in range(256):
        flipped = bytearray(ak)
        flipped[i] ^= 0x01
        if r.kdf(bytes(flipped), m, outgoing) != base:
            changed.add(i)
    assert changed == used


@pytest.mark.parametrize("size", [0, 255, 257])
@pytest.mark.parametrize("outgoing", [True, False])
def test_kdf_auth_key_length(size, outgoing):
    with pytest.raises(ValueError) as info:
        r.kdf(bytes(size), bytes(16), outgoing)
    assert type(info.value) is ValueError and info.value.args == ("auth_key must be 256 bytes",)
    assert getattr(info.value, "__notes__", None) is None
