"""What a built module has linked into it, and whether its wheel declares the licences
of that and carries their texts.

    python3 tools/wheel_licences.py wheel DIST.whl --map LINK.map
    python3 tools/wheel_licences.py sdist DIST.tar.gz

`wheel` reads the GNU ld map of the module's link and sorts every input that left
something in the module by where it comes from (ORIGINS): this project's objects,
Nettle's static library, GCC's runtime, the C library's start files. An input of no
known origin fails the check, so that whatever a later build links in is looked at
before a wheel ships it. The wheel must then declare, as License-Expression, MIT and
the licence of every origin linked in whose licence asks to be named; name as
License-File exactly the texts those origins need, each present in .dist-info/licenses,
nothing else there; and, where Nettle is linked in, carry a notice that names the
Nettle version linked (read from the pkg-config file and the Debian changelog beside
the archive the link used).

`sdist` checks that the sdist declares MIT and names LICENSE, which it carries.
"""

import argparse
import email.parser
import gzip
import re
import sys
import tarfile
import zipfile
from dataclasses import dataclass
from pathlib import Path, PurePosixPath

from packaging.licenses import canonicalize_license_expression

PROJECT_EXPRESSION = "MIT"
PROJECT_TEXTS = ("LICENSE",)
NOTICE = "bundled/NOTICE"


@dataclass(frozen=True)
class Origin:
    """Code of one origin that a link can put into the module."""

    name: str
    pattern: str  # matched against the input's path in the link map
    expression: str | None  # None: its licence lets it be conveyed under the module's terms
    texts: tuple[str, ...]  # the License-File entries it needs
    why: str


ORIGINS = (
    Origin("rederodidizo", r"CMakeFiles/rederodidizo\.dir/", PROJECT_EXPRESSION, PROJECT_TEXTS,
         "this project's code"),
    Origin("Nettle", r"/libnettle\.a\(", "LGPL-3.0-or-later OR GPL-2.0-or-later",
         (NOTICE, "bundled/nettle/COPYING.LESSERv3", "bundled/nettle/COPYINGv3", "bundled/nettle/COPYINGv2"),
         "the LGPL asks for its texts, its source and a way to relink"),
    Origin("GCC's runtime", r"/(libgcc|libgcc_eh|libstdc\+\+|libsupc\+\+)\.a\(|/crt(begin|end)S\.o$", None, (),
         "GPL-3.0-or-later WITH GCC-exception-3.1, whose exception lets code compiled by GCC carry it "
         "under its own terms"),
    Origin("the C library's start files", r"/crt[in]\.o$", None, (),
         "glibc gives unlimited permission to link them into other programs"),
    Origin("the linker", r"^linker stubs$", None, (), "made by the linker itself"),
)


# --- what the link put into the module ---------------------------------------------

INPUT_SECTION = re.compile(r"^ (\S+)?\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(\S.*)$")


def linked_inputs(map_text):
    """The inputs (object files, archive members) that left at least one byte in an
    output section of the module, from the memory map of a GNU ld map file. An
    input section's line holds its name (unless it stands alone on the line before),
    address, size and input; output sections start at the left margin."""
    layout = map_text.split("\nLinker script and memory map\n", 1)
    if len(layout) != 2:
        raise SystemExit("not a GNU ld map file: no 'Linker script and memory map'")
    inputs, output = set(), None
    for line in layout[1].splitlines():
        if line[:1] not in ("", " "):
            output = line.split()[0]
        match = INPUT_SECTION.match(line)
        if match and int(match[2], 16) and output != "/DISCARD/" and match[1] != "*fill*":
            inputs.add(match[3].strip())
    return inputs


def origin_of(source):
    return next((o for o in ORIGINS if re.search(o.pattern, source)), None)


def sort_inputs(inputs):
    """{origin: [inputs]} and the inputs of no known origin."""
    origins, unknown = {}, []
    for source in sorted(inputs):
        origin = origin_of(source)
        if origin is None:
            unknown.append(source)
        else:
            origins.setdefault(origin, []).append(source)
    return origins, unknown


def nettle_versions(archive):
    """(upstream version, Debian source version or None) of the Nettle whose static
    library is at `archive`, from the files its package installs beside it."""
    libdir = Path(archive).parent
    pc = (libdir / "pkgconfig" / "nettle.pc").read_text()
    upstream = re.search(r"^Version:\s*(\S+)", pc, re.M)[1]
    changelog = libdir / "../../share/doc/nettle-dev/changelog.Debian.gz"
    debian = None
    if changelog.exists():
        match = re.match(r"nettle \(([^)]+)\)", gzip.decompress(changelog.read_bytes()).decode())
        debian = match and match[1]
    return upstream, debian


# --- what the wheel declares -------------------------------------------------------

def and_terms(expression):
    """The canonical terms of an expression's top-level AND, as a set: the order in
    which they are written does not matter."""
    canonical = canonicalize_license_expression(expression)
    terms, depth, start = set(), 0, 0
    for i, char in enumerate(canonical):
        depth += {"(": 1, ")": -1}.get(char, 0)
        if depth == 0 and canonical.startswith(" AND ", i):
            terms.add(canonical[start:i].strip())
            start = i + len(" AND ")
    terms.add(canonical[start:].strip())
    return {t[1:-1] if t.startswith("(") and t.endswith(")") else t for t in terms}


def expected(origins):
    """The expression and the License-File entries the linked origins call for."""
    named = [o for o in ORIGINS if o in origins and o.expression]
    expression = " AND ".join(f"({p.expression})" if " OR " in p.expression else p.expression for p in named)
    return expression, {t for o in origins for t in o.texts}


def read_metadata(text):
    message = email.parser.Parser().parsestr(text, headersonly=True)
    return message.get("License-Expression"), message.get_all("License-File") or []


def declaration_problems(declared, license_files, carried, expression, texts):
    """What is wrong with a declaration, against what the origins call for."""
    problems = []
    if declared is None:
        problems.append("declares no License-Expression")
    elif and_terms(declared) != and_terms(expression):
        problems.append(f"declares License-Expression {declared!r}, but what is linked in is {expression!r}")
    for name in sorted(set(license_files) - carried):
        problems.append(f"names License-File {name}, which it does not carry")
    for name in sorted(carried - set(license_files)):
        problems.append(f"carries the licence file {name}, which its metadata does not name")
    for name in sorted(texts - set(license_files)):
        problems.append(f"does not name the licence text {name}, which what is linked in needs")
    for name in sorted(set(license_files) - texts):
        problems.append(f"names the licence text {name}, which nothing linked in needs")
    return problems


def notice_problems(notice, archives):
    if notice is None:
        return []  # reported as a missing text
    problems = []
    if re.search(r"@[A-Z_]+@", notice):
        problems.append(f"{NOTICE} was not filled in: {sorted(set(re.findall(r'@[A-Z_]+@', notice)))}")
    for archive in sorted(archives):
        upstream, debian = nettle_versions(archive)
        if f"Nettle {upstream}" not in notice:
            problems.append(f"{NOTICE} does not name Nettle {upstream}, the version linked in ({archive})")
        if debian and f"version {debian}" not in notice:
            problems.append(f"{NOTICE} does not name Debian's source package nettle {debian}, linked in")
    return problems


def check_wheel(args):
    wheel = Path(args.wheel)
    origins, unknown = sort_inputs(linked_inputs(Path(args.map).read_text()))
    with zipfile.ZipFile(wheel) as zf:
        names = zf.namelist()
        metadata = next(n for n in names if re.fullmatch(r"[^/]+\.dist-info/METADATA", n))
        licenses = str(PurePosixPath(metadata).parent / "licenses") + "/"
        carried = {n[len(licenses):] for n in names if n.startswith(licenses) and not n.endswith("/")}
        declared, license_files = read_metadata(zf.read(metadata).decode())
        notice = zf.read(licenses + NOTICE).decode() if NOTICE in carried else None
    print(f"{wheel.name}: linked into the module")
    for origin, sources in origins.items():
        print(f"  {origin.name}: {len(sources)} inputs, e.g. {sources[0]}")
        print(f"    {'declared as ' + origin.expression if origin.expression else 'not declared'}: {origin.why}")
    problems = [f"links in {source}, of no origin whose licence is known" for source in unknown]
    if ORIGINS[0] not in origins:
        return report(wheel.name, problems + [f"{args.map} shows none of this project's objects linked"], "")
    expression, texts = expected(origins)
    problems += declaration_problems(declared, license_files, carried, expression, texts)
    archives = {re.sub(r"\(.*\)$", "", s) for o, sources in origins.items() if o.name == "Nettle" for s in sources}
    problems += notice_problems(notice, archives)
    return report(wheel.name, problems, f"License-Expression {declared}, {len(license_files)} licence files")


def check_sdist(args):
    sdist = Path(args.sdist)
    with tarfile.open(sdist) as tf:
        root = tf.getnames()[0].split("/")[0]
        carried = {n[len(root) + 1:] for n in tf.getnames() if n.startswith(root + "/")}
        declared, license_files = read_metadata(tf.extractfile(f"{root}/PKG-INFO").read().decode())
    # an sdist holds more than licence texts: those that PKG-INFO names must be there
    present = {name for name in license_files if name in carried}
    problems = declaration_problems(declared, license_files, present, PROJECT_EXPRESSION, set(PROJECT_TEXTS))
    return report(sdist.name, problems, f"License-Expression {declared}, License-File {', '.join(license_files)}")


def report(name, problems, summary):
    for problem in problems:
        print(f"FAIL {name}: {problem}")
    if not problems:
        print(f"ok {name}: {summary}")
    return 1 if problems else 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    wheel = sub.add_parser("wheel")
    wheel.add_argument("wheel")
    wheel.add_argument("--map", required=True, help="the GNU ld map file of the module's link")
    sdist = sub.add_parser("sdist")
    sdist.add_argument("sdist")
    args = parser.parse_args(argv)
    return check_wheel(args) if args.command == "wheel" else check_sdist(args)


if __name__ == "__main__":
    sys.exit(main())
