"""How far the expected-alignment matrix E of each path strays from a reference in extended
precision, as a function of the matrix size N + M, gamma and the scale of the distances.

Prints one row per case: the largest |E - E_ref| of the float32 path (the kernels' steps),
the mixed path and the float64 path on the same values, how many cells of the
float32 E exceed 1, and the package's own estimate that decides when it warns (for the
float32 path). Random normal signals, scaled so that the mean distance is the given scale,
on the vectorised CPU module; the reference is the test suite's wavefront by diagonals in
np.longdouble.

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
    cost = np.abs(x.astype(np.longdouble)[:, None] - y.astype(np.longdouble)[None, :])
    want = by_diagonals(cost, gamma, dtype=np.longdouble)[2]
    errors = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for precision in ("float32", "mixed", "float64"):
            # The float64 path on the same values as float64 arrays, so that its E is not
            # rounded to float32 at the end.
            inputs = [x.astype(np.float64)], y.astype(np.float64)
            if precision != "float64":
                inputs = [x], y
            alignment = orvane.soft_alignment(*inputs, gamma=gamma, precision=precision)
            got = np.asarray(alignment.matrix(0), np.float64)
            errors[precision] = (float(np.max(np.abs(got - want))) if np.isfinite(got).all()
                                 else np.inf)
            if precision == "float32":
                above_one = int((got > 1.0 + 1e-6).sum())
                score = abs(float(np.asarray(alignment.scores)[0]))
    return errors, above_one, _accuracy.estimated_error(n + m, gamma, score)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[64, 256, 512, 1024])
    parser.add_argument("--gammas", type=float, nargs="+", default=[0.01, 0.1, 1.0])
    parser.add_argument("--scales", type=float, nargs="+", default=[0.1, 1.0, 10.0])
    args = parser.parse_args()
    print(f"{'N = M':>6} {'N+M':>6} {'gamma':>6} {'mean D':>7} {'float32':>10} {'mixed':>10} "
          f"{'float64':>10} {'E > 1':>7} {'estimate':>10}")
    for size in args.sizes:
        for gamma in args.gammas:
            for scale in args.scales:
                errors, above_one, estimate = measure(size, size, gamma, scale)
                print(f"{size:>6} {2 * size:>6} {gamma:>6g} {scale:>7g} "
                      + " ".join(f"{errors[p]:>10.2g}" for p in ("float32", "mixed", "float64"))
                      + f" {above_one:>7} {estimate:>10.3g}", flush=True)


if __name__ == "__main__":
    main()
