"""Writes the hand-made seeds of the fuzz targets into tests/fuzz/corpus/TARGET/.

Each seed is a case the harness reads field by field (the layouts are at the top of
aes_paths.cpp, ctr_stream.cpp and message.cpp): the lengths around each backend's
groups of blocks, counters just below the 2^64 and 2^128 carries, every stream
offset, and a message reaching each check of unpack_message and each error of
pack_message. Beside them the corpus holds what `make fuzz-merge` kept of earlier
runs. Run from the repository's root: python3 tests/fuzz/seeds.py
"""

import pathlib
import struct

CORPUS = pathlib.Path(__file__).parent / "corpus"

KEY = bytes(range(32))
IV = bytes(range(100, 132))
ANY, BELOW_2_64, BELOW_2_128 = 0, 1, 2


def counter(kind, distance=0, block=bytes(range(0xA0, 0xB0))):
    return bytes([kind, distance]) + block


def aes(blocks, kind=ANY, distance=0, in_place=False, misalignment=0):
    placement = int(in_place) | misalignment << 1
    return KEY + IV + counter(kind, distance) + bytes([placement]) + struct.pack("<H", blocks)


def stream(size, offset_byte, pieces, kind=ANY, distance=0):
    fields = KEY + counter(kind, distance) + bytes([offset_byte]) + struct.pack("<H", size)
    fields += bytes([len(pieces)]) + b"".join(struct.pack("<H", p) for p in pieces)
    return fields


IN_PLACE = 0x8000


def message(operation, shape=0, sizes=(0, 0, 0), msg_id=1, seq_no=1, salt=2, length=0, sealing=3, padding=12,
            session=bytes(8), change_at=0, change=0, cut_to=0, rest=b""):
    return (bytes([operation, shape, *sizes]) + struct.pack("<qiqIBB", msg_id, seq_no, salt, length, sealing, padding)
            + session + struct.pack("<HBH", change_at, change, cut_to) + rest)


def seeds():
    for blocks in (0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 512):
        yield "aes", f"blocks-{blocks}", aes(blocks, in_place=blocks % 2 == 1, misalignment=blocks % 16)
    for kind, name in ((BELOW_2_64, "2-64"), (BELOW_2_128, "2-128")):
        for distance in (0, 1, 3, 7, 15, 31, 40):
            yield "aes", f"below-{name}-by-{distance + 1}", aes(48, kind, distance)

    for offset in range(16):
        yield "stream", f"offset-{offset}", stream(100 + offset, offset, [1, 15, 16, 17 | IN_PLACE, 3])
    yield "stream", "offset-byte-200", stream(40, 200, [5, 5])
    for kind, name in ((BELOW_2_64, "2-64"), (BELOW_2_128, "2-128")):
        yield "stream", f"below-{name}", stream(600, 7, [9, 100 | IN_PLACE, 250, 16], kind, 2)
    yield "stream", "one-call", stream(4096, 0, [])

    body = bytes(range(40))
    yield "message", "raw", message(0, shape=0x40, rest=bytes(64))
    yield "message", "raw-short", message(0, shape=0x40, rest=bytes(10))
    yield "message", "raw-wrong-id", message(0, rest=bytes(80))
    for shape, name in ((1, "auth-key-size"), (2, "auth-key-id-size"), (3, "session-id-size")):
        yield "message", f"unpack-{name}", message(1, shape=shape, sizes=(255, 7, 9), rest=body)
        yield "message", f"pack-{name}", message(3, shape=shape, sizes=(255, 7, 9), rest=body)
    yield "message", "sealed-outgoing", message(1, rest=body)
    yield "message", "sealed-incoming", message(1, shape=0x30, rest=body)
    yield "message", "sealed-other-session", message(1, sealing=1, rest=body)
    yield "message", "sealed-negative-length", message(1, sealing=2, length=0x80000000, rest=body)
    yield "message", "sealed-length-too-long", message(1, sealing=2, length=len(body) + 13, padding=12, rest=body)
    yield "message", "sealed-tail", message(1, padding=13, rest=body)
    yield "message", "sealed-changed", message(2, change_at=30, change=1, cut_to=0xFFFF, rest=body)
    yield "message", "sealed-cut", message(2, cut_to=40, rest=body)
    for size in (0, 1, 15, 16, 17, 100):
        yield "message", f"pack-{size}", message(3, shape=0x10 * (size % 2), msg_id=-size, seq_no=-1,
                                                 rest=bytes(range(size)))


def main():
    for target, name, data in seeds():
        folder = CORPUS / target
        folder.mkdir(parents=True, exist_ok=True)
        (folder / f"seed-{name}").write_bytes(data)


if __name__ == "__main__":
    main()
