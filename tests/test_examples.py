"""The end-to-end example: its demo runs, and its server answers a client written
independently of it (cryptography's AES-CTR for the transport, the reference
helpers for the messages)."""

import asyncio
import importlib.util
import os
import struct
import subprocess
import sys
import time
from pathlib import Path

import pytest
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

import reference as ref

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "mtproto_echo.py"
RPC_RESULT = 0xF35C6D01


@pytest.fixture(scope="module")
def example():
    spec = importlib.util.spec_from_file_location("mtproto_echo", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up
    try:
        spec.loader.exec_module(module)
        yield module
    finally:
        del sys.modules[spec.name]


@pytest.mark.parametrize("size", [0, 1, 3000])
def test_demo_echoes_and_verifies_every_message(size):
    run = subprocess.run([sys.executable, str(EXAMPLE), "--messages", "40", "--size", str(size)],
                         cwd=EXAMPLE.parent, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert f"ok: 40 messages echoed and verified ({size}-byte bodies)" in run.stdout
    assert "messages/s" in run.stdout and "MB/s" in run.stdout


def ctr_stream(key, counter):
    return Cipher(algorithms.AES(key), modes.CTR(counter)).encryptor().update


async def talk_to_server(example, keys, tamper):
    """One request from an independent client; the raw answer, or None if the
    server closed the connection instead."""
    server = await asyncio.start_server(
        lambda r, w: example.serve_connection(keys, r, w), "127.0.0.1", 0)
    async with server:
        reader, writer = await asyncio.open_connection(*server.sockets[0].getsockname()[:2])
        try:
            return await exchange(keys, reader, writer, tamper)
        finally:  # lets the server's handler, and so the server, finish
            writer.close()
            await writer.wait_closed()


async def exchange(keys, reader, writer, tamper):
    header = bytearray(os.urandom(64))
    header[0:8] = b"\x42" * 8
    header[56:60] = b"\xdd" * 4 if tamper == "transport tag" else b"\xee" * 4
    reverse = bytes(header[8:56])[::-1]
    up = ctr_stream(bytes(header[8:40]), bytes(header[40:56]))
    down = ctr_stream(reverse[:32], reverse[32:48])
    writer.write(bytes(header[:56]) + up(bytes(header))[56:])

    session_id, msg_id, body = os.urandom(8), int(time.time()) << 32, os.urandom(100)
    plain = ref.plaintext(keys.server_salt, session_id, msg_id, 1, body,
                          os.urandom(ref.padding_size(len(body))))
    packed = bytearray(ref.seal(keys.auth_key, keys.auth_key_id, plain, 0))
    if tamper == "msg_key":
        packed[8] ^= 1
    writer.write(up(struct.pack("<I", len(packed)) + packed))
    try:
        (length,) = struct.unpack("<I", down(await reader.readexactly(4)))
        assert length < 4096, "garbled frame length: wrong server-to-client stream"
        answer = down(await reader.readexactly(length))
    except asyncio.IncompleteReadError:
        answer = None
    return session_id, msg_id, body, answer


def test_server_answer_is_a_valid_server_message(example):
    keys = example.Keys(auth_key=os.urandom(256), server_salt=-5)
    session_id, msg_id, body, answer = asyncio.run(
        asyncio.wait_for(talk_to_server(example, keys, None), 30))
    assert answer[:8] == keys.auth_key_id
    plain = ref.open_packed(keys.auth_key, answer, 8)
    assert ref.msg_key(keys.auth_key, plain, 8) == answer[8:24]
    salt, sid, answer_id, seq_no, n = struct.unpack_from("<q8sqiI", plain)
    assert (salt, sid, answer_id % 4, seq_no) == (-5, session_id, 1, 1)
    assert plain[32:32 + n] == struct.pack("<Iq", RPC_RESULT, msg_id) + body
    assert len(plain) % 16 == 0 and 12 <= len(plain) - 32 - n <= 1024


@pytest.mark.parametrize("tamper", ["transport tag", "msg_key"])
def test_server_drops_a_bad_connection(example, tamper, capsys):
    keys = example.Keys(auth_key=os.urandom(256), server_salt=0)
    *_, answer = asyncio.run(asyncio.wait_for(talk_to_server(example, keys, tamper), 30))
    assert answer is None
    assert "dropping connection" in capsys.readouterr().err
