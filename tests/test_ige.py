import os

import pytest

import reference
from rederodidizo import ige256_decrypt, ige256_encrypt


@pytest.mark.parametrize("n", [0, 1, 15, 16, 17, 31, 32, 100, 4096 + 5])
def test_matches_reference(n):
    data, key, iv = os.urandom(n), os.urandom(32), os.urandom(32)
    encrypted = ige256_encrypt(data, key, iv)
    assert type(encrypted) is bytes
    assert encrypted == reference.ige_encrypt(data, key, iv)
    assert ige256_decrypt(data, key, iv) == reference.ige_decrypt(data, key, iv)
    assert ige256_decrypt(encrypted, key, iv) == data
    whole = n - n % 16
    assert encrypted[whole:] == data[whole:]


def test_chaining_continues_across_calls():
    data, key, iv = os.urandom(32), os.urandom(32), os.urandom(32)
    encrypted = ige256_encrypt(data, key, iv)
    # After one block the chain holds (last ciphertext block, last plaintext block).
    next_iv = encrypted[:16] + data[:16]
    assert ige256_encrypt(data[:16], key, iv) == encrypted[:16]
    assert ige256_encrypt(data[16:], key, next_iv) == encrypted[16:]
    assert ige256_decrypt(encrypted[16:], key, next_iv) == data[16:]


@pytest.mark.parametrize("function", [ige256_encrypt, ige256_decrypt])
@pytest.mark.parametrize(
    "key_size, iv_size, message",
    [(k, v, "Key must be 32 bytes") for k, v in [(31, 32), (33, 32), (31, 16), (33, 33), (0, 0)]]
    + [(32, v, "IV must be 32 bytes") for v in (16, 33, 0)],
)
def test_key_and_iv_lengths(function, key_size, iv_size, message):
    with pytest.raises(ValueError) as caught:
        function(bytes(48), bytes(key_size), bytes(iv_size))
    assert str(caught.value) == message


class Tagged(bytes):
    pass


def test_arguments_never_modified():
    data, key, iv = Tagged(os.urandom(53)), Tagged(os.urandom(32)), Tagged(os.urandom(32))
    originals = bytes(data), bytes(key), bytes(iv)
    encrypted = ige256_encrypt(data, key, iv)
    decrypted = ige256_decrypt(Tagged(encrypted), key, iv)
    assert (bytes(data), bytes(key), bytes(iv)) == originals
    assert type(encrypted) is bytes and type(decrypted) is bytes
    assert encrypted == reference.ige_encrypt(*originals)
    assert decrypted == originals[0]


def test_one_mebibyte():
    data, key, iv = os.urandom(1 << 20), os.urandom(32), os.urandom(32)
    encrypted = ige256_encrypt(data, key, iv)
    assert encrypted == reference.ige_encrypt(data, key, iv)
    assert ige256_decrypt(encrypted, key, iv) == data
