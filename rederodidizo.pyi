"""MTProto 2.0 cryptography: AES-256-IGE, resumable AES-256-CTR, the MTProto 2.0
key derivation, SHA-256, and the protection of whole messages.

Byte-string parameters take ``bytes`` (or a subclass) exactly where the signature
says ``bytes`` and ``bytearray`` (or a subclass) exactly where it says
``bytearray``; no parameter takes both, and ``memoryview`` is never accepted.
A wrong type raises ``TypeError`` with the note ``while processing '<name>'``.
Every parameter may be passed by position or by keyword.
"""

from typing import SupportsIndex

__all__ = [
    "ige256_encrypt",
    "ige256_decrypt",
    "ctr256_encrypt",
    "ctr256_decrypt",
    "ctr256_encrypt_inplace",
    "ctr256_decrypt_inplace",
    "ctr256_encrypt_batch",
    "ctr256_decrypt_batch",
    "kdf",
    "sha256_digest",
    "pack_message",
    "unpack_message",
]

def ige256_encrypt(data: bytes, key: bytes, iv: bytes) -> bytes:
    """Encrypt ``data`` with AES-256 in IGE mode.

    ``key`` is 32 bytes; ``iv`` is 32 bytes, the initial previous-ciphertext block
    followed by the initial previous-plaintext block. Only the whole 16-byte blocks
    of ``data`` are encrypted; a shorter tail is copied unchanged. Returns new bytes
    of ``len(data)``. Runs without the interpreter lock.

    Raises ``ValueError`` "Key must be 32 bytes" or "IV must be 32 bytes".
    """

def ige256_decrypt(data: bytes, key: bytes, iv: bytes) -> bytes:
    """Decrypt ``data`` with AES-256 in IGE mode; the inverse of ``ige256_encrypt``.

    Same arguments, result and errors as ``ige256_encrypt``.
    """

def ctr256_encrypt(src: bytes, key: bytes, iv: bytearray, state: bytearray) -> bytes:
    """XOR ``src`` with the AES-256-CTR keystream from the caller's stream position.

    ``iv`` is the 16-byte big-endian counter block and ``state[0]`` the number of
    bytes (0 to 15) already used of that block's keystream; both are advanced past
    the last byte, so consecutive calls continue one stream. Returns new bytes of
    ``len(src)``. Runs without the interpreter lock.

    Raises ``ValueError`` "Key must be 32 bytes", "IV must be 16 bytes" or
    "state must not be empty".
    """

def ctr256_decrypt(src: bytes, key: bytes, iv: bytearray, state: bytearray) -> bytes:
    """The same operation as ``ctr256_encrypt`` (CTR mode is its own inverse)."""

def ctr256_encrypt_inplace(data: bytearray, key: bytes, iv: bytearray, state: bytearray) -> None:
    """AES-256-CTR over the caller's ``bytearray``, replacing its contents.

    The stream position in ``iv`` and ``state`` works as in ``ctr256_encrypt``.
    Returns None. Runs without the interpreter lock.

    Raises ``ValueError`` "Key must be 32 bytes", "IV must be 16 bytes" or
    "state must not be empty".
    """

def ctr256_decrypt_inplace(data: bytearray, key: bytes, iv: bytearray, state: bytearray) -> None:
    """The same operation as ``ctr256_encrypt_inplace``."""

def ctr256_encrypt_batch(
    data_flat: bytes, sizes: bytearray, key: bytes, ivs: bytearray, states: bytearray
) -> bytes:
    """AES-256-CTR over many independent streams under one key in one call.

    The n items (n = ``len(states)``) lie back to back in ``data_flat``; ``sizes``
    holds their lengths as n unsigned 32-bit little-endian integers, ``ivs`` their
    n 16-byte counter blocks and ``states`` their n offsets, all advanced in place.
    Returns new bytes of ``len(data_flat)``; bytes after the last item are copied
    unchanged. With n = 0 the result is empty. Runs without the interpreter lock.

    Raises ``ValueError`` "Key must be 32 bytes", "ivs must be 16*n bytes",
    "sizes must be 4*n bytes", "total data size overflow" or
    "data_flat too short for given sizes".
    """

def ctr256_decrypt_batch(
    data_flat: bytes, sizes: bytearray, key: bytes, ivs: bytearray, states: bytearray
) -> bytes:
    """The same operation as ``ctr256_encrypt_batch``."""

def kdf(auth_key: bytes, msg_key: bytes, outgoing: bool) -> tuple[bytes, bytes]:
    """Derive the MTProto 2.0 AES-256 key and IGE vector for one message.

    ``auth_key`` is the 256-byte authorization key and ``msg_key`` the message key.
    ``outgoing`` is True for client-to-server messages (x = 0) and False for
    server-to-client ones (x = 8); a NumPy boolean is accepted too, an int is not.
    Returns ``(aes_key, aes_iv)``, 32 bytes each, ready for ``ige256_encrypt``.

    Raises ``ValueError`` "auth_key must be 256 bytes".
    """

def sha256_digest(data: bytes) -> bytes:
    """Return the 32-byte SHA-256 digest of ``data``."""

def pack_message(
    msg_id: SupportsIndex,
    seq_no: SupportsIndex,
    body: bytes,
    salt: SupportsIndex,
    session_id: bytes,
    auth_key: bytes,
    auth_key_id: bytes,
) -> bytes:
    """Protect one outgoing (client-to-server) MTProto 2.0 message.

    Lays out salt, session id, ``msg_id``, ``seq_no``, the body length, ``body`` and
    12 to 27 random padding bytes, computes the message key over ``auth_key[88:120]``
    and that plaintext, encrypts it with AES-256-IGE under ``kdf(auth_key, msg_key,
    True)`` and returns ``auth_key_id + msg_key + ciphertext``. ``msg_id`` and
    ``salt`` are signed 64-bit integers, ``seq_no`` a signed 32-bit integer (out of
    range: ``OverflowError``). Runs without the interpreter lock.

    Raises ``ValueError`` "auth_key must be 256 bytes", "auth_key_id must be 8
    bytes", "session_id must be 8 bytes" or "body too long", and ``OSError`` if the
    operating system's random source fails.
    """

def unpack_message(
    packed: bytes,
    session_id: bytes,
    auth_key: bytes,
    auth_key_id: bytes,
    incoming: bool = True,
) -> tuple[int, int, int, bytes, int]:
    """Check, decrypt and verify one MTProto 2.0 message.

    With ``incoming`` True (the default) it opens what a server sends a client
    (x = 8); with False it opens what ``pack_message`` produces (x = 0). Returns
    ``(msg_id, seq_no, body_length, body, len(packed) - 40)``. The salt and the
    padding are not checked, and no replay state is kept. Runs without the
    interpreter lock.

    Raises ``ValueError`` "auth_key must be 256 bytes", "auth_key_id must be 8
    bytes", "packed data too short", "auth_key_id mismatch", "msg_key mismatch",
    "session_id mismatch", "negative body length" or "body length exceeds decrypted
    data".
    """
