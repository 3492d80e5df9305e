"""orvane.barycenter next to tslearn's softdtw_barycenter: the barycenter of a batch of warped,
noisy copies of one shape, from the same start (the signals' mean) with the same weights,
iteration limit and tolerance; the wall time of each and the objective each reaches.

    .venv/bin/python benchmarks/barycenter.py [--signals 100] [--length 256] [--max-iter 50]

tslearn takes the squared cost (x - z)^2. Where this build has it too (cost="sqeuclidean"),
both barycenters are scored by one float64 function (tslearn's Soft-DTW); otherwise ours
minimises another objective (|x - z|) and only the times compare. Needs tslearn (pip install
tslearn) and SciPy.
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


def squared_cost_available() -> bool:
    try:
        orvane.soft_dtw([np.zeros(2)], np.zeros(2), cost="sqeuclidean")
    except TypeError:
        return False
    return True


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
    squared = squared_cost_available()
    cost = dict(cost="sqeuclidean") if squared else {}
    limits = dict(gamma=args.gamma, weights=weights, max_iter=args.max_iter, tol=args.tol)

    def common_objective(z):
        return sum(tslearn_soft_dtw(x, np.asarray(z, np.float64), gamma=args.gamma)
                   for x in signals)

    print(f"Barycenter of {args.signals} signals of {args.length} samples, gamma = {args.gamma},"
          f" at most {args.max_iter} iterations, tol = {args.tol}, from the signals' mean")
    if squared:
        print("Both with the squared cost, scored by one float64 function (tslearn's Soft-DTW)")
    else:
        print("This build has no squared cost: ours minimises sum sdtw with |x - z|, tslearn's "
              "with (x - z)^2,\nso the objectives differ and only the times compare; each is "
              "scored by its own objective")
    print(f"  {'':26s} {'time':>9s} {'iterations':>10s} {'objective':>12s}")
    runs = {"orvane, float64 path": signals, "orvane, float32 signals": signals.astype(np.float32)}
    for name, batch in runs.items():
        (z, result), seconds = timed(lambda: orvane.barycenter(
            batch, init=init.astype(batch.dtype), **limits, **cost))
        reached = common_objective(z) if squared else result.scores[-1]
        print(f"  {name:26s} {seconds:8.2f}s {result.iterations:10d} {reached:12.4f}"
              f"{'' if result.converged else '  (' + result.message.lower() + ')'}")
    theirs, seconds = timed(lambda: softdtw_barycenter(signals[..., None], init=init[:, None],
                                                       **limits))
    print(f"  {'tslearn (float64)':26s} {seconds:8.2f}s {'-':>10s} "
          f"{common_objective(theirs.ravel()):12.4f}")


if __name__ == "__main__":
    main()
