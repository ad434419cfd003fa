"""The per-thread scratch buffer, observed through tracemalloc.

unpack_message is its one user: it decrypts and verifies there before it exposes
anything (the other functions read their bytes input in place and write straight
into their result). The buffer comes from the interpreter's raw allocator, so
tracemalloc traces it and attributes it to the Python line that made the call.
Every call below is made from the one line in `_call`, so the blocks still traced to
that line after the call (whose result is dropped at once) are exactly the buffers
the thread retains: as large as the encrypted part of the largest message so far.
"""

import functools
import os
import tracemalloc
from concurrent.futures import ThreadPoolExecutor

import pytest

import reference
from rederodidizo import ige256_encrypt, unpack_message

LIMIT = 2 * 1024 * 1024
AUTH_KEY, AUTH_KEY_ID, SESSION_ID = bytes(range(256)), bytes(8), bytes(range(8))


@functools.cache
def _packed(size):
    """A message from a client whose encrypted part is `size` bytes (at least 44)."""
    plain = reference.plaintext(1, SESSION_ID, 2, 3, bytes(size - 44), bytes(12))
    msg_key = reference.msg_key(AUTH_KEY, plain, 0)
    key, iv = reference.kdf(AUTH_KEY, msg_key, True)
    return AUTH_KEY_ID + msg_key + ige256_encrypt(plain, key, iv)


def _call(packed):
    unpack_message(packed, SESSION_ID, AUTH_KEY, AUTH_KEY_ID, incoming=False)


_CALL_LINE = _call.__code__.co_firstlineno + 1


def _held():
    """Sizes of the blocks allocated by the call line and still alive, from 100 bytes
    (the smallest buffer here): the interpreter's free lists may keep one of the
    result's small objects, such as its tuple."""
    snapshot = tracemalloc.take_snapshot().filter_traces([tracemalloc.Filter(True, __file__, _CALL_LINE)])
    return sorted(trace.size for trace in snapshot.traces if trace.size >= 100)


def _in_fresh_thread(work):
    with ThreadPoolExecutor(1) as pool:  # its one thread is joined on leaving
        future = pool.submit(work)
    return future.result()


@pytest.fixture(autouse=True)
def tracing():
    already = tracemalloc.is_tracing()
    tracemalloc.start()
    yield
    if not already:
        tracemalloc.stop()


THREE_HALVES = 3 * LIMIT // 4  # 1.5 MiB


@pytest.mark.parametrize(
    "sizes, held_after_each",
    [
        ([LIMIT], [[LIMIT]]),  # exactly the limit: kept
        ([LIMIT + 1], [[]]),
        ([THREE_HALVES, THREE_HALVES + 1], [[THREE_HALVES], []]),  # doubled to 3 MiB: dropped
        ([LIMIT, LIMIT + 1], [[LIMIT], []]),
        ([LIMIT + 1, 1000], [[], [1000]]),  # the next call starts from an empty buffer
        ([100, 150], [[100], [200]]),  # growth doubles
        ([100, LIMIT], [[100], [LIMIT]]),
        ([LIMIT, 1000, 500], [[LIMIT], [LIMIT], [LIMIT]]),  # capacity kept, not length
    ],
)
def test_retention_follows_capacity(sizes, held_after_each):
    inputs = [_packed(n) for n in sizes]

    def work():
        seen = []
        for data in inputs:
            _call(data)
            seen.append(_held())
        return seen

    assert _in_fresh_thread(work) == held_after_each
    assert _held() == []  # the thread has ended: its buffer is gone


def test_reuse_allocates_nothing_new():
    first, second = _packed(LIMIT), _packed(LIMIT // 2)

    def work():
        _call(first)
        tracemalloc.reset_peak()
        before, _ = tracemalloc.get_traced_memory()
        _call(second)
        after, peak = tracemalloc.get_traced_memory()
        return before, after, peak, _held()

    before, after, peak, held = _in_fresh_thread(work)
    assert held == [LIMIT]
    assert abs(after - before) < 1024  # the interpreter's free lists may keep an object or two
    # The only large allocation of the second call is its body (almost half the
    # retained size); a fresh scratch buffer would add as much again.
    assert LIMIT // 2 - 44 <= peak - before < LIMIT // 2 + 4096


def test_failed_call_drops_the_buffer():
    data, garbage = _packed(LIMIT), bytes(8) + os.urandom(100)

    def work():
        _call(data)
        retained = _held()
        with pytest.raises(ValueError, match="^msg_key mismatch$"):
            unpack_message(garbage, bytes(8), bytes(256), bytes(8))
        return retained, _held()

    assert _in_fresh_thread(work) == ([LIMIT], [])
