"""The examples that no other test runs, run as a user runs them, on small data: the main job
and the layout example. (The estimators' and the PyTorch pairs' examples run in their own
tests, the Dask example in test_distributed.)"""

import os
import re
import subprocess
import sys
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def run(script, *arguments, cwd):
    done = subprocess.run([sys.executable, str(EXAMPLES / script), *arguments], cwd=cwd,
                          capture_output=True, text=True, env={**os.environ, "MPLBACKEND": "Agg"})
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_the_main_job_separates_warped_copies_from_noise_and_draws_its_figure(tmp_path):
    picture = tmp_path / "figure.png"
    output = run("training_example.py", "--signals", "20", "--ref-length", "60",
                 "--picture", str(picture), cwd=tmp_path)
    warped_most, noise_least = map(float, re.search(
        r"warped copies: score per sample \S+ on average, (\S+) at most; noise: (\S+) at least",
        output).groups())
    assert warped_most < noise_least
    recovered = float(re.search(r"\|mean - reference\| is (\S+) on average", output).group(1))
    assert recovered < 0.2  # the copies' noise is 0.05
    start, end, at_reference = map(float, re.search(
        r"mean score (\S+) at the start, (\S+) after \d+ iterations \(converged\); "
        r"the reference itself scores (\S+)", output).groups())
    assert end < min(start, at_reference)
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_the_layout_example_round_trips_its_batch(tmp_path):
    output = run("layout_example.py", cwd=tmp_path)
    assert "Round trip back to row-major reproduces the batch: True" in output
