"""Eight threads call every function family at once for a few seconds, while two more
threads resize and overwrite the bytearrays that the workers' CTR calls use.

Each worker has private arguments, whose results are checked exactly against the
reference, and contended ones, shared with the mutators. The mutators only ever
write recognisable contents: counter blocks and data made of one repeated byte
from MARKS, offsets of 0xF0 and up (a call writes offsets 0 to 15), at lengths that
are sometimes wrong. A worker resets its contended arguments (byte OWN) before each
call. So a counter block, a data buffer or an offset that is not such a pattern was
written by the worker's own call, and:

- a call that succeeds returned (and, where still visible, wrote) the reference's
  output for one of the counter blocks and data patterns it may have read;
- a call that fails raised a documented ValueError (a length changed before its
  checks) or a PanicException with a documented write-back message, and then wrote
  nothing at all: no data, no counter block, no offset.
"""

import hashlib
import os
import random
import re
import struct
import sys
import threading
import time

import reference
import rederodidizo as r

SECONDS = float(os.environ.get("RDZ_STRESS_SECONDS", "3"))
WORKERS, MUTATORS = 8, 2
MARKS, OWN = (0x11, 0x22, 0x33), 0x44
MAXLEN = 64 * 1024 + 1
KEY = os.urandom(32)
KEYSTREAM = {m: reference.ctr_keystream(KEY, bytes([m]) * 16, 0, MAXLEN)[0] for m in MARKS + (OWN,)}
SIZES = (4000, 20000)  # the two items of the contended batch; data_flat has 3 more bytes

VALUE_ERRORS = {"IV must be 16 bytes", "state must not be empty", "ivs must be 16*n bytes",
                "sizes must be 4*n bytes"}
PANICS = {
    "single": [r"copy_from_slice: source slice length \(16\) does not match destination slice length \((?!16\))\d+\)",
               r"index out of bounds: the len is 0 but the index is 0"],
    "batch": [r"range end index 16 out of range for slice of length ([0-9]|1[0-5])",
              r"index out of bounds: the len is (\d+) but the index is \1"],
}
PANICS["inplace"] = PANICS["single"] + [
    r"copy_from_slice: source slice length \((\d+)\) does not match destination slice length \((?!\1\))\d+\)"]


def xor(a, b):
    return (int.from_bytes(a) ^ int.from_bytes(b)).to_bytes(len(a))


def uniform(b):
    return len(set(b)) <= 1


def counter_after(mark, n):
    return (int.from_bytes(bytes([mark]) * 16) + n // 16).to_bytes(16)


class Contended:
    """A worker's CTR arguments that the mutators also write."""

    def __init__(self):
        self.iv, self.state, self.data, self.n = bytearray(16), bytearray(1), bytearray(), 16
        self.ivs, self.states = bytearray(32), bytearray(2)
        self.sizes = bytearray(struct.pack("<2I", *SIZES))

    def reset(self, n):
        self.n = n
        self.iv[:], self.state[:], self.data[:] = bytes([OWN]) * 16, b"\xf5", bytes([OWN]) * n
        self.ivs[:], self.states[:] = bytes([OWN]) * 32, b"\xf5\xf5"

    def mutate(self, rng):
        m, s = rng.choice(MARKS), rng.randrange(0xF0, 0x100)
        which = rng.randrange(5)
        if which == 0:
            self.iv[:] = bytes([m]) * rng.choice((15, 16, 16, 17))
        elif which == 1:
            self.state[:] = bytes([s]) * rng.choice((0, 1, 1, 2))
        elif which == 2:
            self.data[:] = bytes([m]) * max(16, self.n + rng.choice((-1, 0, 0, 1)))
        elif which == 3:
            self.ivs[:] = bytes([m]) * rng.choice((31, 32, 32, 33, 16))
        else:
            self.states[:] = bytes([s]) * rng.choice((1, 2, 2, 3))

    def untouched(self):
        """Nothing here was written by a call (each object read once: the mutators run on)."""
        iv, data, ivs, offsets = bytes(self.iv), bytes(self.data), bytes(self.ivs), bytes(self.state + self.states)
        return uniform(iv) and uniform(data) and uniform(ivs) and min(offsets, default=0xF0) >= 0xF0


class Worker:
    def __init__(self, index):
        self.rng = random.Random(index)
        self.c = Contended()
        self.counts, self.failures = {}, []
        self.ak, self.akid, self.sid = os.urandom(256), os.urandom(8), os.urandom(8)
        self.iv, self.state = bytearray(os.urandom(16)), bytearray(1)
        self.position = (bytes(self.iv), 0)
        self.ige = []
        for n in (0, 17, 1024, 5000):
            data, key, iv = os.urandom(n), os.urandom(32), os.urandom(32)
            self.ige.append((data, key, iv, reference.ige_encrypt(data, key, iv)))
        body = os.urandom(300 + index)
        plain = reference.plaintext(index, self.sid, -index, index, body, os.urandom(20))
        self.sealed = reference.seal(self.ak, self.akid, plain, 8), (-index, index, len(body), body, len(plain) - 16)
        self.ops = [self.ige_calls, self.ctr_stream, self.batch, self.digests, self.messages,
                    self.contended_single, self.contended_inplace, self.contended_batch]

    def count(self, key):
        self.counts[key] = self.counts.get(key, 0) + 1

    def run(self, start, deadline):
        start.wait()
        try:
            while time.monotonic() < deadline:
                self.rng.choice(self.ops)()
        except BaseException as exc:  # reported by the test
            self.failures.append(repr(exc))

    # -- private arguments: exact results ------------------------------------------

    def ige_calls(self):
        data, key, iv, enc = self.rng.choice(self.ige)
        assert r.ige256_encrypt(data, key, iv) == enc and r.ige256_decrypt(enc, key, iv) == data
        self.count("ige")

    def ctr_stream(self):
        src = os.urandom(self.rng.randrange(0, 3000))
        stream, counter, offset = reference.ctr_keystream(KEY, *self.position, len(src))
        if self.rng.random() < 0.5:
            assert r.ctr256_decrypt(src, KEY, self.iv, self.state) == xor(src, stream)
        else:
            data = bytearray(src)
            assert r.ctr256_encrypt_inplace(data, KEY, self.iv, self.state) is None and data == xor(src, stream)
        self.position = (counter, offset)
        assert (bytes(self.iv), self.state[0]) == self.position
        self.count("ctr")

    def batch(self):
        sizes = [self.rng.randrange(0, 500) for _ in range(self.rng.randrange(1, 6))]
        flat, ivs, states = os.urandom(sum(sizes) + 2), os.urandom(16 * len(sizes)), os.urandom(len(sizes))
        expected, at = b"", 0
        for k, n in enumerate(sizes):
            expected += reference.ctr_apply(flat[at:at + n], KEY, ivs[16 * k:16 * k + 16], states[k])[0]
            at += n
        out = r.ctr256_decrypt_batch(flat, bytearray(struct.pack(f"<{len(sizes)}I", *sizes)), KEY,
                                     bytearray(ivs), bytearray(states))
        assert out == expected + flat[at:]
        self.count("batch")

    def digests(self):
        data = os.urandom(self.rng.randrange(0, 200))
        assert r.sha256_digest(data) == hashlib.sha256(data).digest()
        assert r.kdf(self.ak, data[:16], len(data) % 2 == 0) == reference.kdf(self.ak, data[:16], len(data) % 2 == 0)
        self.count("digest")

    def messages(self):
        body = os.urandom(self.rng.randrange(0, 2000))
        packed = r.pack_message(7, 8, body, 9, self.sid, self.ak, self.akid)
        plain = reference.open_packed(self.ak, packed, 0)
        assert packed[8:24] == reference.msg_key(self.ak, plain, 0)
        assert plain[:32 + len(body)] == reference.plaintext(9, self.sid, 7, 8, body, b"")
        assert r.unpack_message(self.sealed[0], self.sid, self.ak, self.akid) == self.sealed[1]
        self.count("message")

    # -- contended arguments --------------------------------------------------------

    def outcome(self, kind, call):
        try:
            result = call()
        except ValueError as exc:
            assert str(exc) in VALUE_ERRORS, exc
            assert self.c.untouched(), (kind, "wrote after", exc)
            self.count("value error")
        except Exception:
            raise
        except BaseException as exc:
            assert type(exc).__name__ == "PanicException", exc
            assert any(re.fullmatch(p, str(exc)) for p in PANICS[kind]), (kind, str(exc))
            assert self.c.untouched(), (kind, "wrote after", str(exc))
            self.count("panic")
        else:
            self.count("contended ok")
            return result

    def contended_single(self):
        c, src = self.c, os.urandom(self.rng.randrange(16, MAXLEN))
        c.reset(16)
        out = self.outcome("single", lambda: r.ctr256_encrypt(src, KEY, c.iv, c.state))
        if out is not None:
            mark = next((m for m in KEYSTREAM if xor(out, src) == KEYSTREAM[m][:len(src)]), None)
            assert mark is not None, "output of no counter block the call may have read"
            iv, state = bytes(c.iv), bytes(c.state)  # one read each: the mutators run on
            assert uniform(iv) or iv == counter_after(mark, len(src))
            assert not state or state[0] >= 0xF0 or state[0] == len(src) % 16

    def contended_inplace(self):
        c = self.c
        c.reset(self.rng.randrange(16, MAXLEN - 1))
        done = self.outcome("inplace", lambda: r.ctr256_decrypt_inplace(c.data, KEY, c.iv, c.state)) is None
        data = bytes(c.data)
        if done and not uniform(data):  # else overwritten since
            assert any(uniform(xor(data, KEYSTREAM[m][:len(data)])) for m in KEYSTREAM)

    def contended_batch(self):
        c, flat = self.c, os.urandom(sum(SIZES) + 3)
        c.reset(0)
        out = self.outcome("batch", lambda: r.ctr256_encrypt_batch(flat, c.sizes, KEY, c.ivs, c.states))
        if out is not None:
            items = flat[:SIZES[0]], flat[SIZES[0]:sum(SIZES)]
            mark = next((m for m in KEYSTREAM
                         if out == b"".join(xor(i, KEYSTREAM[m][:len(i)]) for i in items) + flat[-3:]), None)
            assert mark is not None, "output of no counter blocks the call may have read"
            expected = b"".join(counter_after(mark, n) for n in SIZES)
            ivs, states = bytes(c.ivs), bytes(c.states)
            assert uniform(ivs) or (ivs[:32] == expected and uniform(ivs[32:]))
            assert min(states) >= 0xF0 or states[:2] == bytes(n % 16 for n in SIZES)


def test_concurrent_calls_with_resizing_mutators():
    workers = [Worker(i) for i in range(WORKERS)]
    stop, mutator_errors = [], []

    def mutate(seed):
        rng = random.Random(seed)
        try:
            while not stop:
                for w in workers:
                    w.c.mutate(rng)
        except BaseException as exc:
            mutator_errors.append(repr(exc))

    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)  # hand the lock around often
    try:
        start = threading.Barrier(WORKERS)
        deadline = time.monotonic() + SECONDS
        threads = [threading.Thread(target=w.run, args=(start, deadline)) for w in workers]
        mutators = [threading.Thread(target=mutate, args=(100 + i,)) for i in range(MUTATORS)]
        for t in mutators + threads:
            t.start()
        for t in threads:
            t.join()
        stop.append(True)
        for t in mutators:
            t.join()
    finally:
        sys.setswitchinterval(previous)

    assert mutator_errors == []
    for w in workers:
        assert w.failures == [], w.failures
    totals = {}
    for w in workers:
        for key, n in w.counts.items():
            totals[key] = totals.get(key, 0) + n
    print("stress:", totals)
    # Every family ran, and the races this test is about happened.
    assert {"ige", "ctr", "batch", "digest", "message", "contended ok", "panic"} <= totals.keys(), totals
