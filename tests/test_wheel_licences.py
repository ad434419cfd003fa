"""tools/wheel_licences.py, which `make wheels` trusts to fail a wheel whose declared
licences are not those of what its link map shows linked in: a sound wheel passes,
and each way of getting it wrong is refused."""

import gzip
import sys
import zipfile
from pathlib import Path

import pytest

pytest.importorskip("packaging.licenses")
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
import wheel_licences  # noqa: E402

BUNDLED = "MIT AND (LGPL-3.0-or-later OR GPL-2.0-or-later)"
NETTLE_TEXTS = ["bundled/NOTICE", "bundled/nettle/COPYING.LESSERv3", "bundled/nettle/COPYINGv3", "bundled/nettle/COPYINGv2"]
NOTICE = "Nettle 3.10.2, from Debian's source package nettle, version 3.10.2-1.\n"


def link_map(*inputs):
    """A GNU ld map whose memory map has one input section of 16 bytes per input."""
    lines = [f" .text.{i}    0x{0x1000 + 16 * i:016x}       0x10 {source}" for i, source in enumerate(inputs)]
    return "Archive member included\n\nLinker script and memory map\n\n.text  0x1000  0x100\n" + "\n".join(lines) + "\n"


@pytest.fixture
def nettle(tmp_path):
    """A Debian-like root holding libnettle.a with its pkg-config file and changelog."""
    libdir = tmp_path / "root/usr/lib/x86_64-linux-gnu"
    (libdir / "pkgconfig").mkdir(parents=True)
    (libdir / "pkgconfig/nettle.pc").write_text("Name: Nettle\nVersion: 3.10.2\n")
    doc = tmp_path / "root/usr/share/doc/nettle-dev"
    doc.mkdir(parents=True)
    (doc / "changelog.Debian.gz").write_bytes(gzip.compress(b"nettle (3.10.2-1) unstable; urgency=medium\n"))
    return f"{libdir}/libnettle.a(sha256.o)"


def check(tmp_path, capsys, inputs, expression=BUNDLED, files=("LICENSE", *NETTLE_TEXTS), named=None, notice=NOTICE):
    wheel = tmp_path / "rederodidizo-0.1.0-cp314-cp314-manylinux_2_26_x86_64.whl"
    named = files if named is None else named
    metadata = "Metadata-Version: 2.4\nName: rederodidizo\nVersion: 0.1.0\n"
    metadata += (f"License-Expression: {expression}\n" if expression else "") + "".join(f"License-File: {f}\n" for f in named)
    with zipfile.ZipFile(wheel, "w") as zf:
        zf.writestr("rederodidizo-0.1.0.dist-info/METADATA", metadata)
        for name in files:
            zf.writestr(f"rederodidizo-0.1.0.dist-info/licenses/{name}", notice if name == "bundled/NOTICE" else "text")
    map_file = tmp_path / "link.map"
    map_file.write_text(link_map(*inputs))
    status = wheel_licences.main(["wheel", str(wheel), "--map", str(map_file)])
    return status, capsys.readouterr().out


OURS = "CMakeFiles/rederodidizo.dir/src/module.cpp.o"
RUNTIME = ["/usr/lib/gcc/x86_64-linux-gnu/16/crtbeginS.o", "/usr/lib/x86_64-linux-gnu/crti.o",
           "/usr/lib/gcc-cross/aarch64-linux-gnu/16/libgcc.a(lse-init.o)"]


def test_sound_wheels_pass(nettle, tmp_path, capsys):
    status, out = check(tmp_path, capsys, [OURS, nettle, *RUNTIME])
    assert status == 0, out
    # a module that links the system's Nettle: the project's licence alone
    status, out = check(tmp_path, capsys, [OURS, *RUNTIME], expression="MIT", files=("LICENSE",))
    assert status == 0, out


@pytest.mark.parametrize("change, refusal", [
    ({"files": ("LICENSE", *NETTLE_TEXTS[:-1]), "named": ("LICENSE", *NETTLE_TEXTS)},
     "names License-File bundled/nettle/COPYINGv2, which it does not carry"),
    ({"named": ("LICENSE", *NETTLE_TEXTS[:-1])}, "carries the licence file bundled/nettle/COPYINGv2, which its metadata"),
    ({"expression": "MIT"}, "declares License-Expression 'MIT', but what is linked in is"),
    ({"expression": "MIT AND LGPL-3.0-or-later"}, "but what is linked in is"),
    ({"expression": None}, "declares no License-Expression"),
    ({"inputs": [OURS, "/usr/lib/x86_64-linux-gnu/libcrypto.a(sha256.o)"]}, "libcrypto.a(sha256.o), of no origin"),
    ({"inputs": [OURS]}, "but what is linked in is 'MIT'"),
    ({"notice": "Nettle 3.9.1, version 3.9.1-2\n"}, "does not name Nettle 3.10.2, the version linked in"),
    ({"notice": "Nettle 3.10.2\n"}, "does not name Debian's source package nettle 3.10.2-1"),
    ({"notice": "Nettle @NETTLE_VERSION@\n"}, "was not filled in"),
], ids=["text-missing", "text-unnamed", "nettle-undeclared", "nettle-half-declared", "no-expression",
        "unknown-archive", "nettle-not-linked", "notice-version", "notice-debian", "notice-template"])
def test_each_refusal_fails_the_wheel(nettle, tmp_path, capsys, change, refusal):
    options = dict(change)
    inputs = options.pop("inputs", [OURS, nettle, *RUNTIME])
    status, out = check(tmp_path, capsys, inputs, **options)
    assert status == 1
    assert refusal in out, out


def test_expression_order_does_not_matter():
    assert wheel_licences.and_terms("(GPL-2.0-or-later OR LGPL-3.0-or-later) AND MIT") == \
        wheel_licences.and_terms("mit AND (GPL-2.0-or-later OR LGPL-3.0-or-later)")
