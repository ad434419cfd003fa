import os
import struct

import pytest

import reference
from rederodidizo import pack_message, unpack_message

MSG_ID, SEQ_NO, SALT = 0x1122334455667788, 0x0A0B0C0D, -0x0123456789ABCDEF


def _pack(body, session_id, auth_key, auth_key_id, msg_id=MSG_ID, seq_no=SEQ_NO, salt=SALT):
    return pack_message(msg_id, seq_no, body, salt, session_id, auth_key, auth_key_id)


def _incoming(auth_key, auth_key_id, session_id, body=b"body", length=None, padding=None, fields=None):
    """A message as the server sends it, built by the reference."""
    padding = os.urandom(reference.padding_size(len(body))) if padding is None else padding
    head = fields or struct.pack("<q8sqiI", SALT, session_id, MSG_ID, SEQ_NO, len(body) if length is None else length & 0xFFFFFFFF)
    return reference.seal(auth_key, auth_key_id, head + body + padding, 8)


@pytest.mark.parametrize("n, size", [(0, 72), (1, 72), (2, 72), (3, 72), (4, 72), (5, 88), (20, 88), (21, 104), (1000, 1080)])
def test_layout(n, size, auth_key, auth_key_id, session_id):
    body = os.urandom(n)
    packed = _pack(body, session_id, auth_key, auth_key_id)
    assert type(packed) is bytes and len(packed) == size and size % 16 == 8
    assert packed[:8] == auth_key_id
    plain = reference.open_packed(auth_key, packed, 0)
    assert struct.unpack_from("<q8sqiI", plain) == (SALT, session_id, MSG_ID, SEQ_NO, n)
    assert plain[32:32 + n] == body
    assert 12 <= len(plain) - 32 - n == reference.padding_size(n) <= 27
    assert packed[8:24] == reference.msg_key(auth_key, plain, 0)
    assert unpack_message(packed, session_id, auth_key, auth_key_id, False) == (MSG_ID, SEQ_NO, n, body, size - 40)
    assert unpack_message(packed, session_id, auth_key, auth_key_id, incoming=False)[3] == body
    for direction in ({}, {"incoming": True}):
        with pytest.raises(ValueError, match="^msg_key mismatch$"):
            unpack_message(packed, session_id, auth_key, auth_key_id, **direction)


def test_padding_is_fresh_each_call(auth_key, auth_key_id, session_id):
    one, two = (_pack(b"same", session_id, auth_key, auth_key_id) for _ in range(2))
    assert len(one) == len(two) and one[:8] == two[:8]
    assert one[8:24] != two[8:24] and one[24:] != two[24:]
    paddings = [reference.open_packed(auth_key, p, 0)[36:] for p in (one, two)]
    assert paddings[0] != paddings[1] and bytes(12) not in paddings


@pytest.mark.parametrize(
    "msg_id, seq_no, salt",
    [(-1, -1, -1), (-(2**63), -(2**31), -(2**63)), (2**63 - 1, 2**31 - 1, 2**63 - 1), (0, 0, 0)],
)
def test_signed_fields(msg_id, seq_no, salt, auth_key, auth_key_id, session_id):
    packed = _pack(b"x", session_id, auth_key, auth_key_id, msg_id, seq_no, salt)
    plain = reference.open_packed(auth_key, packed, 0)
    assert plain[:8] == salt.to_bytes(8, "little", signed=True)
    assert plain[16:28] == msg_id.to_bytes(8, "little", signed=True) + seq_no.to_bytes(4, "little", signed=True)
    assert unpack_message(packed, session_id, auth_key, auth_key_id, False)[:2] == (msg_id, seq_no)


@pytest.mark.parametrize("msg_id, seq_no, salt", [(2**63, 0, 0), (-(2**63) - 1, 0, 0), (0, 2**31, 0), (0, -(2**31) - 1, 0), (0, 0, 2**63)])
def test_out_of_range_integers(msg_id, seq_no, salt, auth_key, auth_key_id, session_id):
    with pytest.raises(OverflowError):
        _pack(b"", session_id, auth_key, auth_key_id, msg_id, seq_no, salt)


@pytest.mark.parametrize(
    "body_size, session_size, key_size, key_id_size, message",
    [
        (4, 7, 256, 8, "session_id must be 8 bytes"),
        (4, 9, 256, 8, "session_id must be 8 bytes"),
        (4, 7, 255, 7, "auth_key must be 256 bytes"),
        (4, 9, 256, 9, "auth_key_id must be 8 bytes"),
        (2**31, 8, 256, 8, "body too long"),
        (2**31, 7, 256, 8, "session_id must be 8 bytes"),
    ],
)
def test_pack_rejections(body_size, session_size, key_size, key_id_size, message):
    # bytes(n) is calloc'ed: the 2 GiB of zero pages stay untouched, as the length is
    # refused before the body is read.
    with pytest.raises(ValueError) as caught:
        _pack(bytes(body_size), bytes(session_size), bytes(key_size), bytes(key_id_size))
    assert str(caught.value) == message


def _rejections(ak, akid, sid):
    """(packed, session_id, auth_key, auth_key_id) and the expected message; each case
    also carries the faults that are checked after it, so the order shows."""
    other_id, other_sid = bytes(b ^ 0xFF for b in akid), bytes(b ^ 1 for b in sid)
    negative = _incoming(ak, akid, sid, length=-1)
    flipped = negative[:30] + bytes([negative[30] ^ 1]) + negative[31:]
    overlong = _incoming(ak, akid, sid, os.urandom(20), length=64 - 31)  # L = 64
    return [
        ((b"", sid, ak[:255], akid[:7]), "auth_key must be 256 bytes"),
        ((b"", sid, ak, akid + b"\0"), "auth_key_id must be 8 bytes"),
        ((other_id + bytes(15), sid, ak, akid), "packed data too short"),
        ((other_id + bytes(16), sid, ak, akid), "auth_key_id mismatch"),
        ((reference.seal(ak, akid, b"", 8), sid, ak, akid), "msg_key mismatch"),  # L = 0
        ((reference.seal(ak, akid, os.urandom(16), 8), sid, ak, akid), "msg_key mismatch"),  # L = 16
        ((flipped, other_sid, ak, akid), "msg_key mismatch"),
        ((negative, other_sid, ak, akid), "session_id mismatch"),
        ((negative, sid[:7], ak, akid), "session_id mismatch"),
        ((negative, sid + sid[:1], ak, akid), "session_id mismatch"),
        ((negative, sid, ak, akid), "negative body length"),
        ((overlong, sid, ak, akid), "body length exceeds decrypted data"),
    ]


@pytest.mark.parametrize("case", range(12))
def test_unpack_rejections(case, auth_key, auth_key_id, session_id):
    args, message = _rejections(auth_key, auth_key_id, session_id)[case]
    with pytest.raises(ValueError) as caught:
        unpack_message(*args)
    assert str(caught.value) == message


def test_body_may_fill_all_decrypted_data(auth_key, auth_key_id, session_id):
    body = os.urandom(20)
    padding = os.urandom(12)
    packed = _incoming(auth_key, auth_key_id, session_id, body, length=32, padding=padding)
    assert unpack_message(packed, session_id, auth_key, auth_key_id) == (MSG_ID, SEQ_NO, 32, body + padding, 48)


@pytest.mark.parametrize("position", [8, 15, 16, 23, 24, 39, 40, 56, 71])
def test_any_flipped_bit_breaks_msg_key(position, auth_key, auth_key_id, session_id):
    packed = bytearray(_incoming(auth_key, auth_key_id, session_id))
    packed[position] ^= 1 << (position % 8)
    with pytest.raises(ValueError, match="^msg_key mismatch$"):
        unpack_message(bytes(packed), session_id, auth_key, auth_key_id)


def test_stored_values_with_top_bit_come_back_negative(auth_key, auth_key_id, session_id):
    fields = struct.pack("<q8sQII", SALT, session_id, 0x8000000000000001, 0x80000000, 4)
    packed = _incoming(auth_key, auth_key_id, session_id, fields=fields)
    assert unpack_message(packed, session_id, auth_key, auth_key_id)[:3] == (-(2**63) + 1, -(2**31), 4)


@pytest.mark.parametrize("padding_size", [0, 5, 12, 100, 1001])
def test_incoming_message_opens(padding_size, auth_key, auth_key_id, session_id):
    # Neither the padding length nor the alignment to 16 bytes is checked.
    body = os.urandom(16)
    packed = _incoming(auth_key, auth_key_id, session_id, body, padding=os.urandom(padding_size))
    assert len(packed) == 24 + 48 + padding_size
    assert unpack_message(packed, session_id, auth_key, auth_key_id) == (MSG_ID, SEQ_NO, 16, body, len(packed) - 40)
    with pytest.raises(ValueError, match="^msg_key mismatch$"):
        unpack_message(packed, session_id, auth_key, auth_key_id, False)
