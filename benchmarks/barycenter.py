"""orvane.barycenter next to tslearn's softdtw_barycenter: the barycenter of a batch of warped,
noisy copies of one shape, from the same start (the signals' mean) with the same weights,
iteration limit and tolerance; the wall time of each and the objective each reaches.

    .venv/bin/python benchmarks/barycenter.py [--signals 100] [--length 256] [--max-iter 50]

Both take the squared cost (x - z)^2 (cost="sqeuclidean" here) and both barycenters are
scored by one float64 function (tslearn's Soft-DTW). Needs tslearn (pip install tslearn) and
SciPy.
"""

import argparse
import time

import numpy as np

import orvane


def warped_copies(count, length, seed=0):
    """Copies of one shape along random monotone time warps, with noise."""
    rng = np.random.default_rng(seed)
    grid = np.linspace(0.0, 1.0, length)
    shape = np.sin(2 * np.pi * 3 * grid) + 0.5 * np.sin(2 * np.pi * 7 * grid + 1.0)
    return np.stack([np.interp(grid ** rng.uniform(0.7, 1.4), grid, shape)
                     + rng.normal(0.0, 0.05, length) for _ in range(count)])


def timed(call):
    start = time.perf_counter()
    value = call()
    return value, time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--signals", type=int, default=100)
    parser.add_argument("--length", type=int, default=256)
    parser.add_argument("--gamma", type=float, default=1.0)
    parser.add_argument("--max-iter", type=int, default=50)
    parser.add_argument("--tol", type=float, default=1e-6)
    args = parser.parse_args()
    from tslearn.barycenters import softdtw_barycenter
    from tslearn.metrics import soft_dtw as tslearn_soft_dtw

    signals = warped_copies(args.signals, args.length)
    weights = np.ones(args.signals)
    init = signals.mean(axis=0)
    limits = dict(gamma=args.gamma, weights=weights, max_iter=args.max_iter, tol=args.tol)

    def common_objective(z):
        return sum(tslearn_soft_dtw(x, np.asarray(z, np.float64), gamma=args.gamma)
                   for x in signals)

    print(f"Barycenter of {args.signals} signals of {args.length} samples, gamma = {args.gamma},"
          f" at most {args.max_iter} iterations, tol = {args.tol}, from the signals' mean")
    print("Both with the squared cost, scored by one float64 function (tslearn's Soft-DTW)")
    print(f"  {'':26s} {'time':>9s} {'iterations':>10s} {'objective':>12s}")
    theirs, their_seconds = timed(lambda: softdtw_barycenter(
        signals[..., None], init=init[:, None], **limits))
    their_objective = common_objective(theirs.ravel())
    runs = {"orvane, float64 path": signals, "orvane, float32 signals": signals.astype(np.float32)}
    for name, batch in runs.items():
        (z, result), seconds = timed(lambda: orvane.barycenter(
            batch, init=init.astype(batch.dtype), cost="sqeuclidean", **limits))
        reached = common_objective(z)
        print(f"  {name:26s} {seconds:8.2f}s {result.iterations:10d} {reached:12.4f}"
              f"   {their_seconds / seconds:5.1f}x tslearn's speed, objective "
              f"{(reached - their_objective) / abs(their_objective):+.1e} relative to its"
              f"{'' if result.converged else '  (' + result.message.lower() + ')'}")
    print(f"  {'tslearn (float64)':26s} {their_seconds:8.2f}s {'-':>10s} {their_objective:12.4f}")


if __name__ == "__main__":
    main()
