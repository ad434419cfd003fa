"""Times rederodidizo beside hashlib, cryptography, OpenSSL and the AES limits.

    PYTHONPATH=build/release python3.14 bench/bench.py     (or: make bench)

Each case family runs in a process of its own (`--family NAME` prints its figures as
JSON); the parent prints a Markdown table of every case against each comparison,
with its target and verdict, and writes bench/results/{bench.json,table.md,
throughput.png}. Within a case the candidates are warmed up, then timed in
interleaved rounds, and the best round counts. Ratios are comparison time / ours.
The parent first compiles the probes of the hardware's limits into build/bench/: the
AES-NI chain (aes_chain.cpp) and the VAES keystream (vaes_ctr.cpp).

The paths a processor without AES instructions takes (vector permute on 16-byte and,
for CTR, 32-byte vectors, bitsliced) are timed in builds that force them, each in
processes of its own, beside what such a processor gets from cryptography instead:
OpenSSL's own software paths, in processes started with OPENSSL_ia32cap hiding AES-NI
and VAES from it (its bitsliced CTR; its vector-permute CBC encryption, a serial chain
as IGE is). Processes with OpenSSL on AES-NI show, in the same run, that it took
slower paths. A build forced to Nettle's table AES (run with NETTLE_FAT_OVERRIDE=none,
so that Nettle does not take the AES instructions either) is timed for information;
`make bench` passes those builds in RDZ_BENCH_PATHS ("name=dir ..."). The processes
alternate over several rounds, and each one's best counts.

The timing test (bench/timing.cpp, its command in RDZ_TIMING) runs as the last family:
Welch's t between fixed and random secret inputs for every AES backend the processor
runs, one row per path, beside its planted-leak control.

Large inputs (4, 16 and 64 MiB) also count the page faults of a call (getrusage's
ru_minflt around it) per 4 KiB page of input, and how long another Python thread,
spinning on the clock, goes without running while a 64 MiB call is in progress.
"""

import argparse
import ctypes
import functools
import gc
import hashlib
import json
import os
import platform
import re
import resource
import shlex
import statistics
import struct
import subprocess
import sys
import threading
import time
import timeit
from pathlib import Path

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"
PROBES = HERE.parent / "build" / "bench"
PROBE, VAES_PROBE = PROBES / "aes_chain", PROBES / "vaes_ctr"
KiB, MiB = 1024, 1024 * 1024
SIZES = [16, 64, KiB, 16 * KiB, MiB]
LARGE = [4 * MiB, 16 * MiB, 64 * MiB]
LARGE_ROUNDS = 11
PAGE = 4096
ROUNDS = 31     # interleaved timing rounds per case
BATCH = 0.01    # seconds of calls per candidate and round
MiB_BLOCKS = MiB // 16


# ---- timing ----------------------------------------------------------------------

def timed(stmt, **names):
    """A candidate: runs `stmt` n times, returns the seconds per run."""
    timer = timeit.Timer(stmt, globals=names)
    return lambda n: timer.timeit(n) / n


def probe(n):
    """The AES-NI chain over 1 MiB of blocks, n times; seconds per 1 MiB."""
    out = subprocess.run([str(PROBE), str(MiB_BLOCKS), str(n)], capture_output=True, text=True, check=True)
    return float(out.stdout.split()[0]) * MiB_BLOCKS * 1e-9


def vaes_probe(n):
    """The VAES keystream over 1 MiB of blocks, n times; seconds per 1 MiB."""
    out = subprocess.run([str(VAES_PROBE), str(MiB_BLOCKS), str(n)], capture_output=True, text=True, check=True)
    return float(out.stdout.split()[0]) * MiB_BLOCKS * 1e-9


@functools.cache
def vaes_probe_runs():
    return subprocess.run([str(VAES_PROBE), "16", "1"], capture_output=True).returncode == 0


def compare(candidates, rounds=ROUNDS):
    """Best and median seconds per call of each candidate, over interleaved rounds."""
    counts = {}
    for name, run in candidates.items():
        n, spent = 1, run(1)
        while spent < BATCH / 10:
            n *= 10
            spent = run(n) * n
        counts[name] = max(1, round(n * BATCH / spent))
        run(counts[name])  # warm-up at the timed batch size
    samples = {name: [] for name in candidates}
    names = list(candidates)
    for r in range(rounds):
        for name in names[r % len(names):] + names[:r % len(names)]:
            samples[name].append(candidates[name](counts[name]))
    return {name: {"best": min(s), "median": statistics.median(s)} for name, s in samples.items()}


def rows_for(case, size, times, targets, per_block=False):
    """One row per comparison; `targets` maps a comparison's name to its target or None."""
    ours = times["ours"]["best"]
    return [{"case": case, "size": size, "comparison": name, "ours": ours, "theirs": times[name]["best"],
             "ratio": times[name]["best"] / ours, "target": target, "unit": "call",
             "per_block": per_block and name == "AES-NI limit"}
            for name, target in targets.items()]


def series(plot, size, times):
    return [{"plot": plot, "candidate": name, "size": size, **t} for name, t in times.items()]


# ---- comparisons in Python -------------------------------------------------------

def py_ige(data, key, iv, encrypt=True):
    """IGE over one persistent AES-ECB context of cryptography, one update per block."""
    ecb = Cipher(algorithms.AES(key), modes.ECB())
    update = (ecb.encryptor() if encrypt else ecb.decryptor()).update
    # Each output block is F(input ^ previous output) ^ previous input.
    prev_out, prev_in = (iv[:16], iv[16:]) if encrypt else (iv[16:], iv[:16])
    a, b = int.from_bytes(prev_out), int.from_bytes(prev_in)
    out = []
    for i in range(0, len(data), 16):
        x = int.from_bytes(data[i:i + 16])
        y = int.from_bytes(update((x ^ a).to_bytes(16))) ^ b
        out.append(y.to_bytes(16))
        a, b = y, x
    return b"".join(out)


@functools.cache
def libcrypto():
    lib = ctypes.CDLL("libcrypto.so.3")
    for name in ("AES_set_encrypt_key", "AES_set_decrypt_key"):
        getattr(lib, name).argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_void_p]
    lib.AES_ige_encrypt.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.c_size_t,
                                    ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int]
    lib.AES_ige_encrypt.restype = None
    lib.OpenSSL_version.restype = ctypes.c_char_p
    return lib


def ossl_ige(data, key, iv, encrypt=True):
    """OpenSSL's AES_ige_encrypt (whole blocks), with the key set up per call as ours."""
    lib = libcrypto()
    schedule = ctypes.create_string_buffer(256)  # AES_KEY is 244 bytes
    (lib.AES_set_encrypt_key if encrypt else lib.AES_set_decrypt_key)(key, 256, schedule)
    out = ctypes.create_string_buffer(len(data))
    lib.AES_ige_encrypt(data, out, len(data), schedule, ctypes.create_string_buffer(iv, 32), int(encrypt))
    return out.raw


def py_kdf(auth_key, msg_key, x):
    a = hashlib.sha256(msg_key + auth_key[x:x + 36]).digest()
    b = hashlib.sha256(auth_key[x + 40:x + 76] + msg_key).digest()
    return a[:8] + b[8:24] + a[24:32], b[:8] + a[8:24] + b[24:32]


def py_pack(msg_id, seq_no, body, salt, session_id, auth_key, auth_key_id, ige=py_ige):
    n = len(body)
    padding = os.urandom(12 + (16 - (n + 44) % 16) % 16)
    plain = struct.pack("<q8sqiI", salt, session_id, msg_id, seq_no, n) + body + padding
    msg_key = hashlib.sha256(auth_key[88:120] + plain).digest()[8:24]
    key, iv = py_kdf(auth_key, msg_key, 0)
    return auth_key_id + msg_key + ige(plain, key, iv)


def py_unpack(packed, session_id, auth_key, auth_key_id, incoming=True, ige=py_ige):
    x = 8 if incoming else 0
    if len(packed) < 24 or packed[:8] != auth_key_id:
        raise ValueError("not this key")
    msg_key = packed[8:24]
    key, iv = py_kdf(auth_key, msg_key, x)
    plain = ige(packed[24:], key, iv, False)
    if hashlib.sha256(auth_key[88 + x:120 + x] + plain).digest()[8:24] != msg_key:
        raise ValueError("msg_key mismatch")
    if plain[8:16] != session_id:
        raise ValueError("session mismatch")
    msg_id, seq_no, n = struct.unpack_from("<qii", plain, 16)
    if not 0 <= n <= len(plain) - 32:
        raise ValueError("bad length")
    return msg_id, seq_no, n, plain[32:32 + n], len(packed) - 40


def ctr_oneshot(data, key, nonce):
    return Cipher(algorithms.AES(key), modes.CTR(nonce)).encryptor().update(data)


# ---- case families (each runs in its own process) ---------------------------------

def family_digest(m):
    rows, points = [], []
    floor = compare({"ours": timed('len(b"")')})
    rows.append({"case": 'floor: len(b"")', "size": None, "comparison": None, "ours": floor["ours"]["best"],
                 "theirs": None, "ratio": None, "target": None, "unit": "call", "per_block": False})
    for size in SIZES:
        d = os.urandom(size)
        assert m.sha256_digest(d) == hashlib.sha256(d).digest()
        times = compare({"ours": timed("f(d)", f=m.sha256_digest, d=d),
                         "hashlib": timed("sha256(d).digest()", sha256=hashlib.sha256, d=d)})
        rows += rows_for("sha256_digest", size, times,
                         {"hashlib": 1.5 if size < KiB else 0.95 if size == MiB else None})
        points += series("sha256_digest", size, times)
    # Both hash with the SHA instructions, so the floor of 1 KiB is its 16 compressions
    # at the cost per block seen at 1 MiB, plus the whole cost of hashing b"" (the call,
    # the padding block and the result).
    kib, mib = os.urandom(KiB), os.urandom(MiB)
    times = compare({"ours": timed("f(d)", f=m.sha256_digest, d=kib),
                     "empty": timed('f(b"")', f=m.sha256_digest),
                     "1 MiB": timed("f(d)", f=m.sha256_digest, d=mib)})
    floor = 16 * times["1 MiB"]["best"] / (MiB // 64) + times["empty"]["best"]
    times["SHA-instruction floor"] = {"best": floor}
    rows += rows_for("sha256_digest", KiB, times, {"SHA-instruction floor": 0.9})
    ak, mk = os.urandom(256), os.urandom(16)
    assert m.kdf(ak, mk, True) == py_kdf(ak, mk, 0) and m.kdf(ak, mk, False) == py_kdf(ak, mk, 8)
    times = compare({"ours": timed("f(ak, mk, True)", f=m.kdf, ak=ak, mk=mk),
                     "hashlib": timed("f(ak, mk, 0)", f=py_kdf, ak=ak, mk=mk)})
    rows += rows_for("kdf", 16, times, {"hashlib": 5.0})
    return rows, points


def family_ige(m):
    rows, points = [], []
    key, iv = os.urandom(32), os.urandom(32)
    for encrypt, name in ((True, "ige256_encrypt"), (False, "ige256_decrypt")):
        ours = getattr(m, name)
        for size in SIZES:
            d = os.urandom(size)
            assert ours(d, key, iv) == py_ige(d, key, iv, encrypt) == ossl_ige(d, key, iv, encrypt)
            args = dict(d=d, key=key, iv=iv, e=encrypt)
            candidates = {"ours": timed("f(d, key, iv)", f=ours, **args),
                          "pure Python": timed("f(d, key, iv, e)", f=py_ige, **args),
                          "OpenSSL": timed("f(d, key, iv, e)", f=ossl_ige, **args)}
            targets = {"pure Python": None, "OpenSSL": None}
            if size == MiB:
                candidates["AES-NI limit"] = probe
                targets = {"pure Python": None, "OpenSSL": 4.0, "AES-NI limit": 0.75}
            times = compare(candidates)
            rows += rows_for(name, size, times, targets, per_block=True)
            points += series(name, size, times)
    return rows, points


def family_ctr(m):
    rows, points = [], []
    key, nonce = os.urandom(32), os.urandom(16)
    for size in SIZES:
        d = os.urandom(size)
        assert m.ctr256_encrypt(d, key, bytearray(nonce), bytearray(1)) == ctr_oneshot(d, key, nonce)
        encryptor = Cipher(algorithms.AES(key), modes.CTR(nonce)).encryptor()
        candidates = {
            "ours": timed("f(d, key, iv, st)", f=m.ctr256_encrypt, d=d, key=key, iv=bytearray(nonce), st=bytearray(1)),
            "persistent": timed("f(d)", f=encryptor.update, d=d),
            # into a buffer made once: the cipher alone, without a new result object
            "persistent update_into": timed("f(d, out)", f=encryptor.update_into, d=d, out=bytearray(size + 15)),
            "one-shot": timed("f(d, key, nonce)", f=ctr_oneshot, d=d, key=key, nonce=nonce)}
        small = size <= 16 * KiB
        # The one-shot's own setup bounds its ratio at 16 KiB; update_into takes over there.
        targets = {"persistent": 1.0 if small else 0.7, "one-shot": 10.0 if size < 16 * KiB else None,
                   "persistent update_into": {16 * KiB: 1.2, MiB: 1.5}.get(size)}
        if size == MiB and vaes_probe_runs():
            candidates["VAES keystream limit"] = vaes_probe
            targets["VAES keystream limit"] = 0.7
        times = compare(candidates)
        rows += rows_for("ctr256_encrypt", size, times, targets)
        points += series("ctr256_encrypt", size, times)
    items = [os.urandom(256) for _ in range(64)]
    flat, sizes = b"".join(items), bytearray(struct.pack("<64I", *[256] * 64))
    ivs = os.urandom(16 * 64)
    singles = [(item, bytearray(ivs[16 * k:16 * k + 16]), bytearray(1)) for k, item in enumerate(items)]
    expected = b"".join(m.ctr256_encrypt(item, key, bytearray(iv), bytearray(st)) for item, iv, st in singles)
    assert m.ctr256_encrypt_batch(flat, sizes, key, bytearray(ivs), bytearray(64)) == expected
    times = compare({
        "ours": timed("f(flat, sizes, key, ivs, states)", f=m.ctr256_encrypt_batch, flat=flat, sizes=sizes,
                      key=key, ivs=bytearray(ivs), states=bytearray(64)),
        "64 single calls": timed("for d, iv, st in singles: f(d, key, iv, st)", f=m.ctr256_encrypt,
                                 singles=singles, key=key)})
    rows += rows_for("ctr256_encrypt_batch", "64 × 256 B", times, {"64 single calls": 2.0})
    return rows, points


def family_message(m):
    rows, points = [], []
    ak = os.urandom(256)
    akid, sid = hashlib.sha256(ak).digest()[-8:], os.urandom(8)
    for size in (128, KiB):
        body = os.urandom(size)
        packed = m.pack_message(7, 3, body, -5, sid, ak, akid)
        assert py_unpack(packed, sid, ak, akid, False) == m.unpack_message(packed, sid, ak, akid, False)
        assert m.unpack_message(py_pack(7, 3, body, -5, sid, ak, akid), sid, ak, akid, False)[3] == body
        args = dict(body=body, sid=sid, ak=ak, akid=akid, packed=packed)
        pack = "f(7, 3, body, -5, sid, ak, akid, *more)"
        times = compare({"ours": timed(pack, f=m.pack_message, more=(), **args),
                         "Python, pure-Python IGE": timed(pack, f=py_pack, more=(py_ige,), **args),
                         "Python, OpenSSL IGE": timed(pack, f=py_pack, more=(ossl_ige,), **args)})
        rows += rows_for("pack_message", size, times, {"Python, pure-Python IGE": 20.0, "Python, OpenSSL IGE": None})
        points += series("pack_message", size, times)
        unpack = "f(packed, sid, ak, akid, False, *more)"
        times = compare({"ours": timed(unpack, f=m.unpack_message, more=(), **args),
                         "Python, pure-Python IGE": timed(unpack, f=py_unpack, more=(py_ige,), **args),
                         "Python, OpenSSL IGE": timed(unpack, f=py_unpack, more=(ossl_ige,), **args)})
        rows += rows_for("unpack_message", size, times,
                         {"Python, pure-Python IGE": 20.0, "Python, OpenSSL IGE": None})
        points += series("unpack_message", size, times)
    return rows, points


def family_threads(m):
    d, key, iv = os.urandom(MiB), os.urandom(32), os.urandom(32)
    f = m.ige256_encrypt
    # Many short rounds: on a shared machine, some of them find both cores free.
    calls = max(1, round(0.03 / timed("f(d, key, iv)", f=f, d=d, key=key, iv=iv)(5)))

    def work(start=None):
        if start:
            start.wait()
        for _ in range(calls):
            f(d, key, iv)

    one, two = [], []
    for _ in range(ROUNDS):
        t0 = time.perf_counter()
        work()
        one.append((time.perf_counter() - t0) / calls)
        start = threading.Barrier(3)
        threads = [threading.Thread(target=work, args=(start,)) for _ in range(2)]
        for t in threads:
            t.start()
        start.wait()
        t0 = time.perf_counter()
        for t in threads:
            t.join()
        two.append((time.perf_counter() - t0) / (2 * calls))
    times = {"ours": {"best": min(two), "median": statistics.median(two)},
             "1 thread": {"best": min(one), "median": statistics.median(one)}}
    return rows_for("threads: 2 × ige256_encrypt", MiB, times, {"1 thread": 1.7}), []


def faults_per_page(call, size):
    """The most minor page faults per 4 KiB page of input seen in three calls."""
    worst = 0.0
    for _ in range(3):
        before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        result = call()
        after = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        del result
        worst = max(worst, (after - before) / (size / PAGE))
    return worst


def large_calls(m, size):
    d, key, iv = os.urandom(size), os.urandom(32), os.urandom(32)
    return {"ige256_encrypt": lambda: m.ige256_encrypt(d, key, iv),
            "ige256_decrypt": lambda: m.ige256_decrypt(d, key, iv),
            "ctr256_encrypt": lambda: m.ctr256_encrypt(d, key, bytearray(16), bytearray(1))}


def fresh_large_allocations():
    """Makes glibc's malloc map every large block afresh. By default it raises its
    mmap threshold once a mapped block is freed, and then serves later large results
    from pages an earlier one already touched: which rows paid for fresh memory would
    depend on their order. With the threshold fixed, every large result is fresh, as
    in a process that makes such a call now and then."""
    try:
        ctypes.CDLL(None).mallopt(-3, 128 * KiB)  # M_MMAP_THRESHOLD
    except (OSError, AttributeError):
        pass


def family_large(m):
    rows, points = [], []
    key, nonce = os.urandom(32), os.urandom(16)
    fresh_large_allocations()
    for size in LARGE:
        calls = large_calls(m, size)
        for name, call in calls.items():
            per_page = faults_per_page(call, size)
            candidates = {"ours": lambda n, call=call: timeit.Timer(call).timeit(n) / n}
            targets = {}
            if name == "ctr256_encrypt":
                d = os.urandom(size)
                update_into = Cipher(algorithms.AES(key), modes.CTR(nonce)).encryptor().update_into
                candidates["persistent update_into"] = timed("f(d, out)", f=update_into, d=d, out=bytearray(size + 15))
                targets["persistent update_into"] = None
            times = compare(candidates, LARGE_ROUNDS)
            if targets:
                rows += rows_for(name, size, times, targets)
            else:
                rows.append({"case": name, "size": size, "comparison": None, "ours": times["ours"]["best"],
                             "theirs": None, "ratio": None, "target": None, "unit": "call", "per_block": False})
            points += series(name, size, times)  # the small sizes' plot, continued
            rows.append({"case": f"page faults: {name}", "size": size, "comparison": None, "ours": per_page,
                         "theirs": None, "ratio": None, "target": None if size < 16 * MiB else "≤ 1.15",
                         "unit": "faults/page", "per_block": False, "met": per_page <= 1.15})
    return rows, points


def longest_stall(call):
    """The longest time, in seconds, that a thread spinning on the clock goes without
    running while `call` is in progress in this one."""
    done, gaps = [False], []

    def spin():
        clock, last = time.perf_counter, time.perf_counter()
        while not done[0]:
            now = clock()
            if now - last > 1e-5:
                gaps.append((last, now))
            last = now

    spinner = threading.Thread(target=spin)
    spinner.start()
    time.sleep(0.02)  # the spinner is running
    start = time.perf_counter()
    result = call()
    end = time.perf_counter()
    done[0] = True
    spinner.join()
    del result  # freeing 64 MiB takes a while: not inside the window
    return max((now - last for last, now in gaps if now > start and last < end), default=0.0)


def family_stall(m):
    rows = []
    fresh_large_allocations()
    calls = large_calls(m, 64 * MiB)
    for name in ("ige256_encrypt", "ctr256_encrypt"):
        # The best of 15 calls counts, as everywhere here: what the call itself
        # holds up is the same each time, and a busy machine only adds (the spinner
        # also waits whenever the OS runs something else on its core).
        stalls = sorted(longest_stall(calls[name]) for _ in range(15))
        rows.append({"case": f"longest stall of another thread: {name}", "size": 64 * MiB, "comparison": None,
                     "ours": stalls[0], "theirs": None, "ratio": None, "target": "< 5 ms", "unit": "call",
                     "per_block": False, "met": stalls[0] < 0.005, "stalls": stalls})
    return rows, []


def rss_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def family_memory(m):
    ak, sid = os.urandom(256), os.urandom(8)
    akid, d, key = ak[:8], os.urandom(KiB), os.urandom(32)
    packed = m.pack_message(1, 2, d, 3, sid, ak, akid)
    sizes = bytearray(struct.pack("<4I", *[256] * 4))
    calls = {
        "ige256_encrypt": (d, key, key), "ige256_decrypt": (d, key, key),
        "ctr256_encrypt": (d, key, bytearray(16), bytearray(1)),
        "ctr256_decrypt": (d, key, bytearray(16), bytearray(1)),
        "ctr256_encrypt_inplace": (bytearray(d), key, bytearray(16), bytearray(1)),
        "ctr256_decrypt_inplace": (bytearray(d), key, bytearray(16), bytearray(1)),
        "ctr256_encrypt_batch": (d, sizes, key, bytearray(64), bytearray(4)),
        "ctr256_decrypt_batch": (d, sizes, key, bytearray(64), bytearray(4)),
        "kdf": (ak, key[:16], True), "sha256_digest": (d,),
        "pack_message": (1, 2, d, 3, sid, ak, akid), "unpack_message": (packed, sid, ak, akid, False)}
    rows = []
    for name, args in calls.items():
        f = getattr(m, name)
        for _ in range(10_000):
            f(*args)
        gc.collect()
        before = rss_kib()
        for _ in range(200_000):
            f(*args)  # the result is dropped at once
        gc.collect()
        grown = rss_kib() - before
        rows.append({"case": f"memory: 200,000 × {name}", "size": 16 if name == "kdf" else KiB, "comparison": None, "ours": grown,
                     "theirs": None, "ratio": None, "target": "< 1 MiB", "unit": "KiB", "per_block": False,
                     "met": grown < 1024})
    return rows, []


# ---- the paths without AES instructions -----------------------------------------

PATH_ROUNDS = 5
# What a processor without AES instructions gets from cryptography instead: OpenSSL's
# software paths, which it takes where OPENSSL_ia32cap hides, in the first word,
# AES-NI (bit 57, CPUID.1:ECX.AES) and PCLMULQDQ (bit 33), and in the second VAES
# (bit 41, CPUID.7:ECX.VAES) and VPCLMULQDQ (bit 42). Its CTR is then its bitsliced
# kernel, and its CBC encryption, a serial chain as IGE is, its vector-permute kernel.
OPENSSL_SOFTWARE = "~0x200000200000000:~0x60000000000"
OPENSSL_SOFTWARE_CTR = "OpenSSL's software CTR"
OPENSSL_SOFTWARE_CBC = "OpenSSL's software CBC-encrypt chain"
OPENSSL_SOFTWARE_CTR_INTO = "OpenSSL's software CTR, into a buffer made once"
OPENSSL_SOFTWARE_CBC_INTO = "OpenSSL's software CBC-encrypt chain, into a buffer made once"
# Taken for OpenSSL's software paths when they are at most this fraction of the speed
# of its paths on AES-NI in the same run.
SOFTWARE_SPEED_AT_MOST = 0.5
TABLE_AES = "Nettle's table AES"
# (case, size, comparison, {path: target}): a path not named has no row for the case.
# vperm256 differs from vperm in CTR only; its IGE is vperm's own code, so it has no
# IGE rows (its messages, IGE too, have theirs, beside vperm's). The bitsliced path and
# Nettle's table AES (no alternative: its timing leaks the key) are there for
# information.
#
# The targets are set on the calls a user makes of each library: ours return a new
# bytes object, and so does cryptography's update(). Both then pay for the result's
# fresh memory, which on a virtual machine costs about as much as the cipher over a
# mebibyte (this module offers large results huge pages, body.hpp); the rows below
# them time the cipher alone on both sides, for information: CTR in place, OpenSSL
# into a buffer made once (IGE has no such form).
PATH_CASES = [("ige256_encrypt", MiB, OPENSSL_SOFTWARE_CBC, {"vperm": 0.95, "bitsliced": None, "nettle": None}),
              ("ige256_decrypt", MiB, OPENSSL_SOFTWARE_CBC, {"vperm": 0.95, "bitsliced": None, "nettle": None}),
              ("ige256_encrypt", MiB, OPENSSL_SOFTWARE_CBC_INTO, {"vperm": None}),
              ("ige256_decrypt", MiB, OPENSSL_SOFTWARE_CBC_INTO, {"vperm": None}),
              ("ctr256_encrypt", MiB, OPENSSL_SOFTWARE_CTR,
               {"vperm256": 2.0, "vperm": 1.2, "bitsliced": None, "nettle": None}),
              ("ctr256_encrypt_inplace", MiB, OPENSSL_SOFTWARE_CTR_INTO, {"vperm256": None, "vperm": None}),
              ("pack_message", KiB, TABLE_AES, {"vperm256": None, "vperm": None, "bitsliced": None}),
              ("unpack_message", KiB, TABLE_AES, {"vperm256": None, "vperm": None, "bitsliced": None})]
# Where each comparison's time comes from: (process, case).
COMPARISON_SOURCES = {OPENSSL_SOFTWARE_CTR: ("openssl-software", "ctr"),
                      OPENSSL_SOFTWARE_CBC: ("openssl-software", "cbc_encrypt"),
                      OPENSSL_SOFTWARE_CTR_INTO: ("openssl-software", "ctr_into"),
                      OPENSSL_SOFTWARE_CBC_INTO: ("openssl-software", "cbc_encrypt_into")}


def path_times(m):
    """Best seconds per call of each path case, in this process's module."""
    key, iv, ak, sid = os.urandom(32), os.urandom(32), os.urandom(256), os.urandom(8)
    akid = ak[:8]
    calls = {}
    for case, size, _, _ in PATH_CASES:
        d = os.urandom(size)
        if case in calls:
            continue
        if case == "ctr256_encrypt":
            calls[case] = timed("f(d, key, iv, st)", f=m.ctr256_encrypt, d=d, key=key, iv=bytearray(16),
                                st=bytearray(1))
        elif case == "ctr256_encrypt_inplace":
            calls[case] = timed("f(d, key, iv, st)", f=m.ctr256_encrypt_inplace, d=bytearray(d), key=key,
                                iv=bytearray(16), st=bytearray(1))
        elif case == "pack_message":
            calls[case] = timed("f(7, 3, d, -5, sid, ak, akid)", f=m.pack_message, d=d, sid=sid, ak=ak, akid=akid)
        elif case == "unpack_message":
            packed = m.pack_message(7, 3, d, -5, sid, ak, akid)
            calls[case] = timed("f(p, sid, ak, akid, False)", f=m.unpack_message, p=packed, sid=sid, ak=ak,
                                akid=akid)
        else:
            calls[case] = timed("f(d, key, iv)", f=getattr(m, case), d=d, key=key, iv=iv)
    return {case: compare({"ours": run}, rounds=3)["ours"]["best"] for case, run in calls.items()}


def openssl_times():
    """Best seconds per 1 MiB call of cryptography's AES-256-CTR and AES-256-CBC
    encryption, each returning a new bytes object (update) and into a buffer made once
    (update_into), with whatever paths OpenSSL took in this process."""
    key, iv, d, out = os.urandom(32), os.urandom(16), os.urandom(MiB), bytearray(MiB + 15)
    ctr = Cipher(algorithms.AES(key), modes.CTR(iv)).encryptor()
    cbc = Cipher(algorithms.AES(key), modes.CBC(iv)).encryptor()
    calls = {"ctr": timed("f(d)", f=ctr.update, d=d), "cbc_encrypt": timed("f(d)", f=cbc.update, d=d),
             "ctr_into": timed("f(d, out)", f=ctr.update_into, d=d, out=out),
             "cbc_encrypt_into": timed("f(d, out)", f=cbc.update_into, d=d, out=out)}
    return {case: compare({"ours": run}, rounds=3)["ours"]["best"] for case, run in calls.items()}


def path_process(name, paths):
    """The command line and environment of one process of the path family."""
    env = {k: v for k, v in os.environ.items() if k != "OPENSSL_ia32cap"}
    if name == "openssl-software":
        return [sys.executable, __file__, "--openssl-times"], dict(env, OPENSSL_ia32cap=OPENSSL_SOFTWARE)
    if name == "openssl":
        return [sys.executable, __file__, "--openssl-times"], env
    env["PYTHONPATH"] = paths[name]
    if name == "nettle":
        env["NETTLE_FAT_OVERRIDE"] = "none"
    return [sys.executable, __file__, "--path-times", name], env


def openssl_proof_rows(best):
    """That OpenSSL took slower paths with AES-NI hidden: its speed beside its speed on
    AES-NI, in the same run."""
    rows = []
    for case, what in (("ctr_into", "AES-256-CTR"), ("cbc_encrypt_into", "AES-256-CBC encryption")):
        hidden, default = best["openssl-software"][case], best["openssl"][case]
        rows.append({"case": f"OpenSSL {what}, AES-NI hidden (OPENSSL_ia32cap={OPENSSL_SOFTWARE})", "size": MiB,
                     "comparison": "the same on AES-NI", "ours": hidden, "theirs": default,
                     "ratio": default / hidden, "target": f"≤ {SOFTWARE_SPEED_AT_MOST:g}x", "unit": "call",
                     "per_block": False, "met": default / hidden <= SOFTWARE_SPEED_AT_MOST})
    return rows


def family_paths(m):
    paths = dict(entry.split("=", 1) for entry in os.environ.get("RDZ_BENCH_PATHS", "").split())
    if "nettle" not in paths or len(paths) < 2:
        return [], []
    names = list(paths) + ["openssl-software", "openssl"]
    best = {name: {} for name in names}
    for r in range(PATH_ROUNDS):
        for name in names[r % len(names):] + names[:r % len(names)]:
            command, env = path_process(name, paths)
            out = subprocess.run(command, env=env, stdout=subprocess.PIPE, text=True, check=True)
            for case, seconds in json.loads(out.stdout).items():
                best[name][case] = min(seconds, best[name].get(case, seconds))
    proof = openssl_proof_rows(best)
    software_taken = all(row["met"] for row in proof)
    rows = list(proof)
    for case, size, comparison, targets in PATH_CASES:
        process, their_case = COMPARISON_SOURCES.get(comparison, ("nettle", case))
        for name, target in targets.items():
            if name not in best:
                continue
            ours, theirs = best[name][case], best[process][their_case]
            row = {"case": f"{case}, {name} path", "size": size,
                   "comparison": comparison + (" (information)" if name == "nettle" else ""),
                   "ours": ours, "theirs": theirs, "ratio": theirs / ours, "target": target, "unit": "call",
                   "per_block": False}
            if target is not None and process == "openssl-software" and not software_taken:
                row["met"] = False  # a comparison with OpenSSL's AES-NI paths says nothing
            rows.append(row)
    return rows, []


# ---- the timing test -------------------------------------------------------------

TIMING_LINE = re.compile(r"^(\S+)\s+(expand_encrypt|expand_decrypt|ige_encrypt|ige_decrypt|ctr)\s+(\d+)\s+"
                         r"([\d.]+)\s+(\S+)\s+[\d.]+\s+[\d.]+\s+(\S+)$")


def family_timing(m):
    """The timing test (bench/timing.cpp), whose command `make bench` passes in
    RDZ_TIMING: one row per path (timing_row). Its whole report goes to stderr and
    bench/results/timing.txt."""
    command = shlex.split(os.environ.get("RDZ_TIMING", ""))
    if not command:
        return [], []
    done = subprocess.run(command, env=dict(os.environ, NETTLE_FAT_OVERRIDE="none"), stdout=subprocess.PIPE,
                          text=True)
    if done.returncode not in (0, 1, 2):  # 1: a leak; 2: the control missed; both are results
        raise RuntimeError(f"the timing test failed with status {done.returncode}")
    print(done.stdout, file=sys.stderr, end="")
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "timing.txt").write_text(done.stdout)
    threshold = float(re.search(r"threshold \|t\| ([\d.]+)", done.stdout).group(1))
    by_path = {}
    for line in done.stdout.splitlines():
        if found := TIMING_LINE.match(line):
            path, operation, count, t, at, _ = found.groups()
            by_path.setdefault(path, []).append((float(t), operation, at, int(count)))
    return [timing_row(path, results, threshold) for path, results in by_path.items()], []


def timing_row(path, results, threshold):
    """A path's row: its largest |t| over its operations, judged against the threshold;
    the control's smallest, which must reach it; Nettle's table AES, for information."""
    t, operation, at, count = (min if path == "control" else max)(results)
    if path == "control":
        case, target, met = "timing: the control (a planted branch), smallest abs t", f"≥ {threshold:g}", \
            t >= threshold
    elif path == "nettle":
        case, target, met = "timing: nettle's table AES (information), largest abs t", None, None
    else:
        case, target, met = f"timing: {path}, largest abs t", f"< {threshold:g}", t < threshold
    return {"case": f"{case} ({operation}, {at}; {count} timings per operation)", "size": None, "comparison": None,
            "ours": t, "theirs": None, "ratio": None, "target": target, "unit": "t", "per_block": False, "met": met}


FAMILIES = {"digest": family_digest, "ige": family_ige, "ctr": family_ctr, "message": family_message,
            "threads": family_threads, "memory": family_memory, "large": family_large, "stall": family_stall,
            "paths": family_paths, "timing": family_timing}


# ---- report ---------------------------------------------------------------------

def fmt_size(size):
    if not isinstance(size, int):
        return size or "—"
    return f"{size // MiB} MiB" if size >= MiB else f"{size // KiB} KiB" if size >= KiB else f"{size} B"


def fmt_time(row, seconds):
    if seconds is None:
        return "—"
    if row["unit"] == "KiB":
        return f"{seconds:+d} KiB RSS"
    if row["unit"] == "t":  # Welch's t, no time: "|t|" would split a Markdown cell
        return f"{seconds:.2f}"
    if row["unit"] == "faults/page":
        return f"{seconds:.2f} faults/page"
    if row["per_block"]:
        return f"{seconds / MiB_BLOCKS * 1e9:.2f} ns/block"
    for scale, unit in ((1, "s"), (1e-3, "ms"), (1e-6, "µs")):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds * 1e9:.3g} ns"


def verdict(row):
    if row["target"] is None:
        return None
    if "met" in row:
        return row["met"]
    return row["ratio"] is not None and row["ratio"] >= row["target"]


def markdown(rows):
    lines = ["| case | size | ours | comparison | theirs | ratio | target | met |",
             "| --- | --- | ---: | --- | ---: | ---: | --- | --- |"]
    for row in rows:
        met = verdict(row)
        target = row["target"] if isinstance(row["target"], str) else \
            f"≥ {row['target']:g}x" if row["target"] is not None else "—"
        ratio = f"{row['ratio']:.2f}x" if row["ratio"] is not None else "—"
        lines.append(f"| {row['case']} | {fmt_size(row['size'])} | {fmt_time(row, row['ours'])} | "
                     f"{row['comparison'] or '—'} | {fmt_time(row, row['theirs'])} | {ratio} | {target} | "
                     f"{'—' if met is None else 'yes' if met else '**no**'} |")
    return "\n".join(lines)


def machine():
    cpu = open("/proc/cpuinfo").read()
    model = next(line.split(":", 1)[1].strip() for line in cpu.splitlines() if line.startswith("model name"))
    flags = set(next(line for line in cpu.splitlines() if line.startswith("flags")).split())
    import cryptography
    return {"cpu": model, "cores": os.cpu_count(), "aes": "aes" in flags, "sha_ni": "sha_ni" in flags,
            "vaes": "vaes" in flags, "avx512": {"avx512f", "avx512bw"} <= flags,
            "python": platform.python_version(), "cryptography": cryptography.__version__,
            "openssl": libcrypto().OpenSSL_version(0).decode(), "load_average": os.getloadavg()}


def plot(points, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    plots = list(dict.fromkeys(p["plot"] for p in points))
    fig, axes = plt.subplots(2, (len(plots) + 1) // 2, figsize=(15, 8.5), squeeze=False)
    for ax, name in zip(axes.flat, plots):
        mine = [p for p in points if p["plot"] == name]
        for candidate in dict.fromkeys(p["candidate"] for p in mine):
            xs = [p["size"] for p in mine if p["candidate"] == candidate]
            ys = [p["size"] / p["best"] / 1e6 for p in mine if p["candidate"] == candidate]
            ax.plot(xs, ys, "o-" if candidate == "ours" else "s--", label=candidate)
        ax.set(xscale="log", yscale="log", title=name, xlabel="bytes per call (body bytes for messages)",
               ylabel="throughput, MB/s")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
    for ax in list(axes.flat)[len(plots):]:
        ax.set_visible(False)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--family", choices=FAMILIES, help="run one family and print its figures as JSON")
    parser.add_argument("--path-times", metavar="PATH", help="time the path cases in the module found on the path")
    parser.add_argument("--openssl-times", action="store_true", help="time cryptography's CTR and CBC encryption")
    args = parser.parse_args()
    if args.openssl_times:
        json.dump(openssl_times(), sys.stdout)
        return 0
    if args.path_times:
        import rederodidizo
        json.dump(path_times(rederodidizo), sys.stdout)
        return 0
    if args.family:
        import rederodidizo
        rows, points = FAMILIES[args.family](rederodidizo)
        json.dump({"rows": rows, "points": points}, sys.stdout)
        return 0

    facts = machine()
    print(f"CPU: {facts['cpu']} ({facts['cores']} cores), aes: {facts['aes']}, sha_ni: {facts['sha_ni']}, "
          f"vaes: {facts['vaes']}, avx512: {facts['avx512']}; Python {facts['python']}, "
          f"cryptography {facts['cryptography']}, "
          f"{facts['openssl']}; load average {facts['load_average'][0]:.2f}", flush=True)
    PROBES.mkdir(parents=True, exist_ok=True)
    cxx = os.environ.get("CXX", "g++")
    subprocess.run([cxx, "-O2", "-maes", "-msse4.1", "-o", str(PROBE), str(HERE / "aes_chain.cpp")], check=True)
    # Per-function targets: it picks 512-bit or 256-bit VAES itself.
    subprocess.run([cxx, "-O2", "-o", str(VAES_PROBE), str(HERE / "vaes_ctr.cpp")], check=True)
    rows, points, failed = [], [], []
    for name in FAMILIES:
        started = time.perf_counter()
        done = subprocess.run([sys.executable, __file__, "--family", name], stdout=subprocess.PIPE, text=True)
        if done.returncode:
            failed.append(name)
            print(f"family {name}: FAILED with status {done.returncode}", flush=True)
            continue
        result = json.loads(done.stdout)
        rows += result["rows"]
        points += result["points"]
        print(f"family {name}: {time.perf_counter() - started:.1f} s", flush=True)

    facts["load_average_end"] = os.getloadavg()
    table = markdown(rows)
    verdicts = [v for v in map(verdict, rows) if v is not None]
    summary = f"targets met: {sum(verdicts)} of {len(verdicts)}"
    print("\n" + table + "\n\n" + summary)
    RESULTS.mkdir(exist_ok=True)
    header = (f"Measured on {facts['cpu']} ({facts['cores']} cores; aes {facts['aes']}, sha_ni {facts['sha_ni']}, "
              f"vaes {facts['vaes']}, avx512 {facts['avx512']}), "
              f"Python {facts['python']}, cryptography {facts['cryptography']}, {facts['openssl']}; "
              f"load average {facts['load_average'][0]:.2f} at the start, {facts['load_average_end'][0]:.2f} at the end.")
    (RESULTS / "table.md").write_text(f"{header}\n\n{table}\n\n{summary}\n")
    for row in rows:
        row["met"] = verdict(row)
    (RESULTS / "bench.json").write_text(json.dumps({"machine": facts, "rounds": ROUNDS, "rows": rows,
                                                    "points": points}, indent=1, ensure_ascii=False))
    if points:
        plot(points, RESULTS / "throughput.png")
    timing = ", timing.txt" if "RDZ_TIMING" in os.environ else ""
    print(f"results in {RESULTS}/: bench.json, table.md, throughput.png{timing}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
