"""Threads advance one CTR stream together (one shared `iv` and `state`), each with
in-place calls on a bytearray of its own, while another thread keeps resizing `iv`
and a third keeps every data buffer busy with one of its own methods (`data.count`,
which on a free-threaded interpreter holds that buffer's lock while it runs).

Every call reads one position and writes the one after it (the last writer wins), so
a call can only start from a position the stream has reached: n * L bytes in, where
L is the length of every data buffer. Hence, in each round:

- a call that succeeds turned its zeroed buffer into the keystream of such a
  position, bytes n * L to (n + 1) * L of the stream, and position n is the start or
  was itself read by a successful call;
- a call that fails raised PanicException for `iv`'s length (the resizer had it a
  byte short or long when the call went to read or write it) or ValueError for it at
  the entry checks, and left its buffer zeroed;
- at the end, `iv` and `state` hold the position after one of the successful calls.

L is 16k + 5, so consecutive positions differ both in counter block and in offset: a
position written in part (a block from one call and an offset from another, a block
cut short) is one that no call ever wrote, and the next call to read it produces a
keystream of no position of the stream.

The keystream comes from `cryptography` where it is installed; elsewhere (a
free-threaded interpreter may lack it) from one call of the module in this thread
before any other thread starts.
"""

import os
import re
import sys
import threading
import time

import rederodidizo as r

WORKERS, CALLS = 3, 50  # per round
SECONDS, ENOUGH = 2.0, 20  # rounds go on until this many panics, or for this long
L = 16 * 4096 + 5
KEY = os.urandom(32)
START = (1 << 128) - 2000  # the counter wraps during a round
ZEROS = bytes(L)
PANIC = re.compile(r"copy_from_slice: source slice length \((\d+)\) does not match destination slice length \((\d+)\)")


def keystream(n):
    iv = START.to_bytes(16)
    try:
        from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
    except ImportError:
        return r.ctr256_encrypt(bytes(n), KEY, bytearray(iv), bytearray(1))
    return Cipher(algorithms.AES(KEY), modes.CTR(iv)).encryptor().update(bytes(n))


def position(n):
    """(counter block, offset) n calls into the stream."""
    return ((START + n * L // 16) % (1 << 128)).to_bytes(16), n * L % 16


def iv_panic(message):
    m = PANIC.fullmatch(message)
    return bool(m) and 16 in {int(m[1]), int(m[2])} and {int(m[1]), int(m[2])} <= {15, 16, 17}


def one_round(slices, index):
    """Runs the threads once over a fresh stream; returns the positions that the
    successful calls read, every call's outcome, and the position left at the end."""
    iv, state = bytearray(position(0)[0]), bytearray(1)
    datas = [bytearray(L) for _ in range(WORKERS)]
    read, outcomes, failures = [], [], []
    done = threading.Event()

    def worker(data):
        for _ in range(CALLS):
            data[:] = ZEROS  # the same length: never a resize
            try:
                r.ctr256_encrypt_inplace(data, KEY, iv, state)
            except ValueError as error:
                outcome = "value error" if str(error) == "IV must be 16 bytes" else repr(error)
                time.sleep(0)  # with the global lock: let the resizer move on
            except Exception as error:
                outcome = repr(error)
            except BaseException as error:  # PanicException derives from BaseException only
                outcome = "panic" if type(error).__name__ == "PanicException" and iv_panic(str(error)) else repr(error)
            else:
                k = index.get(bytes(data[:16]))
                outcome = "ok" if k is not None and data == slices[k] else "output of no position of the stream"
                if outcome == "ok":
                    read.append(k)
            if outcome != "ok" and data != ZEROS:
                outcome += ", and the buffer was written"
            outcomes.append(outcome)

    def resizer():
        while not done.is_set():
            iv.append(iv.pop())  # a byte short, then back
            iv.append(0xA5)  # a byte long, then back
            iv.pop()

    def holder():
        while not done.is_set():
            for data in datas:
                data.count(b"xy")

    def guarded(target, *args):
        try:
            target(*args)
        except BaseException as error:
            failures.append(repr(error))

    workers = [threading.Thread(target=guarded, args=(worker, d)) for d in datas]
    others = [threading.Thread(target=guarded, args=(f,)) for f in (resizer, holder)]
    for t in others + workers:
        t.start()
    for t in workers:
        t.join()
    done.set()
    for t in others:
        t.join()
    assert failures == []
    return read, outcomes, (bytes(iv), state[0])


def test_threads_advance_one_stream_while_iv_is_resized_and_data_is_busy():
    stream = keystream((WORKERS * CALLS + 1) * L)
    slices = [memoryview(stream)[k * L:(k + 1) * L] for k in range(WORKERS * CALLS + 1)]
    index = {bytes(s[:16]): k for k, s in enumerate(slices)}
    assert len(index) == len(slices)

    totals, rounds = dict.fromkeys(("ok", "panic", "value error"), 0), 0
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)  # with the global lock: hand it around often
    began = time.monotonic()
    try:
        while totals["panic"] < ENOUGH and time.monotonic() - began < SECONDS:
            read, outcomes, end = one_round(slices, index)
            rounds += 1
            assert len(outcomes) == WORKERS * CALLS
            assert set(outcomes) <= totals.keys(), outcomes
            assert all(k == 0 or k - 1 in read for k in read), "a position that no successful call wrote was read"
            # On a loaded machine the resizer may have had `iv` the wrong length at
            # every call of a round; the stream then stays where it began.
            assert end in ({position(k + 1) for k in read} if read else {position(0)})
            for outcome in outcomes:
                totals[outcome] += 1
    finally:
        sys.setswitchinterval(previous)
    assert totals["ok"] > 0, "no call succeeded"
    print(f"shared stream: {rounds} rounds in {time.monotonic() - began:.2f} s: {totals}")
