"""The README's Python snippets, each pasted into an interactive interpreter in the checkout root."""

import pathlib
import re
import subprocess
import sys

import pytest

from support import child_env

ROOT = pathlib.Path(__file__).resolve().parent.parent
BLOCKS = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S)
NEEDS = {"vornkit.dask": "dask.dataframe", "to_dataframe": "pandas"}  # what a snippet calls, and the package it needs


@pytest.mark.parametrize("block", range(len(BLOCKS)))
def test_readme_snippets_run_when_pasted_into_the_interpreter(block):
    code = BLOCKS[block]
    for call, module in NEEDS.items():
        if call in code:
            pytest.importorskip(module)
    # -i reads standard input as the prompt does: a compound statement ends at a blank line.
    out = subprocess.run(
        [sys.executable, "-i", "-q"], input=code, cwd=ROOT, capture_output=True, text=True, env=child_env(), timeout=120
    )
    assert out.returncode == 0 and not re.search(r"Traceback|\w+Error\b", out.stderr), out.stderr
