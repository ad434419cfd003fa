"""The per-thread scratch buffer, observed through tracemalloc.

The buffer comes from the interpreter's raw allocator, so tracemalloc traces it and
attributes it to the Python line that made the call. Every call below is made from
the one line in `_call`, so the blocks still traced to that line after the call
(whose result is dropped at once) are exactly the buffers the thread retains.
"""

import os
import tracemalloc
from concurrent.futures import ThreadPoolExecutor

import pytest

from rederodidizo import ige256_encrypt, unpack_message

LIMIT = 2 * 1024 * 1024
KEY, IV = bytes(range(32)), bytes(range(32, 64))


def _call(data):
    ige256_encrypt(data, KEY, IV)


_CALL_LINE = _call.__code__.co_firstlineno + 1


def _held():
    """Sizes of the blocks allocated by the call line and still alive."""
    snapshot = tracemalloc.take_snapshot().filter_traces([tracemalloc.Filter(True, __file__, _CALL_LINE)])
    return sorted(trace.size for trace in snapshot.traces)


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
        ([LIMIT, 1000, 0], [[LIMIT], [LIMIT], [LIMIT]]),  # capacity kept, not length
    ],
)
def test_retention_follows_capacity(sizes, held_after_each):
    inputs = [bytes(n) for n in sizes]

    def work():
        seen = []
        for data in inputs:
            _call(data)
            seen.append(_held())
        return seen

    assert _in_fresh_thread(work) == held_after_each
    assert _held() == []  # the thread has ended: its buffer is gone


def test_reuse_allocates_nothing_new():
    first, second = bytes(LIMIT), os.urandom(LIMIT // 2)

    def work():
        _call(first)
        tracemalloc.reset_peak()
        before, _ = tracemalloc.get_traced_memory()
        _call(second)
        after, peak = tracemalloc.get_traced_memory()
        return before, after, peak, _held()

    before, after, peak, held = _in_fresh_thread(work)
    assert held == [LIMIT]
    assert after == before
    # The only allocation of the second call is its result (half the retained size);
    # a fresh scratch buffer would add as much again.
    assert LIMIT // 2 <= peak - before < LIMIT // 2 + 4096


def test_failed_call_drops_the_buffer():
    data, garbage = bytes(LIMIT), bytes(8) + os.urandom(100)

    def work():
        _call(data)
        retained = _held()
        with pytest.raises(ValueError, match="^msg_key mismatch$"):
            unpack_message(garbage, bytes(8), bytes(256), bytes(8))
        return retained, _held()

    assert _in_fresh_thread(work) == ([LIMIT], [])
