"""What a built module needs at run time, which manylinux policy that allows, and
where the symbols that keep it from an older policy come from.

    python3 tools/wheel_audit.py wheel DIST.whl --max-policy manylinux_2_38 [--map LINK.map]
    python3 tools/wheel_audit.py module MODULE.so [--map LINK.map]

`wheel` checks a repaired wheel and fails (exit 1) if its module needs a library
other than the C library, libm, the loader, libstdc++ or libgcc_s; if it exports
anything but PyInit_rederodidizo; if the wheel carries other shared objects; if
the policy its symbol versions allow differs from the tag auditwheel gave it; or if
that policy is above --max-policy. `module` prints the same facts for a bare build.

The policy is computed from auditwheel's own policy table (the libraries and symbol
versions each manylinux policy allows, per architecture). With --map (a GNU ld map
file of the module's link), every symbol whose version the policy --goal does not
allow (C library, libstdc++, libgcc_s) is traced to the archive member that needs
it and on to the module's object that pulled that member in.
"""

import argparse
import io
import json
import re
import subprocess
import sys
import zipfile
from collections import defaultdict
from pathlib import Path

import auditwheel.policy
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection, GNUVerSymSection

ENTRY = "PyInit_rederodidizo"
MACHINES = {"EM_X86_64": "x86_64", "EM_AARCH64": "aarch64"}
LOADERS = {"x86_64": "ld-linux-x86-64.so.2", "aarch64": "ld-linux-aarch64.so.1"}
# The C library and the compiler's runtime; any other library must be linked in.
ALLOWED = {"libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1"}


def version_key(text):
    """'2.38' -> (2, 38); a name that is no number (ABI_DT_RELR) sorts last."""
    parts = text.split(".")
    return tuple(int(p) for p in parts) if all(p.isdigit() for p in parts) else (999,)


def split_version(name):
    """GLIBC_2.38 -> ('GLIBC', '2.38'), GLIBC_ABI_DT_RELR -> ('GLIBC', 'ABI_DT_RELR'),
    as auditwheel's policy table keys them."""
    prefix, _, version = name.partition("_")
    return prefix, version


def policy_glibc(name):
    """manylinux_2_38 -> (2, 38)"""
    match = re.fullmatch(r"manylinux_(\d+)_(\d+)", name)
    if not match:
        raise SystemExit(f"not a manylinux_X_Y policy name: {name}")
    return int(match[1]), int(match[2])


class Module:
    """The dynamic-linking facts of one ELF shared object."""

    def __init__(self, data):
        elf = ELFFile(io.BytesIO(data))
        self.arch = MACHINES.get(elf["e_machine"], elf["e_machine"])
        dynamic = elf.get_section_by_name(".dynamic")
        self.needed = [t.needed for t in dynamic.iter_tags() if t.entry.d_tag == "DT_NEEDED"]
        self.rpath = [t.entry.d_tag for t in dynamic.iter_tags() if t.entry.d_tag in ("DT_RPATH", "DT_RUNPATH")]
        dynsym = elf.get_section_by_name(".dynsym")
        versym = next((s for s in elf.iter_sections() if isinstance(s, GNUVerSymSection)), None)
        verneed = next((s for s in elf.iter_sections() if isinstance(s, GNUVerNeedSection)), None)
        # version index -> (library, version name) of what the module requires
        required = {}
        if verneed is not None:
            for need, auxes in verneed.iter_versions():
                for aux in auxes:
                    required[aux.entry.vna_other] = (need.name, aux.name)
        self.exports = []
        self.imports = defaultdict(set)  # "GLIBC_2.38" -> {"__isoc23_strtoul", ...}
        self.versions = defaultdict(set)  # library -> {"GLIBC_2.38", ...}
        for lib, name in required.values():
            self.versions[lib].add(name)
        for index, sym in enumerate(dynsym.iter_symbols()):
            if not sym.name:
                continue
            if sym["st_shndx"] != "SHN_UNDEF":
                if sym["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK"):
                    self.exports.append(sym.name)
                continue
            if versym is not None:
                ndx = versym.get_symbol(index)["ndx"]
                if isinstance(ndx, int) and ndx in required:
                    self.imports[required[ndx][1]].add(sym.name)

    def glibc_versions(self):
        found = {v for vs in self.versions.values() for v in vs if v.startswith("GLIBC_")}
        return sorted(found, key=lambda v: version_key(v[len("GLIBC_"):]), reverse=True)


def load_policies():
    path = Path(auditwheel.policy.__file__).with_name("manylinux-policy.json")
    policies = [p for p in json.loads(path.read_text()) if p["name"].startswith("manylinux_")]
    return sorted(policies, key=lambda p: policy_glibc(p["name"]))


def lowest_policy(module):
    """The oldest manylinux policy that allows every library and symbol version the
    module needs, with the reasons each older one fails."""
    refused = []
    for policy in load_policies():
        allowed = policy["symbol_versions"].get(module.arch, {})
        whitelist = set(policy["lib_whitelist"]) | {LOADERS.get(module.arch)}
        missing = [lib for lib in module.needed if lib not in whitelist]
        too_new = sorted({v for vs in module.versions.values() for v in vs
                          if split_version(v)[1] not in allowed.get(split_version(v)[0], ())})
        if not missing and not too_new:
            return policy["name"], refused
        refused.append((policy["name"], missing, too_new))
    return None, refused


# --- where the symbols come from: the link map and the archives it names --------

def read_archive(path):
    """member name -> set of undefined symbols, for every ELF member of an ar archive."""
    members = defaultdict(set)
    data = Path(path).read_bytes()
    if not data.startswith(b"!<arch>\n"):
        return members
    names, pos = b"", 8
    while pos + 60 <= len(data):
        header = data[pos:pos + 60]
        name, size = header[:16].decode().strip(), int(header[48:58])
        body = data[pos + 60:pos + 60 + size]
        pos += 60 + size + (size & 1)
        if name == "//":
            names = body
            continue
        if name in ("/", "/SYM64/"):
            continue
        if name.startswith("/") and name[1:].isdigit():
            start = int(name[1:])
            name = names[start:names.index(b"/\n", start)].decode()
        name = name.rstrip("/")
        if not body.startswith(b"\x7fELF"):
            continue
        symtab = ELFFile(io.BytesIO(body)).get_section_by_name(".symtab")
        if symtab is not None:
            members[name] |= {s.name for s in symtab.iter_symbols() if s.name and s["st_shndx"] == "SHN_UNDEF"}
    return members


def read_object(path):
    with open(path, "rb") as f:
        symtab = ELFFile(f).get_section_by_name(".symtab")
        return {s.name for s in symtab.iter_symbols() if s.name and s["st_shndx"] == "SHN_UNDEF"} if symtab else set()


def parse_map(text):
    """(archive members included: member -> (referencing file, symbol), objects loaded)"""
    pulled, objects = {}, []
    section = text.split("Archive member included to satisfy reference by file (symbol)", 1)
    if len(section) == 2:
        body = re.split(r"\n(?:Discarded input sections|Allocating common symbols|Memory Configuration)", section[1])[0]
        member = None
        for line in body.splitlines():
            if not line.strip():
                continue
            if not line[0].isspace():
                member, _, rest = line.partition(" ")
                line = rest
            match = re.match(r"\s*(\S+) \((.*)\)\s*$", line)
            if member and match:
                pulled[member] = (match[1], match[2])
                member = None
    for match in re.finditer(r"^LOAD (\S+\.o)$", text, re.M):
        objects.append(match[1])
    return pulled, objects


def demangle(names):
    names = list(names)
    try:
        out = subprocess.run(["c++filt"], input="\n".join(names), capture_output=True, text=True, check=True).stdout
        return dict(zip(names, out.splitlines()))
    except (OSError, subprocess.CalledProcessError):
        return {n: n for n in names}


def short(path):
    """libstdc++.a(format.o) for archive members, src/x/y.cpp.o for our objects."""
    match = re.fullmatch(r"(.*/)?([^/]+\.a)\((.*)\)", path)
    if match:
        return f"{match[2]}({match[3]})"
    return re.sub(r"^.*?CMakeFiles/[^/]+\.dir/", "", path)


def blocking(module, goal):
    """{version: symbols} of every symbol version the policy `goal` does not allow."""
    policy = next(p for p in load_policies() if p["name"] == goal)
    allowed = policy["symbol_versions"].get(module.arch, {})
    versions = {v for vs in module.versions.values() for v in vs
                if split_version(v)[1] not in allowed.get(split_version(v)[0], ())}
    return {v: sorted(module.imports.get(v, ())) for v in versions}


def origins(module, map_path, goal):
    """For every symbol of a version the policy `goal` does not allow: the members and
    objects that reference it, each with the chain that pulled it into the link."""
    pulled, objects = parse_map(Path(map_path).read_text())
    archives = defaultdict(dict)
    for member in pulled:
        match = re.fullmatch(r"(.*\.a)\((.*)\)", member)
        if match and match[1] not in archives:
            archives[match[1]] = read_archive(match[1])
    undefined = {}
    for member in pulled:
        match = re.fullmatch(r"(.*\.a)\((.*)\)", member)
        if match:
            undefined[member] = archives[match[1]].get(match[2], set())
    # The linker ran in the build directory, where the map is written.
    base = Path(map_path).resolve().parent
    for obj in objects:
        if (base / obj).exists():
            undefined[obj] = read_object(base / obj)

    def chain(path):
        steps, seen = [], set()
        while path in pulled and path not in seen:
            seen.add(path)
            path, symbol = pulled[path]
            steps.append((path, symbol))
        return steps

    report = []
    versions = blocking(module, goal)
    for version in sorted(versions, key=lambda v: (split_version(v)[0], version_key(split_version(v)[1])), reverse=True):
        for symbol in versions[version]:
            users = [p for p, syms in undefined.items() if symbol in syms]
            report.append((version, symbol, [(u, chain(u)) for u in users]))
    return report


def print_origins(report):
    """Each symbol with the inputs that need it, then once per archive member the
    chain of references that made the linker take it (the first one it resolved)."""
    if not report:
        print("    none")
    chains = {}
    for version, symbol, users in report:
        names = ", ".join(short(u) for u, _ in users) or "no input of the link map"
        print(f"    {symbol}@{version}: {names}")
        chains.update((u, steps) for u, steps in users if steps)
    if chains:
        names = demangle({sym for steps in chains.values() for _, sym in steps})
        print("  why those runtime objects are linked in:")
        for user, steps in chains.items():
            print(f"    {short(user)}" + "".join(f" <- {short(p)} ({names.get(sym, sym)})" for p, sym in steps))


def describe(module, label):
    policy, refused = lowest_policy(module)
    print(f"{label}: {module.arch}, needs {', '.join(module.needed) or 'nothing'}")
    print(f"  exports: {', '.join(module.exports) or 'nothing'}")
    for lib in sorted(module.versions):
        if lib != "libc.so.6":
            print(f"  {lib} versions: {', '.join(sorted(module.versions[lib], key=lambda v: version_key(split_version(v)[1])))}")
    print(f"  lowest manylinux policy allowed: {policy or 'none'}")
    print("  C library symbols by version (newest first, down to 2.17):")
    for version in module.glibc_versions():
        if version_key(version[len("GLIBC_"):]) > (2, 17):
            print(f"    {version}: {', '.join(sorted(module.imports.get(version, ()))) or '(version only)'}")
    if refused:
        # the newest policy that does not fit says what is still too new or not allowed
        name, missing, too_new = refused[-1]
        too_new = [f"{v} ({', '.join(sorted(module.imports.get(v, ()))) or 'version only'})" for v in too_new]
        print(f"  {name} refused: " + "; ".join(filter(None, [
            missing and f"libraries {', '.join(missing)}", too_new and f"versions {', '.join(too_new)}"])))
    return policy


def problems_of(module, arch_tag):
    problems = []
    extra = [lib for lib in module.needed if lib not in ALLOWED | {LOADERS.get(module.arch)}]
    if extra:
        problems.append(f"needs libraries beyond libc, libm, the loader, libstdc++ and libgcc_s: {', '.join(extra)}")
    if module.exports != [ENTRY]:
        problems.append(f"exports {module.exports}, not only {ENTRY}")
    if module.rpath:
        problems.append(f"carries {', '.join(module.rpath)}")
    if arch_tag and module.arch != arch_tag:
        problems.append(f"is built for {module.arch} but tagged {arch_tag}")
    return problems


def check_wheel(args):
    wheel = Path(args.wheel)
    tags = wheel.stem.split("-")[-1].split(".")
    with zipfile.ZipFile(wheel) as zf:
        objects = [n for n in zf.namelist() if re.search(r"\.so(\.|$)", n)]
        modules = [n for n in objects if re.fullmatch(r"rederodidizo(\.[^/]*)?\.so", n)]
        if len(modules) != 1:
            raise SystemExit(f"{wheel.name}: expected one top-level module, found {objects}")
        module = Module(zf.read(modules[0]))
    print(f"{wheel.name} ({wheel.stat().st_size / 1024:.0f} KiB)")
    policy = describe(module, modules[0])
    manylinux = sorted((t for t in tags if re.fullmatch(r"manylinux_\d+_\d+_.+", t)),
                       key=lambda t: policy_glibc("_".join(t.split("_")[:3])))
    problems = problems_of(module, manylinux[0].split("_", 3)[3] if manylinux else None)
    # The interpreter imports only its own extension suffix (or a bare .so, which
    # would load on any architecture): cp314 on aarch64 -> cpython-314-aarch64-linux-gnu.
    python = wheel.stem.split("-")[-3]
    expected = f"rederodidizo.cpython-{python.removeprefix('cp')}-{module.arch}-linux-gnu.so"
    if modules[0] != expected:
        problems.append(f"names its module {modules[0]}, not {expected}")
    if len(objects) != 1:
        problems.append(f"carries other shared objects: {[o for o in objects if o not in modules]}")
    if not manylinux:
        problems.append(f"has no manylinux tag: {tags}")
    else:
        tagged = "_".join(manylinux[0].split("_")[:3])
        print(f"  auditwheel's tag: {tagged} (wheel tags: {'.'.join(tags)})")
        if tagged != policy:
            problems.append(f"auditwheel tagged {tagged}, but its symbol versions allow {policy}")
        if policy_glibc(tagged) > policy_glibc(args.max_policy):
            problems.append(f"its policy {tagged} is above the ceiling {args.max_policy}")
    if args.map:
        print(f"  symbols that {args.goal} does not allow, and the objects that need them:")
        print_origins(origins(module, args.map, args.goal))
    for problem in problems:
        print(f"FAIL {wheel.name}: {problem}")
    if not problems:
        print(f"ok {wheel.name}: {policy} (ceiling {args.max_policy}), "
              f"needs only {', '.join(module.needed)}, exports only {ENTRY}")
    return 1 if problems else 0


def check_module(args):
    module = Module(Path(args.module).read_bytes())
    describe(module, Path(args.module).name)
    if args.map:
        print(f"  symbols that {args.goal} does not allow, and the objects that need them:")
        print_origins(origins(module, args.map, args.goal))
    problems = problems_of(module, None)
    for problem in problems:
        print(f"  note: {problem}")
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    wheel = sub.add_parser("wheel")
    wheel.add_argument("wheel")
    wheel.add_argument("--max-policy", required=True)
    module = sub.add_parser("module")
    module.add_argument("module")
    for p in (wheel, module):
        p.add_argument("--map")
        p.add_argument("--goal", default="manylinux_2_28",
                       help="trace the symbols whose versions this policy does not allow (default manylinux_2_28)")
    args = parser.parse_args(argv)
    known = [p["name"] for p in load_policies()]
    for name in (args.goal, getattr(args, "max_policy", args.goal)):
        if name not in known:
            parser.error(f"unknown policy {name}; auditwheel knows {', '.join(known)}")
    if args.command == "wheel":
        return check_wheel(args)
    return check_module(args)


if __name__ == "__main__":
    sys.exit(main())
