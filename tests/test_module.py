"""The module object: registration, function metadata, re-execution, exported symbols."""

import ctypes
import importlib.util
import subprocess

import pytest

import rederodidizo

NAMES = [
    "ige256_encrypt", "ige256_decrypt", "ctr256_encrypt", "ctr256_decrypt",
    "ctr256_encrypt_inplace", "ctr256_decrypt_inplace", "ctr256_encrypt_batch",
    "ctr256_decrypt_batch", "kdf", "sha256_digest", "pack_message", "unpack_message",
]

SIGNATURES = {
    "ige256_encrypt": "(data, key, iv)",
    "ige256_decrypt": "(data, key, iv)",
    "ctr256_encrypt": "(src, key, iv, state)",
    "ctr256_decrypt": "(src, key, iv, state)",
    "ctr256_encrypt_inplace": "(data, key, iv, state)",
    "ctr256_decrypt_inplace": "(data, key, iv, state)",
    "ctr256_encrypt_batch": "(data_flat, sizes, key, ivs, states)",
    "ctr256_decrypt_batch": "(data_flat, sizes, key, ivs, states)",
    "kdf": "(auth_key, msg_key, outgoing)",
    "sha256_digest": "(data)",
    "pack_message": "(msg_id, seq_no, body, salt, session_id, auth_key, auth_key_id)",
    "unpack_message": "(packed, session_id, auth_key, auth_key_id, incoming=True)",
}

DOCS = {
    "ctr256_encrypt_inplace": "In-place CTR encrypt: copies data out, processes, writes back.\n"
                              "Saves one allocation vs the returning version.",
    "ctr256_encrypt_batch": "Batch CTR encrypt: all data passed as a single flat buffer with sizes list.\n"
                            "Eliminates per-item Python list indexing (O(1) Python calls regardless of batch size).",
    "sha256_digest": "Return the SHA-256 digest of a byte string.\n\n",
}


def test_module_attributes():
    assert rederodidizo.__doc__ == ""
    assert rederodidizo.__all__ == NAMES
    assert not hasattr(rederodidizo, "PanicException")
    public = {n for n in dir(rederodidizo) if not n.startswith("__")}
    assert public == set(NAMES)


@pytest.mark.parametrize("name", NAMES)
def test_function_metadata(name):
    f = getattr(rederodidizo, name)
    assert f.__name__ == name
    assert f.__text_signature__ == SIGNATURES[name]
    assert f.__doc__ == DOCS.get(name)
    assert f.__self__ is None
    assert f.__module__ == "rederodidizo"
    assert repr(f) == f"<built-in function {name}>"


def _fresh_module():
    spec = importlib.util.spec_from_file_location("rederodidizo", rederodidizo.__file__)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_second_exec_appends_every_name_again():
    # Work on a separate module object so the imported one stays as it was.
    module = _fresh_module()
    assert module is not rederodidizo and module.__all__ == NAMES
    first = {n: getattr(module, n) for n in NAMES}
    api = ctypes.pythonapi
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    api.PyModule_ExecDef.restype = ctypes.c_int
    definition = api.PyModule_GetDef(module)
    assert definition and definition == api.PyModule_GetDef(rederodidizo)
    assert api.PyModule_ExecDef(module, definition) == 0
    assert module.__all__ == NAMES + NAMES
    for name in NAMES:
        assert getattr(module, name) is not first[name]
    assert module.sha256_digest(b"abc") == rederodidizo.sha256_digest(b"abc")


def test_single_exported_symbol():
    out = subprocess.run(["nm", "-D", "--defined-only", rederodidizo.__file__],
                         capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_rederodidizo"]
