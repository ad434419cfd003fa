"""Threads packing, unpacking and encrypting at once, each with its own keys and
sizes (from none to past 2 MiB). Expected values are computed before the threads
start, and the packed messages are checked after they end, so the threads spend
their time in the module."""

import os
import threading

import reference
from rederodidizo import ige256_decrypt, ige256_encrypt, pack_message, unpack_message

THREADS, ROUNDS = 6, 12
SIZES = [0, 17, 1000, 65536 + 3, 2 * 1024 * 1024 + 16, 48]


class Worker:
    def __init__(self, index):
        self.key, self.iv = os.urandom(32), os.urandom(32)
        self.auth_key, self.auth_key_id, self.session_id = os.urandom(256), os.urandom(8), os.urandom(8)
        self.sizes = SIZES[index % len(SIZES):] + SIZES[:index % len(SIZES)]
        self.texts = [os.urandom(n) for n in self.sizes]
        self.expected = [reference.ige_encrypt(t, self.key, self.iv) for t in self.texts]
        body = os.urandom(100 + index)
        plain = reference.plaintext(index, self.session_id, index, index, body, os.urandom(reference.padding_size(len(body))))
        self.incoming = reference.seal(self.auth_key, self.auth_key_id, plain, 8)
        self.incoming_fields = (index, index, len(body), body, len(self.incoming) - 40)
        self.packed, self.failures = [], []

    def run(self, start):
        start.wait()
        try:
            self.rounds()
        except BaseException as error:  # reported by the test's thread
            self.failures.append(repr(error))

    def rounds(self):
        for r in range(ROUNDS):
            for text, expected in zip(self.texts, self.expected):
                if ige256_encrypt(text, self.key, self.iv) != expected or ige256_decrypt(expected, self.key, self.iv) != text:
                    self.failures.append(("ige", len(text)))
            body = self.texts[r % len(self.texts)][:5000]
            packed = pack_message(r, -r, body, r * 3, self.session_id, self.auth_key, self.auth_key_id)
            self.packed.append((r, body, packed))
            if unpack_message(packed, self.session_id, self.auth_key, self.auth_key_id, False) != (r, -r, len(body), body, len(packed) - 40):
                self.failures.append(("unpack own", r))
            if unpack_message(self.incoming, self.session_id, self.auth_key, self.auth_key_id) != self.incoming_fields:
                self.failures.append(("unpack incoming", r))


def test_concurrent_calls_match_reference():
    workers = [Worker(i) for i in range(THREADS)]
    start = threading.Barrier(THREADS)
    threads = [threading.Thread(target=w.run, args=(start,)) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for w in workers:
        assert w.failures == []
        assert len(w.packed) == ROUNDS
        for r, body, packed in w.packed:
            plain = reference.open_packed(w.auth_key, packed, 0)
            assert packed[:8] == w.auth_key_id
            assert packed[8:24] == reference.msg_key(w.auth_key, plain, 0)
            assert plain[:32 + len(body)] == reference.plaintext(r * 3, w.session_id, r, -r, body, b"")
