"""The README's Python examples run as they stand, on this machine (which has no GPU): each
in a fresh interpreter, so that an example that goes stale fails here."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
EXAMPLES = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)


def test_the_readme_has_its_examples():
    assert len(EXAMPLES) >= 3


@pytest.mark.parametrize("example", EXAMPLES, ids=[f"example-{k}" for k in range(len(EXAMPLES))])
def test_an_example_runs(example, tmp_path):
    done = subprocess.run([sys.executable, "-c", example], cwd=tmp_path, capture_output=True,
                          text=True, env={**os.environ, "MPLBACKEND": "Agg"})
    assert done.returncode == 0, done.stderr
