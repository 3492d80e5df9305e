"""How far the expected-alignment matrix E of each path strays from a reference in extended
precision, as a function of the matrix size N + M, gamma and the scale of the distances; and
how far the float64 path's scores stray, beside tslearn's.

Prints one row per case: the largest |E - E_ref| of the float32 path (the kernels' steps),
the mixed path and the float64 path on the same values, how many cells of the
float32 E exceed 1, and the package's own estimate that decides when it warns (for the
float32 path). Random normal signals, scaled so that the mean cost of a cell is the given
scale, under the package's default cost, (x - y)^2, or under --cost abs, on the vectorised
CPU module; the reference is the test suite's wavefront by diagonals in
np.longdouble. Then, for the scores, one row per N = M and gamma: the relative error
(score - ref) / |ref| of the float64 path and of tslearn's soft_dtw (float64, if installed)
on the same random normal signals under the squared cost (tslearn's), its mean over a few
signal pairs, signed, so that an error that leans one way shows, and its largest size.

    .venv/bin/python benchmarks/accuracy_envelope.py [--only matrices|scores] [--cost abs]
"""

import argparse
import sys
import warnings
from pathlib import Path

import numpy as np

import orvane
from orvane import _accuracy

from cpu_backends import tslearn_available

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
from softdtw_reference import by_diagonals  # noqa: E402


# sigma of signals whose cells cost `scale` on average: E|a - b| = 1.13 sigma and
# E(a - b)^2 = 2 sigma^2 for two independent normal samples.
SIGMA_OF_MEAN_COST = {"abs": lambda scale: scale / 1.13,
                      "sqeuclidean": lambda scale: np.sqrt(scale / 2)}
COST_OF_DIFFERENCE = {"abs": np.abs, "sqeuclidean": np.square}


def measure(n, m, gamma, scale, cost_name, seed=0):
    rng = np.random.default_rng(seed)
    sigma = SIGMA_OF_MEAN_COST[cost_name](scale)
    x = (rng.standard_normal(n) * sigma).astype(np.float32)
    y = (rng.standard_normal(m) * sigma).astype(np.float32)
    cost = COST_OF_DIFFERENCE[cost_name](x.astype(np.longdouble)[:, None]
                                         - y.astype(np.longdouble)[None, :])
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
            alignment = orvane.soft_alignment(*inputs, gamma=gamma, precision=precision,
                                              cost=cost_name)
            got = np.asarray(alignment.matrix(0), np.float64)
            errors[precision] = (float(np.max(np.abs(got - want))) if np.isfinite(got).all()
                                 else np.inf)
            if precision == "float32":
                above_one = int((got > 1.0 + 1e-6).sum())
                score = abs(float(np.asarray(alignment.scores)[0]))
    return errors, above_one, _accuracy.estimated_error(n + m, gamma, score)


def score_errors(n, gamma, seeds):
    """path -> relative errors of the scores of `seeds` pairs of random normal signals of n
    samples, the float64 path's and tslearn's, against the extended reference."""
    errors = {"float64": []}
    if tslearn_available():
        from tslearn.metrics import soft_dtw as tslearn_score
        errors["tslearn"] = []
    for seed in range(seeds):
        rng = np.random.default_rng(seed)
        x, y = rng.standard_normal(n), rng.standard_normal(n)
        cost = (x.astype(np.longdouble)[:, None] - y.astype(np.longdouble)[None, :]) ** 2
        want = by_diagonals(cost, gamma, dtype=np.longdouble)[1]
        found = {"float64": orvane.soft_dtw([x], y, gamma=gamma, cost="sqeuclidean")[0]}
        if "tslearn" in errors:
            found["tslearn"] = tslearn_score(x[:, None], y[:, None], gamma=gamma)
        for name, score in found.items():
            errors[name].append(float((np.longdouble(score) - want) / abs(want)))
    return errors


def print_matrix_errors(args):
    print(f"Expected alignments, largest error against the extended reference, cost "
          f"{args.cost}")
    print(f"{'N = M':>6} {'N+M':>6} {'gamma':>6} {'mean D':>7} {'float32':>10} {'mixed':>10} "
          f"{'float64':>10} {'E > 1':>7} {'estimate':>10}")
    for size in args.sizes:
        for gamma in args.gammas:
            for scale in args.scales:
                errors, above_one, estimate = measure(size, size, gamma, scale, args.cost)
                print(f"{size:>6} {2 * size:>6} {gamma:>6g} {scale:>7g} "
                      + " ".join(f"{errors[p]:>10.2g}" for p in ("float32", "mixed", "float64"))
                      + f" {above_one:>7} {estimate:>10.3g}", flush=True)


def print_score_errors(args):
    print(f"Scores, relative error against the extended reference, squared cost, "
          f"{args.score_seeds} signal pairs each: mean (signed) and largest size")
    print(f"{'N = M':>6} {'gamma':>6} {'float64 mean':>13} {'largest':>9} {'tslearn mean':>13} "
          f"{'largest':>9}")
    for size in args.score_sizes:
        for gamma in args.gammas:
            errors = score_errors(size, gamma, args.score_seeds)
            columns = [f"{np.mean(errors[name]):>13.2e} {np.max(np.abs(errors[name])):>9.2e}"
                       if name in errors else f"{'-':>13} {'-':>9}"
                       for name in ("float64", "tslearn")]
            print(f"{size:>6} {gamma:>6g} " + " ".join(columns), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[64, 256, 512, 1024])
    parser.add_argument("--gammas", type=float, nargs="+", default=[0.01, 0.1, 1.0])
    parser.add_argument("--scales", type=float, nargs="+", default=[0.1, 1.0, 10.0])
    parser.add_argument("--score-sizes", type=int, nargs="+", default=[512, 1024, 2048])
    parser.add_argument("--score-seeds", type=int, default=3)
    parser.add_argument("--only", choices=["matrices", "scores"])
    parser.add_argument("--cost", choices=["sqeuclidean", "abs"], default="sqeuclidean",
                        help="the cost of the matrices' cells (scores: always sqeuclidean)")
    args = parser.parse_args()
    if args.only != "scores":
        print_matrix_errors(args)
    if args.only != "matrices":
        print_score_errors(args)


if __name__ == "__main__":
    main()
