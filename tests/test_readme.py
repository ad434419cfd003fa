"""README.md stays true: every ```python block runs, and every function is listed
with its real signature."""

import inspect
import re
from pathlib import Path

import pytest

import rederodidizo

README = Path(__file__).resolve().parent.parent / "README.md"
TEXT = README.read_text(encoding="utf-8")
BLOCKS = [(TEXT.count("\n", 0, m.start(1)) + 1, m.group(1))
          for m in re.finditer(r"^```python\n(.*?)^```", TEXT, re.MULTILINE | re.DOTALL)]


def test_readme_has_python_blocks():
    assert BLOCKS, "no ```python block found in README.md"


@pytest.mark.parametrize("line, code", BLOCKS, ids=[f"line{line}" for line, _ in BLOCKS])
def test_readme_block_runs(line, code):
    # Padded so that a traceback points at the README's own line numbers.
    exec(compile("\n" * (line - 1) + code, str(README), "exec"), {"__name__": "__main__"})


@pytest.mark.parametrize("name", rederodidizo.__all__)
def test_readme_lists_signature(name):
    signature = f"{name}{inspect.signature(getattr(rederodidizo, name))}"
    assert signature in TEXT, f"README.md does not list {signature}"
