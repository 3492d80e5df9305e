"""How far the float32 expected-alignment matrix E strays from float64, as a function of the
matrix size N + M, gamma and the scale of the distances.

Prints one row per case: the largest |E - E64|, how many cells of E exceed 1, and the
package's own estimate that decides when it warns. Random normal signals, scaled so that
the mean distance is the given scale; the float64 reference is a vectorised wavefront in
this file.

    .venv/bin/python benchmarks/accuracy_envelope.py
"""

import argparse
import warnings

import numpy as np

import orvane
from orvane import _accuracy


def softmin64(*values, gamma):
    stacked = -np.stack(values) / gamma
    top = np.max(stacked, axis=0)
    safe = np.where(np.isfinite(top), top, 0.0)
    return -gamma * (np.log(np.sum(np.exp(stacked - safe), axis=0)) + safe)


def expected_alignment64(x, y, gamma):
    """Float64 Soft-DTW backward pass, by anti-diagonals."""
    cost = np.abs(x[:, None] - y[None, :])
    n, m = cost.shape
    score = np.full((n + 1, m + 1), np.inf)
    score[0, 0] = 0.0
    for d in range(n + m - 1):
        i = np.arange(max(0, d - m + 1), min(d, n - 1) + 1)
        j = d - i
        score[i + 1, j + 1] = cost[i, j] + softmin64(score[i, j + 1], score[i, j],
                                                    score[i + 1, j], gamma=gamma)
    padded_cost = np.zeros((n + 2, m + 2))
    padded_cost[1:-1, 1:-1] = cost
    full = np.full((n + 2, m + 2), -np.inf)
    full[1:-1, 1:-1] = score[1:, 1:]
    full[n + 1, m + 1] = full[n, m]
    grad = np.zeros((n + 2, m + 2))
    grad[n + 1, m + 1] = 1.0
    for d in range(n + m - 2, -1, -1):
        i = np.arange(max(0, d - m + 1), min(d, n - 1) + 1) + 1
        j = d - (i - 1) + 1
        here = full[i, j]
        total = np.zeros(len(i))
        for di, dj in ((1, 0), (1, 1), (0, 1)):
            s_i, s_j = i + di, j + dj
            weight = np.exp((full[s_i, s_j] - here - padded_cost[s_i, s_j]) / gamma)
            weight = np.where(np.isfinite(full[s_i, s_j]), weight, 0.0)
            total += grad[s_i, s_j] * weight
        grad[i, j] = total
    grad[n, m] = 1.0
    return grad[1:-1, 1:-1]


def measure(n, m, gamma, scale, seed=0):
    rng = np.random.default_rng(seed)
    x = (rng.standard_normal(n) * scale / 1.13).astype(np.float32)  # E|a - b| = 1.13 sigma
    y = (rng.standard_normal(m) * scale / 1.13).astype(np.float32)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        alignment = orvane.soft_alignment([x], y, gamma=gamma, backend="twin")
    got = np.asarray(alignment.matrix(0), np.float64)
    want = expected_alignment64(x.astype(np.float64), y.astype(np.float64), gamma)
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
