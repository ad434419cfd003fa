"""Independent reference implementations for the tests.

Everything here is built from `cryptography`'s raw AES-ECB and `hashlib`, following
the public descriptions of the modes (IGE as MTProto 2.0 uses it, CTR as NIST SP
800-38A defines it) and of MTProto 2.0 message protection. None of it calls the
module under test.
"""

import hashlib
import struct

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes


def _ecb(key):
    return Cipher(algorithms.AES(key), modes.ECB())


def aes_encrypt_blocks(key, data):
    enc = _ecb(key).encryptor()
    return enc.update(data) + enc.finalize()


def aes_decrypt_blocks(key, data):
    dec = _ecb(key).decryptor()
    return dec.update(data) + dec.finalize()


def _xor(a, b):
    return bytes(x ^ y for x, y in zip(a, b))


def ige_encrypt(data, key, iv):
    """IGE over the whole blocks of `data`; the tail passes unchanged."""
    enc = _ecb(key).encryptor()
    prev_c, prev_p = iv[:16], iv[16:32]
    whole = len(data) - len(data) % 16
    out = bytearray()
    for i in range(0, whole, 16):
        p = data[i:i + 16]
        c = _xor(enc.update(_xor(p, prev_c)), prev_p)
        out += c
        prev_c, prev_p = c, p
    return bytes(out) + data[whole:]


def ige_decrypt(data, key, iv):
    dec = _ecb(key).decryptor()
    prev_c, prev_p = iv[:16], iv[16:32]
    whole = len(data) - len(data) % 16
    out = bytearray()
    for i in range(0, whole, 16):
        c = data[i:i + 16]
        p = _xor(dec.update(_xor(c, prev_p)), prev_c)
        out += p
        prev_c, prev_p = c, p
    return bytes(out) + data[whole:]


def ctr_keystream(key, counter, offset, n):
    """`n` keystream bytes from position (counter block, offset), and the position after."""
    value = int.from_bytes(counter, "big")
    offset = offset if offset < 16 else 0
    blocks = (offset + n + 15) // 16
    counters = b"".join(((value + i) % (1 << 128)).to_bytes(16, "big") for i in range(blocks))
    stream = aes_encrypt_blocks(key, counters)[offset:offset + n]
    end = offset + n
    new_counter = ((value + end // 16) % (1 << 128)).to_bytes(16, "big")
    return stream, new_counter, end % 16


def ctr_apply(data, key, counter, offset):
    """CTR over `data` from a position; returns (output, counter after, offset after)."""
    stream, new_counter, new_offset = ctr_keystream(key, counter, offset, len(data))
    return _xor(data, stream), new_counter, new_offset


def sha256(*parts):
    h = hashlib.sha256()
    for part in parts:
        h.update(part)
    return h.digest()


def kdf(auth_key, msg_key, outgoing):
    """MTProto 2.0: the AES key and IGE vector for one message."""
    x = 0 if outgoing else 8
    a = sha256(msg_key, auth_key[x:x + 36])
    b = sha256(auth_key[x + 40:x + 76], msg_key)
    key = a[:8] + b[8:24] + a[24:32]
    iv = b[:8] + a[8:24] + b[24:32]
    return key, iv


def msg_key(auth_key, plaintext, x):
    return sha256(auth_key[88 + x:120 + x], plaintext)[8:24]


def plaintext(salt, session_id, msg_id, seq_no, body, padding, length=None):
    """The MTProto 2.0 plaintext layout, with the padding given by the caller."""
    length = len(body) if length is None else length
    return struct.pack("<q8sqiI", salt, session_id, msg_id, seq_no, length & 0xFFFFFFFF) + body + padding


def padding_size(body_size):
    return 12 + (16 - (body_size + 44) % 16) % 16


def seal(auth_key, auth_key_id, data, x):
    """Encrypts a plaintext as a message with direction offset `x` (0: what a client
    sends, 8: what it receives)."""
    key_ = msg_key(auth_key, data, x)
    aes_key, aes_iv = kdf(auth_key, key_, x == 0)
    return auth_key_id + key_ + ige_encrypt(data, aes_key, aes_iv)


def open_packed(auth_key, packed, x):
    """Decrypts a packed message with direction offset `x`; returns the plaintext."""
    aes_key, aes_iv = kdf(auth_key, packed[8:24], x == 0)
    return ige_decrypt(packed[24:], aes_key, aes_iv)


def _sbox():
    """The AES S-box, from the multiplicative inverse and the affine map (FIPS 197)."""
    box, p, q = [0x63] * 256, 1, 1
    while True:
        p ^= ((p << 1) & 0xFF) ^ (0x1B if p & 0x80 else 0)  # p * 3
        q ^= q << 1
        q ^= q << 2
        q ^= q << 4
        q = (q & 0xFF) ^ (0x09 if q & 0x80 else 0)  # q / 3
        box[p] = q ^ 0x63
        for shift in (1, 2, 3, 4):
            box[p] ^= ((q << shift) | (q >> (8 - shift))) & 0xFF
        if p == 1:
            return box


def aes256_round_keys(key, sbox=_sbox()):
    """The 15 round keys of AES-256 (FIPS 197, key expansion)."""
    words, rcon = [list(key[i:i + 4]) for i in range(0, 32, 4)], 1
    for i in range(8, 60):
        t = words[i - 1]
        if i % 8 == 0:
            t = [sbox[b] for b in t[1:] + t[:1]]
            t[0] ^= rcon
            rcon = (rcon << 1) ^ (0x11B if rcon & 0x80 else 0)
        elif i % 8 == 4:
            t = [sbox[b] for b in t]
        words.append([a ^ b for a, b in zip(words[i - 8], t)])
    return [bytes(sum(words[j:j + 4], [])) for j in range(0, 60, 4)]


def _times(a, b):
    """a * b in GF(2^8) with the AES polynomial."""
    product = 0
    while b:
        if b & 1:
            product ^= a
        a = ((a << 1) ^ (0x1B if a & 0x80 else 0)) & 0xFF
        b >>= 1
    return product


def inv_mix_columns(block):
    """FIPS 197 InvMixColumns of one 16-byte state, column by column."""
    out = bytearray(16)
    for c in range(0, 16, 4):
        col = block[c:c + 4]
        for r in range(4):
            out[c + r] = (_times(col[r], 14) ^ _times(col[(r + 1) % 4], 11) ^
                          _times(col[(r + 2) % 4], 13) ^ _times(col[(r + 3) % 4], 9))
    return bytes(out)
