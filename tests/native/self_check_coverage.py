"""The choice's self-check runs every line of the backends it checks.

Reads `gcov -t` output (the annotated sources, one after another) of a build of
tests/native/self_check.cpp with coverage, and reports each executable line that the
self-check never ran in the source files of the backends it checked: those whose
every backend the self-check's log (its first argument) says passed. A line counts as run when any
instance of it ran: gcov's sections for single template instances (between lines of
dashes, each headed by the instance's name) are skipped, since an instance may hold a
line that is dead for its arguments.

    gcov -t -o OBJECTS src/aes/*.cpp | python3 self_check_coverage.py self_check.log
"""

import re
import sys

SOURCE = re.compile(r"^\s*-:\s*0:Source:(.*)$")
LINE = re.compile(r"^\s*([^:]+):\s*(\d+):(.*)$")
SEPARATOR = "------------------"
INSTANCE = re.compile(r"^\S.*:$")
# The source file of each backend (Nettle's is the reference, never checked).
FILES = {"vaes512": "vaes.cpp", "vaes256": "vaes.cpp", "aesni": "aesni.cpp", "vperm256": "vperm256.cpp",
         "vperm": "vperm.cpp", "bitsliced": "bitsliced.cpp", "armv8": "armv8.cpp"}


def files_checked(log):
    """The files all of whose backends ran their self-check and passed it."""
    passed = {line.split()[0] for line in open(log) if line.split()[1:] == ["self-check", "passed"]}
    return {f for f in FILES.values() if all(b in passed for b, g in FILES.items() if g == f)}


def main():
    wanted = files_checked(sys.argv[1])
    seen, missed, current = set(), [], None
    after_separator = in_instance = False
    for line in sys.stdin:
        line = line.rstrip("\n")
        if line.strip() == SEPARATOR:
            after_separator = True
            continue
        if after_separator:
            after_separator = False
            in_instance = INSTANCE.match(line) is not None
            if in_instance:
                continue
        if in_instance:
            continue
        if match := SOURCE.match(line):
            name = match.group(1).rsplit("/", 1)[-1]
            current = name if name in wanted else None
            if current:
                seen.add(current)
            continue
        if current and (match := LINE.match(line)):
            count, number, text = match.groups()
            if count.strip() in ("#####", "====="):
                missed.append(f"{current}:{number}: {text.strip()}")
    if unseen := wanted - seen:
        sys.exit(f"no coverage read for: {', '.join(sorted(unseen))}")
    for name in sorted(seen):
        print(f"read: {name}")
    if missed:
        print("lines the self-check never ran:", *missed, sep="\n  ")
        sys.exit(1)
    print(f"the self-check ran every line of {len(seen)} files")


if __name__ == "__main__":
    main()
