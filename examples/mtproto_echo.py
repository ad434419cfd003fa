"""An MTProto 2.0 echo client and server over the obfuscated transport, on asyncio.

The server listens on 127.0.0.1 on an ephemeral port; the client connects, sends
``--messages`` messages with random bodies and checks every answer. Everything that
crosses the socket is protected the way an MTProto client protects it:

Transport (the obfuscated transport, intermediate framing). The client opens the
connection with a random 64-byte header. Bytes 8 to 39 of the header are the AES-256
key and bytes 40 to 55 the initial counter block of the client-to-server CTR stream;
the same bytes of the byte-reversed header give the server-to-client stream. The
client sends header bytes 0 to 55 as they are and bytes 56 to 63 (the transport tag
0xeeeeeeee, a data-centre number and two random bytes) already encrypted, so the
server checks the tag after decrypting the header. From then on every byte in either
direction passes through ``ctr256_encrypt`` / ``ctr256_decrypt`` with one persistent
``iv``/``state`` pair per direction. Inside the stream each frame is a 4-byte
little-endian length followed by one encrypted MTProto message.

Messages (MTProto 2.0 message protection). The client packs each request with
``pack_message``; the server opens it with ``unpack_message(..., incoming=False)``.
The server answers with an ``rpc_result`` (the request's msg_id followed by the echoed
body) that it protects itself: the message key is bytes 8 to 24 of
``sha256_digest(auth_key[96:128] + plaintext)``, the AES key and IGE vector come from
``kdf(auth_key, msg_key, False)`` and the plaintext is encrypted with
``ige256_encrypt``. The client opens the answers with ``unpack_message`` and its
default ``incoming=True``.

For the demo both sides share a pre-agreed 256-byte auth_key and server salt, made
fresh by each run; a real client obtains them through the MTProto key exchange, which
this example does not perform. The server learns the client's session id from the
first message (decrypted with ``kdf`` and ``ige256_decrypt``, then verified by
``unpack_message``).

Run:  python3 examples/mtproto_echo.py [--messages N] [--size BYTES]
"""

from __future__ import annotations

import argparse
import asyncio
import hashlib
import os
import struct
import sys
import time
from dataclasses import dataclass, field

import rederodidizo as r

TAG_INTERMEDIATE = b"\xee\xee\xee\xee"
RPC_RESULT = 0xF35C6D01  # rpc_result#f35c6d01 req_msg_id:long result:Object
# First four bytes a client must avoid so that the header is not mistaken for
# another protocol (HTTP, TLS or the unobfuscated transports).
FORBIDDEN_STARTS = {b"HEAD", b"POST", b"GET ", b"OPTI", b"\xdd\xdd\xdd\xdd",
                    b"\xee\xee\xee\xee", b"\x16\x03\x01\x02"}
WINDOW = 128  # requests in flight


class ProtocolError(Exception):
    pass


@dataclass
class Keys:
    """What both sides agreed on before the connection (in the demo: one run)."""
    auth_key: bytes
    server_salt: int
    auth_key_id: bytes = field(init=False)

    def __post_init__(self) -> None:
        # The 64 low-order bits of SHA-1 of the key, as MTProto defines the key id.
        self.auth_key_id = hashlib.sha1(self.auth_key).digest()[-8:]


class CtrStream:
    """One direction of the obfuscated transport: an AES-256-CTR stream whose
    position lives in two bytearrays that every call advances."""

    def __init__(self, key: bytes, counter: bytes) -> None:
        self.key = key
        self.iv = bytearray(counter)
        self.state = bytearray(1)

    def encrypt(self, data: bytes) -> bytes:
        return r.ctr256_encrypt(data, self.key, self.iv, self.state)

    def encrypt_inplace(self, data: bytearray) -> None:
        r.ctr256_encrypt_inplace(data, self.key, self.iv, self.state)

    def decrypt(self, data: bytes) -> bytes:
        return r.ctr256_decrypt(data, self.key, self.iv, self.state)


def streams_from_header(header: bytes) -> tuple[CtrStream, CtrStream]:
    """The (initiator-to-responder, responder-to-initiator) streams of a header."""
    reverse = header[::-1]
    return (CtrStream(header[8:40], header[40:56]),
            CtrStream(reverse[8:40], reverse[40:56]))


def client_header(dc_id: int) -> bytes:
    while True:
        header = bytearray(os.urandom(64))
        if header[0] != 0xEF and bytes(header[:4]) not in FORBIDDEN_STARTS \
                and header[4:8] != bytes(4):
            break
    header[56:60] = TAG_INTERMEDIATE
    header[60:62] = struct.pack("<h", dc_id)
    return bytes(header)


class Connection:
    """Length-prefixed frames over one obfuscated connection."""

    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter,
                 send: CtrStream, receive: CtrStream) -> None:
        self.reader, self.writer = reader, writer
        self.send, self.receive = send, receive
        self.bytes_sent = 0
        self.bytes_received = 0

    def write_frame(self, payload: bytes) -> None:
        frame = bytearray(struct.pack("<I", len(payload)))
        frame += payload
        self.send.encrypt_inplace(frame)
        self.writer.write(frame)
        self.bytes_sent += len(frame)

    async def read_frame(self) -> bytes | None:
        try:
            head = await self.reader.readexactly(4)
        except asyncio.IncompleteReadError as e:
            if e.partial:
                raise ProtocolError("connection closed inside a frame header") from e
            return None
        (length,) = struct.unpack("<I", self.receive.decrypt(head))
        if length % 4 or not 24 <= length <= 1 << 24:
            raise ProtocolError(f"bad frame length {length}")
        payload = self.receive.decrypt(await self.reader.readexactly(length))
        self.bytes_received += 4 + length
        return payload


class MsgIds:
    """Message ids: about unixtime * 2**32, strictly increasing, with the remainder
    modulo 4 that marks the sender (0 for client requests, 1 for server answers)."""

    def __init__(self, remainder: int) -> None:
        self.remainder = remainder
        self.last = 0

    def next(self) -> int:
        candidate = (int(time.time() * 2**32) & ~3) | self.remainder
        if candidate <= self.last:
            candidate = self.last + 4
        self.last = candidate
        return candidate


def seal_answer(keys: Keys, session_id: bytes, msg_id: int, seq_no: int, body: bytes) -> bytes:
    """A server-to-client message, built from the module's primitives."""
    padding = os.urandom(12 + (-(32 + len(body) + 12)) % 16)
    plaintext = struct.pack("<q8sqiI", keys.server_salt, session_id, msg_id, seq_no,
                            len(body)) + body + padding
    msg_key = r.sha256_digest(keys.auth_key[96:128] + plaintext)[8:24]
    aes_key, aes_iv = r.kdf(keys.auth_key, msg_key, False)
    return keys.auth_key_id + msg_key + r.ige256_encrypt(plaintext, aes_key, aes_iv)


def peek_session_id(keys: Keys, packed: bytes) -> bytes:
    """The (still unverified) session id of a client message."""
    if len(packed) < 56:
        raise ProtocolError("message too short")
    aes_key, aes_iv = r.kdf(keys.auth_key, packed[8:24], True)
    return r.ige256_decrypt(packed[24:56], aes_key, aes_iv)[8:16]


async def serve_connection(keys: Keys, reader: asyncio.StreamReader,
                           writer: asyncio.StreamWriter) -> None:
    try:
        header = await reader.readexactly(64)
        receive, send = streams_from_header(header)
        if receive.decrypt(header)[56:60] != TAG_INTERMEDIATE:
            raise ProtocolError("unknown transport tag")
        conn = Connection(reader, writer, send, receive)
        session_id: bytes | None = None
        ids = MsgIds(1)
        last_client_id = 0
        answers = 0
        while (packed := await conn.read_frame()) is not None:
            if session_id is None:
                session_id = peek_session_id(keys, packed)
            msg_id, seq_no, _, body, _ = r.unpack_message(
                packed, session_id, keys.auth_key, keys.auth_key_id, incoming=False)
            # The module keeps no replay state: ordering is the caller's to check.
            if msg_id % 4 != 0 or msg_id <= last_client_id or seq_no % 2 != 1:
                raise ProtocolError(f"bad msg_id {msg_id:#x} or seq_no {seq_no}")
            last_client_id = msg_id
            answer = struct.pack("<Iq", RPC_RESULT, msg_id) + body
            conn.write_frame(seal_answer(keys, session_id, ids.next(), 2 * answers + 1, answer))
            answers += 1
            await writer.drain()
    except (ProtocolError, ValueError, asyncio.IncompleteReadError) as e:
        print(f"server: dropping connection: {e!r}", file=sys.stderr)
    finally:
        writer.close()


@dataclass
class Report:
    messages: int
    seconds: float
    wire_bytes: int


async def run_client(keys: Keys, port: int, messages: int, size: int) -> Report:
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    header = client_header(dc_id=2)
    send, receive = streams_from_header(header)
    writer.write(header[:56] + send.encrypt(header)[56:64])
    conn = Connection(reader, writer, send, receive)
    session_id = os.urandom(8)
    ids = MsgIds(0)
    pending: dict[int, bytes] = {}
    window = asyncio.Semaphore(WINDOW)
    started = time.perf_counter()

    async def sender() -> None:
        for seq in range(messages):
            await window.acquire()
            body = os.urandom(size)
            msg_id = ids.next()
            pending[msg_id] = body
            conn.write_frame(r.pack_message(msg_id, 2 * seq + 1, body, keys.server_salt,
                                            session_id, keys.auth_key, keys.auth_key_id))
            await writer.drain()

    async def receiver() -> None:
        last_server_id = 0
        for _ in range(messages):
            packed = await conn.read_frame()
            if packed is None:
                raise ProtocolError("server closed the connection")
            msg_id, _, length, answer, _ = r.unpack_message(
                packed, session_id, keys.auth_key, keys.auth_key_id)
            if msg_id % 4 != 1 or msg_id <= last_server_id:
                raise ProtocolError(f"bad server msg_id {msg_id:#x}")
            last_server_id = msg_id
            if len(answer) < 12 or length != len(answer):
                raise ProtocolError("answer too short")
            constructor, req_msg_id = struct.unpack_from("<Iq", answer)
            if constructor != RPC_RESULT:
                raise ProtocolError("not an rpc_result")
            if pending.pop(req_msg_id, None) != answer[12:]:
                raise ProtocolError(f"wrong echo for msg_id {req_msg_id:#x}")
            window.release()

    try:
        await asyncio.gather(sender(), receiver())
    finally:
        writer.close()
        await writer.wait_closed()
    if pending:
        raise ProtocolError(f"{len(pending)} requests unanswered")
    return Report(messages, time.perf_counter() - started,
                  conn.bytes_sent + conn.bytes_received + len(header))


async def demo(messages: int, size: int) -> Report:
    keys = Keys(auth_key=os.urandom(256),
                server_salt=int.from_bytes(os.urandom(8), "little", signed=True))

    async def handle(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        await serve_connection(keys, reader, writer)

    server = await asyncio.start_server(handle, "127.0.0.1", 0)
    async with server:
        port = server.sockets[0].getsockname()[1]
        return await run_client(keys, port, messages, size)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--messages", type=int, default=20_000)
    parser.add_argument("--size", type=int, default=1024, help="body size in bytes")
    args = parser.parse_args(argv)
    if args.messages < 1 or args.size < 0:
        parser.error("--messages must be at least 1 and --size not negative")
    try:
        report = asyncio.run(demo(args.messages, args.size))
    except (ProtocolError, ValueError, EOFError, ConnectionError) as e:
        print(f"FAILED: {e!r}", file=sys.stderr)
        return 1
    print(f"ok: {report.messages} messages echoed and verified "
          f"({args.size}-byte bodies) in {report.seconds:.3f} s")
    print(f"{report.messages / report.seconds:,.0f} messages/s, "
          f"{report.wire_bytes / report.seconds / 1e6:.2f} MB/s on the wire (both directions)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
