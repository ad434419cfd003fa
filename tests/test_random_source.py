"""The padding of pack_message comes from getrandom(2), replaced in a child process
by a preloaded shim. Armed (through ctypes) around one pack_message call, the shim
fails every call with EIO, or answers calls 1 and 3 with EINTR and the others with at
most 5 bytes of a counting pattern 0xA0, 0xA1, ... that a correct fill reproduces."""

import errno
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import reference
import rederodidizo
from rederodidizo import unpack_message

SHIM = r"""
#define _GNU_SOURCE
#include <errno.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

static int mode; /* 0: kernel, 1: short reads and EINTR, 2: EIO */
static unsigned calls;
static unsigned char next_byte;

void shim_arm(int m) { mode = m; calls = 0; next_byte = 0xA0; }
unsigned shim_calls(void) { return calls; }

ssize_t getrandom(void *buf, size_t len, unsigned flags) {
  if (mode == 0) return syscall(SYS_getrandom, buf, len, flags);
  ++calls;
  if (mode == 2) { errno = EIO; return -1; }
  if (calls == 1 || calls == 3) { errno = EINTR; return -1; }
  size_t n = len < 5 ? len : 5;
  for (size_t i = 0; i < n; ++i) ((unsigned char *)buf)[i] = next_byte++;
  return (ssize_t)n;
}
"""

CHILD = r"""
import ctypes, json, sys
from rederodidizo import pack_message
mode, n, session_id, auth_key, auth_key_id = int(sys.argv[1]), int(sys.argv[2]), *map(bytes.fromhex, sys.argv[3:])
shim = ctypes.CDLL(None)
outcome = {}
shim.shim_arm(mode)
try:
    outcome["packed"] = pack_message(7, 9, bytes(range(n)), 11, session_id, auth_key, auth_key_id).hex()
except OSError as error:
    outcome["error"] = [type(error).__name__, error.errno]
finally:
    outcome["calls"] = shim.shim_calls()
    shim.shim_arm(0)
# The call after a failure works normally.
outcome["after"] = len(pack_message(7, 9, bytes(n), 11, session_id, auth_key, auth_key_id))
print(json.dumps(outcome))
"""


@pytest.fixture(scope="module")
def shim():
    compiler = shutil.which("gcc") or shutil.which("cc")
    if compiler is None:
        pytest.skip("no C compiler to build the getrandom shim")
    out_dir = Path(__file__).resolve().parents[1] / "build" / "test-shims"
    out_dir.mkdir(parents=True, exist_ok=True)
    source, library = out_dir / f"getrandom_{os.getpid()}.c", out_dir / f"getrandom_{os.getpid()}.so"
    source.write_text(SHIM)
    subprocess.run([compiler, "-shared", "-fPIC", "-O2", "-o", str(library), str(source)], check=True)
    yield library
    source.unlink()
    library.unlink()


def _run_child(shim, mode, n, session_id, auth_key, auth_key_id):
    path = os.pathsep.join([str(Path(rederodidizo.__file__).parent), os.environ.get("PYTHONPATH", "")])
    env = dict(os.environ, LD_PRELOAD=str(shim), PYTHONPATH=path)
    args = [sys.executable, "-c", CHILD, str(mode), str(n), session_id.hex(), auth_key.hex(), auth_key_id.hex()]
    done = subprocess.run(args, env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.mark.parametrize("n", [0, 4, 5, 20])
def test_short_and_interrupted_reads_are_retried(shim, n, auth_key, auth_key_id, session_id):
    outcome = _run_child(shim, 1, n, session_id, auth_key, auth_key_id)
    packed = bytes.fromhex(outcome["packed"])
    size = reference.padding_size(n)
    plain = reference.open_packed(auth_key, packed, 0)
    assert plain[32 + n:] == bytes(range(0xA0, 0xA0 + size))
    assert packed[8:24] == reference.msg_key(auth_key, plain, 0)
    assert unpack_message(packed, session_id, auth_key, auth_key_id, False) == (7, 9, n, bytes(range(n)), len(packed) - 40)
    assert outcome["calls"] == 2 + (size + 4) // 5  # two EINTR answers, then 5-byte pieces
    assert outcome["after"] == len(packed)


def test_random_source_failure_raises(shim, auth_key, auth_key_id, session_id):
    outcome = _run_child(shim, 2, 10, session_id, auth_key, auth_key_id)
    assert "packed" not in outcome
    assert outcome["error"] == ["OSError", errno.EIO]
    assert outcome["calls"] == 1
    assert outcome["after"] == 24 + 32 + 10 + reference.padding_size(10)
