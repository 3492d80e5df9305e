"""How far the float32 expected-alignment matrix E strays from float64, as a function of the
matrix size N + M, gamma and the scale of the distances.

Prints one row per case: the largest |E - E64|, how many cells of E exceed 1, and the
package's own estimate that decides when it warns. Random normal signals, scaled so that
the mean distance is the given scale, on the CPU twin; the float64 reference is the test
suite's wavefront by diagonals.

    .venv/bin/python benchmarks/accuracy_envelope.py
"""

import argparse
import sys
import warnings
from pathlib import Path

import numpy as np

import orvane
from orvane import _accuracy

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
from softdtw_reference import by_diagonals  # noqa: E402


def measure(n, m, gamma, scale, seed=0):
    rng = np.random.default_rng(seed)
    x = (rng.standard_normal(n) * scale / 1.13).astype(np.float32)  # E|a - b| = 1.13 sigma
    y = (rng.standard_normal(m) * scale / 1.13).astype(np.float32)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        alignment = orvane.soft_alignment([x], y, gamma=gamma, backend="twin")
    got = np.asarray(alignment.matrix(0), np.float64)
    cost = np.abs(x.astype(np.float64)[:, None] - y.astype(np.float64)[None, :])
    want = by_diagonals(cost, gamma)[2]
    error = np.nanmax(np.abs(got - want)) if np.isfinite(got).all() else np.inf
    score = abs(float(np.asarray(alignment.scores)[0]))
    return error, int((got > 1.0 + 1e-6).sum()), _accuracy.estimated_error(n + m, gamma, score)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[64, 256, 512, 1024])
    parser.add_argument("--gammas", type=float, nargs="+", default=[0.01, 0.1, 1.0])
    parser.add_argument("--scales", type=float, nargs="+", default=[0.1, 1.0, 10.0])
    args = parser.parse_args()
    print(f"{'N = M':>6} {'N+M':>6} {'gamma':>6} {'mean D':>7} {'max |E-E64|':>12} "
          f"{'E > 1':>7} {'estimate':>10}")
    for size in args.sizes:
        for gamma in args.gammas:
            for scale in args.scales:
                error, above_one, estimate = measure(size, size, gamma, scale)
                print(f"{size:>6} {2 * size:>6} {gamma:>6g} {scale:>7g} {error:>12.3g} "
                      f"{above_one:>7} {estimate:>10.3g}", flush=True)


if __name__ == "__main__":
    main()
