"""The 512-bit VAES path runs no instruction that needs AVX512VL.

The path is chosen where the processor reports VAES, AVX512F and AVX512BW, with the
AVX-512 state saved by the OS; it does not ask for AVX512VL, so none of its code may
use an EVEX encoding of a 128- or 256-bit vector instruction (which is what needs VL:
the EVEX prefix 62, its L'L bits 00 or 01, xmm or ymm operands). Reads
`objdump -d -C --insn-width=16` of the compiled code from standard input and checks
the functions whose names match the pattern given.

    objdump -d -C --insn-width=16 vaes.o | python3 needs_only_avx512f.py '512'
"""

import re
import sys

FUNCTION = re.compile(r"^[0-9a-f]+ <(.*)>:$")
INSTRUCTION = re.compile(r"^\s*[0-9a-f]+:\s+((?:[0-9a-f]{2} )+)\s*(.*)$")
# Prefixes that may stand before an EVEX prefix: segment overrides and address size.
PREFIXES = {0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65, 0x67}


def needs_vl(raw, text):
    """Whether an instruction is a 128- or 256-bit EVEX vector instruction."""
    i = 0
    while i < len(raw) and raw[i] in PREFIXES:
        i += 1
    if i + 3 >= len(raw) or raw[i] != 0x62:
        return False
    vector_length = (raw[i + 3] >> 5) & 3
    return vector_length != 2 and re.search(r"%[xy]mm\d", text) is not None


def main():
    pattern = re.compile(sys.argv[1])
    checked, found, inside = [], [], None
    for line in sys.stdin:
        line = line.rstrip("\n")
        if match := FUNCTION.match(line):
            inside = match.group(1) if pattern.search(match.group(1)) else None
            if inside:
                checked.append(inside)
            continue
        if inside and (match := INSTRUCTION.match(line)):
            raw = bytes(int(b, 16) for b in match.group(1).split())
            if needs_vl(raw, match.group(2)):
                found.append(f"{inside}: {match.group(2)}")
    if not checked:
        sys.exit(f"no function matches {sys.argv[1]!r}: nothing was checked")
    for name in checked:
        print(f"checked: {name}")
    if found:
        print("instructions that need AVX512VL:", *found, sep="\n  ")
        sys.exit(1)
    print(f"no instruction needs AVX512VL in {len(checked)} functions")


if __name__ == "__main__":
    main()
