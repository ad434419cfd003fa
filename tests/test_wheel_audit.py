"""tools/wheel_audit.py, which `make wheels` trusts to fail a wheel that would not run
everywhere its tag claims: each refusal is seen to happen on a small shared object
built here, and a sound one is seen to pass."""

import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

pytest.importorskip("auditwheel")
pytest.importorskip("elftools")
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
import wheel_audit  # noqa: E402

ENTRY = "void PyInit_rederodidizo(void) {}\n"
EXTRA_EXPORT = "int another_export(void) { return 1; }\n"
NEWER_GLIBC = "#include <sys/random.h>\nint draw(void *p) { return (int)getrandom(p, 1, 0); }\n"


@pytest.fixture
def shared_object(tmp_path):
    compiler = shutil.which("gcc") or shutil.which("cc")
    if compiler is None:
        pytest.skip("no C compiler")

    def build(source, libs=()):
        c, so = tmp_path / "m.c", tmp_path / "m.so"
        c.write_text(source)
        # Everything but the entry point local, as exports.map makes it.
        script = tmp_path / "exports.map"
        script.write_text("{ global: PyInit_rederodidizo; local: *; };\n" if EXTRA_EXPORT not in source else "{ global: *; };\n")
        subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(so), str(c), f"-Wl,--version-script={script}",
                        "-Wl,--no-as-needed", *libs], check=True)
        return so
    return build


def audit(so, tmp_path, capsys, policy=None, max_policy="manylinux_2_38", extra=None, name=None):
    module = wheel_audit.Module(so.read_bytes())
    tag = f"{policy or wheel_audit.lowest_policy(module)[0]}_{module.arch}"
    wheel = tmp_path / f"rederodidizo-0.1.0-cp314-cp314-{tag}.whl"
    with zipfile.ZipFile(wheel, "w") as zf:
        zf.write(so, name or f"rederodidizo.cpython-314-{module.arch}-linux-gnu.so")
        if extra:
            zf.write(so, extra)
    status = wheel_audit.main(["wheel", str(wheel), "--max-policy", max_policy])
    return status, capsys.readouterr().out


def test_sound_module_passes(shared_object, tmp_path, capsys):
    status, out = audit(shared_object(ENTRY), tmp_path, capsys)
    assert status == 0, out
    assert "FAIL" not in out and "\nok " in out


@pytest.mark.parametrize("source, libs, options, refusal", [
    (ENTRY + EXTRA_EXPORT, (), {}, "exports ["),
    (ENTRY, ("-lcrypto",), {}, "needs libraries beyond libc, libm, the loader, libstdc++ and libgcc_s: libcrypto"),
    (ENTRY + NEWER_GLIBC, (), {"max_policy": "manylinux_2_17"}, "is above the ceiling manylinux_2_17"),
    (ENTRY, (), {"policy": "manylinux_2_38"}, "auditwheel tagged manylinux_2_38, but its symbol versions allow"),
    (ENTRY, (), {"extra": "rederodidizo.libs/libextra.so"}, "carries other shared objects"),
    (ENTRY, (), {"name": "rederodidizo.so"}, "names its module rederodidizo.so, not rederodidizo.cpython-314-"),
    (ENTRY, (), {"name": "rederodidizo.cpython-314-s390x-linux-gnu.so"}, "not rederodidizo.cpython-314-"),
    # A cp314 wheel holding the module built for 3.13: 3.14 would not import it.
    (ENTRY, (), {"name": "rederodidizo.cpython-313-x86_64-linux-gnu.so"},
     "names its module rederodidizo.cpython-313-x86_64-linux-gnu.so, not rederodidizo.cpython-314-"),
], ids=["export", "library", "ceiling", "tag", "grafted", "bare-suffix", "other-suffix", "other-version"])
def test_each_refusal_fails_the_wheel(shared_object, tmp_path, capsys, source, libs, options, refusal):
    status, out = audit(shared_object(source, libs), tmp_path, capsys, **options)
    assert status == 1
    assert refusal in out, out
